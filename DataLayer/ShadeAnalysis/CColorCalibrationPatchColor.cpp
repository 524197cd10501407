// Measuring the chart's patches: the trimmed mean colour of one patch and the
// test whether a list of measured colours runs against the reference order.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CColorCalibration.h"

namespace DataLayer {

namespace {

/// Number of colours compared by `invertDirection`.
constexpr int kChartColors = 20;

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

bool CColorCalibration::getMeanSegmentColor(std::vector<cv::Mat>& channels, const cv::Mat& mask,
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

bool CColorCalibration::invertDirection(cv::Mat& measured, const std::vector<float>& reference) {
    if (measured.type() != CV_32FC3 || measured.rows < kChartColors ||
        reference.size() < measured.total() * 3) {
        return false;
    }
    cv::Mat referenceImage(measured.size(), CV_32FC3);
    std::memcpy(referenceImage.data, reference.data(), measured.total() * 3 * sizeof(float));

    const double toUnit = 0.00392156862745098;  // 1 / 255
    cv::Mat measuredLab;
    cv::Mat referenceLab;
    cv::Mat scaled;
    measured.convertTo(scaled, CV_32FC3, toUnit);
    cv::cvtColor(scaled, measuredLab, cv::COLOR_BGR2Lab);
    referenceImage.convertTo(scaled, CV_32FC3, toUnit);
    cv::cvtColor(scaled, referenceLab, cv::COLOR_BGR2Lab);

    double forward = 0.0;
    double backward = 0.0;
    for (int i = 0; i < kChartColors; ++i) {
        forward += cv::norm(measuredLab.row(i), referenceLab.row(i), cv::NORM_L2SQR);
        backward +=
            cv::norm(measuredLab.row(i), referenceLab.row(kChartColors - 1 - i), cv::NORM_L2SQR);
    }
    return forward > backward;
}

}  // namespace DataLayer
