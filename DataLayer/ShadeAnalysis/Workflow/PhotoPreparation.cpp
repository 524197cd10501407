#include "DataLayer/ShadeAnalysis/Workflow/PhotoPreparation.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/Workflow/WorkflowText.h"

namespace DataLayer {

namespace {

using Color::Encoding;

/// A card located in the part `area` of a photo of `size`, in photo terms.
void moveCardIntoPhoto(LocatedCard& card, const cv::Rect& area, cv::Size size) {
    const cv::Point2d shift(area.x, area.y);
    for (cv::Point2d& corner : card.corners) corner += shift;
    for (RejectedCardCandidate& rejected : card.rejected) {
        for (cv::Point2d& corner : rejected.corners) corner += shift;
    }
    card.roi.x += area.x;
    card.roi.y += area.y;
    card.homography = cv::Matx33d(1, 0, shift.x, 0, 1, shift.y, 0, 0, 1) * card.homography;
    if (!card.support.empty()) {
        cv::Mat support(size, CV_8U, cv::Scalar(255));
        card.support.copyTo(support(area));
        card.support = support;
    }
}

/// The located card as the library's locator describes it.
ChartCardLocation libraryLocation(const LocatedCard& card) {
    ChartCardLocation location;
    location.found = card.found;
    for (std::size_t k = 0; k < 4; ++k) location.corners[k] = cv::Point2f(card.corners[k]);
    location.regionOfInterest = card.roi;
    location.supportMask = card.support;
    location.homography = card.homography;
    location.gridRows = card.gridRows;
    location.gridColumns = card.gridColumns;
    location.scale = card.scale;
    location.tiltDeg = card.tiltDeg;
    location.rotationDeg = card.rotationDeg;
    location.nominal = card.nominal;
    return location;
}

/// The stages' input on the card's rectified frame; false (with the
/// failure) when the frame cannot be planned.
bool prepareRectified(const PhotoCalibrationRequest& request, PreparedPhoto& prepared) {
    const cv::Mat& photo = request.photo;
    const CParameterSetColorCalibrationTarget parameters(request.chart);
    auto frame = std::make_shared<const CCardRectification>(
        parameters, libraryLocation(prepared.card), photo.size());
    if (!frame->valid()) {
        prepared.ready = false;
        prepared.failure = workflowFailure(
            CalibrationFailure::eCardNotRectified,
            "the card could not be brought into the chart's frame: " + frame->error());
        return false;
    }
    ChartRunInput& input = prepared.input;
    const Encoding encoding = prepared.encoding;
    // The photo is resampled as loaded and decoded afterwards: only the frame
    // is decoded, and the segmentation gets the display values it expects.
    const cv::Mat rectified = frame->rectifyImage(photo);
    input.roi = frame->regionOfInterest();
    input.photo = Color::toWorkingImage(rectified, encoding);
    if (encoding == Encoding::eSrgb) {
        input.segmentationRegion = rectified(input.roi).clone();
    } else if (encoding == Encoding::eLinear) {
        input.segmentationRegion = Color::srgbEncodeImage(rectified(input.roi));
    }
    input.support =
        frame->rectifyMask(request.support.empty() ? prepared.card.support : request.support);
    if (!request.externalWhite.empty()) {
        input.externalWhite =
            Color::toWorkingImage(frame->rectifyImage(request.externalWhite), encoding);
    }
    // The resampled card has no earlier white to keep: the more accurate
    // ridge fit estimates it.
    input.ridgeWhite = request.ridgeWhiteWhenRectified;
    prepared.photoRoi = frame->photoRegion();
    prepared.rectification = std::move(frame);
    return true;
}

}  // namespace

LocatedCard locatePhotoCard(const cv::Mat& photo,
                            Base::IParameterSetColorCalibrationTarget::EParameterSet chart,
                            bool linearInput) {
    const CParameterSetColorCalibrationTarget parameters(chart);
    const CChartCardLocator locator(parameters, linearInput);
    const ChartCardLocation location = locator.locate(photo);
    LocatedCard card;
    card.searched = true;
    card.found = location.found;
    card.score = location.score;
    card.reason = location.reason;
    for (std::size_t k = 0; k < 4; ++k) card.corners[k] = cv::Point2d(location.corners[k]);
    card.roi = location.regionOfInterest;
    card.support = location.supportMask;
    card.homography = location.homography;
    card.gridRows = location.gridRows;
    card.gridColumns = location.gridColumns;
    card.scale = location.scale;
    card.tiltDeg = location.tiltDeg;
    card.rotationDeg = location.rotationDeg;
    card.nominal = location.nominal;
    for (const ChartCardCandidate& candidate : location.rejected) {
        RejectedCardCandidate rejected;
        for (std::size_t k = 0; k < 4; ++k) rejected.corners[k] = cv::Point2d(candidate.corners[k]);
        rejected.reason = candidate.reason;
        card.rejected.push_back(rejected);
    }
    return card;
}

PreparedPhoto preparePhoto(const PhotoCalibrationRequest& request, const CardLocator& locate) {
    PreparedPhoto prepared;
    const Encoding encoding = Color::resolveEncoding(request.encoding, request.sourceDepth);
    prepared.encoding = encoding;
    prepared.valuesLinear =
        encoding == Encoding::eLinear || (encoding == Encoding::eNone && request.linearRgb);

    ChartRunInput& input = prepared.input;
    input.chart = request.chart;
    const cv::Mat& photo = request.photo;
    if (request.roi && !request.support.empty()) {
        // The host says where the chart is and which pixels are white ground.
        input.roi = *request.roi;
    } else {
        // The card is located, in the given region when there is one: its
        // ground is the support, never everything the region holds.
        const cv::Rect area = request.roi ? *request.roi : cv::Rect(0, 0, photo.cols, photo.rows);
        prepared.card = locate(photo(area), request.chart, prepared.valuesLinear);
        prepared.card.searched = true;
        if (!prepared.card.found) {
            prepared.ready = false;
            prepared.failure = workflowFailure(CalibrationFailure::eCardNotFound,
                                               request.roi ? "no chart card found in the region"
                                                           : "no chart card found in the photo");
            input.roi = area;
            prepared.photoRoi = input.roi;
            return prepared;
        }
        if (request.roi) moveCardIntoPhoto(prepared.card, area, photo.size());
        input.roi = prepared.card.roi;
    }
    if (prepared.card.found && !prepared.card.nominal) {
        if (!prepareRectified(request, prepared)) return prepared;
    } else {
        prepared.photoRoi = input.roi;
        // Without a mask of the host's the card was located: its ground.
        input.support = request.support.empty() ? prepared.card.support : request.support;
        input.photo = Color::toWorkingImage(photo, encoding);
        // The segmentation finds the patches by their colours as a display
        // shows them; calibrating in linear light, it gets the sRGB-encoded values.
        if (encoding == Encoding::eSrgb) {
            input.segmentationRegion = photo(input.roi).clone();
        } else if (encoding == Encoding::eLinear) {
            input.segmentationRegion = Color::srgbEncodeImage(photo(input.roi));
        }
        if (!request.externalWhite.empty()) {
            input.externalWhite = Color::toWorkingImage(request.externalWhite, encoding);
        }
    }
    if (request.realWhiteBgr) {
        std::array<double, 3> white{};
        for (std::size_t c = 0; c < 3; ++c) {
            white[c] = Color::toWorkingValue((*request.realWhiteBgr)[c], encoding);
        }
        input.realWhiteBgr = white;
    }
    for (std::size_t k = 0; k < 20; ++k) {
        for (std::size_t c = 0; c < 3; ++c) {
            input.referenceRgb[k][c] = Color::toWorkingValue(request.referencesRgb[k][c], encoding);
        }
    }
    return prepared;
}

cv::Mat coveredGroundFilled(const PreparedPhoto& prepared) {
    const ChartRunInput& in = prepared.input;
    const CCardRectification* frame = prepared.rectification.get();
    const LocatedCard& card = prepared.card;
    if (frame == nullptr || in.support.empty() || card.gridRows <= 0 || card.gridColumns <= 0) {
        return {};
    }
    const cv::Rect roi = in.roi;
    cv::Mat region =
        in.segmentationRegion.empty() ? in.photo(roi).clone() : in.segmentationRegion.clone();
    if (region.type() != CV_32FC3 || region.size() != roi.size()) {
        return {};
    }
    const cv::Point2d origin(roi.x, roi.y);
    cv::Mat inside = cv::Mat::zeros(roi.size(), CV_8U);
    std::vector<cv::Point> outline;
    for (const cv::Point2d& corner : card.corners) {
        const cv::Point2d p = frame->toFrame(corner) - origin;
        outline.emplace_back(static_cast<int>(std::lround(std::clamp(p.x, -1e6, 1e6))),
                             static_cast<int>(std::lround(std::clamp(p.y, -1e6, 1e6))));
    }
    cv::fillConvexPoly(inside, outline, cv::Scalar(255));
    cv::Mat patches = cv::Mat::zeros(roi.size(), CV_8U);
    const CParameterSetColorCalibrationTarget parameters(in.chart);
    const double side = parameters.GetSegmentSideLength();
    const double pitch = parameters.GetGridLength();
    const double half = 0.5 * side + 0.25 * (pitch - side);
    for (int r = 0; r < card.gridRows; ++r) {
        for (int c = 0; c < card.gridColumns; ++c) {
            const cv::Vec3d nominal =
                card.homography * cv::Vec3d((c - 0.5 * (card.gridColumns - 1)) * pitch,
                                            (r - 0.5 * (card.gridRows - 1)) * pitch, 1.0);
            if (!(std::fabs(nominal[2]) > 1e-12)) return {};
            cv::Point2d centre =
                frame->toFrame(cv::Point2d(nominal[0] / nominal[2], nominal[1] / nominal[2])) -
                origin;
            centre.x = std::clamp(centre.x, -1e6, 1e6);
            centre.y = std::clamp(centre.y, -1e6, 1e6);
            const cv::Rect square(static_cast<int>(std::floor(centre.x - half)),
                                  static_cast<int>(std::floor(centre.y - half)),
                                  static_cast<int>(std::ceil(2.0 * half)) + 1,
                                  static_cast<int>(std::ceil(2.0 * half)) + 1);
            patches(square & cv::Rect(0, 0, roi.width, roi.height)).setTo(255);
        }
    }
    // Covered: inside the card, not usable, not a patch; usable: the ground.
    const cv::Mat ground = inside & ~patches;
    const cv::Mat covered = (in.support(roi) != 0) & ground;
    const cv::Mat usable = (in.support(roi) == 0) & ground;
    if (cv::countNonZero(covered) == 0 || cv::countNonZero(usable) == 0) {
        return {};
    }
    cv::Mat weight;
    usable.convertTo(weight, CV_32F, 1.0 / 255.0);
    cv::Mat weighted;
    cv::Mat weight3;
    cv::merge(std::vector<cv::Mat>{weight, weight, weight}, weight3);
    cv::multiply(region, weight3, weighted);
    const int box = 2 * static_cast<int>(pitch / 2.0) + 1;
    cv::Mat sumValues;
    cv::Mat sumWeights;
    cv::blur(weighted, sumValues, cv::Size(box, box), cv::Point(-1, -1), cv::BORDER_CONSTANT);
    cv::blur(weight, sumWeights, cv::Size(box, box), cv::Point(-1, -1), cv::BORDER_CONSTANT);
    const cv::Scalar level = cv::mean(region, usable);
    for (int y = 0; y < region.rows; ++y) {
        const uchar* cover = covered.ptr<uchar>(y);
        const float* w = sumWeights.ptr<float>(y);
        const cv::Vec3f* v = sumValues.ptr<cv::Vec3f>(y);
        cv::Vec3f* out = region.ptr<cv::Vec3f>(y);
        for (int x = 0; x < region.cols; ++x) {
            if (cover[x] == 0) continue;
            out[x] = w[x] > 1e-3f
                         ? v[x] / w[x]
                         : cv::Vec3f(static_cast<float>(level[0]), static_cast<float>(level[1]),
                                     static_cast<float>(level[2]));
        }
    }
    return region;
}

}  // namespace DataLayer
