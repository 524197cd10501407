#pragma once

// Plain reference versions of the optimised operations of CRBFInpainting, and
// the internal engine whose steps the tests check.

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFInpaintingEngine.h"
#include "DataLayer/ShadeAnalysis/Numerics/LeastSquares.h"

namespace rbftest {

using Engine = DataLayer::Inpainting::RBFInpaintingEngine;

/// Same size, type and bytes.
inline bool identical(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return false;
    const cv::Mat ca = a.clone();
    const cv::Mat cb = b.clone();
    return std::memcmp(ca.data, cb.data, ca.total() * ca.elemSize()) == 0;
}

/// The masked Gaussian as a direct 19 x 19 window sum in double with
/// reflected borders: Σ G·w·s / Σ G·w, NaN where every weight is 0.
inline cv::Mat directMaskedGaussian(const cv::Mat& src, const cv::Mat& weights) {
    const cv::Mat g = cv::getGaussianKernel(19, 9.0, CV_64F);
    const cv::Mat kernel = g * g.t();
    cv::Mat ps;
    cv::Mat pw;
    cv::copyMakeBorder(src, ps, 9, 9, 9, 9, cv::BORDER_REFLECT);
    cv::copyMakeBorder(weights, pw, 9, 9, 9, 9, cv::BORDER_REFLECT);
    const int channels = src.channels();
    cv::Mat out(src.size(), src.type());
    for (int y = 0; y < src.rows; ++y) {
        for (int x = 0; x < src.cols; ++x) {
            for (int c = 0; c < channels; ++c) {
                double num = 0.0;
                double den = 0.0;
                for (int i = 0; i < 19; ++i) {
                    for (int j = 0; j < 19; ++j) {
                        const double w = kernel.at<double>(i, j) * pw.at<uchar>(y + i, x + j);
                        num += w * ps.ptr<float>(y + i)[(x + j) * channels + c];
                        den += w;
                    }
                }
                out.ptr<float>(y)[x * channels + c] = static_cast<float>(num / den);
            }
        }
    }
    return out;
}

/// The design matrix of samples and centres, row-major, from a weight cache.
inline std::vector<double> designMatrix(const Engine::PointList& samples,
                                        const Engine::PointList& centres, const double* cache,
                                        int cols) {
    std::vector<double> a(samples.size() * centres.size());
    for (std::size_t k = 0; k < samples.size(); ++k) {
        for (std::size_t j = 0; j < centres.size(); ++j) {
            const int dy = std::abs(samples[k][1] - centres[j][1]);
            const int dx = std::abs(samples[k][0] - centres[j][0]);
            a[k * centres.size() + j] = cache[static_cast<std::size_t>(dy) * cols + dx];
        }
    }
    return a;
}

/// One channel fitted the plain way: A stored, normal equations, L·D·Lᵀ.
/// Returns false when the factorisation meets a non-positive pivot.
inline bool directFit(const cv::Mat& channel, const Engine::PointList& samples,
                      const Engine::PointList& centres, const double* cache,
                      std::vector<double>& w) {
    const std::int64_t n = static_cast<std::int64_t>(samples.size());
    const std::int64_t m = static_cast<std::int64_t>(centres.size());
    const std::vector<double> a = designMatrix(samples, centres, cache, channel.cols);
    std::vector<double> b(samples.size());
    for (std::size_t k = 0; k < samples.size(); ++k) {
        b[k] = channel.at<float>(samples[k][1], samples[k][0]);
    }
    std::vector<double> p(static_cast<std::size_t>(m * (m + 1) / 2));
    std::vector<double> work(static_cast<std::size_t>(m));
    w.assign(static_cast<std::size_t>(m), 0.0);
    DataLayer::computeNormalEquations(a.data(), b.data(), p.data(), w.data(), n, m,
                                      DataLayer::eRowMajor);
    if (!DataLayer::decomposeLDLT(p.data(), m, work.data())) return false;
    DataLayer::solveLDLT(p.data(), w.data(), m, work.data());
    return true;
}

/// Root-mean-square residual of the field w at the samples of one channel.
inline double rmsResidual(const cv::Mat& channel, const Engine::PointList& samples,
                          const Engine::PointList& centres, const double* cache, const double* w) {
    double sum = 0.0;
    for (const auto& s : samples) {
        const double v = Engine::computeValueFromRBF(w, centres, s, cache, channel.cols) -
                         channel.at<float>(s[1], s[0]);
        sum += v * v;
    }
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

}  // namespace rbftest
