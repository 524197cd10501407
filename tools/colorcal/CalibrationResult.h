#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "CommandLine.h"
#include "DataLayer/ShadeAnalysis/SegmentationDiagnostics.h"

namespace ColorCalCli {

/// What the tool hands the engine; every colour in the working space (linear
/// light after sRGB decoding, or the values untouched).
struct EngineInput {
    EChart chart = EChart::eCCTPrint;
    cv::Mat photo;  ///< CV_32FC3, the whole photo
    cv::Rect roi;   ///< the chart's region, inside the photo
    /// The region's values display-encoded (sRGB), CV_32FC3, to segment instead
    /// of the working values: the segmentation's Lab clustering expects values
    /// as a display shows them. Empty: segment the working values.
    cv::Mat segmentationRegion;
    cv::Mat support;        ///< CV_8U, photo size; non-zero: not usable white ground
    cv::Mat externalWhite;  ///< CV_32FC3 of the photo's size, or empty
    std::optional<std::array<double, 3>> realWhiteBgr;
    std::array<std::array<double, 3>, 20> referenceRgb{};  ///< reference order
    /// The white estimate's ridge fit everywhere (a resampled card, whose
    /// white has no earlier result to keep), instead of the engine's choice.
    bool ridgeWhite = false;
};

/// Which white estimate ran and how well it fitted its white ground.
struct WhiteEstimateInfo {
    bool available = false;    ///< false when the white estimation did not run or failed
    std::string method;        ///< the estimator's name
    long long centres = 0;     ///< RBF centres of the fit
    long long samples = 0;     ///< data samples of the fit
    double residualRms = 0.0;  ///< fit residual over the samples, working values
};

/// What the engine found, in the working space.
struct EngineResult {
    bool ok = false;
    std::string error;  ///< why the calibration failed
    /// Row-major 3 x 4 matrix: channel k = m[4k]·B + m[4k+1]·G + m[4k+2]·R + m[4k+3].
    std::array<double, 12> matrix{};
    std::array<double, 3> realWhiteBgr{};
    std::array<double, 3> pickedWhiteBgr{};
    std::vector<cv::Point2d> centers;  ///< photo coordinates, found order
    std::vector<int> referenceIndex;   ///< reference position of each found patch
    /// The chart's turn by the pairing the colours chose: 0, 90, 180 or 270
    /// degrees clockwise from the grid found (`GetChartOrientation`); -1 when
    /// not calibrated.
    int orientation = -1;
    std::array<std::array<double, 3>, 20> measuredRgb{};  ///< reference order
    cv::Mat labels;      ///< CV_32S of the region's size (> 1 on patches), may be empty
    cv::Mat whiteImage;  ///< CV_32FC3 of the photo's size, may be empty
    /// What the segmentation found or why it failed (region coordinates).
    DataLayer::SegmentationDiagnostics segmentation;
    WhiteEstimateInfo whiteEstimate;
    std::vector<std::pair<std::string, double>> timingsMs;
};

/// A region that looked like a card but was turned down, for the report.
struct RejectedCard {
    std::array<cv::Point2d, 4> corners{};  ///< top left, top right, bottom right, bottom left
    std::string reason;
};

/// Where the chart's card was found in the photo when no region was given.
struct CardResult {
    bool searched = false;  ///< false when the caller gave the region
    bool found = false;
    std::array<cv::Point2d, 4> corners{};  ///< top left, top right, bottom right, bottom left
    double score = 0.0;
    cv::Rect roi;                        ///< the card's box plus a margin, inside the photo
    cv::Mat support;                     ///< CV_8U, photo size; 0 on the card's white ground
    std::string reason;                  ///< why no card was found
    std::vector<RejectedCard> rejected;  ///< the most card-like regions turned down
    /// The nominal card frame to the photo (`DataLayer::ChartCardLocation`).
    cv::Matx33d homography = cv::Matx33d::eye();
    int gridRows = 0;  ///< the found layout
    int gridColumns = 0;
    double scale = 0.0;  ///< photo pixels per nominal pixel at the card's centre
    double tiltDeg = 0.0;
    double rotationDeg = 0.0;
    /// At the nominal scale and facing the camera: calibrated on the photo as
    /// it is; otherwise in the card's rectified frame.
    bool nominal = true;
};

/// The largest residual of the white field's fit over its support, as a
/// share of the white's level, that a calibration accepts. A support of the
/// card's own ground leaves 0.1-0.7 % (shading, noise and JPEG of realistic
/// photos); one that holds the scene around the card 8-20 %.
constexpr double kMaxWhiteResidualShare = 0.03;

/// Looks for the card of `chart` in `photo` (CV_32FC3 on the 0..255 scale)
/// with the library's card locator; `linearInput` when the values are linear
/// light. Never throws for the photo's content.
CardResult locateCard(const cv::Mat& photo, EChart chart, bool linearInput);

/// Runs the library's engine on `input`. Never throws for the engine's own
/// failures: they come back as `ok == false` with the reason.
EngineResult runEngine(const EngineInput& input);

/// The matrix applied to a (B, G, R) colour.
std::array<double, 3> applyMatrixBgr(const std::array<double, 12>& m,
                                     const std::array<double, 3>& bgr);

}  // namespace ColorCalCli
