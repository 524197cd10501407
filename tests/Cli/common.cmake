# Helpers of the command-line integration tests (run with cmake -P).

# Runs colorcal with the given arguments; sets <prefix>_RC, <prefix>_OUT, <prefix>_ERR.
# A run that hangs (reading a pipe, say) fails after 120 s.
function(run_colorcal prefix)
  execute_process(COMMAND ${COLORCAL} ${ARGN} TIMEOUT 120
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(${prefix}_RC "${rc}" PARENT_SCOPE)
  set(${prefix}_OUT "${out}" PARENT_SCOPE)
  set(${prefix}_ERR "${err}" PARENT_SCOPE)
endfunction()

# Writes `bytes` (printf escapes such as \\x89 and \\0) to `file`: CMake strings cannot hold NUL.
function(write_bytes file bytes)
  execute_process(COMMAND printf "${bytes}" OUTPUT_FILE ${file} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "printf failed writing ${file}")
  endif()
endfunction()

function(expect condition_text)
  if(NOT (${ARGN}))
    message(FATAL_ERROR "expectation failed: ${condition_text}")
  endif()
endfunction()

# Runs colorcal and requires exit status `rc`.
function(run_expect rc prefix)
  run_colorcal(${prefix} ${ARGN})
  if(NOT "${${prefix}_RC}" STREQUAL "${rc}")
    message(FATAL_ERROR "colorcal ${ARGN}\nexit ${${prefix}_RC} (expected ${rc})\nstdout: ${${prefix}_OUT}\nstderr: ${${prefix}_ERR}")
  endif()
  set(${prefix}_RC "${${prefix}_RC}" PARENT_SCOPE)
  set(${prefix}_OUT "${${prefix}_OUT}" PARENT_SCOPE)
  set(${prefix}_ERR "${${prefix}_ERR}" PARENT_SCOPE)
endfunction()

# Expects exit status 2 and exactly one stderr line matching `pattern`.
function(expect_usage_error pattern)
  run_colorcal(e ${ARGN})
  if(NOT e_RC EQUAL 2)
    message(FATAL_ERROR "colorcal ${ARGN}: exit ${e_RC}, expected 2\n${e_ERR}")
  endif()
  if(NOT e_ERR MATCHES "${pattern}")
    message(FATAL_ERROR "colorcal ${ARGN}: stderr '${e_ERR}' does not match '${pattern}'")
  endif()
  string(REGEX MATCHALL "\n" newlines "${e_ERR}")
  list(LENGTH newlines lines)
  if(NOT lines EQUAL 1 OR NOT e_ERR MATCHES "^colorcal: error: ")
    message(FATAL_ERROR "colorcal ${ARGN}: stderr is not one 'colorcal: error:' line: '${e_ERR}'")
  endif()
endfunction()

# A decimal number (as written by the tool) times 1000, rounded down, as an integer.
function(to_milli value out)
  if(value MATCHES "e-")
    set(${out} 0 PARENT_SCOPE)
    return()
  endif()
  if(NOT value MATCHES "^(-?)([0-9]+)(\\.([0-9]*))?$")
    message(FATAL_ERROR "not a plain number: ${value}")
  endif()
  set(sign "${CMAKE_MATCH_1}")
  set(whole "${CMAKE_MATCH_2}")
  set(frac "${CMAKE_MATCH_4}000")
  string(SUBSTRING "${frac}" 0 3 frac)
  string(REGEX REPLACE "^0+([0-9])" "\\1" frac "${frac}")
  math(EXPR milli "${whole} * 1000 + ${frac}")
  if(sign STREQUAL "-")
    math(EXPR milli "0 - ${milli}")
  endif()
  set(${out} ${milli} PARENT_SCOPE)
endfunction()

# Renders a photo of CHART with SEED into DIR; sets ROI (X,Y,W,H) from the truth.
function(render_chart dir chart seed)
  file(MAKE_DIRECTORY ${dir})
  run_expect(0 r render --chart ${chart} --seed ${seed} --out ${dir}/photo.png
    --reference-out ${dir}/reference.csv --truth-out ${dir}/truth.json --white-out ${dir}/white-truth.tiff
    ${ARGN})
  file(READ ${dir}/truth.json truth)
  set(roi "")
  foreach(i 0 1 2 3)
    string(JSON v GET "${truth}" chart_region ${i})
    list(APPEND roi ${v})
  endforeach()
  string(REPLACE ";" "," roi "${roi}")
  set(ROI ${roi} PARENT_SCOPE)
  set(TRUTH "${truth}" PARENT_SCOPE)
endfunction()

function(external_white_args chart out)
  if(chart MATCHES "xrite")
    set(${out} ${ARGN} PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()
