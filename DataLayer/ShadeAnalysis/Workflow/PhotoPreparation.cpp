#include "DataLayer/ShadeAnalysis/Workflow/PhotoPreparation.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "Base/StringConversion.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CardLocation/CardLocationStage.h"
#include "DataLayer/ShadeAnalysis/Workflow/WorkflowText.h"

namespace DataLayer {

namespace {

using Color::Encoding;

/// The stages' input on the card's rectified frame; false (with the
/// failure) when the frame cannot be planned.
void prepareRectified(const PhotoCalibrationRequest& request,
                      std::shared_ptr<const CCardRectification> frame, PreparedPhoto& prepared) {
    const cv::Mat& photo = request.photo;
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
}

/// The stage's card in the workflow's public terms.
LocatedCard describeCard(const CardLocationResult& location) {
    LocatedCard card;
    card.searched = true;
    card.found = location.found;
    card.score = location.score;
    card.corners = location.corners;
    card.roi = location.regionOfInterest;
    card.support = location.supportMask;
    card.homography = location.homography;
    card.gridRows = location.gridRows;
    card.gridColumns = location.gridColumns;
    card.scale = location.scale;
    card.tiltDeg = location.tiltDeg;
    card.rotationDeg = location.rotationDeg;
    card.nominal = location.nominal;
    for (const CardCandidate& candidate : location.rejected) {
        card.rejected.push_back({candidate.corners, candidate.reason});
    }
    return card;
}

/// What the request must hold before any stage runs, in the caller's terms:
/// a known chart, a three-channel photo, a region inside it, and a mask and
/// an external white of its size. eNone when it holds all of it.
CalibrationError checkRequest(const PhotoCalibrationRequest& request) {
    const cv::Mat& photo = request.photo;
    const auto sizeOf = [](const cv::Mat& m) {
        return std::to_string(m.cols) + " x " + std::to_string(m.rows);
    };
    const int chart = static_cast<int>(request.chart);
    if (chart < 0 ||
        chart > static_cast<int>(Base::IParameterSetColorCalibrationTarget::eQCCPrintSmall)) {
        return workflowFailure(
            CalibrationFailure::eMissingParameterSet,
            "unknown chart type " + std::to_string(chart) + ": there is no parameter set for it");
    }
    if (photo.empty() || photo.channels() != 3 || photo.dims != 2) {
        return workflowFailure(CalibrationFailure::eInvalidImageArguments,
                               "the photo is empty or not a three-channel image");
    }
    if (request.roi) {
        const cv::Rect& r = *request.roi;
        if (r.width <= 0 || r.height <= 0 || r.x < 0 || r.y < 0 || r.x > photo.cols - r.width ||
            r.y > photo.rows - r.height) {
            return workflowFailure(CalibrationFailure::eCardRegionOutsidePhoto,
                                   "the region (" + std::to_string(r.x) + ", " +
                                       std::to_string(r.y) + ") " + std::to_string(r.width) +
                                       " x " + std::to_string(r.height) +
                                       " is not inside the photo of " + sizeOf(photo));
        }
    }
    if (!request.support.empty() &&
        (request.support.type() != CV_8UC1 || request.support.size() != photo.size())) {
        return workflowFailure(CalibrationFailure::eInvalidImageArguments,
                               "the support mask is " + sizeOf(request.support) +
                                   " and must be a one-channel 8-bit mask of the photo's size, " +
                                   sizeOf(photo));
    }
    if (!request.externalWhite.empty() && (request.externalWhite.type() != CV_32FC3 ||
                                           request.externalWhite.size() != photo.size())) {
        return workflowFailure(CalibrationFailure::eExternalWhiteUnusable,
                               "the external white is " + sizeOf(request.externalWhite) +
                                   " and must be a three-channel float image of the photo's "
                                   "size, " +
                                   sizeOf(photo));
    }
    return {};
}

}  // namespace

PreparedPhoto preparePhoto(const PhotoCalibrationRequest& request, const CardLocator& locate) {
    PreparedPhoto prepared;
    const Encoding encoding = Color::resolveEncoding(request.encoding, request.sourceDepth);
    prepared.encoding = encoding;
    prepared.valuesLinear =
        encoding == Encoding::eLinear || (encoding == Encoding::eNone && request.linearRgb);

    ChartRunInput& input = prepared.input;
    input.chart = request.chart;
    const cv::Mat& photo = request.photo;
    if (CalibrationError unusable = checkRequest(request); unusable.failed()) {
        prepared.ready = false;
        prepared.failure = std::move(unusable);
        prepared.photoRoi = cv::Rect(0, 0, photo.cols, photo.rows);
        return prepared;
    }
    if (request.roi && !request.support.empty()) {
        // The host says where the chart is and which pixels are white ground.
        input.roi = *request.roi;
    } else {
        // The card is located, in the given region when there is one: its
        // ground is the support, never everything the region holds.
        const CParameterSetColorCalibrationTarget parameters(request.chart);
        const CardLocationResult location =
            locate({photo, parameters, prepared.valuesLinear, request.roi});
        prepared.card = describeCard(location);
        if (location.failure.failed()) {
            prepared.ready = false;
            prepared.failure = location.failure;
            prepared.card.reason = Base::WideToNarrow(location.failure.message);
            input.roi = request.roi ? *request.roi : cv::Rect(0, 0, photo.cols, photo.rows);
            prepared.photoRoi = input.roi;
            return prepared;
        }
        input.roi = prepared.card.roi;
        if (location.rectification) {
            prepareRectified(request, location.rectification, prepared);
        }
    }
    if (!prepared.rectification) {
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
