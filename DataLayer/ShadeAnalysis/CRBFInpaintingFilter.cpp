// Masked Gaussian smoothing and Lab distances of CRBFInpainting.

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"

namespace DataLayer {

namespace {

constexpr int kKernelSize = 19;
constexpr double kKernelSigma = 9.0;
constexpr int kRadius = kKernelSize / 2;

/// Lab of a CV_32FC3 0..255 BGR image. OpenCV's float conversion expects 0..1
/// and clips above, so the image is scaled first.
cv::Mat toLab(const cv::Mat& bgr) {
    cv::Mat scaled;
    bgr.convertTo(scaled, CV_32F, 1.0 / 255.0);
    cv::Mat lab;
    cv::cvtColor(scaled, lab, cv::COLOR_BGR2Lab);
    return lab;
}

/// Normalised convolution of `planes.size()` CV_32F planes under the weights:
/// each output is Gaussian(plane·w) / Gaussian(w) with the separable 19-tap
/// kernel and reflected borders. All terms of the weight sum are non-negative
/// and every kernel tap is above 1e-2, so the float sum is exactly 0 precisely
/// when every weight of the 19 x 19 window is 0; those pixels become NaN.
/// Rows [y0, y1) of every output are written.
/// Only the pixels of `reach` are computed; the caller has made sure that
/// every other pixel's window holds no weight, so it is NaN.
void separableMaskedRows(const std::vector<cv::Mat>& products, const cv::Mat& weightF,
                         const std::vector<float>& g, std::vector<cv::Mat>& outputs,
                         const cv::Rect& reach, int y0, int y1) {
    const int rows = weightF.rows;
    const int cols = weightF.cols;
    const std::size_t planes = products.size();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    // Columns of vertical sums that the horizontal pass of `reach` reads.
    const int v0 = std::max(0, reach.x - kRadius);
    const int v1 = std::min(cols, reach.x + reach.width + kRadius);
    const int padded = cols + 2 * kRadius;
    std::vector<int> colIndex(static_cast<std::size_t>(padded));
    for (int i = 0; i < padded; ++i) {
        colIndex[static_cast<std::size_t>(i)] =
            cv::borderInterpolate(i - kRadius, cols, cv::BORDER_REFLECT);
    }
    // Vertical sums of every plane (products, then weights) for one row, padded
    // by reflection for the horizontal pass.
    std::vector<std::vector<float>> vert(planes + 1,
                                         std::vector<float>(static_cast<std::size_t>(padded)));
    std::vector<float> acc(static_cast<std::size_t>(cols));
    std::vector<float> den(static_cast<std::size_t>(cols));
    for (int y = y0; y < y1; ++y) {
        if (y < reach.y || y >= reach.y + reach.height || reach.width <= 0) {
            for (std::size_t p = 0; p < planes; ++p) {
                float* o = outputs[p].ptr<float>(y);
                std::fill(o, o + cols, nan);
            }
            continue;
        }
        for (std::size_t p = 0; p <= planes; ++p) {
            const cv::Mat& plane = p < planes ? products[p] : weightF;
            float* a = acc.data();
            std::fill(acc.begin(), acc.end(), 0.0f);
            for (int k = 0; k < kKernelSize; ++k) {
                const int r = cv::borderInterpolate(y + k - kRadius, rows, cv::BORDER_REFLECT);
                const float* s = plane.ptr<float>(r);
                const float gk = g[static_cast<std::size_t>(k)];
                for (int x = v0; x < v1; ++x) a[x] += gk * s[x];
            }
            float* v = vert[p].data();
            for (int i = reach.x; i < reach.x + reach.width + 2 * kRadius; ++i) {
                v[i] = a[colIndex[static_cast<std::size_t>(i)]];
            }
        }
        // Horizontal pass of the weights.
        {
            const float* v = vert[planes].data();
            float* d = den.data();
            std::fill(den.begin(), den.end(), 0.0f);
            for (int k = 0; k < kKernelSize; ++k) {
                const float gk = g[static_cast<std::size_t>(k)];
                const float* vk = v + k;
                for (int x = reach.x; x < reach.x + reach.width; ++x) d[x] += gk * vk[x];
            }
        }
        for (std::size_t p = 0; p < planes; ++p) {
            const float* v = vert[p].data();
            float* a = acc.data();
            std::fill(acc.begin(), acc.end(), 0.0f);
            for (int k = 0; k < kKernelSize; ++k) {
                const float gk = g[static_cast<std::size_t>(k)];
                const float* vk = v + k;
                for (int x = reach.x; x < reach.x + reach.width; ++x) a[x] += gk * vk[x];
            }
            float* o = outputs[p].ptr<float>(y);
            const float* d = den.data();
            std::fill(o, o + reach.x, nan);
            for (int x = reach.x; x < reach.x + reach.width; ++x) {
                o[x] = d[x] > 0.0f ? a[x] / d[x] : nan;
            }
            std::fill(o + reach.x + reach.width, o + cols, nan);
        }
    }
}

/// The pixels whose 19 x 19 window can hold a non-zero weight: the weights'
/// bounding box grown by the kernel radius. A reflected window position lies
/// within the radius of its pixel as long as each side is at least a kernel
/// long; smaller images are computed whole.
cv::Rect weightReach(const cv::Mat& weights) {
    const cv::Rect all(0, 0, weights.cols, weights.rows);
    if (weights.rows < kKernelSize || weights.cols < kKernelSize) return all;
    const cv::Rect box = cv::boundingRect(weights);
    if (box.empty()) return cv::Rect();
    return cv::Rect(box.x - kRadius, box.y - kRadius, box.width + 2 * kRadius,
                    box.height + 2 * kRadius) &
           all;
}

std::vector<float> gaussianTaps() {
    const cv::Mat g = cv::getGaussianKernel(kKernelSize, kKernelSigma, CV_64F);
    std::vector<float> taps(kKernelSize);
    for (int k = 0; k < kKernelSize; ++k) {
        taps[static_cast<std::size_t>(k)] = static_cast<float>(g.at<double>(k));
    }
    return taps;
}

}  // namespace

void CRBFInpainting::labDistances(const cv::Mat& a, const cv::Mat& b, cv::Mat& out) {
    CV_CheckTypeEQ(a.type(), CV_32FC3, "labDistances needs CV_32FC3 images");
    CV_CheckTypeEQ(b.type(), CV_32FC3, "labDistances needs CV_32FC3 images");
    CV_Check(b.size(), a.size() == b.size(), "labDistances needs images of one size");
    const cv::Mat labA = toLab(a);
    const cv::Mat labB = toLab(b);
    std::vector<cv::Mat> ca;
    std::vector<cv::Mat> cb;
    cv::split(labA, ca);
    cv::split(labB, cb);
    cv::Mat accumulator = cv::Mat::zeros(a.rows, a.cols, CV_32F);
    for (int c = 0; c < 3; ++c) {
        cv::Mat d = ca[static_cast<std::size_t>(c)] - cb[static_cast<std::size_t>(c)];
        cv::Mat sq;
        cv::multiply(d, d, sq, 1.0);
        cv::add(accumulator, sq, accumulator);
    }
    cv::sqrt(accumulator, accumulator);
    out = accumulator;
}

void CRBFInpainting::labDistancesToWhite(const cv::Mat& a, cv::Mat& out) {
    CV_CheckTypeEQ(a.type(), CV_32FC3, "labDistances needs a CV_32FC3 image");
    const cv::Mat labA = toLab(a);
    const cv::Mat white(1, 1, CV_32FC3, cv::Scalar(255, 255, 255));
    const cv::Vec3f w = toLab(white).at<cv::Vec3f>(0, 0);
    out.create(a.rows, a.cols, CV_32F);
    for (int y = 0; y < a.rows; ++y) {
        const cv::Vec3f* lab = labA.ptr<cv::Vec3f>(y);
        float* o = out.ptr<float>(y);
        for (int x = 0; x < a.cols; ++x) {
            const float d0 = lab[x][0] - w[0];
            const float d1 = lab[x][1] - w[1];
            const float d2 = lab[x][2] - w[2];
            o[x] = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
        }
    }
}

void CRBFInpainting::maskedGaussian(const cv::Mat& src, cv::Mat& dst, cv::Mat weights) {
    CV_CheckTypeEQ(src.type(), CV_32FC3, "maskedGaussian needs a CV_32FC3 image");
    CV_CheckTypeEQ(weights.type(), CV_8UC1, "maskedGaussian needs CV_8UC1 weights");
    CV_Check(weights.size(), weights.size() == src.size(),
             "maskedGaussian needs weights of the image's size");
    if (src.empty()) {
        dst.release();
        return;
    }
    cv::Mat weightF;
    weights.convertTo(weightF, CV_32F);
    std::vector<cv::Mat> channels;
    cv::split(src, channels);
    std::vector<cv::Mat> products(3);
    std::vector<cv::Mat> outputs(3);
    for (std::size_t c = 0; c < 3; ++c) {
        cv::multiply(channels[c], weightF, products[c]);
        outputs[c].create(src.rows, src.cols, CV_32F);
    }
    const std::vector<float> g = gaussianTaps();
    const cv::Rect reach = weightReach(weights);
    runRanges(src.rows, [&](int y0, int y1) {
        separableMaskedRows(products, weightF, g, outputs, reach, y0, y1);
    });
    cv::merge(outputs, dst);
}

void CRBFInpainting::maskedGaussianSingleChannel(const cv::Mat& src, cv::Mat& dst,
                                                 cv::Mat weights) {
    CV_CheckTypeEQ(src.type(), CV_32FC1, "maskedGaussianSingleChannel needs a CV_32F channel");
    CV_CheckTypeEQ(weights.type(), CV_8UC1, "maskedGaussianSingleChannel needs CV_8UC1 weights");
    CV_Check(weights.size(), weights.size() == src.size(),
             "maskedGaussianSingleChannel needs weights of the channel's size");
    if (src.empty()) {
        dst.release();
        return;
    }
    cv::Mat weightF;
    weights.convertTo(weightF, CV_32F);
    std::vector<cv::Mat> products(1);
    cv::multiply(src, weightF, products[0]);
    std::vector<cv::Mat> outputs{cv::Mat(src.rows, src.cols, CV_32F)};
    const std::vector<float> g = gaussianTaps();
    const cv::Rect reach = weightReach(weights);
    runRanges(src.rows, [&](int y0, int y1) {
        separableMaskedRows(products, weightF, g, outputs, reach, y0, y1);
    });
    dst = outputs[0];
}

void CRBFInpainting::maskedFiltering(const cv::Mat& src, cv::Mat& dst, const cv::Mat& kernel,
                                     const cv::Mat& weights) {
    // General kernels take the direct window sum.
    CV_CheckTypeEQ(src.type(), CV_32FC1, "maskedFiltering needs a CV_32F channel");
    CV_CheckTypeEQ(kernel.type(), CV_64FC1, "maskedFiltering needs a CV_64F kernel");
    CV_CheckTypeEQ(weights.type(), CV_8UC1, "maskedFiltering needs CV_8UC1 weights");
    CV_Check(weights.size(), weights.size() == src.size(),
             "maskedFiltering needs weights of the channel's size");
    dst = src.clone();
    if (src.empty() || kernel.empty()) return;
    const int ry = kernel.rows / 2;
    const int rx = kernel.cols / 2;
    cv::Mat paddedSrc;
    cv::Mat paddedWeights;
    cv::copyMakeBorder(src, paddedSrc, ry, ry, rx, rx, cv::BORDER_REFLECT);
    cv::copyMakeBorder(weights, paddedWeights, ry, ry, rx, rx, cv::BORDER_REFLECT);
    runRanges(src.rows, [&](int y0, int y1) {
        cv::Mat product;
        for (int y = y0; y < y1; ++y) {
            for (int x = 0; x < src.cols; ++x) {
                const cv::Rect window(x, y, kernel.cols, kernel.rows);
                cv::multiply(kernel, paddedWeights(window), product, 1.0, CV_64F);
                dst.at<float>(y, x) = static_cast<float>(weightedSum(paddedSrc(window), product));
            }
        }
    });
}

double CRBFInpainting::weightedSum(const cv::Mat& window, const cv::Mat& weights) {
    CV_CheckTypeEQ(window.type(), CV_32FC1, "weightedSum needs a CV_32F window");
    CV_CheckTypeEQ(weights.type(), CV_64FC1, "weightedSum needs CV_64F weights");
    CV_Check(weights.size(), weights.size() == window.size(),
             "weightedSum needs weights of the window's size");
    double sum = 0.0;
    double weightSum = 0.0;
    for (int i = 0; i < window.rows; ++i) {
        const float* w = window.ptr<float>(i);
        const double* k = weights.ptr<double>(i);
        for (int j = 0; j < window.cols; ++j) {
            sum += static_cast<double>(w[j]) * k[j];
            weightSum += k[j];
        }
    }
    return sum / weightSum;
}

}  // namespace DataLayer
