#pragma once

// The inner loops of the RBF inpainting, as one set of functions per
// instruction set: the portable set (plain C++, compiled for the baseline
// processor) and, on x86, an AVX2/FMA set compiled from its own source with
// those instructions enabled. `rbfKernels()` is the one place that picks the
// set, once per process, from the processor it runs on.

#include <cstdint>

namespace DataLayer {
namespace Inpainting {

/// The basis values of the centres along one row of nodes, centre k reading
/// two runs of its values: node i < split[k] takes left[k][origin[k] - i]
/// (read backwards), node i >= split[k] takes right[k][i - shift[k]]. For
/// i < split[k], origin[k] - i >= 0; for split[k] <= i < n, i - shift[k] >= 0.
struct NodeRowTerms {
    const double* const* left;
    const double* const* right;
    const int* origin;
    const int* shift;
    const int* split;
};

/// Pointers to the kernels of one instruction set. Every array argument is
/// read or written only within the extents given; no pointer needs alignment.
struct RBFKernels {
    /// Name for diagnostics: "portable" or "avx2-fma".
    const char* name;
    /// Dot product of x[0..n) and y[0..n).
    double (*dot)(const double* x, const double* y, std::int64_t n);
    /// C(8 x 8, leading dimension ldc) += aᵀ·b for two packed panels of
    /// `depth` rows of 8 doubles.
    void (*panelProduct)(const double* a, const double* b, std::int64_t depth, double* c,
                         std::int64_t ldc);
    /// C(4 x 12, leading dimension ldc) += aᵀ·b for a packed panel of `depth`
    /// rows of 4 doubles and one of `depth` rows of 12 doubles.
    void (*tileProduct)(const double* a, const double* b, std::int64_t depth, double* c,
                        std::int64_t ldc);
    /// One row of the weight cache: the basis value of the offset (x, y) for
    /// x = 0 .. cols - 1; selector 0 multiquadric, 1 inverse multiquadric,
    /// 2 thin-plate spline. Identical results in every set.
    void (*cacheRow)(double* row, int cols, int y, int selector);
    /// acc[i] += g · src[i] for i < n, in float. Identical results in every set.
    void (*weightedAdd)(float* acc, const float* src, float g, int n);
    /// accC[i] = Σ_k wC[k] · b_k(i) for nodes i < n and the three channels
    /// C = 0, 1, 2, with b_k from `terms`, summed from 0.0 over k = 0 .. m - 1
    /// in order (each product rounded, then added). Identical results in
    /// every set.
    void (*nodeRow)(const NodeRowTerms& terms, std::int64_t m, int n, const double* w0,
                    const double* w1, const double* w2, double* acc0, double* acc1, double* acc2);
};

/// Width of the packed panels of `RBFKernels::panelProduct`.
constexpr int kPanelWidth = 8;
/// Rows and columns of the tiles of `RBFKernels::tileProduct`.
constexpr int kTileRows = 4;
constexpr int kTileCols = 12;

/// Square of the (inverse) multiquadric's shape parameter, 125 pixels.
constexpr double kMultiquadricShapeSq = 15625.0;

/// The kernels every build has.
const RBFKernels& portableRBFKernels();

/// The AVX2/FMA kernels when this build has them and the processor runs them;
/// null otherwise.
const RBFKernels* avx2RBFKernels();

/// The kernels the library uses: the AVX2/FMA set where available, unless the
/// build forces the portable set (COLORCAL_PORTABLE_KERNELS). Chosen on the
/// first call.
const RBFKernels& rbfKernels();

}  // namespace Inpainting
}  // namespace DataLayer
