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

}  // namespace
}  // namespace Inpainting
}  // namespace DataLayer
