#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/Export.h"
#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"
#include "DataLayer/ShadeAnalysis/ColorScience.h"
#include "DataLayer/ShadeAnalysis/SegmentationDiagnostics.h"
#include "DataLayer/ShadeAnalysis/Workflow/PhotoEncoding.h"

/// The calibration of one photo, from its pixels to the colour matrix: the
/// card located (or the host's region and support taken), a card that is not
/// at the chart's nominal scale facing the camera brought into its rectified
/// frame, the chart segmented, the white field estimated, the picked white
/// measured and the matrix fitted, each by a stateless stage with explicit
/// inputs, and every result brought back onto the photo.
///
/// Rules shared by everything below:
/// - Images are CV_32FC3, blue-green-red, on the 0..255 scale, in the photo's
///   own encoding; colours are (B, G, R) unless named `Rgb`.
/// - "Working space": the values the fit runs on, linear light after sRGB
///   decoding for `Encoding::eSrgb`, the values as given otherwise
///   (PhotoEncoding.h). Results are in the working space unless said otherwise.
/// - `calibratePhoto` never throws for the photo's content or for a failed
///   stage: the result holds the failure (code and message) and the text a
///   user is shown. Input checks in a front end's own words come first: the
///   request is expected to be well formed (sizes, region inside the photo).
/// - The calls hold no state: two calls on one request give one result, and
///   calls may run on several threads at once. A failed calibration logs as
///   the engine (`CColorCalibration::startColorCalibration`) logs the same failure.
namespace DataLayer {

/// The largest residual of the white field's fit over its support, as a
/// share of the white's level, that a calibration accepts. A support of the
/// card's own ground leaves 0.1-0.7 % (shading, noise and JPEG of realistic
/// photos); one that holds the scene around the card 8-20 %.
constexpr double kMaxWhiteResidualShare = 0.03;

/// What a photo calibration starts from.
struct PhotoCalibrationRequest {
    Base::IParameterSetColorCalibrationTarget::EParameterSet chart =
        Base::IParameterSetColorCalibrationTarget::eCCTPrint;
    cv::Mat photo;            ///< CV_32FC3, 0..255, in its own encoding
    int sourceDepth = CV_8U;  ///< depth the photo was read at: CV_8U, CV_16U or CV_32F
    /// The chart's region, inside the photo. With a `support` mask it is the
    /// region segmented; without one the card is located inside it. None:
    /// the card is located in the whole photo, and its box (plus a margin) is
    /// the region.
    std::optional<cv::Rect> roi;
    /// CV_8U of the photo's size (non-zero: not usable white ground); empty:
    /// the located card's white ground is usable, everything else excluded.
    cv::Mat support;
    cv::Mat externalWhite;  ///< CV_32FC3 of the photo's size in the photo's encoding, or empty
    /// The white the photo is corrected to, in the references' encoding; none:
    /// the white picked on the chart.
    std::optional<std::array<double, 3>> realWhiteBgr;
    /// The chart's 20 reference colours (r, g, b), in reference order and the
    /// photo's encoding.
    std::array<std::array<float, 3>, 20> referencesRgb{};
    std::optional<Color::Encoding> encoding;  ///< none: chosen by `sourceDepth`
    bool linearRgb = false;  ///< with eNone: the values are linear sRGB (for CIEDE2000)
    /// A card calibrated in its rectified frame has its white estimated by the
    /// ridge fit everywhere (a resampled card has no earlier white to keep);
    /// false leaves the engine's own choice there too.
    bool ridgeWhiteWhenRectified = true;
};

/// A region that looked like a card but was turned down.
struct RejectedCardCandidate {
    std::array<cv::Point2d, 4> corners{};  ///< top left, top right, bottom right, bottom left
    std::string reason;
};

/// Where the chart's card was found in the photo (photo pixels).
struct LocatedCard {
    bool searched = false;  ///< false when the request gave both region and support
    bool found = false;
    std::array<cv::Point2d, 4> corners{};  ///< top left, top right, bottom right, bottom left
    double score = 0.0;
    cv::Rect roi;        ///< the card's box plus a margin, inside the photo
    cv::Mat support;     ///< CV_8U, photo size; 0 on the card's white ground
    std::string reason;  ///< why no card was found
    std::vector<RejectedCardCandidate> rejected;  ///< the most card-like regions turned down
    /// The nominal card frame to the photo (`ChartCardLocation::homography`).
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

/// Which white estimate ran and how well it fitted its white ground.
struct WhiteEstimateSummary {
    bool available = false;    ///< false when the white estimation did not run or failed
    std::string method;        ///< the estimator's name
    long long centres = 0;     ///< RBF centres of the fit
    long long samples = 0;     ///< data samples of the fit
    double residualRms = 0.0;  ///< fit residual over the samples, working values
};

/// What a photo calibration found. Only `failure`, `error`, `encoding`,
/// `valuesLinear`, `card`, `photoRoi`, the diagnostics and the timings are
/// set after a failure.
struct PhotoCalibrationResult {
    /// Why there is no matrix (`eNone` for a matrix): a stage's code with its
    /// message, or one of the workflow's own (`eWhiteSupportTooWide`, `eRunAborted`).
    CalibrationError failure;
    /// The failure as a user is shown it (UTF-8), with the common cause a user
    /// can fix when one is known ("... Hint: ..."); empty on success.
    std::string error;
    Color::Encoding encoding = Color::Encoding::eSrgb;  ///< resolved
    bool valuesLinear = false;  ///< whether the photo's values are linear sRGB (for CIEDE2000)
    LocatedCard card;           ///< the located card (`searched` false when not looked for)
    /// The chart's region in photo pixels (the labels' box).
    cv::Rect photoRoi;
    /// Row-major 3 x 4 matrix: channel k = m[4k]·B + m[4k+1]·G + m[4k+2]·R + m[4k+3].
    std::array<double, 12> matrix{};
    std::array<double, 3> realWhiteBgr{};
    std::array<double, 3> pickedWhiteBgr{};
    std::vector<cv::Point2d> centers;  ///< patch centres in photo pixels, found order
    std::vector<int> referenceIndex;   ///< reference position of each found patch
    /// The chart's turn by the pairing the colours chose: 0, 90, 180 or 270
    /// degrees clockwise from the grid found; -1 when not calibrated.
    int orientation = -1;
    std::array<std::array<double, 3>, 20> measuredRgb{};  ///< flat-fielded, reference order
    cv::Mat labels;  ///< CV_32S of `photoRoi`'s size (> 1 on patches), may be empty
    /// CV_32FC3 of the photo's size, positive and finite everywhere (outside
    /// the card held within the range it takes on the card's ground).
    cv::Mat whiteImage;
    /// What the segmentation found or why it failed (coordinates in `photoRoi`).
    SegmentationDiagnostics segmentation;
    WhiteEstimateSummary whiteEstimate;
    /// Milliseconds per stage that ran: "locate_card" (when the card was
    /// looked for), "segmentation", "white_estimation", "calibration".
    std::vector<std::pair<std::string, double>> timingsMs;

    /// Whether there is a matrix.
    bool ok() const { return !failure.failed(); }
};

/// Calibrates `request.photo`; see the rules at the top of this header.
COLORCAL_EXPORT PhotoCalibrationResult calibratePhoto(const PhotoCalibrationRequest& request);

/// `photo` (the calibrated photo, in its own encoding) corrected with a
/// successful result's white image, real white and matrix by
/// `applyColorCorrection`, in the photo's encoding. Throws
/// `std::runtime_error` naming the fault for a failed result or another size.
COLORCAL_EXPORT cv::Mat correctedPhoto(const cv::Mat& photo, const PhotoCalibrationResult& result);

/// The matrix applied to a (B, G, R) colour.
COLORCAL_EXPORT std::array<double, 3> applyMatrixBgr(const std::array<double, 12>& m,
                                                     const std::array<double, 3>& bgr);

}  // namespace DataLayer
