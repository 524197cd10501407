# Installs the library into a scratch prefix and builds and runs a consumer
# project against the installed CMake package. Skipped in sanitizer builds,
# whose instrumented library needs an instrumented consumer.
if(COLORCAL_SANITIZE OR NOT COLORCAL_INSTALL)
  return()
endif()
set(COLORCAL_PACKAGE_PREFIX ${CMAKE_BINARY_DIR}/package-test/prefix)
add_test(NAME PackageInstall
  COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${COLORCAL_PACKAGE_PREFIX})
add_test(NAME PackageConsumer
  COMMAND ${CMAKE_CTEST_COMMAND} --build-and-test
    ${CMAKE_CURRENT_SOURCE_DIR}/consumer ${CMAKE_BINARY_DIR}/package-test/consumer
    --build-generator ${CMAKE_GENERATOR}
    --build-options -DCMAKE_PREFIX_PATH=${COLORCAL_PACKAGE_PREFIX} -DCMAKE_BUILD_TYPE=Release
    --test-command ${CMAKE_BINARY_DIR}/package-test/consumer/consumer)
set_tests_properties(PackageInstall PROPERTIES FIXTURES_SETUP colorcal_package)
set_tests_properties(PackageConsumer PROPERTIES FIXTURES_REQUIRED colorcal_package
  ENVIRONMENT "LD_LIBRARY_PATH=${COLORCAL_PACKAGE_PREFIX}/lib:$ENV{LD_LIBRARY_PATH}")
