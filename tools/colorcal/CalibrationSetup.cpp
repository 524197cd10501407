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

EngineResult noCardResult() {
    EngineResult result;
    result.ok = false;
    result.error = kNoCardMessage;
    return result;
}

namespace {

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
    if (request.roi) {
        input.roi = *request.roi;
    } else {
        prepared.card = locate(photo, request.chart, prepared.valuesLinear);
        prepared.card.searched = true;
        if (!prepared.card.found) {
            prepared.ready = false;
            prepared.failure = kNoCardMessage;
            input.roi = cv::Rect(0, 0, photo.cols, photo.rows);
            prepared.photoRoi = input.roi;
            return prepared;
        }
        input.roi = prepared.card.roi;
    }
    if (prepared.card.found && !prepared.card.nominal) {
        if (!prepareRectified(request, prepared)) return prepared;
    } else {
        prepared.photoRoi = input.roi;
        if (!request.support.empty()) {
            input.support = request.support;
        } else if (prepared.card.found) {
            input.support = prepared.card.support;
        } else {
            input.support = cv::Mat(photo.size(), CV_8U, cv::Scalar(255));
            input.support(input.roi).setTo(0);
        }
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
