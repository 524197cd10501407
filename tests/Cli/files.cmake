# How colorcal treats the files it is given: inputs only from regular files
# within their limits, names shown escaped, outputs that never replace an
# input or each other and appear only when complete. Every refusal comes
# before any work, with exit status 2 and one line.
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
set(dir ${WORK}/files)
file(REMOVE_RECURSE ${dir})
render_chart(${dir} cct-print 1 --size 700x600)
set(photo ${dir}/photo.png)
set(ref ${dir}/reference.csv)
set(base calibrate --chart cct-print --image ${photo} --reference ${ref})
set(with_ref calibrate --chart cct-print --reference ${ref} --image)
set(with_photo calibrate --chart cct-print --image ${photo} --reference)
file(SHA256 ${photo} photo_hash)
file(SHA256 ${ref} ref_hash)

# Inputs that are no regular file or too large. The PNGs are bare headers
# claiming 60000 x 60000 and 12000 x 12000 pixels.
set(ihdr "\\x89PNG\\r\\n\\x1a\\n\\0\\0\\0\\x0dIHDR")
write_bytes(${dir}/huge.png "${ihdr}\\0\\0\\xea\\x60\\0\\0\\xea\\x60\\x08\\x02\\0\\0\\0")
write_bytes(${dir}/large.png "${ihdr}\\0\\0\\x2e\\xe0\\0\\0\\x2e\\xe0\\x08\\x02\\0\\0\\0")
execute_process(COMMAND mkfifo ${dir}/fifo.csv)
string(REPEAT "# padding\n" 110000 padding)
file(WRITE ${dir}/big.csv "${padding}")
file(MAKE_DIRECTORY ${dir}/folder.png)
file(READ ${photo} head LIMIT 3000 HEX)
string(REGEX REPLACE "(..)" "\\\\x\\1" head "${head}")
write_bytes(${dir}/cut.png "${head}")
string(ASCII 27 esc)
expect_usage_error("cannot read the photo '.*/huge.png': it is 60000 x 60000, over the 100 MP limit \\(--max-megapixels\\)"
  ${with_ref} ${dir}/huge.png)
expect_usage_error("cannot read the photo '.*/large.png': it is 12000 x 12000, over the 100 MP limit"
  ${with_ref} ${dir}/large.png)
expect_usage_error("cannot read the photo '.*/photo.png': it is 700 x 600, over the 0.4 MP limit"
  ${base} --max-megapixels 0.4)
expect_usage_error("cannot read the support mask '.*/huge.png': it is 60000 x 60000" ${base} --support ${dir}/huge.png)
expect_usage_error("cannot read the photo '.*/folder.png': it is a directory" ${with_ref} ${dir}/folder.png)
expect_usage_error("cannot read the photo '.*/cut.png': it is damaged or cut short" ${with_ref} ${dir}/cut.png)
expect_usage_error("cannot read the reference file '.*/fifo.csv': it is not a regular file \\(a pipe\\)"
  ${with_photo} ${dir}/fifo.csv)
expect_usage_error("cannot read the reference file '/dev/zero': it is not a regular file \\(a device\\)"
  ${with_photo} /dev/zero)
expect_usage_error("cannot read the reference file '.*/big.csv': it is 1100000 bytes, over the limit of 1048576 bytes"
  ${with_photo} ${dir}/big.csv)
# A newline or an escape sequence in a name can neither break the line nor drive the terminal.
expect_usage_error("cannot read the photo '.*/odd\\\\nname\\\\x1b\\[31m.png': no such file"
  ${with_ref} "${dir}/odd\nname${esc}[31m.png")

# Outputs naming an input (also through another spelling or a link) or each other.
file(CREATE_LINK ${photo} ${dir}/hard.png)
file(CREATE_LINK ${ref} ${dir}/soft.csv SYMBOLIC)
expect_usage_error("--json '.*/photo.png' and --image '.*/photo.png' are the same file" ${base} --json ${photo})
expect_usage_error("--report '.*/folder.png/../photo.png' and --image" ${base} --report ${dir}/folder.png/../photo.png)
expect_usage_error("--corrected-out '.*/hard.png' and --image '.*/photo.png' are the same file"
  ${base} --corrected-out ${dir}/hard.png)
expect_usage_error("--json '.*/soft.csv' and --reference '.*/reference.csv' are the same file"
  ${base} --json ${dir}/soft.csv)
expect_usage_error("--json '.*/out.png' and --report '.*/out.png' are the same file"
  ${base} --json ${dir}/out.png --report ${dir}/out.png)
expect_usage_error("--out '.*/same.png' and --reference-out '.*/same.png' are the same file"
  render --out ${dir}/same.png --reference-out ${dir}/same.png)
expect_usage_error("cannot write --json '.*/out.json': the folder '.*/no-such-folder' does not exist"
  ${base} --json ${dir}/no-such-folder/out.json)
expect_usage_error("cannot write --json '.*/folder.png': it is a directory" ${base} --json ${dir}/folder.png)
expect_usage_error("--report '.*/report.xyz': no image format for this name" ${base} --report ${dir}/report.xyz)
file(SHA256 ${photo} photo_after)
file(SHA256 ${ref} ref_after)
expect("the inputs are untouched" photo_after STREQUAL photo_hash AND ref_after STREQUAL ref_hash)
expect("nothing written for a refused output" NOT EXISTS ${dir}/same.png AND NOT EXISTS ${dir}/out.png)

# A reference file with a byte-order mark and the lowest real white calibrate
# as well as any; the JSON replaces an older file and nothing else is left.
file(READ ${ref} ref_text)
write_bytes(${dir}/bom.csv "\\xef\\xbb\\xbf")
file(APPEND ${dir}/bom.csv "${ref_text}")
file(WRITE ${dir}/result.json "old")
run_expect(0 s calibrate --chart cct-print --image ${photo} --reference ${dir}/bom.csv --roi ${ROI}
  --real-white 1,1,1 --json ${dir}/result.json)
file(READ ${dir}/result.json json)
string(JSON white GET "${json}" real_white_bgr 0)
string(JSON mean GET "${json}" delta_e2000_stats mean)
to_milli(${mean} mean_milli)
to_milli(${white} white_milli)
expect("real white 1 (${white}) calibrates well: mean CIEDE2000 ${mean} below 2"
  white_milli GREATER_EQUAL 999 AND white_milli LESS_EQUAL 1001 AND mean_milli LESS 2000)
file(GLOB leftovers ${dir}/.colorcal-*)
list(LENGTH leftovers left)
expect("no temporary file left (${leftovers})" left EQUAL 0)

# A render too large for the memory at hand ends in one line in the tool's own
# words (an address-space limit does not mix with the sanitizers).
if(NOT SANITIZE)
  execute_process(COMMAND sh -c "ulimit -v 1500000 && exec \"$0\" \"$@\"" ${COLORCAL}
    render --size 16384x16384 --out ${dir}/big.png --reference-out ${dir}/big-ref.csv
    RESULT_VARIABLE rc ERROR_VARIABLE err TIMEOUT 120)
  expect("out of memory: exit ${rc}, '${err}'"
    rc EQUAL 2 AND err STREQUAL "colorcal: error: not enough memory for a 16384 x 16384 render\n")
  expect("no photo written" NOT EXISTS ${dir}/big.png)
endif()
