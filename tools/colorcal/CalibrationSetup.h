#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "CalibrationResult.h"
#include "CommandLine.h"
#include "DataLayer/ShadeAnalysis/CCardRectification.h"
#include "ImageConversion.h"
#include "ReferenceCsv.h"

/// The steps of a calibration that every front end (the command-line tool,
/// the Python module) shares: how the encoding is resolved, which values the
/// engine gets and how a photo is corrected with the result. Inputs are
/// checked (sizes, region, ranges) by the caller, in its own words.
namespace ColorCalCli {

/// What a calibration starts from, however it was read.
struct CalibrationRequest {
    EChart chart = EChart::eCCTPrint;
    LoadedImage photo;  ///< on the library's scale, in its own encoding
    /// The chart's region, inside the photo. With a `support` mask it is the
    /// region the engine segments; without one the card is located inside it.
    /// None: the card is located in the whole photo. The located card's box
    /// (plus a margin) is then the region.
    std::optional<cv::Rect> roi;
    /// CV_8U of the photo's size (non-zero: not usable white ground); empty:
    /// the located card's white ground is usable, everything else excluded.
    cv::Mat support;
    cv::Mat externalWhite;  ///< CV_32FC3 of the photo's size in the photo's encoding, or empty
    std::optional<std::array<double, 3>> realWhiteBgr;  ///< in the reference colours' encoding
    ReferenceColors references{};                       ///< as read, in reference order
    std::optional<Encoding> encoding;                   ///< none: chosen by the photo's depth
    bool linearRgb = false;  ///< with eNone: the values are linear sRGB (for CIEDE2000)
};

/// What a front end reports when the card is not found (and exits 1 for).
inline const std::string kNoCardMessage = "no chart card found in the photo";
inline const std::string kNoCardInRegionMessage = "no chart card found in the region";

/// The engine's input for a request and the encoding it was made for.
struct PreparedCalibration {
    /// False when the card was looked for and not found: the engine must not
    /// run, the calibration fails with `kNoCardMessage`, and `input` holds
    /// only the chart and the whole photo as the region.
    bool ready = true;
    CardResult card;  ///< the located card (`searched` false when a region was given)
    EngineInput input;
    Encoding encoding = Encoding::eSrgb;  ///< resolved
    bool valuesLinear = false;  ///< whether the reported values are linear sRGB (for CIEDE2000)
    /// Set when the located card is not at the chart's nominal scale facing
    /// the camera: `input` then holds the card's rectified frame (its image,
    /// region, support and external white), and `runPrepared` maps the
    /// engine's results back onto the photo.
    std::shared_ptr<const DataLayer::CCardRectification> rectification;
    /// The chart's region in photo pixels: `input.roi`, or the photo's box
    /// around the rectified frame's region.
    cv::Rect photoRoi;
    /// Why the calibration cannot run when `ready` is false.
    std::string failure;
};

/// The encoding `encoding` stands for on a photo of `sourceDepth`: none given
/// is sRGB for 8-bit photos and linear for 16-bit and float photos.
Encoding resolveEncoding(std::optional<Encoding> encoding, int sourceDepth);

/// Finds the chart's card in a photo: `locateCard` for the front ends, a
/// stand-in for tests.
using CardLocator = std::function<CardResult(const cv::Mat& photo, EChart chart, bool linearInput)>;

/// Resolves the encoding and builds the engine's input: the photo, the
/// external white, the real white and the references in the working space
/// (sRGB decoded for eSrgb), the region to segment display-encoded (eSrgb
/// and eLinear) and the default support mask when none is given. Unless both
/// a region and a support mask are given, the card is located with `locate`
/// first (on the photo's own values, inside the region when there is one);
/// its box is the region and, without a support mask, its white ground the
/// support. A card that is not at the nominal scale facing the camera is
/// calibrated in its rectified frame.
PreparedCalibration prepareCalibration(const CalibrationRequest& request,
                                       const CardLocator& locate);

/// Runs the engine on a prepared calibration (a failed result with
/// `prepared.failure` when it is not ready) and brings its results onto the
/// photo: patch centres, labels (of `prepared.photoRoi`) and
/// the seeds in photo terms, and a white image of the whole photo that is
/// positive and finite everywhere (outside the card held within the range
/// it takes on the card's ground).
EngineResult runPrepared(const PreparedCalibration& prepared);

/// The whole photo in the working space of the prepared calibration: what
/// `correctedPhoto` corrects (the engine's own input when it ran on the photo).
cv::Mat workingPhoto(const PreparedCalibration& prepared, const cv::Mat& photo);

/// A CV_32FC3 image on the library's scale in the working space of
/// `encoding` (sRGB decoded for eSrgb; otherwise the same image) and back.
cv::Mat toWorkingImage(const cv::Mat& image, Encoding encoding);
cv::Mat toPhotoEncoding(const cv::Mat& image, Encoding encoding);

/// `workingPhoto` (CV_32FC3, working space, the photo's size) corrected with
/// the result's white image, real white and matrix by the library's
/// `applyColorCorrection`, brought back to the photo's encoding: what
/// `--corrected-out` writes. `result` must be a successful run on a photo of
/// the same size; otherwise `std::runtime_error` names the fault.
cv::Mat correctedPhoto(const cv::Mat& workingPhoto, const EngineResult& result, Encoding encoding);

}  // namespace ColorCalCli
