#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"

#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "Base/StringConversion.h"
#include "DataLayer/ShadeAnalysis/CCardRectification.h"
#include "DataLayer/ShadeAnalysis/ColorCorrection.h"
#include "DataLayer/ShadeAnalysis/Workflow/ChartRun.h"
#include "DataLayer/ShadeAnalysis/Workflow/PhotoPreparation.h"
#include "DataLayer/ShadeAnalysis/Workflow/WorkflowText.h"

namespace DataLayer {

namespace {

using Clock = std::chrono::steady_clock;

/// The stages' results of a run on the photo itself, in photo terms: outside
/// the card (or the given region) the white is an extrapolation, held within
/// the range it takes on the ground.
void boundWhiteOnPhoto(const PreparedPhoto& prepared, PhotoCalibrationResult& result) {
    if (!result.ok() || result.whiteImage.empty()) {
        return;
    }
    std::array<cv::Point2f, 4> outline;
    if (prepared.card.found) {
        for (std::size_t k = 0; k < 4; ++k) outline[k] = cv::Point2f(prepared.card.corners[k]);
    } else {
        const cv::Rect& r = prepared.input.roi;
        outline = {cv::Point2f(r.x, r.y), cv::Point2f(r.x + r.width - 1, r.y),
                   cv::Point2f(r.x + r.width - 1, r.y + r.height - 1),
                   cv::Point2f(r.x, r.y + r.height - 1)};
    }
    boundWhiteOutsideCard(result.whiteImage, outline, prepared.input.support);
}

/// The stages' results of a run in the card's rectified frame, back in photo
/// terms: centres, seeds and the last grid tried, labels and the white image.
void mapFrameToPhoto(const PreparedPhoto& prepared, PhotoCalibrationResult& result) {
    const CCardRectification& frame = *prepared.rectification;
    const cv::Rect& region = prepared.input.roi;
    const cv::Point2d photoOrigin(prepared.photoRoi.x, prepared.photoRoi.y);
    for (cv::Point2d& centre : result.centers) centre = frame.toPhoto(centre);
    auto toPhotoRegion = [&](std::vector<std::array<int, 2>>& points) {
        for (std::array<int, 2>& p : points) {
            const cv::Point2d q =
                frame.toPhoto(cv::Point2d(p[0] + region.x, p[1] + region.y)) - photoOrigin;
            p = {static_cast<int>(std::lround(q.x)), static_cast<int>(std::lround(q.y))};
        }
    };
    toPhotoRegion(result.segmentation.seeds);
    toPhotoRegion(result.segmentation.grid);
    if (!result.labels.empty() && result.labels.size() == region.size()) {
        result.labels = frame.labelsToPhoto(result.labels, prepared.photoRoi);
    } else {
        result.labels.release();
    }
    if (!result.whiteImage.empty()) {
        result.whiteImage = frame.whiteToPhoto(result.whiteImage, prepared.input.support);
    }
}

/// The stages on a prepared photo, with the second segmentation of a
/// rectified card whose covered ground misled the first.
PhotoCalibrationResult runPrepared(const PreparedPhoto& prepared) {
    PhotoCalibrationResult result = runChart(prepared.input);
    if (!result.ok() && prepared.rectification &&
        result.failure.code == CalibrationFailure::eChartNotFound) {
        // In the frame the patches' places are known: where something over
        // the card's ground misled the segmentation, it runs once more with
        // that ground filled in (the white's support still excludes it).
        const cv::Mat filled = coveredGroundFilled(prepared);
        if (!filled.empty()) {
            ChartRunInput second = prepared.input;
            if (second.segmentationRegion.empty()) {
                second.photo = second.photo.clone();
                filled.copyTo(second.photo(second.roi));
            } else {
                second.segmentationRegion = filled;
            }
            PhotoCalibrationResult retried = runChart(second);
            if (retried.ok()) result = std::move(retried);
        }
    }
    if (prepared.rectification) {
        mapFrameToPhoto(prepared, result);
    } else {
        boundWhiteOnPhoto(prepared, result);
    }
    return result;
}

}  // namespace

PhotoCalibrationResult calibratePhoto(const PhotoCalibrationRequest& request) {
    const Clock::time_point start = Clock::now();
    PhotoCalibrationResult result;
    double prepareMs = 0.0;
    bool searched = false;
    try {
        // The working values live only as long as the stages need them.
        const PreparedPhoto prepared = preparePhoto(request, locateCard);
        prepareMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        searched = prepared.card.searched;
        if (prepared.ready) {
            result = runPrepared(prepared);
        } else {
            result.failure = prepared.failure;
            result.error = withHint(Base::WideToNarrow(prepared.failure.message),
                                    failureReport(prepared.failure.code).hint);
        }
        result.encoding = prepared.encoding;
        result.valuesLinear = prepared.valuesLinear;
        result.card = prepared.card;
        result.photoRoi = prepared.photoRoi;
    } catch (...) {
        // Only the preparation can throw here (the stages report their own).
        result = PhotoCalibrationResult{};
        result.error =
            describeRunException("the calibration of a " + std::to_string(request.photo.cols) +
                                 " x " + std::to_string(request.photo.rows) + " photo");
        result.failure = workflowFailure(CalibrationFailure::eRunAborted, result.error);
    }
    if (searched) {
        result.timingsMs.insert(result.timingsMs.begin(), {"locate_card", prepareMs});
    }
    return result;
}

cv::Mat correctedPhoto(const cv::Mat& photo, const PhotoCalibrationResult& result) {
    if (!result.ok()) {
        throw std::runtime_error("correctedPhoto(): the calibration failed (" + result.error + ")");
    }
    const std::array<double, 12>& m = result.matrix;
    const cv::Matx34f matrix(
        static_cast<float>(m[0]), static_cast<float>(m[1]), static_cast<float>(m[2]),
        static_cast<float>(m[3]), static_cast<float>(m[4]), static_cast<float>(m[5]),
        static_cast<float>(m[6]), static_cast<float>(m[7]), static_cast<float>(m[8]),
        static_cast<float>(m[9]), static_cast<float>(m[10]), static_cast<float>(m[11]));
    cv::Mat corrected;
    std::string error;
    if (!applyColorCorrection(Color::toWorkingImage(photo, result.encoding), result.whiteImage,
                              result.realWhiteBgr, matrix, corrected, &error)) {
        throw std::runtime_error(error);
    }
    return Color::toPhotoEncoding(corrected, result.encoding);
}

std::array<double, 3> applyMatrixBgr(const std::array<double, 12>& m,
                                     const std::array<double, 3>& bgr) {
    std::array<double, 3> out{};
    for (std::size_t k = 0; k < 3; ++k) {
        out[k] = m[4 * k] * bgr[0] + m[4 * k + 1] * bgr[1] + m[4 * k + 2] * bgr[2] + m[4 * k + 3];
    }
    return out;
}

}  // namespace DataLayer
