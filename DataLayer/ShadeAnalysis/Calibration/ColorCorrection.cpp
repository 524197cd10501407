// A photo corrected with a calibration's result: the engine's flat-field
// correction followed by the colour matrix.
#include "DataLayer/ShadeAnalysis/ColorCorrection.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "DataLayer/ShadeAnalysis/Calibration/FlatField.h"

namespace DataLayer {

namespace {

std::string sizeText(const cv::Mat& image) {
    return std::to_string(image.cols) + "x" + std::to_string(image.rows);
}

/// Why the arguments cannot be corrected, or an empty string when they can.
std::string argumentFault(const cv::Mat& photo, const cv::Mat& whiteImage,
                          const std::array<double, 3>& realWhite, const cv::Matx34f& matrix) {
    const std::string fn = "applyColorCorrection(): ";
    if (photo.empty()) {
        return fn + "the photo is empty";
    }
    if (photo.type() != CV_32FC3) {
        return fn + "the photo is not CV_32FC3 (type " + std::to_string(photo.type()) + ")";
    }
    if (whiteImage.type() != CV_32FC3) {
        return fn + "the white image is not CV_32FC3 (type " + std::to_string(whiteImage.type()) +
               ")";
    }
    if (whiteImage.size() != photo.size()) {
        return fn + "white image " + sizeText(whiteImage) + ", photo " + sizeText(photo);
    }
    for (int c = 0; c < 3; ++c) {
        // The engine's gain is computed in single precision.
        if (!(realWhite[c] > 0.0 && realWhite[c] <= std::numeric_limits<float>::max())) {
            return fn + "real white component " + std::to_string(c) + " (" +
                   std::to_string(realWhite[c]) + ") is not positive and finite";
        }
    }
    for (int k = 0; k < 12; ++k) {
        if (!std::isfinite(matrix.val[k])) {
            return fn + "matrix element " + std::to_string(k) + " is not finite";
        }
    }
    return {};
}

}  // namespace

bool applyColorCorrection(const cv::Mat& photo, const cv::Mat& whiteImage,
                          const std::array<double, 3>& realWhite, const cv::Matx34f& matrix,
                          cv::Mat& corrected, std::string* error) {
    const std::string fault = argumentFault(photo, whiteImage, realWhite, matrix);
    if (!fault.empty()) {
        if (error != nullptr) {
            *error = fault;
        }
        return false;
    }
    cv::Mat gain;
    computeWhiteGain(whiteImage, realWhite.data(), gain);
    cv::Mat flat;
    applyWhiteGain(photo, gain, flat);

    corrected.create(photo.size(), CV_32FC3);
    for (int y = 0; y < flat.rows; ++y) {
        const auto* in = flat.ptr<cv::Vec3f>(y);
        auto* out = corrected.ptr<cv::Vec3f>(y);
        for (int x = 0; x < flat.cols; ++x) {
            const cv::Vec3f f = in[x];
            for (int k = 0; k < 3; ++k) {
                const float v =
                    matrix(k, 0) * f[0] + matrix(k, 1) * f[1] + matrix(k, 2) * f[2] + matrix(k, 3);
                out[x][k] = std::isfinite(v) ? std::clamp(v, 0.0f, 255.0f) : 0.0f;
            }
        }
    }
    return true;
}

}  // namespace DataLayer
