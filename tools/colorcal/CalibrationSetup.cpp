#include "CalibrationSetup.h"

#include <algorithm>
#include <cmath>

#include "CalibrationSummary.h"

namespace ColorCalCli {

namespace {

/// The photo flat-field corrected (gain real white / white) and colour
/// corrected, in the working space, clamped to 0..255.
cv::Mat correctPhoto(const cv::Mat& photo, const cv::Mat& white,
                     const std::array<double, 3>& realWhite, const std::array<double, 12>& m) {
    cv::Mat corrected(photo.size(), CV_32FC3);
    const cv::Matx34f matrix(
        static_cast<float>(m[0]), static_cast<float>(m[1]), static_cast<float>(m[2]),
        static_cast<float>(m[3]), static_cast<float>(m[4]), static_cast<float>(m[5]),
        static_cast<float>(m[6]), static_cast<float>(m[7]), static_cast<float>(m[8]),
        static_cast<float>(m[9]), static_cast<float>(m[10]), static_cast<float>(m[11]));
    for (int y = 0; y < photo.rows; ++y) {
        const auto* in = photo.ptr<cv::Vec3f>(y);
        const auto* w = white.ptr<cv::Vec3f>(y);
        auto* out = corrected.ptr<cv::Vec3f>(y);
        for (int x = 0; x < photo.cols; ++x) {
            cv::Vec3f flat;
            for (int c = 0; c < 3; ++c) {
                const double gain =
                    w[x][c] > 0.0f && std::isfinite(w[x][c]) ? realWhite[c] / w[x][c] : 1.0;
                flat[c] = static_cast<float>(std::min(255.0, in[x][c] * gain));
            }
            for (int k = 0; k < 3; ++k) {
                const float v = matrix(k, 0) * flat[0] + matrix(k, 1) * flat[1] +
                                matrix(k, 2) * flat[2] + matrix(k, 3);
                out[x][k] = std::isfinite(v) ? std::clamp(v, 0.0f, 255.0f) : 0.0f;
            }
        }
    }
    return corrected;
}

}  // namespace

ValueEncoding resolveEncoding(ValueEncoding encoding, int sourceDepth) {
    if (encoding != ValueEncoding::eAuto) {
        return encoding;
    }
    return sourceDepth != CV_8U ? ValueEncoding::eLinear : ValueEncoding::eSrgb;
}

cv::Mat toWorkingImage(const cv::Mat& image, ValueEncoding encoding) {
    return encoding == ValueEncoding::eSrgb ? srgbDecodeImage(image) : image;
}

cv::Mat toPhotoEncoding(const cv::Mat& image, ValueEncoding encoding) {
    return encoding == ValueEncoding::eSrgb ? srgbEncodeImage(image) : image;
}

EngineResult noCardResult() {
    EngineResult result;
    result.ok = false;
    result.error = kNoCardMessage;
    return result;
}

PreparedCalibration prepareCalibration(const CalibrationRequest& request,
                                       const CardLocator& locate) {
    PreparedCalibration prepared;
    const ValueEncoding encoding = resolveEncoding(request.encoding, request.photo.sourceDepth);
    prepared.encoding = encoding;
    prepared.valuesLinear = encoding == ValueEncoding::eLinear ||
                            (encoding == ValueEncoding::eNone && request.linearRgb);

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
            input.roi = cv::Rect(0, 0, photo.cols, photo.rows);
            return prepared;
        }
        input.roi = prepared.card.roi;
    }
    if (!request.support.empty()) {
        input.support = request.support;
    } else if (prepared.card.found) {
        input.support = prepared.card.support;
    } else {
        input.support = cv::Mat(photo.size(), CV_8U, cv::Scalar(255));
        input.support(input.roi).setTo(0);
    }
    input.photo = toWorkingImage(photo, encoding);
    // The segmentation finds the patches by their colours as a display shows
    // them; calibrating in linear light, it gets the sRGB-encoded values.
    if (encoding == ValueEncoding::eSrgb) {
        input.segmentationRegion = photo(input.roi).clone();
    } else if (encoding == ValueEncoding::eLinear) {
        input.segmentationRegion = srgbEncodeImage(photo(input.roi));
    }
    if (!request.externalWhite.empty()) {
        input.externalWhite = toWorkingImage(request.externalWhite, encoding);
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

cv::Mat correctedPhoto(const cv::Mat& workingPhoto, const EngineResult& result,
                       ValueEncoding encoding) {
    CV_Assert(workingPhoto.type() == CV_32FC3 && result.whiteImage.type() == CV_32FC3 &&
              workingPhoto.size() == result.whiteImage.size());
    return toPhotoEncoding(
        correctPhoto(workingPhoto, result.whiteImage, result.realWhiteBgr, result.matrix),
        encoding);
}

}  // namespace ColorCalCli
