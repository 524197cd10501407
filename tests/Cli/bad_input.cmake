# Exit statuses and messages of colorcal on bad input: status 2 and one line on
# standard error naming the problem; status 1 with ok: false when the
# calibration itself fails; --help everywhere. The parser's own messages are
# covered by the unit tests: here only those that need files or the photo.
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
set(dir ${WORK}/bad-input)
file(REMOVE_RECURSE ${dir})
render_chart(${dir} cct-print 1 --size 700x600)
set(photo ${dir}/photo.png)
set(ref ${dir}/reference.csv)

set(base calibrate --chart cct-print --image ${photo} --reference ${ref})

expect_usage_error("no command")
expect_usage_error("unknown chart type 'cct-paper'" calibrate --chart cct-paper --image ${photo} --reference ${ref})
expect_usage_error("cannot read the photo '${dir}/missing.png': no such file"
  calibrate --chart cct-print --image ${dir}/missing.png --reference ${ref})
file(WRITE ${dir}/not-an-image.png "plain text\n")
expect_usage_error("cannot read the photo .*not an image"
  calibrate --chart cct-print --image ${dir}/not-an-image.png --reference ${ref})
expect_usage_error("cannot read the reference file '${dir}/missing.csv'"
  calibrate --chart cct-print --image ${photo} --reference ${dir}/missing.csv)

# A reference file with a malformed third line, and one with 19 colours.
file(STRINGS ${ref} ref_lines REGEX "^[0-9]")
list(SUBLIST ref_lines 0 2 good_two)
list(SUBLIST ref_lines 3 17 rest)
string(REPLACE ";" "\n" good_two "${good_two}")
string(REPLACE ";" "\n" rest "${rest}")
file(WRITE ${dir}/bad-line.csv "${good_two}\n12,x,9\n${rest}\n")
expect_usage_error("reference file '.*bad-line.csv', line 3: 'x' is not a number"
  calibrate --chart cct-print --image ${photo} --reference ${dir}/bad-line.csv)
list(SUBLIST ref_lines 0 19 nineteen)
string(REPLACE ";" "\n" nineteen "${nineteen}")
file(WRITE ${dir}/short.csv "${nineteen}\n")
expect_usage_error("expected 20 colours, found 19"
  calibrate --chart cct-print --image ${photo} --reference ${dir}/short.csv)

# Regions and masks that do not fit the photo.
expect_usage_error("--roi 600,500,200,200 lies outside the photo \\(700x600\\)" ${base} --roi 600,500,200,200)
expect_usage_error("render: --handheld draws the pose, light, size and distractors from the seed; leave out --rotation"
  render --handheld --rotation 3 --out ${dir}/h.png --reference-out ${dir}/h.csv)
run_expect(0 r render --chart cct-print --out ${dir}/small.png --reference-out ${dir}/small.csv --size 64x48)
expect_usage_error("support mask '.*small.png' is not an 8-bit|support mask '.*small.png' is 64x48, the photo 700x600"
  ${base} --support ${dir}/small.png)
expect_usage_error("external white image '.*small.png' is 64x48, the photo 700x600"
  ${base} --external-white ${dir}/small.png)
expect_usage_error("chart type cct-xrite needs --external-white"
  calibrate --chart cct-xrite --image ${photo} --reference ${ref})

# A region holding no card, without a mask: status 1, the card is not found in it.
run_expect(1 f ${base} --roi 0,0,50,50 --json ${dir}/nocard.json)
file(READ ${dir}/nocard.json nocard)
string(JSON reason GET "${nocard}" error)
expect("no card in the region, with the reason (${reason})" reason MATCHES "^no chart card found in the region: .+Hint: ")

# A region holding no chart, with the host's mask: the calibration fails,
# status 1, ok false with the reason.
run_expect(1 f ${base} --roi 0,0,50,50 --support ${photo} --json ${dir}/failed.json
  --report ${dir}/failed.png)
expect("a failed run still writes its report" EXISTS ${dir}/failed.png)
file(READ ${dir}/failed.json failed)
string(JSON ok GET "${failed}" ok)
expect("failed run: ok false" ok STREQUAL "OFF")
string(JSON reason GET "${failed}" error)
expect("failed run names the reason and a hint (${reason})"
  reason MATCHES "^segmentation failed: .*\\. Hint: the photo may show another chart type")
string(JSON stage GET "${failed}" segmentation reason)
expect("failed run names the stage (${stage})" stage MATCHES "patch|grid")
string(JSON recovered GET "${failed}" segmentation recovered)
expect("failed run: nothing recovered" recovered STREQUAL "OFF")
string(JSON patches LENGTH "${failed}" patches)
expect("failed run: no patches" patches EQUAL 0)
string(JSON matrix TYPE "${failed}" matrix)
expect("failed run: matrix null" matrix STREQUAL "NULL")
string(JSON orientation TYPE "${failed}" orientation)
expect("failed run: orientation null" orientation STREQUAL "NULL")

# Reference colours in another order than the chart's patches (shifted by
# one line): the residual rule fails with the residual in words and the hint
# for its common cause, in the JSON and on standard error.
list(SUBLIST ref_lines 1 19 shifted)
list(GET ref_lines 0 first)
list(APPEND shifted ${first})
string(REPLACE ";" "\n" shifted "${shifted}")
file(WRITE ${dir}/shifted.csv "${shifted}\n")
run_expect(1 s calibrate --chart cct-print --image ${photo} --reference ${dir}/shifted.csv
  --json ${dir}/shifted.json)
file(READ ${dir}/shifted.json shifted_json)
string(JSON reason GET "${shifted_json}" error)
expect("shifted references: the residual in words (${reason})" reason MATCHES
  "^calibration failed: the corrected colours miss the references: residual [0-9.]+ of the references' spread \\(the best of [0-9] pairings, [a-z ]+\\), at most 0\\.40 allowed\\.")
expect("shifted references: the hint (${reason})" reason MATCHES
  "Hint: the reference colours may be in another order than the chart's patches, or belong to another chart type$")
expect("shifted references: the engine's line on standard error (${s_ERR})" s_ERR MATCHES
  "the corrected colours miss the references")

# --help on every subcommand.
foreach(command calibrate demo render)
  run_expect(0 h ${command} --help)
  expect("${command} --help prints its usage" h_OUT MATCHES "Usage: colorcal ${command}")
endforeach()
run_expect(0 h --help)
expect("--help lists the commands" h_OUT MATCHES "calibrate.*demo.*render")
