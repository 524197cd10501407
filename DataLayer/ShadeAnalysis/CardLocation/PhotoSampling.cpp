// Reading the photo for the card searches: samples, the ground test and the
// reduced copy.
#include "DataLayer/ShadeAnalysis/CardLocation/PhotoSampling.h"

#include <algorithm>
#include <cmath>

#include <tbb/parallel_for.h>
#include <opencv2/imgproc.hpp>

namespace DataLayer {
namespace CardLocation {

/// Bilinear sample of a CV_32FC3 image; false outside it.
bool sampleColor(const cv::Mat& image, const cv::Point2d& p, cv::Vec3f& out) {
    if (!(p.x >= 0.0 && p.y >= 0.0 && p.x <= image.cols - 1.0 && p.y <= image.rows - 1.0)) {
        return false;
    }
    const int x0 = std::min(static_cast<int>(p.x), image.cols - 1);
    const int y0 = std::min(static_cast<int>(p.y), image.rows - 1);
    const int x1 = std::min(x0 + 1, image.cols - 1);
    const int y1 = std::min(y0 + 1, image.rows - 1);
    const float fx = static_cast<float>(p.x - x0);
    const float fy = static_cast<float>(p.y - y0);
    const auto* r0 = image.ptr<cv::Vec3f>(y0);
    const auto* r1 = image.ptr<cv::Vec3f>(y1);
    out = (r0[x0] * (1.0f - fx) + r0[x1] * fx) * (1.0f - fy) +
          (r1[x0] * (1.0f - fx) + r1[x1] * fx) * fy;
    return true;
}

float brightest(const cv::Vec3f& c) { return std::max({c[0], c[1], c[2]}); }
float chroma(const cv::Vec3f& c) { return brightest(c) - std::min({c[0], c[1], c[2]}); }

/// Whether a colour looks like a card's white ground lit to about `level`:
/// nearly neutral and at least `share` of the level.
bool looksLikeGround(const cv::Vec3f& c, double level, double share) {
    const float v = brightest(c);
    return v >= share * level && chroma(c) <= 0.15f * v + 6.0f;
}

/// Mean of the three channels of the photo at (x, y), bilinear; false
/// outside the photo. Values that are not finite count as 0.
bool sampleLuma(const cv::Mat& photo, double x, double y, double& out) {
    if (!(x >= 0.0 && y >= 0.0 && x <= photo.cols - 1.0 && y <= photo.rows - 1.0)) {
        return false;
    }
    const int x0 = std::min(static_cast<int>(x), photo.cols - 1);
    const int y0 = std::min(static_cast<int>(y), photo.rows - 1);
    const int x1 = std::min(x0 + 1, photo.cols - 1);
    const int y1 = std::min(y0 + 1, photo.rows - 1);
    const double fx = x - x0;
    const double fy = y - y0;
    auto at = [&](int yy, int xx) {
        double sum = 0.0;
        if (photo.depth() == CV_8U) {
            const uchar* p = photo.ptr<uchar>(yy) + 3 * xx;
            sum = p[0] + p[1] + p[2];
        } else {
            const float* p = photo.ptr<float>(yy) + 3 * xx;
            for (int c = 0; c < 3; ++c) sum += std::isfinite(p[c]) ? p[c] : 0.0;
        }
        return sum / 3.0;
    };
    out = (at(y0, x0) * (1.0 - fx) + at(y0, x1) * fx) * (1.0 - fy) +
          (at(y1, x0) * (1.0 - fx) + at(y1, x1) * fx) * fy;
    return true;
}

/// The photo reduced by `factor` per axis to CV_8UC3, display-encoded; the
/// reduction averages whole blocks of `factor` x `factor` pixels.
cv::Mat reducePhoto(const cv::Mat& photo, int factor, bool linear) {
    const int w = photo.cols / factor;
    const int h = photo.rows / factor;
    // Each reduced pixel averages its own block, so strips of whole block rows
    // reduced in parallel give exactly the one-call result.
    cv::Mat reduced(h, w, photo.type());
    const int strips = std::max(1, std::min(h / 16, 8));
    tbb::parallel_for(0, strips, [&](int k) {
        const int first = static_cast<int>(static_cast<long long>(h) * k / strips);
        const int last = static_cast<int>(static_cast<long long>(h) * (k + 1) / strips);
        if (last <= first) return;
        cv::Mat out = reduced.rowRange(first, last);
        cv::resize(photo(cv::Rect(0, first * factor, w * factor, (last - first) * factor)), out,
                   cv::Size(w, last - first), 0, 0, cv::INTER_AREA);
    });
    if (reduced.depth() == CV_8U && !linear) {
        return reduced;
    }
    cv::Mat values;
    reduced.convertTo(values, CV_32F);
    cv::Mat flat = values.reshape(1);
    cv::patchNaNs(flat, 0.0);
    cv::max(flat, 0.0, flat);
    cv::min(flat, 255.0, flat);
    if (linear) {
        // The sRGB curve without its linear toe is close enough for finding a card.
        flat *= 1.0 / 255.0;
        cv::pow(flat, 1.0 / 2.4, flat);
        flat = flat * (1.055 * 255.0) - 0.055 * 255.0;
    }
    cv::Mat bytes;
    values.convertTo(bytes, CV_8U);
    return bytes;
}

}  // namespace CardLocation
}  // namespace DataLayer
