# colorcal apply and export on files: a batch in which one photo is unreadable
# and one has another size than the white image corrects the others, lists
# the two and exits 1; refusals of the calibration file, the white image and
# outputs that would replace an input come before any work, with exit 2.
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
set(dir ${WORK}/apply)
file(REMOVE_RECURSE ${dir})
render_chart(${dir} qcc-print 1)
run_expect(0 c calibrate --chart qcc-print --image ${dir}/photo.png --reference ${dir}/reference.csv
  --roi ${ROI} --json ${dir}/cal.json --white-out ${dir}/white.tiff)
file(WRITE ${dir}/broken.png "not a png")
run_expect(0 r render --chart qcc-print --seed 2 --size 300x200 --out ${dir}/small.png
  --reference-out ${dir}/small.csv)
file(COPY ${dir}/photo.png DESTINATION ${dir}/second)
run_expect(1 a apply --calibration ${dir}/cal.json --white ${dir}/white.tiff --out-dir ${dir}/out
  ${dir}/photo.png ${dir}/broken.png ${dir}/small.png)
expect("the good photo is written" EXISTS ${dir}/out/photo.png)
expect("nothing for the failed ones" NOT EXISTS ${dir}/out/broken.png AND NOT EXISTS ${dir}/out/small.png)
expect("both failures listed (${a_ERR})" a_ERR MATCHES "broken.png" AND a_ERR MATCHES "small.png.*300 x 200")
expect("the summary line (${a_OUT})" a_OUT MATCHES "corrected 1 of 3 photos.*2 failed")

expect_usage_error("the output '.*/photo.png' and the input '.*/photo.png' are the same file"
  apply --calibration ${dir}/cal.json --out-dir ${dir} ${dir}/photo.png)
expect_usage_error("two photos would be written to '.*/out/photo.png'"
  apply --calibration ${dir}/cal.json --out-dir ${dir}/out ${dir}/photo.png ${dir}/second/photo.png)
expect_usage_error("apply: --out takes one photo \\(2 given\\)"
  apply --calibration ${dir}/cal.json --out ${dir}/x.png ${dir}/photo.png ${dir}/small.png)
expect_usage_error("--white '.*/small.png': the white image is written as a 32-bit float TIFF"
  apply --calibration ${dir}/cal.json --white ${dir}/small.png --out-dir ${dir}/out ${dir}/photo.png)
file(READ ${dir}/cal.json json)
string(REPLACE "\"format_version\": 1" "\"format_version\": 7" v7 "${json}")
file(WRITE ${dir}/v7.json "${v7}")
expect_usage_error("calibration file '.*/v7.json': format_version 7 is not supported"
  apply --calibration ${dir}/v7.json --out-dir ${dir}/out ${dir}/photo.png)
expect_usage_error("--cube-size: must lie within 2..129"
  export --calibration ${dir}/cal.json --cube ${dir}/c.cube --cube-size 1)
run_expect(0 e export --calibration ${dir}/cal.json --icc ${dir}/cal.icc --cube ${dir}/cal.cube --cube-size 9)
file(STRINGS ${dir}/cal.cube size_line REGEX "^LUT_3D_SIZE")
expect("the cube's size (${size_line})" size_line STREQUAL "LUT_3D_SIZE 9")
