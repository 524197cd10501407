// Flat-field correction: the per-pixel gain that maps the white image onto the
// real white, and its application to an image.
#include "DataLayer/ShadeAnalysis/Calibration/FlatField.h"

#include <cmath>
#include <limits>

namespace DataLayer {

namespace {

/// `value` in single precision; NaN where it is not finite or lies beyond the
/// float range (a conversion that would otherwise be undefined).
float toFloatOrNaN(double value) {
    if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    return static_cast<float>(value);
}

}  // namespace

void computeWhiteGain(const cv::Mat& whiteImage, const double realWhite[3], cv::Mat& gain) {
    CV_Assert(whiteImage.empty() || whiteImage.type() == CV_32FC3);
    const float target[3] = {toFloatOrNaN(realWhite[0]), toFloatOrNaN(realWhite[1]),
                             toFloatOrNaN(realWhite[2])};
    cv::Mat out(whiteImage.size(), CV_32FC3);
    for (int r = 0; r < whiteImage.rows; ++r) {
        const float* white = whiteImage.ptr<float>(r);
        float* g = out.ptr<float>(r);
        for (int c = 0; c < whiteImage.cols; ++c) {
            for (int ch = 0; ch < 3; ++ch) {
                // A white that is zero, negative or not finite (or a real white
                // that is not finite) carries no usable illumination estimate:
                // the pixel keeps gain 1 rather than an infinite or NaN factor.
                const float w = white[3 * c + ch];
                const float q = target[ch] / w;
                g[3 * c + ch] = (w > 0.0f && std::isfinite(w) && std::isfinite(q)) ? q : 1.0f;
            }
        }
    }
    gain = out;
}

void applyWhiteGain(const cv::Mat& image, const cv::Mat& gain, cv::Mat& result) {
    CV_Assert(image.type() == CV_32FC3 && gain.type() == CV_32FC3 && image.size() == gain.size());
    result.create(image.size(), CV_32FC3);
    const int n = image.cols * 3;
    for (int r = 0; r < image.rows; ++r) {
        const float* in = image.ptr<float>(r);
        const float* g = gain.ptr<float>(r);
        float* out = result.ptr<float>(r);
        for (int i = 0; i < n; ++i) {
            const float v = in[i] * g[i];
            out[i] = v > 255.0f ? 255.0f : v;
        }
    }
}

}  // namespace DataLayer
