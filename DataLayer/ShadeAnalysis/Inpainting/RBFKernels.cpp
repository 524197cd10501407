// The portable kernels of the RBF inpainting, and the choice of the kernel set.

#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernels.h"

#include <algorithm>
#include <cstdlib>

#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernelBodies.h"

namespace DataLayer {
namespace Inpainting {

#if defined(COLORCAL_HAVE_AVX2_KERNELS)
/// Defined in RBFKernelsAvx2.cpp, which only x86 builds compile.
const RBFKernels& avx2RBFKernelSet();
#endif

namespace {

constexpr int kPanel = kPanelWidth;
constexpr int kRowsOfTile = kTileRows;
constexpr int kColsOfTile = kTileCols;

double dotPortable(const double* x, const double* y, std::int64_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += x[i] * y[i];
        s1 += x[i + 1] * y[i + 1];
        s2 += x[i + 2] * y[i + 2];
        s3 += x[i + 3] * y[i + 3];
    }
    for (; i < n; ++i) s0 += x[i] * y[i];
    return (s0 + s1) + (s2 + s3);
}

void panelProductPortable(const double* a, const double* b, std::int64_t depth, double* c,
                          std::int64_t ldc) {
    for (std::int64_t half = 0; half < 2; ++half) {
        double acc[4][kPanel] = {};
        for (std::int64_t k = 0; k < depth; ++k) {
            const double* ak = a + k * kPanel + half * 4;
            const double* bk = b + k * kPanel;
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < kPanel; ++j) acc[i][j] += ak[i] * bk[j];
            }
        }
        for (int i = 0; i < 4; ++i) {
            double* row = c + (half * 4 + i) * ldc;
            for (int j = 0; j < kPanel; ++j) row[j] += acc[i][j];
        }
    }
}

void tileProductPortable(const double* a, const double* b, std::int64_t depth, double* c,
                         std::int64_t ldc) {
    double acc[kRowsOfTile][kColsOfTile] = {};
    for (std::int64_t k = 0; k < depth; ++k) {
        const double* ak = a + k * kRowsOfTile;
        const double* bk = b + k * kColsOfTile;
        for (int i = 0; i < kRowsOfTile; ++i) {
            for (int j = 0; j < kColsOfTile; ++j) acc[i][j] += ak[i] * bk[j];
        }
    }
    for (int i = 0; i < kRowsOfTile; ++i) {
        for (int j = 0; j < kColsOfTile; ++j) c[i * ldc + j] += acc[i][j];
    }
}

void cacheRowPortable(double* row, int cols, int y, int selector) {
    cacheRowBody(row, cols, y, selector);
}

void weightedAddPortable(float* acc, const float* src, float g, int n) {
    weightedAddBody(acc, src, g, n);
}

void nodeRowPortable(const NodeRowTerms& terms, std::int64_t m, int n, const double* w0,
                     const double* w1, const double* w2, double* acc0, double* acc1, double* acc2) {
    for (int i0 = 0; i0 < n; i0 += 8) {
        nodeRowBlockBody(terms, m, i0, std::min(8, n - i0), w0, w1, w2, acc0, acc1, acc2);
    }
}

}  // namespace

const RBFKernels& portableRBFKernels() {
    static const RBFKernels kernels{"portable",          dotPortable,      panelProductPortable,
                                    tileProductPortable, cacheRowPortable, weightedAddPortable,
                                    nodeRowPortable};
    return kernels;
}

const RBFKernels* avx2RBFKernels() {
#if defined(COLORCAL_HAVE_AVX2_KERNELS)
    static const bool runs = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return runs ? &avx2RBFKernelSet() : nullptr;
#else
    return nullptr;
#endif
}

const RBFKernels& rbfKernels() {
#if defined(COLORCAL_PORTABLE_KERNELS)
    return portableRBFKernels();
#else
    static const RBFKernels& chosen =
        avx2RBFKernels() != nullptr ? *avx2RBFKernels() : portableRBFKernels();
    return chosen;
#endif
}

}  // namespace Inpainting
}  // namespace DataLayer
