# Installs the library into a scratch prefix and builds and runs a consumer
# project against the installed CMake package. Skipped in sanitizer builds,
# whose instrumented library needs an instrumented consumer.
if(COLORCAL_SANITIZE OR NOT COLORCAL_INSTALL)
  return()
endif()
set(COLORCAL_PACKAGE_PREFIX ${CMAKE_BINARY_DIR}/package-test/prefix)
# A clean prefix, so headers installed by an earlier build cannot hide one
# that is missing now or one that must not be installed any more.
add_test(NAME PackageClean COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/package-test)
add_test(NAME PackageInstall
  COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${COLORCAL_PACKAGE_PREFIX})
add_test(NAME PackageConsumer
  COMMAND ${CMAKE_CTEST_COMMAND} --build-and-test
    ${CMAKE_CURRENT_SOURCE_DIR}/consumer ${CMAKE_BINARY_DIR}/package-test/consumer
    --build-generator ${CMAKE_GENERATOR}
    --build-options -DCMAKE_PREFIX_PATH=${COLORCAL_PACKAGE_PREFIX} -DCMAKE_BUILD_TYPE=Release
    --test-command ${CMAKE_BINARY_DIR}/package-test/consumer/consumer)
# Exactly the public headers are installed: no internal one, none missing.
add_test(NAME PackageHeaders
  COMMAND ${CMAKE_COMMAND} -DPREFIX=${COLORCAL_PACKAGE_PREFIX} "-DEXPECTED=${COLORCAL_PUBLIC_HEADERS}"
    -P ${PROJECT_SOURCE_DIR}/cmake/CheckInstalledHeaders.cmake)
set_tests_properties(PackageHeaders PROPERTIES FIXTURES_REQUIRED colorcal_package)
set_tests_properties(PackageClean PROPERTIES FIXTURES_SETUP colorcal_package_clean)
set_tests_properties(PackageInstall PROPERTIES FIXTURES_SETUP colorcal_package
  FIXTURES_REQUIRED colorcal_package_clean)
set_tests_properties(PackageConsumer PROPERTIES FIXTURES_REQUIRED colorcal_package
  ENVIRONMENT "LD_LIBRARY_PATH=${COLORCAL_PACKAGE_PREFIX}/lib:$ENV{LD_LIBRARY_PATH}")
