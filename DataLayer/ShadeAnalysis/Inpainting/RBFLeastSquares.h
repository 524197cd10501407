#pragma once

// The least-squares solve of the RBF fits (RBFLeastSquares.cpp): the design
// matrix of samples and centres read from rows of the weight cache, and its
// solution for up to three right-hand sides. Internal to the white estimate
// stage.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

#include <oneapi/tbb/cache_aligned_allocator.h>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"

namespace DataLayer {
namespace Inpainting {

using DoubleVector = std::vector<double, tbb::cache_aligned_allocator<double>>;
/// Runs body(0) .. body(count - 1), serially or as tasks, and waits.
using Executor = std::function<void(int, const std::function<void(int)>&)>;

constexpr int kMaxRhs = 3;
constexpr std::int64_t kPolyTerms = 6;  // 1, u, v, u², uv, v² of the ridge fit

/// The executor that runs every body on the calling thread, in order.
void runSerial(int count, const std::function<void(int)>& body);

/// The design matrix A(k, j) = rows[|dy|][|dx|] of samples and centres (rows
/// of the weight cache), with up to three right-hand sides b(k, c).
struct Problem {
    const CRBFInpainting::PointList& samples;
    const CRBFInpainting::PointList& centres;
    const double* const* rows;
    const DoubleVector& rhs;  // N x nrhs, sample-major
    int nrhs;
    /// Optional polynomial columns after the RBF columns: N x kPolyTerms,
    /// sample-major; null for none.
    const double* poly = nullptr;

    std::int64_t rbf() const { return static_cast<std::int64_t>(centres.size()); }
    std::int64_t n() const { return static_cast<std::int64_t>(samples.size()); }
    std::int64_t m() const { return rbf() + (poly != nullptr ? kPolyTerms : 0); }
    double a(std::int64_t k, std::int64_t j) const {
        if (j >= rbf()) return poly[k * kPolyTerms + (j - rbf())];
        const auto& s = samples[static_cast<std::size_t>(k)];
        const auto& c = centres[static_cast<std::size_t>(j)];
        const std::int64_t dx = std::abs(static_cast<std::int64_t>(s[0]) - c[0]);
        const std::int64_t dy = std::abs(static_cast<std::int64_t>(s[1]) - c[1]);
        return rows[dy][dx];
    }
};

/// Solves the fit for up to three right-hand sides. The normal equations are
/// factored as L·D·Lᵀ first. When that meets a pivot that is not positive (AᵀA
/// singular to working precision, common for smooth bases on dense centres),
/// the copy of AᵀA is factored again with diagonal pivoting, stopping at pivots
/// at rounding level (m·ε times the largest diagonal entry): the weights are
/// the least-squares fit through the centres that the pivoting selects, the
/// other centres weigh 0. Two steps of iterative refinement with residuals
/// computed from A itself (not from AᵀA) then make that fit as accurate as the
/// selected system allows.
///
/// With `ridge` > 0 the RBF weights are penalised: ridge times the mean squared
/// norm of the RBF columns of A is added to their diagonal entries of AᵀA (not
/// to those of the polynomial columns), and the refinement, which would undo
/// the penalty, is skipped.
bool solveLeastSquares(const Problem& p, const Executor& run, std::array<double*, 3> out,
                       CRBFInpainting::FitDiagnostics& diag, double ridge = 0.0);

}  // namespace Inpainting
}  // namespace DataLayer
