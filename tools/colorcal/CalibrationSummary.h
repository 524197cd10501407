#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "CommandLine.h"
#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"
#include "ErrorStats.h"
#include "ReferenceCsv.h"

namespace ColorCalCli {

/// One patch of the result, colours in the reference file's encoding.
struct PatchRow {
    int referenceIndex = 0;
    cv::Point2d center;
    std::array<double, 3> measuredRgb{};
    std::array<double, 3> referenceRgb{};
    std::array<double, 3> correctedRgb{};
    double deltaEBefore = 0.0;  ///< measured (flat-field corrected) against reference
    double deltaEAfter = 0.0;   ///< corrected with the matrix against reference
};

/// Everything the tool reports about one calibration.
struct CalibrationSummary {
    bool ok = false;
    std::string error;
    EChart chart = EChart::eCCTPrint;
    Encoding encoding = Encoding::eSrgb;  ///< resolved, never eAuto
    bool valuesLinear = false;  ///< whether the reported values are linear sRGB (for CIEDE2000)
    std::array<double, 12> matrix{};
    std::array<double, 3> realWhiteBgr{};
    std::array<double, 3> pickedWhiteBgr{};
    std::vector<PatchRow> patches;  ///< found order
    int orientation = -1;           ///< the chart's turn (`PhotoCalibrationResult::orientation`)
    ErrorStats before;
    ErrorStats after;
    cv::Size imageSize;
    cv::Rect roi;
    /// The chart's card as located in the photo (`searched` false when the
    /// region was given); the report draws it and the turned-down candidates.
    DataLayer::LocatedCard card;
    /// What the segmentation found or why it failed (region coordinates).
    DataLayer::SegmentationDiagnostics segmentation;
    /// Which white estimate ran (residual in the reference file's scale of the
    /// working values, as the engine saw them).
    DataLayer::WhiteEstimateSummary whiteEstimate;
    /// Spread of the white over the patch centres: 100·(1 − min/max) of its
    /// luminance there, in %; negative when not known.
    double whiteFalloffPercent = -1.0;
    std::vector<std::pair<std::string, double>> timingsMs;

    /// "linear" when the matrix works on linear light, "encoded" otherwise.
    std::string matrixSpace() const;
};

/// Builds the summary of a photo calibration: converts every colour back to
/// the reference file's encoding, applies the matrix to the measured colours
/// and computes CIEDE2000 before and after (reading the file's values as
/// linear sRGB where `result.valuesLinear`). `fileReferences` are the colours
/// as read from the reference file; `imageSize` is the photo's. The timings
/// are the calibration's; a front end adds its own.
CalibrationSummary summarize(const DataLayer::PhotoCalibrationResult& result,
                             const ReferenceColors& fileReferences, EChart chart,
                             cv::Size imageSize);

/// Spread of `white` (CV_32FC3, BGR) over the `centres`: 100·(1 − min/max)
/// of its luminance (Rec. 709 weights) at the nearest pixels, in %; -1 when
/// no centre lies inside or a value is not finite or positive.
double whiteFalloffAtCentres(const cv::Mat& white, const std::vector<cv::Point2d>& centres);

/// The JSON document of a summary.
std::string formatSummaryJson(const CalibrationSummary& summary);

}  // namespace ColorCalCli
