#include "CalibrationSetup.h"

#include <stdexcept>

#include "CalibrationSummary.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/ColorCorrection.h"

namespace ColorCalCli {

Encoding resolveEncoding(std::optional<Encoding> encoding, int sourceDepth) {
    if (encoding) {
        return *encoding;
    }
    return sourceDepth != CV_8U ? Encoding::eLinear : Encoding::eSrgb;
}

cv::Mat toWorkingImage(const cv::Mat& image, Encoding encoding) {
    return encoding == Encoding::eSrgb ? srgbDecodeImage(image) : image;
}

cv::Mat toPhotoEncoding(const cv::Mat& image, Encoding encoding) {
    return encoding == Encoding::eSrgb ? srgbEncodeImage(image) : image;
}

namespace {

/// A card located in the part `area` of a photo of `size`, in photo terms.
void moveCardIntoPhoto(CardResult& card, const cv::Rect& area, cv::Size size) {
    const cv::Point2d shift(area.x, area.y);
    for (cv::Point2d& corner : card.corners) corner += shift;
    for (RejectedCard& rejected : card.rejected) {
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
DataLayer::ChartCardLocation libraryLocation(const CardResult& card) {
    DataLayer::ChartCardLocation location;
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

/// The engine's input on the card's rectified frame.
bool prepareRectified(const CalibrationRequest& request, PreparedCalibration& prepared) {
    const cv::Mat& photo = request.photo.bgr;
    const DataLayer::CParameterSetColorCalibrationTarget parameters(request.chart);
    auto frame = std::make_shared<const DataLayer::CCardRectification>(
        parameters, libraryLocation(prepared.card), photo.size());
    if (!frame->valid()) {
        prepared.ready = false;
        prepared.failure =
            "the card could not be brought into the chart's frame: " + frame->error();
        return false;
    }
    EngineInput& input = prepared.input;
    const Encoding encoding = prepared.encoding;
    // The photo is resampled as loaded and decoded afterwards: only the frame
    // is decoded, and the segmentation gets the display values it expects.
    const cv::Mat rectified = frame->rectifyImage(photo);
    input.roi = frame->regionOfInterest();
    input.photo = toWorkingImage(rectified, encoding);
    if (encoding == Encoding::eSrgb) {
        input.segmentationRegion = rectified(input.roi).clone();
    } else if (encoding == Encoding::eLinear) {
        input.segmentationRegion = srgbEncodeImage(rectified(input.roi));
    }
    input.support =
        frame->rectifyMask(request.support.empty() ? prepared.card.support : request.support);
    if (!request.externalWhite.empty()) {
        input.externalWhite = toWorkingImage(frame->rectifyImage(request.externalWhite), encoding);
    }
    // The resampled card has no earlier white to keep: the more accurate
    // ridge fit estimates it.
    input.ridgeWhite = true;
    prepared.photoRoi = frame->photoRegion();
    prepared.rectification = std::move(frame);
    return true;
}

}  // namespace

PreparedCalibration prepareCalibration(const CalibrationRequest& request,
                                       const CardLocator& locate) {
    PreparedCalibration prepared;
    const Encoding encoding = resolveEncoding(request.encoding, request.photo.sourceDepth);
    prepared.encoding = encoding;
    prepared.valuesLinear =
        encoding == Encoding::eLinear || (encoding == Encoding::eNone && request.linearRgb);

    EngineInput& input = prepared.input;
    input.chart = request.chart;
    const cv::Mat& photo = request.photo.bgr;
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
            prepared.failure = request.roi ? kNoCardInRegionMessage : kNoCardMessage;
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
        input.photo = toWorkingImage(photo, encoding);
        // The segmentation finds the patches by their colours as a display
        // shows them; calibrating in linear light, it gets the sRGB-encoded values.
        if (encoding == Encoding::eSrgb) {
            input.segmentationRegion = photo(input.roi).clone();
        } else if (encoding == Encoding::eLinear) {
            input.segmentationRegion = srgbEncodeImage(photo(input.roi));
        }
        if (!request.externalWhite.empty()) {
            input.externalWhite = toWorkingImage(request.externalWhite, encoding);
        }
    }
    if (request.realWhiteBgr) {
        std::array<double, 3> white{};
        for (int c = 0; c < 3; ++c) {
            white[c] = toWorking((*request.realWhiteBgr)[c], encoding);
        }
        input.realWhiteBgr = white;
    }
    for (int k = 0; k < 20; ++k) {
        for (int c = 0; c < 3; ++c) {
            input.referenceRgb[k][c] = toWorking(request.references[k][c], encoding);
        }
    }
    return prepared;
}

cv::Mat workingPhoto(const PreparedCalibration& prepared, const cv::Mat& photo) {
    return prepared.rectification ? toWorkingImage(photo, prepared.encoding) : prepared.input.photo;
}

cv::Mat correctedPhoto(const cv::Mat& workingPhoto, const EngineResult& result, Encoding encoding) {
    const std::array<double, 12>& m = result.matrix;
    const cv::Matx34f matrix(
        static_cast<float>(m[0]), static_cast<float>(m[1]), static_cast<float>(m[2]),
        static_cast<float>(m[3]), static_cast<float>(m[4]), static_cast<float>(m[5]),
        static_cast<float>(m[6]), static_cast<float>(m[7]), static_cast<float>(m[8]),
        static_cast<float>(m[9]), static_cast<float>(m[10]), static_cast<float>(m[11]));
    cv::Mat corrected;
    std::string error;
    if (!DataLayer::applyColorCorrection(workingPhoto, result.whiteImage, result.realWhiteBgr,
                                         matrix, corrected, &error)) {
        throw std::runtime_error(error);
    }
    return toPhotoEncoding(corrected, encoding);
}

}  // namespace ColorCalCli
