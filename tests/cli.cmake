# Tests of the colorcal command-line tool: unit tests of its pure parts and
# integration tests that run the executable on rendered chart photos.
if(TARGET colorcal_cli AND TARGET colorcal_cli_core)
  add_executable(colorcal_cli_unit_tests ${CMAKE_CURRENT_SOURCE_DIR}/Cli/CliUnitTests.cpp)
  target_link_libraries(colorcal_cli_unit_tests PRIVATE colorcal_cli_core colorcal_tooling GTest::gtest GTest::gtest_main)
  colorcal_warnings(colorcal_cli_unit_tests)
  gtest_discover_tests(colorcal_cli_unit_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)

  set(_cli_work ${CMAKE_CURRENT_BINARY_DIR}/cli-work)
  set(_cli_run ${CMAKE_COMMAND} -DCOLORCAL=$<TARGET_FILE:colorcal_cli> -DWORK=${_cli_work})

  # One end-to-end calibration per chart type, and one comparison of the
  # encodings. The seeds pick reference colours that the segmentation
  # separates in both the decoded and the encoded photo (the small chart's
  # narrow white gaps make it the most demanding).
  foreach(_case cct-print:1:2 qcc-print:1:1 cct-xrite:1:2 qcc-xrite:1:1 qcc-print-small:2:2)
    string(REPLACE ":" ";" _parts ${_case})
    list(GET _parts 0 _chart)
    list(GET _parts 1 _seed)
    list(GET _parts 2 _encoding_seed)
    add_test(NAME cli.calibrate.${_chart}
      COMMAND ${_cli_run} -DCHART=${_chart} -DSEED=${_seed} -P ${CMAKE_CURRENT_SOURCE_DIR}/Cli/calibrate_chart.cmake)
    add_test(NAME cli.encoding.${_chart}
      COMMAND ${_cli_run} -DCHART=${_chart} -DSEED=${_encoding_seed} -P ${CMAKE_CURRENT_SOURCE_DIR}/Cli/encoding.cmake)
    set_tests_properties(cli.calibrate.${_chart} cli.encoding.${_chart} PROPERTIES TIMEOUT 300)
  endforeach()
  # Upside down, and a quarter turn counter-clockwise (a chart turned clockwise
  # by 270 degrees): the colours decide the pairing, the JSON says the turn.
  add_test(NAME cli.calibrate.qcc-print-upside-down
    COMMAND ${_cli_run} -DCHART=qcc-print -DSEED=1 -DROTATION=182 -DORIENTATION=180
      -P ${CMAKE_CURRENT_SOURCE_DIR}/Cli/calibrate_chart.cmake)
  add_test(NAME cli.calibrate.cct-print-quarter-turn
    COMMAND ${_cli_run} -DCHART=cct-print -DSEED=1 -DROTATION=92 -DORIENTATION=270
      -P ${CMAKE_CURRENT_SOURCE_DIR}/Cli/calibrate_chart.cmake)
  set_tests_properties(cli.calibrate.qcc-print-upside-down cli.calibrate.cct-print-quarter-turn
    PROPERTIES TIMEOUT 300)
  # Calibration without a region or mask: the card is located in a wider
  # photo with distractors (one chart type of each geometry family).
  foreach(_case cct-print:4 qcc-print-small:3 qcc-xrite:2)
    string(REPLACE ":" ";" _parts ${_case})
    list(GET _parts 0 _chart)
    list(GET _parts 1 _seed)
    add_test(NAME cli.locate_card.${_chart}
      COMMAND ${_cli_run} -DCHART=${_chart} -DSEED=${_seed} -P ${CMAKE_CURRENT_SOURCE_DIR}/Cli/locate_card.cmake)
    set_tests_properties(cli.locate_card.${_chart} PROPERTIES TIMEOUT 300)
  endforeach()
  add_test(NAME cli.bad_input COMMAND ${_cli_run} -P ${CMAKE_CURRENT_SOURCE_DIR}/Cli/bad_input.cmake)
  add_test(NAME cli.demo COMMAND ${_cli_run} -P ${CMAKE_CURRENT_SOURCE_DIR}/Cli/demo.cmake)
  add_test(NAME cli.apply COMMAND ${_cli_run} -P ${CMAKE_CURRENT_SOURCE_DIR}/Cli/apply.cmake)
  set_tests_properties(cli.apply PROPERTIES TIMEOUT 300)
  add_test(NAME cli.files
    COMMAND ${_cli_run} -DSANITIZE=${COLORCAL_SANITIZE} -P ${CMAKE_CURRENT_SOURCE_DIR}/Cli/files.cmake)
  add_test(NAME cli.readme
    COMMAND ${_cli_run} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DBINARY_DIR=${CMAKE_BINARY_DIR}
      -P ${CMAKE_CURRENT_SOURCE_DIR}/Cli/readme.cmake)
  set_tests_properties(cli.bad_input cli.demo cli.files cli.readme PROPERTIES TIMEOUT 300)

  # The installed tool runs from the scratch prefix that the package test
  # installs into (tests/package.cmake), finding the library beside it.
  if(COLORCAL_INSTALL AND NOT COLORCAL_SANITIZE)
    add_test(NAME cli.installed
      COMMAND ${CMAKE_BINARY_DIR}/package-test/prefix/bin/colorcal demo --out ${_cli_work}/installed-demo)
    set_tests_properties(cli.installed PROPERTIES FIXTURES_REQUIRED colorcal_package TIMEOUT 300
      PASS_REGULAR_EXPRESSION "after, --encoding srgb")
  endif()
endif()

# Unit tests of the front end shared by the tool and the Python module (the
# calibration file, the photo correction), and its checks against the
# programs that read its exports (ffmpeg, LittleCMS's transicc and tificc),
# which also run the tool's apply and export.
if(TARGET colorcal_frontend)
  foreach(_name CalibrationFileTest CalibrationExportTest PhotoCorrectionTest ConsumersTest)
    add_executable(${_name} ${CMAKE_CURRENT_SOURCE_DIR}/Frontend/${_name}.cpp)
    target_link_libraries(${_name} PRIVATE colorcal_frontend colorcal_cli_core GTest::gtest
      GTest::gtest_main)
    target_compile_definitions(${_name} PRIVATE COLORCAL_CLI="$<TARGET_FILE:colorcal_cli>")
    colorcal_warnings(${_name})
    gtest_discover_tests(${_name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 300)
  endforeach()
  target_link_libraries(ConsumersTest PRIVATE PkgConfig::COLORCAL_EXIV2 PkgConfig::COLORCAL_LCMS2)
  add_dependencies(ConsumersTest colorcal_cli)
endif()
