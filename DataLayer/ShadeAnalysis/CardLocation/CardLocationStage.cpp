// The card location stage's entry: the locator on the photo or a region of
// it, the result in the whole photo's pixels, and the rectification's plan.
#include "DataLayer/ShadeAnalysis/CardLocation/CardLocationStage.h"

#include <memory>
#include <utility>

#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"
#include "DataLayer/ShadeAnalysis/FailureMessage.h"

namespace DataLayer {

namespace {

/// `result` failed with `code`; the message is formatted printf-style.
template <typename... Args>
void fail(CardLocationResult& result, CalibrationFailure code, const wchar_t* format,
          Args... args) {
    result.failure = failureWithMessage(code, format, args...);
}

}  // namespace

CardLocationResult locateCard(const CardLocationInput& in) {
    CardLocationResult result;
    const cv::Rect whole(0, 0, in.photo.cols, in.photo.rows);
    const cv::Rect area = in.region ? *in.region : whole;
    if (in.region && (area.empty() || (area & whole) != area)) {
        fail(result, CalibrationFailure::eCardRegionOutsidePhoto,
             L"locateCard(): the region (%i, %i) %i x %i is not inside the photo of %i x %i",
             area.x, area.y, area.width, area.height, whole.width, whole.height);
        return result;
    }
    const CChartCardLocator locator(in.parameters, in.linearInput);
    const ChartCardLocation location = locator.locate(in.region ? in.photo(area) : in.photo);

    // Everything in the whole photo's pixels: a region's card is shifted by
    // the region's corner (exactly, in double), its support mask excludes
    // everything outside the region.
    const cv::Point2d shift(area.x, area.y);
    result.found = location.found;
    for (const ChartCardCandidate& candidate : location.rejected) {
        CardCandidate rejected;
        for (std::size_t k = 0; k < 4; ++k) {
            rejected.corners[k] = cv::Point2d(candidate.corners[k]) + shift;
        }
        rejected.reason = candidate.reason;
        rejected.score = candidate.score;
        result.rejected.push_back(rejected);
    }
    if (!location.found) {
        fail(result, CalibrationFailure::eNoCardFound, L"no chart card found in the %s: %s",
             in.region ? "region" : "photo", location.reason.c_str());
        return result;
    }
    for (std::size_t k = 0; k < 4; ++k)
        result.corners[k] = cv::Point2d(location.corners[k]) + shift;
    result.score = location.score;
    result.regionOfInterest = location.regionOfInterest + area.tl();
    if (in.region && !location.supportMask.empty()) {
        result.supportMask = cv::Mat(in.photo.size(), CV_8U, cv::Scalar(255));
        location.supportMask.copyTo(result.supportMask(area));
    } else {
        result.supportMask = location.supportMask;
    }
    result.homography = cv::Matx33d(1, 0, shift.x, 0, 1, shift.y, 0, 0, 1) * location.homography;
    result.gridRows = location.gridRows;
    result.gridColumns = location.gridColumns;
    result.scale = location.scale;
    result.tiltDeg = location.tiltDeg;
    result.rotationDeg = location.rotationDeg;
    result.nominal = location.nominal;
    if (!result.nominal) {
        auto frame = std::make_shared<const CCardRectification>(
            in.parameters, toChartCardLocation(result), in.photo.size());
        if (!frame->valid()) {
            fail(result, CalibrationFailure::eCardNotRectifiable,
                 L"the card could not be brought into the chart's frame: %s",
                 frame->error().c_str());
            return result;
        }
        result.rectification = std::move(frame);
    }
    return result;
}

ChartCardLocation toChartCardLocation(const CardLocationResult& card) {
    ChartCardLocation location;
    location.found = card.found;
    for (std::size_t k = 0; k < 4; ++k) location.corners[k] = cv::Point2f(card.corners[k]);
    location.regionOfInterest = card.regionOfInterest;
    location.supportMask = card.supportMask;
    location.score = card.score;
    location.homography = card.homography;
    location.gridRows = card.gridRows;
    location.gridColumns = card.gridColumns;
    location.scale = card.scale;
    location.tiltDeg = card.tiltDeg;
    location.rotationDeg = card.rotationDeg;
    location.nominal = card.nominal;
    return location;
}

}  // namespace DataLayer
