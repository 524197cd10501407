// The colour-correction fit: a 3 x 4 affine map from measured to reference
// colours by linear least squares.
#include <algorithm>
#include <cstddef>

#include "DataLayer/ShadeAnalysis/CColorCalibration.h"

namespace DataLayer {

void CColorCalibration::fitColorCorrection(const cv::Mat& measured,
                                           const std::vector<float>& reference,
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

}  // namespace DataLayer
