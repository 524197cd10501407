// Masked Gaussian smoothing and Lab distances of CRBFInpainting.

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFInpaintingEngine.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernels.h"
#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"

namespace DataLayer {

using Inpainting::RBFInpaintingEngine;

namespace {

constexpr int kKernelSize = 19;
constexpr double kKernelSigma = 9.0;
constexpr int kRadius = kKernelSize / 2;

/// Lab of a CV_32FC3 0..255 BGR image. OpenCV's float conversion expects 0..1
/// and clips above, so the image is scaled first. Pixels with a channel that is
/// not finite are converted as black (a NaN would reach the conversion's table
/// lookups) and marked in `nonFinite` (CV_8UC1, 255 there, 0 elsewhere).
cv::Mat toLab(const cv::Mat& bgr, cv::Mat& nonFinite) {
    cv::Mat scaled;
    bgr.convertTo(scaled, CV_32F, 1.0 / 255.0);
    nonFinite.create(bgr.rows, bgr.cols, CV_8UC1);
    for (int y = 0; y < scaled.rows; ++y) {
        float* p = scaled.ptr<float>(y);
        uchar* m = nonFinite.ptr<uchar>(y);
        for (int x = 0; x < scaled.cols; ++x) {
            float* px = p + 3 * static_cast<std::size_t>(x);
            const bool finite =
                std::isfinite(px[0]) && std::isfinite(px[1]) && std::isfinite(px[2]);
            m[x] = finite ? 0 : 255;
            if (!finite) px[0] = px[1] = px[2] = 0.0f;
        }
    }
    cv::Mat lab;
    cv::cvtColor(scaled, lab, cv::COLOR_BGR2Lab);
    return lab;
}

/// Normalised convolution of a CV_32FC1 or CV_32FC3 image under weights,
/// written row by row: each output is Gaussian(src·w) / Gaussian(w) per
/// channel with the separable 19-tap kernel and reflected borders. All terms of
/// the weight sum are non-negative and every kernel tap is above 1e-2, so the
/// float sum is exactly 0 precisely when every weight of the 19 x 19 window is
/// 0; those pixels become NaN. A pixel of weight 0 contributes nothing, whatever
/// its value (it is never multiplied), so NaN or infinite values there cannot
/// leak into the result.
///
/// Only the pixels of `reach` are computed; the caller has made sure that every
/// other pixel's window holds no weight, so it is NaN. `dst` covers either the
/// whole image (the NaN outside `reach` is written) or `reach` alone (its
/// pixel (0, 0) is the image's pixel `reach.tl()`). The weighted source rows
/// are formed once per task into a ring of 19 rows, the vertical pass runs over
/// the columns the horizontal pass of `reach` reads.
class MaskedRows {
  public:
    /// `exclusion` true: a weight byte of 0 means weight 1, anything else 0.
    MaskedRows(const cv::Mat& src, const cv::Mat& weights, bool exclusion, const cv::Rect& reach,
               const std::vector<float>& taps, cv::Mat& dst)
        : m_whole(dst.size() == src.size()),
          m_src(src),
          m_weights(weights),
          m_exclusion(exclusion),
          m_reach(reach),
          m_taps(taps),
          m_dst(dst),
          m_channels(src.channels()),
          m_planes(src.channels() + 1),
          m_v0(std::max(0, reach.x - kRadius)),
          m_v1(std::min(src.cols, reach.x + reach.width + kRadius)) {
        const int padded = src.cols + 2 * kRadius;
        m_colIndex.resize(static_cast<std::size_t>(padded));
        for (int i = 0; i < padded; ++i) {
            m_colIndex[static_cast<std::size_t>(i)] =
                cv::borderInterpolate(i - kRadius, src.cols, cv::BORDER_REFLECT);
        }
    }

    void operator()(int y0, int y1) const {
        const int cols = m_src.cols;
        const int cn = m_channels;
        constexpr float nan = std::numeric_limits<float>::quiet_NaN();
        const int width = std::max(0, m_v1 - m_v0);
        const std::size_t planeSize = static_cast<std::size_t>(width);
        const std::size_t slotSize = planeSize * static_cast<std::size_t>(m_planes);
        std::vector<float> ring(slotSize * kKernelSize);
        std::array<int, kKernelSize> slotRow;
        slotRow.fill(std::numeric_limits<int>::min());
        const int padded = m_reach.width + 2 * kRadius;
        std::vector<float> vert(static_cast<std::size_t>(std::max(0, padded) * m_planes));
        std::vector<float> acc(planeSize);
        std::vector<float> horiz(static_cast<std::size_t>(std::max(0, m_reach.width) * m_planes));
        std::array<const float*, kKernelSize> rowsOfWindow{};
        // The image's column x lies at column x - ox of the destination.
        const int ox = m_whole ? 0 : m_reach.x;
        for (int y = y0; y < y1; ++y) {
            if (y < m_reach.y || y >= m_reach.y + m_reach.height || m_reach.width <= 0) {
                if (m_whole) {
                    float* o = m_dst.ptr<float>(y);
                    std::fill(o, o + static_cast<std::size_t>(cols) * cn, nan);
                }
                continue;
            }
            float* o = m_dst.ptr<float>(m_whole ? y : y - m_reach.y);
            for (int k = 0; k < kKernelSize; ++k) {
                const int j = y + k - kRadius;
                const int slot = ((j % kKernelSize) + kKernelSize) % kKernelSize;
                float* base = ring.data() + static_cast<std::size_t>(slot) * slotSize;
                if (slotRow[static_cast<std::size_t>(slot)] != j) {
                    weightRow(cv::borderInterpolate(j, m_src.rows, cv::BORDER_REFLECT), base,
                              planeSize);
                    slotRow[static_cast<std::size_t>(slot)] = j;
                }
                rowsOfWindow[static_cast<std::size_t>(k)] = base;
            }
            // Vertical sums of every plane, spread onto the reflected padding.
            for (int p = 0; p < m_planes; ++p) {
                const std::size_t offset = static_cast<std::size_t>(p) * planeSize;
                std::fill(acc.begin(), acc.end(), 0.0f);
                for (int k = 0; k < kKernelSize; ++k) {
                    verticalStep(acc.data(), rowsOfWindow[static_cast<std::size_t>(k)] + offset,
                                 m_taps[static_cast<std::size_t>(k)], width);
                }
                float* v = vert.data() + static_cast<std::size_t>(p) * padded;
                for (int i = 0; i < padded; ++i) {
                    const int column = m_colIndex[static_cast<std::size_t>(m_reach.x) +
                                                  static_cast<std::size_t>(i)] -
                                       m_v0;
                    v[i] = acc[static_cast<std::size_t>(column)];
                }
                float* h = horiz.data() + static_cast<std::size_t>(p) * m_reach.width;
                std::fill(h, h + m_reach.width, 0.0f);
                for (int k = 0; k < kKernelSize; ++k) {
                    verticalStep(h, v + k, m_taps[static_cast<std::size_t>(k)], m_reach.width);
                }
            }
            if (m_whole) std::fill(o, o + static_cast<std::size_t>(m_reach.x) * cn, nan);
            const float* den = horiz.data() + static_cast<std::size_t>(cn) * m_reach.width;
            for (int i = 0; i < m_reach.width; ++i) {
                float* px = o + static_cast<std::size_t>(m_reach.x - ox + i) * cn;
                const float d = den[i];
                for (int c = 0; c < cn; ++c) {
                    px[c] = d > 0.0f ? horiz[static_cast<std::size_t>(c) * m_reach.width +
                                             static_cast<std::size_t>(i)] /
                                           d
                                     : nan;
                }
            }
            if (m_whole) {
                std::fill(o + static_cast<std::size_t>(m_reach.x + m_reach.width) * cn,
                          o + static_cast<std::size_t>(cols) * cn, nan);
            }
        }
    }

  private:
    /// Planes 0 .. cn - 1 of `base` := weight · channel, plane cn := weight, for
    /// the columns [v0, v1) of source row r.
    void weightRow(int r, float* base, std::size_t planeSize) const {
        const float* s = m_src.ptr<float>(r);
        const uchar* w = m_weights.ptr<uchar>(r);
        const int cn = m_channels;
        float* wp = base + static_cast<std::size_t>(cn) * planeSize;
        for (int x = m_v0; x < m_v1; ++x) {
            const std::size_t i = static_cast<std::size_t>(x - m_v0);
            const float wf = m_exclusion ? (w[x] == 0 ? 1.0f : 0.0f) : static_cast<float>(w[x]);
            wp[i] = wf;
            for (int c = 0; c < cn; ++c) {
                base[static_cast<std::size_t>(c) * planeSize + i] =
                    wf != 0.0f ? s[static_cast<std::size_t>(x) * cn + c] * wf : 0.0f;
            }
        }
    }

    /// acc[i] += g · src[i] for i < n.
    void verticalStep(float* acc, const float* src, float g, int n) const {
        m_weightedAdd(acc, src, g, n);
    }

    bool m_whole;
    const cv::Mat& m_src;
    const cv::Mat& m_weights;
    bool m_exclusion;
    cv::Rect m_reach;
    const std::vector<float>& m_taps;
    cv::Mat& m_dst;
    int m_channels;
    int m_planes;
    int m_v0;
    int m_v1;
    std::vector<int> m_colIndex;
    void (*m_weightedAdd)(float*, const float*, float, int) = Inpainting::rbfKernels().weightedAdd;
};

/// The pixels whose 19 x 19 window can hold a non-zero weight: the bounding
/// box `box` of the non-zero weights grown by the kernel radius. A reflected window position lies
/// within the radius of its pixel as long as each side is at least a kernel
/// long; smaller images are computed whole.
cv::Rect weightReach(const cv::Size& size, const cv::Rect& box) {
    const cv::Rect all(0, 0, size.width, size.height);
    if (size.height < kKernelSize || size.width < kKernelSize) return all;
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

void RBFInpaintingEngine::labDistances(const cv::Mat& a, const cv::Mat& b, cv::Mat& out) {
    CV_CheckTypeEQ(a.type(), CV_32FC3, "labDistances needs CV_32FC3 images");
    CV_CheckTypeEQ(b.type(), CV_32FC3, "labDistances needs CV_32FC3 images");
    CV_Check(b.size(), a.size() == b.size(), "labDistances needs images of one size");
    cv::Mat badA;
    cv::Mat badB;
    const cv::Mat labA = toLab(a, badA);
    const cv::Mat labB = toLab(b, badB);
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
    accumulator.setTo(std::numeric_limits<float>::quiet_NaN(), badA | badB);
    out = accumulator;
}

cv::Vec3f RBFInpaintingEngine::whiteLab() {
    const cv::Mat white(1, 1, CV_32FC3, cv::Scalar(255, 255, 255));
    cv::Mat bad;
    return toLab(white, bad).at<cv::Vec3f>(0, 0);
}

void RBFInpaintingEngine::labDistancesToWhite(const cv::Mat& a, cv::Mat& out) {
    labDistancesTo(a, whiteLab(), out);
}

void RBFInpaintingEngine::labDistancesTo(const cv::Mat& a, const cv::Vec3f& w, cv::Mat& out) {
    CV_CheckTypeEQ(a.type(), CV_32FC3, "labDistances needs a CV_32FC3 image");
    cv::Mat bad;
    const cv::Mat labA = toLab(a, bad);
    out.create(a.rows, a.cols, CV_32F);
    for (int y = 0; y < a.rows; ++y) {
        const cv::Vec3f* lab = labA.ptr<cv::Vec3f>(y);
        const uchar* b = bad.ptr<uchar>(y);
        float* o = out.ptr<float>(y);
        for (int x = 0; x < a.cols; ++x) {
            const float d0 = lab[x][0] - w[0];
            const float d1 = lab[x][1] - w[1];
            const float d2 = lab[x][2] - w[2];
            o[x] = b[x] != 0 ? std::numeric_limits<float>::quiet_NaN()
                             : std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
        }
    }
}

void RBFInpaintingEngine::excludeFarFromWhite(const cv::Mat& image, const cv::Vec3f& white,
                                              float threshold, cv::Mat& exclusion) {
    cv::Mat distance;
    labDistancesTo(image, white, distance);
    const double limit = static_cast<double>(threshold);
    for (int y = 0; y < distance.rows; ++y) {
        const float* d = distance.ptr<float>(y);
        uchar* e = exclusion.ptr<uchar>(y);
        for (int x = 0; x < distance.cols; ++x) {
            if (static_cast<double>(d[x]) > limit || std::isnan(d[x])) e[x] = 255;
        }
    }
}

cv::Rect RBFInpaintingEngine::zeroBoundingBox(const cv::Mat& mask) {
    int x0 = mask.cols;
    int x1 = -1;
    int y0 = mask.rows;
    int y1 = -1;
    for (int y = 0; y < mask.rows; ++y) {
        const uchar* m = mask.ptr<uchar>(y);
        const uchar* first = std::find(m, m + mask.cols, uchar{0});
        if (first == m + mask.cols) continue;
        y0 = std::min(y0, y);
        y1 = y;
        x0 = std::min(x0, static_cast<int>(first - m));
        int last = mask.cols - 1;
        while (m[last] != 0) --last;
        x1 = std::max(x1, last);
    }
    if (y1 < 0) return cv::Rect();
    return cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
}

void RBFInpaintingEngine::maskedGaussianImpl(const cv::Mat& src, const cv::Mat& weights,
                                             bool exclusion, cv::Mat& dst, cv::Rect* reachOnly) {
    if (src.empty()) {
        dst.release();
        if (reachOnly != nullptr) *reachOnly = cv::Rect();
        return;
    }
    const cv::Rect reach =
        weightReach(src.size(), exclusion ? zeroBoundingBox(weights) : cv::boundingRect(weights));
    // A new matrix, so that dst may share src's data.
    const cv::Size size = reachOnly != nullptr ? reach.size() : src.size();
    cv::Mat result = newPhotoBuffer(size, src.type());
    if (reachOnly != nullptr) {
        *reachOnly = reach;
        if (reach.empty()) {
            dst = result;
            return;
        }
    }
    const std::vector<float> taps = gaussianTaps();
    const MaskedRows rowsOf(src, weights, exclusion, reach, taps, result);
    if (reachOnly != nullptr) {
        parallelRows(reach.height, 8, [&](int y0, int y1) { rowsOf(reach.y + y0, reach.y + y1); });
    } else {
        parallelRows(src.rows, 8, [&](int y0, int y1) { rowsOf(y0, y1); });
    }
    dst = result;
}

void RBFInpaintingEngine::maskedGaussian(const cv::Mat& src, cv::Mat& dst, cv::Mat weights) {
    CV_CheckTypeEQ(src.type(), CV_32FC3, "maskedGaussian needs a CV_32FC3 image");
    CV_CheckTypeEQ(weights.type(), CV_8UC1, "maskedGaussian needs CV_8UC1 weights");
    CV_Check(weights.size(), weights.size() == src.size(),
             "maskedGaussian needs weights of the image's size");
    maskedGaussianImpl(src, weights, false, dst);
}

void RBFInpaintingEngine::maskedGaussianSingleChannel(const cv::Mat& src, cv::Mat& dst,
                                                      cv::Mat weights) {
    CV_CheckTypeEQ(src.type(), CV_32FC1, "maskedGaussianSingleChannel needs a CV_32F channel");
    CV_CheckTypeEQ(weights.type(), CV_8UC1, "maskedGaussianSingleChannel needs CV_8UC1 weights");
    CV_Check(weights.size(), weights.size() == src.size(),
             "maskedGaussianSingleChannel needs weights of the channel's size");
    maskedGaussianImpl(src, weights, false, dst);
}

void RBFInpaintingEngine::maskedFiltering(const cv::Mat& src, cv::Mat& dst, const cv::Mat& kernel,
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
    parallelRows(src.rows, 1, [&](int y0, int y1) {
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

double RBFInpaintingEngine::weightedSum(const cv::Mat& window, const cv::Mat& weights) {
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
