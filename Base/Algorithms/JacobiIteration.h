#pragma once

namespace symsolvers {

/// Eigen-decomposition of a symmetric matrix of order `order` by Jacobi rotations.
///
/// `matrix` holds the lower triangle packed row by row (element (r, c), c <= r,
/// at r(r+1)/2 + c) and is left unchanged. On return `eigenvalues` holds the
/// `order` eigenvalues and `eigenvectors` the row-major order x order matrix
/// whose column j is the unit eigenvector of eigenvalue j (component k of
/// eigenvector j at k * order + j). At most `iterations` sweeps are made;
/// `work` is scratch of order(order+1)/2 doubles. Returns true when the
/// off-diagonal part converged.
bool JacobiIteration(double* matrix, double* eigenvalues, double* eigenvectors, int order,
                     int iterations, double* work);

}  // namespace symsolvers
