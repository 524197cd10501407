// The colour-correction fit: a 3 x 4 affine map from measured to reference
// colours by linear least squares, how well it explains the references, and
// the test whether the measured colours run against the reference order.
#include "DataLayer/ShadeAnalysis/Calibration/ColorFit.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/ChartConstants.h"

namespace DataLayer {

void fitColorCorrection(const cv::Mat& measured, const std::vector<float>& reference,
                        cv::Mat& coefficients) {
    CV_Assert(measured.type() == CV_32FC3 && measured.rows > 0 && measured.cols > 0);
    const int n = measured.rows;
    CV_Assert(reference.size() >= static_cast<std::size_t>(n) * 3);

    // Each colour gives three equations, one per output channel k, over that
    // channel's four coefficients M[k][0..3]: (c0, c1, c2, 1) in columns 4k .. 4k + 3.
    cv::Mat design = cv::Mat::zeros(3 * n, 12, CV_32F);
    for (int i = 0; i < n; ++i) {
        const cv::Vec3f& c = measured.at<cv::Vec3f>(i, 0);
        for (int k = 0; k < 3; ++k) {
            float* row = design.ptr<float>(3 * i + k) + 4 * k;
            row[0] = c[0];
            row[1] = c[1];
            row[2] = c[2];
            row[3] = 1.0f;
        }
    }
    // b[3i + k] = reference channel k of colour i.
    cv::Mat target(3 * n, 1, CV_32F);
    std::copy(reference.begin(), reference.begin() + 3 * static_cast<std::ptrdiff_t>(n),
              target.ptr<float>());
    cv::solve(design, target, coefficients, cv::DECOMP_SVD);
}

bool matchesInReverse(const cv::Mat& measured, const std::vector<float>& reference) {
    if (measured.type() != CV_32FC3 || measured.rows < kChartPatchCount ||
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
    for (int i = 0; i < kChartPatchCount; ++i) {
        forward += cv::norm(measuredLab.row(i), referenceLab.row(i), cv::NORM_L2SQR);
        backward += cv::norm(measuredLab.row(i), referenceLab.row(kChartPatchCount - 1 - i),
                             cv::NORM_L2SQR);
    }
    return forward > backward;
}

double residualRatio(const cv::Mat& measured, const std::vector<float>& reference,
                     const cv::Mat& coefficients) {
    const cv::Matx34d m = cv::Matx34f(coefficients.ptr<float>());
    std::vector<cv::Vec3d> target(static_cast<std::size_t>(kChartPatchCount));
    cv::Vec3d mean(0.0, 0.0, 0.0);
    for (std::size_t p = 0; p < target.size(); ++p) {
        target[p] = cv::Vec3d(reference[3 * p], reference[3 * p + 1], reference[3 * p + 2]);
        mean += target[p] / static_cast<double>(kChartPatchCount);
    }
    double missed = 0.0;
    double spread = 0.0;
    for (std::size_t p = 0; p < target.size(); ++p) {
        const cv::Vec3f& c = measured.at<cv::Vec3f>(static_cast<int>(p), 0);
        const cv::Vec3d corrected = m * cv::Vec4d(c[0], c[1], c[2], 1.0);
        missed += cv::norm(corrected - target[p], cv::NORM_L2SQR);
        spread += cv::norm(target[p] - mean, cv::NORM_L2SQR);
    }
    return spread > 0.0 ? std::sqrt(missed / spread) : std::numeric_limits<double>::infinity();
}

}  // namespace DataLayer
