// The AVX2/FMA kernels of the RBF inpainting. Compiled only on x86, with
// -mavx2 -mfma -ffp-contract=off (see CMakeLists.txt): every fused
// multiply-add below is written out, so the arithmetic is what the source says
// whatever the compiler's contraction rules. Only rbfKernels() calls into this
// file, after checking that the processor has both instruction sets.
//
// The file includes no header with inline library code beyond the intrinsics
// and <cmath> (the shared loops sit in an anonymous namespace), so no function
// compiled here for AVX2 can be picked by the linker for another source.

#include <immintrin.h>

#include <cmath>
#include <cstdint>

#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernelBodies.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernels.h"

namespace DataLayer {
namespace Inpainting {

const RBFKernels& avx2RBFKernelSet();

namespace {

constexpr std::int64_t kPanel = kPanelWidth;
constexpr std::int64_t kRowsOfTile = kTileRows;
constexpr std::int64_t kColsOfTile = kTileCols;

void panelProductAvx2(const double* a, const double* b, std::int64_t depth, double* c,
                      std::int64_t ldc) {
    for (std::int64_t half = 0; half < 2; ++half) {
        __m256d c00 = _mm256_setzero_pd(), c01 = _mm256_setzero_pd();
        __m256d c10 = _mm256_setzero_pd(), c11 = _mm256_setzero_pd();
        __m256d c20 = _mm256_setzero_pd(), c21 = _mm256_setzero_pd();
        __m256d c30 = _mm256_setzero_pd(), c31 = _mm256_setzero_pd();
        for (std::int64_t k = 0; k < depth; ++k) {
            const double* ak = a + k * kPanel + half * 4;
            const __m256d b0 = _mm256_loadu_pd(b + k * kPanel);
            const __m256d b1 = _mm256_loadu_pd(b + k * kPanel + 4);
            __m256d s = _mm256_broadcast_sd(ak);
            c00 = _mm256_fmadd_pd(s, b0, c00);
            c01 = _mm256_fmadd_pd(s, b1, c01);
            s = _mm256_broadcast_sd(ak + 1);
            c10 = _mm256_fmadd_pd(s, b0, c10);
            c11 = _mm256_fmadd_pd(s, b1, c11);
            s = _mm256_broadcast_sd(ak + 2);
            c20 = _mm256_fmadd_pd(s, b0, c20);
            c21 = _mm256_fmadd_pd(s, b1, c21);
            s = _mm256_broadcast_sd(ak + 3);
            c30 = _mm256_fmadd_pd(s, b0, c30);
            c31 = _mm256_fmadd_pd(s, b1, c31);
        }
        double* r = c + half * 4 * ldc;
        const __m256d acc[4][2] = {{c00, c01}, {c10, c11}, {c20, c21}, {c30, c31}};
        for (int i = 0; i < 4; ++i) {
            double* row = r + i * ldc;
            _mm256_storeu_pd(row, _mm256_add_pd(_mm256_loadu_pd(row), acc[i][0]));
            _mm256_storeu_pd(row + 4, _mm256_add_pd(_mm256_loadu_pd(row + 4), acc[i][1]));
        }
    }
}

double dotAvx2(const double* x, const double* y, std::int64_t n) {
    __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd();
    std::int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        s0 = _mm256_fmadd_pd(_mm256_loadu_pd(x + i), _mm256_loadu_pd(y + i), s0);
        s1 = _mm256_fmadd_pd(_mm256_loadu_pd(x + i + 4), _mm256_loadu_pd(y + i + 4), s1);
    }
    for (; i + 4 <= n; i += 4) {
        s0 = _mm256_fmadd_pd(_mm256_loadu_pd(x + i), _mm256_loadu_pd(y + i), s0);
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, _mm256_add_pd(s0, s1));
    double s = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    // The last one to three products: a pair is rounded and added in turn, a
    // last odd one is fused with the sum.
    if (n - i >= 2) {
        const double p0 = x[i] * y[i];
        const double p1 = x[i + 1] * y[i + 1];
        s += p0;
        s += p1;
        i += 2;
    }
    if (i < n) s = std::fma(x[i], y[i], s);
    return s;
}

/// Twelve independent accumulators, so that the loop runs at the throughput of
/// the FMA units rather than at their latency.
void tileProductAvx2(const double* a, const double* b, std::int64_t depth, double* c,
                     std::int64_t ldc) {
    __m256d c00 = _mm256_setzero_pd(), c01 = _mm256_setzero_pd(), c02 = _mm256_setzero_pd();
    __m256d c10 = _mm256_setzero_pd(), c11 = _mm256_setzero_pd(), c12 = _mm256_setzero_pd();
    __m256d c20 = _mm256_setzero_pd(), c21 = _mm256_setzero_pd(), c22 = _mm256_setzero_pd();
    __m256d c30 = _mm256_setzero_pd(), c31 = _mm256_setzero_pd(), c32 = _mm256_setzero_pd();
    for (std::int64_t k = 0; k < depth; ++k) {
        const double* ak = a + k * kRowsOfTile;
        const double* bk = b + k * kColsOfTile;
        const __m256d b0 = _mm256_loadu_pd(bk);
        const __m256d b1 = _mm256_loadu_pd(bk + 4);
        const __m256d b2 = _mm256_loadu_pd(bk + 8);
        __m256d s = _mm256_broadcast_sd(ak);
        c00 = _mm256_fmadd_pd(s, b0, c00);
        c01 = _mm256_fmadd_pd(s, b1, c01);
        c02 = _mm256_fmadd_pd(s, b2, c02);
        s = _mm256_broadcast_sd(ak + 1);
        c10 = _mm256_fmadd_pd(s, b0, c10);
        c11 = _mm256_fmadd_pd(s, b1, c11);
        c12 = _mm256_fmadd_pd(s, b2, c12);
        s = _mm256_broadcast_sd(ak + 2);
        c20 = _mm256_fmadd_pd(s, b0, c20);
        c21 = _mm256_fmadd_pd(s, b1, c21);
        c22 = _mm256_fmadd_pd(s, b2, c22);
        s = _mm256_broadcast_sd(ak + 3);
        c30 = _mm256_fmadd_pd(s, b0, c30);
        c31 = _mm256_fmadd_pd(s, b1, c31);
        c32 = _mm256_fmadd_pd(s, b2, c32);
    }
    const __m256d acc[kRowsOfTile][3] = {
        {c00, c01, c02}, {c10, c11, c12}, {c20, c21, c22}, {c30, c31, c32}};
    for (int i = 0; i < kRowsOfTile; ++i) {
        double* row = c + i * ldc;
        for (int v = 0; v < 3; ++v) {
            _mm256_storeu_pd(row + 4 * v, _mm256_add_pd(_mm256_loadu_pd(row + 4 * v), acc[i][v]));
        }
    }
}

void cacheRowAvx2(double* row, int cols, int y, int selector) {
    cacheRowBody(row, cols, y, selector);
}

void weightedAddAvx2(float* acc, const float* src, float g, int n) {
    weightedAddBody(acc, src, g, n);
}

/// Lanes in reverse order.
inline __m256d reversed(__m256d v) { return _mm256_permute4x64_pd(v, 0x1B); }

/// Eight nodes at a time in two vectors per channel; a block that one term
/// reads across its split, and the last nodes, go node by node.
void nodeRowAvx2(const NodeRowTerms& terms, std::int64_t m, int n, const double* w0,
                 const double* w1, const double* w2, double* acc0, double* acc1, double* acc2) {
    int i0 = 0;
    for (; i0 + 8 <= n; i0 += 8) {
        __m256d a00 = _mm256_setzero_pd(), a01 = _mm256_setzero_pd();
        __m256d a10 = _mm256_setzero_pd(), a11 = _mm256_setzero_pd();
        __m256d a20 = _mm256_setzero_pd(), a21 = _mm256_setzero_pd();
        for (std::int64_t k = 0; k < m; ++k) {
            __m256d b0;
            __m256d b1;
            const int split = terms.split[k];
            if (i0 + 8 <= split) {
                // Nodes i0 .. i0 + 7 read left[origin - i0 - 7 .. origin - i0] backwards.
                const double* run = terms.left[k] + (terms.origin[k] - i0 - 7);
                b0 = reversed(_mm256_loadu_pd(run + 4));
                b1 = reversed(_mm256_loadu_pd(run));
            } else if (i0 >= split) {
                const double* run = terms.right[k] + (i0 - terms.shift[k]);
                b0 = _mm256_loadu_pd(run);
                b1 = _mm256_loadu_pd(run + 4);
            } else {
                alignas(32) double b[8];
                for (int j = 0; j < 8; ++j) b[j] = nodeRowBasis(terms, k, i0 + j);
                b0 = _mm256_load_pd(b);
                b1 = _mm256_load_pd(b + 4);
            }
            const __m256d v0 = _mm256_broadcast_sd(w0 + k);
            const __m256d v1 = _mm256_broadcast_sd(w1 + k);
            const __m256d v2 = _mm256_broadcast_sd(w2 + k);
            a00 = _mm256_add_pd(a00, _mm256_mul_pd(v0, b0));
            a01 = _mm256_add_pd(a01, _mm256_mul_pd(v0, b1));
            a10 = _mm256_add_pd(a10, _mm256_mul_pd(v1, b0));
            a11 = _mm256_add_pd(a11, _mm256_mul_pd(v1, b1));
            a20 = _mm256_add_pd(a20, _mm256_mul_pd(v2, b0));
            a21 = _mm256_add_pd(a21, _mm256_mul_pd(v2, b1));
        }
        _mm256_storeu_pd(acc0 + i0, a00);
        _mm256_storeu_pd(acc0 + i0 + 4, a01);
        _mm256_storeu_pd(acc1 + i0, a10);
        _mm256_storeu_pd(acc1 + i0 + 4, a11);
        _mm256_storeu_pd(acc2 + i0, a20);
        _mm256_storeu_pd(acc2 + i0 + 4, a21);
    }
    if (i0 < n) nodeRowBlockBody(terms, m, i0, n - i0, w0, w1, w2, acc0, acc1, acc2);
}

}  // namespace

const RBFKernels& avx2RBFKernelSet() {
    static const RBFKernels kernels{"avx2-fma",      dotAvx2,      panelProductAvx2,
                                    tileProductAvx2, cacheRowAvx2, weightedAddAvx2,
                                    nodeRowAvx2};
    return kernels;
}

}  // namespace Inpainting
}  // namespace DataLayer
