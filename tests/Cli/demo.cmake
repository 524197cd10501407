# colorcal demo: prints the table with the errors before and after, writes the report.
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
set(dir ${WORK}/demo)
file(REMOVE_RECURSE ${dir})
run_expect(0 d demo --out ${dir})
foreach(text "CIEDE2000 over the 20 patches" "before the matrix" "after, --encoding srgb"
             "after, --encoding none" "report: ")
  string(FIND "${d_OUT}" "${text}" at)
  expect("demo output mentions '${text}'" NOT at EQUAL -1)
endforeach()
foreach(f photo.png reference.csv truth.json result.json result-none.json report.png)
  expect("${f} written" EXISTS ${dir}/${f})
endforeach()

# The demo calibrates as a user would, without a region: the card is located
# and its ground alone is the white's support, so the white field fits it
# closely (within a per cent of the white, well inside the 3 % bound).
file(READ ${dir}/result.json json)
string(JSON found GET "${json}" card found)
expect("the demo locates the card" found STREQUAL "ON")
string(JSON residual GET "${json}" white_estimate residual_rms)
string(JSON white GET "${json}" real_white_bgr 1)
to_milli(${residual} residual_milli)
to_milli(${white} white_milli)
math(EXPR bound "${white_milli} / 100")
expect("the demo's white fits its support (residual ${residual}, white ${white})"
  residual_milli LESS bound)
