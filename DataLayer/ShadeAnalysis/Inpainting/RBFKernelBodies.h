#pragma once

// Loops that both kernel sources compile from the same text, each for its own
// instruction set: the compiler vectorises them as wide as the including
// source allows. They are plain additions, multiplications, square roots and
// logarithms with no contraction into fused multiply-adds (both kernel sources
// are compiled with -ffp-contract=off), so every set gives the same bits.
// Included only by RBFKernels.cpp and RBFKernelsAvx2.cpp; the anonymous
// namespace keeps each source's copy apart (no copy compiled for AVX2 can
// stand in for the portable one at link time).

#include <cmath>

#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernels.h"

namespace DataLayer {
namespace Inpainting {
namespace {

/// One row of the weight cache for a known basis selector, with r formed first
/// and squared again as the basis functions do.
inline void cacheRowBody(double* row, int cols, int y, int selector) {
    const double dy = static_cast<double>(y);
    if (selector == 0) {
        for (int x = 0; x < cols; ++x) {
            const double dx = static_cast<double>(x);
            const double r = std::sqrt(dx * dx + dy * dy);
            row[x] = std::sqrt(r * r + kMultiquadricShapeSq);
        }
    } else if (selector == 1) {
        for (int x = 0; x < cols; ++x) {
            const double dx = static_cast<double>(x);
            const double r = std::sqrt(dx * dx + dy * dy);
            row[x] = 1.0 / std::sqrt(r * r + kMultiquadricShapeSq);
        }
    } else {
        for (int x = 0; x < cols; ++x) {
            const double dx = static_cast<double>(x);
            const double r = std::sqrt(dx * dx + dy * dy);
            row[x] = r > 0.0 ? r * r * std::log(r) : 0.0;
        }
    }
}

inline void weightedAddBody(float* acc, const float* src, float g, int n) {
    for (int i = 0; i < n; ++i) acc[i] += g * src[i];
}

/// The basis value of term k at node i (see NodeRowTerms).
inline double nodeRowBasis(const NodeRowTerms& t, std::int64_t k, int i) {
    return i < t.split[k] ? t.left[k][t.origin[k] - i] : t.right[k][i - t.shift[k]];
}

/// Nodes [i0, i0 + len) of a node row, len <= 8, one node's sum kept per
/// lane: the order over the terms is the same for every width.
inline void nodeRowBlockBody(const NodeRowTerms& t, std::int64_t m, int i0, int len,
                             const double* w0, const double* w1, const double* w2, double* acc0,
                             double* acc1, double* acc2) {
    double a0[8] = {};
    double a1[8] = {};
    double a2[8] = {};
    for (std::int64_t k = 0; k < m; ++k) {
        double b[8];
        for (int j = 0; j < len; ++j) b[j] = nodeRowBasis(t, k, i0 + j);
        const double v0 = w0[k];
        const double v1 = w1[k];
        const double v2 = w2[k];
        for (int j = 0; j < len; ++j) a0[j] += v0 * b[j];
        for (int j = 0; j < len; ++j) a1[j] += v1 * b[j];
        for (int j = 0; j < len; ++j) a2[j] += v2 * b[j];
    }
    for (int j = 0; j < len; ++j) {
        acc0[i0 + j] = a0[j];
        acc1[i0 + j] = a1[j];
        acc2[i0 + j] = a2[j];
    }
}

}  // namespace
}  // namespace Inpainting
}  // namespace DataLayer
