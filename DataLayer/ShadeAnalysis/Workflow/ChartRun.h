#pragma once

// The stages of one chart run on prepared values: segmentation, white
// estimate, picked and real white, calibration.

#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"
#include "DataLayer/ShadeAnalysis/Workflow/PhotoPreparation.h"

namespace DataLayer {

/// Runs the stages on `input` as the engine's entry points would for a host
/// that segments the display values, estimates the white on the working
/// values and patches in the picked and the real white:
/// - the chart is segmented (`segmentChart`) in `segmentationRegion`,
///   or in the working region when there is none; it needs 20 seeds;
/// - the white image of the whole working image is estimated from the
///   support's usable ground outside the patches (`estimateChartWhite`, the
///   ridge fit everywhere when `input.ridgeWhite`);
/// - the picked white is measured on the working region and is the real
///   white unless `input.realWhiteBgr` is given; without an external white,
///   a white field that misses its support by more than
///   `kMaxWhiteResidualShare` of the white is refused;
/// - the calibration stage (`calibrateChart`) fits the matrix, after the
///   reference check and the external white the chart type asks for, logged
///   as the engine logs them.
/// Everything in region coordinates of `input` except the centres (image
/// coordinates) and the white image (the whole image). Never throws: an
/// exception fails the run with `eRunAborted`.
PhotoCalibrationResult runChart(const ChartRunInput& input);

}  // namespace DataLayer
