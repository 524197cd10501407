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
