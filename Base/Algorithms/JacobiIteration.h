#pragma once

namespace symsolvers {

/// Eigen-decomposition of a symmetric matrix of order `order` by cyclic Jacobi rotations.
///
/// `matrix` holds the lower triangle packed row by row (element (r, c), c <= r,
/// at r(r+1)/2 + c) and is left unchanged. On return `eigenvalues` holds the
/// `order` eigenvalues and `eigenvectors` the row-major order x order matrix
/// whose column j is the unit eigenvector of eigenvalue j (component k of
/// eigenvector j at k * order + j). The eigenvalues are not sorted: eigenvalue j
/// is what diagonal element j became under the rotations, so a diagonal matrix
/// returns its diagonal in place and the unit vectors. At most `iterations`
/// sweeps are made over all off-diagonal pairs. `work` is scratch of
/// order(order+1)/2 doubles (may be null); on return it holds the rotated
/// matrix, packed like `matrix`.
///
/// The eigenvalues are returned as computed, never clamped: for a positive
/// semi-definite matrix (a covariance) with a zero eigenvalue, rounding can make
/// that eigenvalue a tiny negative number (of the order of 1e-16 times the
/// largest), so a caller taking square roots must treat values <= 0 itself.
///
/// Returns true when the off-diagonal part converged (every element became
/// zero or negligible against its two diagonal elements in double precision).
/// Returns false, with the outputs untouched, for null `matrix`, `eigenvalues`
/// or `eigenvectors` or `order` < 1; returns false with the diagonal and the
/// unit vectors for a matrix holding a non-finite value; returns false with the
/// last rotated state when `iterations` sweeps did not suffice.
bool JacobiIteration(double* matrix, double* eigenvalues, double* eigenvectors, int order,
                     int iterations, double* work);

}  // namespace symsolvers
