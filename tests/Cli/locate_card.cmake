# colorcal calibrate without --support: the card is located in a
# wider photo among distractors, calibrated as well as with the true region,
# and reported in the JSON; a photo without a card fails with exit status 1
# and the message "no chart card found in the photo: " with the reason.
include(${CMAKE_CURRENT_LIST_DIR}/common.cmake)
set(dir ${WORK}/locate-${CHART})
file(REMOVE_RECURSE ${dir})
render_chart(${dir} ${CHART} ${SEED} --size 1600x1200 --distractors)
external_white_args(${CHART} ext --external-white ${dir}/white-truth.tiff)

run_expect(0 c calibrate --chart ${CHART} --image ${dir}/photo.png --reference ${dir}/reference.csv
  ${ext} --json ${dir}/located.json --report ${dir}/report.png)
file(READ ${dir}/located.json json)
string(JSON found GET "${json}" card found)
expect("the card is found" found STREQUAL "ON")
string(JSON score GET "${json}" card score)
to_milli(${score} sm)
expect("card score (${score}) above 0.8" sm GREATER 800)
foreach(k 0 1 2 3)
  foreach(axis 0 1)
    string(JSON v GET "${json}" card corners ${k} ${axis})
    string(JSON t GET "${TRUTH}" card_corners ${k} ${axis})
    to_milli(${v} vm)
    to_milli(${t} tm)
    math(EXPR diff "${vm} - ${tm}")
    expect("corner ${k}: within 3 px of the truth (${v} vs ${t})" diff LESS 3000 AND diff GREATER -3000)
  endforeach()
endforeach()
# The region holds the chart's box.
foreach(i 0 1)
  string(JSON r GET "${json}" roi ${i})
  string(JSON t GET "${TRUTH}" chart_region ${i})
  expect("region starts before the chart's box (${r} <= ${t})" r LESS_EQUAL t)
endforeach()
string(JSON count LENGTH "${json}" patches)
expect("20 patches" count EQUAL 20)
string(JSON mean GET "${json}" delta_e2000_stats mean)
to_milli(${mean} located_mean)

# The same photo with the true region and no mask: the card is located inside
# the region and its ground is the support, as accurate (within 10 %, + 0.05).
run_expect(0 t calibrate --chart ${CHART} --image ${dir}/photo.png --reference ${dir}/reference.csv
  --roi ${ROI} ${ext} --json ${dir}/truth-roi.json)
file(READ ${dir}/truth-roi.json truth_json)
string(JSON found GET "${truth_json}" card found)
expect("the card is located inside the given region" found STREQUAL "ON")
string(JSON truth_mean GET "${truth_json}" delta_e2000_stats mean)
to_milli(${truth_mean} truth_milli)
math(EXPR limit "${truth_milli} * 11 / 10 + 50")
expect("CIEDE2000 without a region (${mean}) close to the true region's (${truth_mean})"
  located_mean LESS_EQUAL limit)

# A bright photo without a card (the true white image): exit 1, the message, no card.
file(COPY_FILE ${dir}/white-truth.tiff ${dir}/blank.tiff)
run_expect(1 n calibrate --chart ${CHART} --image ${dir}/blank.tiff --reference ${dir}/reference.csv
  ${ext} --json ${dir}/none.json --report ${dir}/none.png)
file(READ ${dir}/none.json none)
string(JSON error GET "${none}" error)
expect("the error says no card was found and why ('${error}')" error MATCHES "^no chart card found in the photo: .+Hint: ")
string(JSON found GET "${none}" card found)
expect("card.found is false" found STREQUAL "OFF")
string(JSON corners TYPE "${none}" card corners)
expect("no corners without a card" corners STREQUAL "NULL")
expect("the report is written for the failure" EXISTS ${dir}/none.png)
