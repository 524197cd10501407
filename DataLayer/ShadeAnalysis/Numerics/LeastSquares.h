#pragma once

#include <cstddef>
#include <cstdint>

namespace DataLayer {

/// Dense linear least squares through the normal equations, with the symmetric
/// matrix kept in packed form: the lower triangle row by row, element (i, j)
/// with j <= i at index i(i+1)/2 + j. After `decomposeLDLT` the same array
/// holds the unit lower-triangular L below the diagonal (its ones implied) and
/// the diagonal D on it. All arithmetic is double; sums run over k in
/// ascending order from 0. No function allocates memory. Sizes are 64-bit so
/// that no product of them overflows.

/// Layout of a design matrix A of m rows (equations) and n columns (unknowns).
enum EMatrixLayout : int {
    eRowMajor = 0,   ///< element (k, j) at k*n + j
    eTransposed = 1  ///< element (k, j) at j*m + k
};

/// Index of element (i, j), j <= i, of a packed symmetric matrix.
inline std::int64_t packedIndex(std::int64_t i, std::int64_t j) { return i * (i + 1) / 2 + j; }

/// P := AᵀA (packed, n(n+1)/2 entries) and r := Aᵀb (n entries). Writes
/// nothing when n < 1 or the layout is neither 0 nor 1; with m = 0 every
/// entry is 0.
void computeNormalEquations(const double* A, const double* b, double* P, double* r, std::int64_t m,
                            std::int64_t n, int layout);

/// Factors the packed matrix P of order n in place as L·D·Lᵀ. `work` is
/// scratch of n doubles. Returns true when every pivot D(j) is positive; a
/// non-positive pivot does not stop the factorisation (later entries may then
/// be infinite or not a number). n < 1 returns true.
bool decomposeLDLT(double* P, std::int64_t n, double* work);

/// Solves (L·D·Lᵀ)·x = x in place with the factor from `decomposeLDLT`.
/// `work` is scratch of n doubles. n < 1 does nothing.
void solveLDLT(const double* P, double* x, std::int64_t n, double* work);

}  // namespace DataLayer
