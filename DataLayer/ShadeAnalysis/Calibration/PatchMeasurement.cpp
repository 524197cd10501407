// The measured colour of one patch: a trimmed mean, so that specks, edges and
// noise outliers do not move it.
#include "DataLayer/ShadeAnalysis/Calibration/PatchMeasurement.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace DataLayer {

namespace {

/// Whether `channels` holds three CV_32F planes of the size of the CV_8UC1 `mask`.
bool planesMatchMask(const std::vector<cv::Mat>& channels, const cv::Mat& mask) {
    if (channels.size() < 3 || mask.type() != CV_8UC1) {
        return false;
    }
    for (std::size_t c = 0; c < 3; ++c) {
        if (channels[c].type() != CV_32FC1 || channels[c].size() != mask.size()) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool trimmedMeanColor(const std::vector<cv::Mat>& channels, const cv::Mat& mask,
                      cv::Vec3d& meanColor) {
    if (!planesMatchMask(channels, mask)) {
        return false;
    }
    std::vector<float> values;
    for (int c = 0; c < 3; ++c) {
        const cv::Mat& plane = channels[static_cast<std::size_t>(c)];
        values.clear();
        for (int r = 0; r < mask.rows; ++r) {
            const uchar* m = mask.ptr<uchar>(r);
            const float* p = plane.ptr<float>(r);
            for (int x = 0; x < mask.cols; ++x) {
                if (m[x] != 0) {
                    values.push_back(p[x]);
                }
            }
        }
        if (values.empty()) {
            return false;
        }
        // Ascending, with any not-a-number values ordered last, so that the
        // comparison stays a strict weak ordering whatever the pixels hold.
        std::sort(values.begin(), values.end(),
                  [](float a, float b) { return a < b || (std::isnan(b) && !std::isnan(a)); });

        // Drop the lowest and the highest fifth; the bounds are truncated
        // single-precision products, and at least one value is kept.
        const float n = static_cast<float>(values.size());
        const std::size_t lo = static_cast<std::size_t>(n * 0.2f);
        std::size_t hi = static_cast<std::size_t>(n * 0.8f);
        if (hi <= lo) {
            hi = lo + 1;
        }
        double sum = 0.0;
        for (std::size_t i = lo; i < hi; ++i) {
            sum += static_cast<double>(values[i]);
        }
        meanColor[c] = sum / static_cast<double>(hi - lo);
    }
    return true;
}

}  // namespace DataLayer
