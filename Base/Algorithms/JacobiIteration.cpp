#include "Base/Algorithms/JacobiIteration.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace symsolvers {

namespace {

// Sum of the magnitudes of the strictly upper off-diagonal elements of the
// n x n row-major matrix `a` (magnitudes, not squares, so it cannot overflow
// before the elements do).
double offDiagonal(const std::vector<double>& a, std::size_t n) {
    double sum = 0.0;
    for (std::size_t p = 0; p < n; ++p) {
        for (std::size_t q = p + 1; q < n; ++q) {
            sum += std::fabs(a[p * n + q]);
        }
    }
    return sum;
}

// One rotation in the (p, q) plane that zeroes a(p, q); applied to the
// symmetric matrix `a` and accumulated into the columns of `v`.
void rotate(std::vector<double>& a, std::vector<double>& v, std::size_t n, std::size_t p,
            std::size_t q) {
    const double apq = a[p * n + q];
    const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
    // Smaller root of t^2 + 2 t theta - 1 = 0; hypot avoids overflow of theta^2.
    const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::hypot(theta, 1.0));
    const double c = 1.0 / std::sqrt(t * t + 1.0);
    const double s = t * c;
    a[p * n + p] -= t * apq;
    a[q * n + q] += t * apq;
    a[p * n + q] = 0.0;
    a[q * n + p] = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        if (k != p && k != q) {
            const double akp = a[k * n + p];
            const double akq = a[k * n + q];
            a[k * n + p] = a[p * n + k] = c * akp - s * akq;
            a[k * n + q] = a[q * n + k] = s * akp + c * akq;
        }
        const double vkp = v[k * n + p];
        const double vkq = v[k * n + q];
        v[k * n + p] = c * vkp - s * vkq;
        v[k * n + q] = s * vkp + c * vkq;
    }
}

}  // namespace

bool JacobiIteration(double* matrix, double* eigenvalues, double* eigenvectors, int order,
                     int iterations, double* work) {
    if (matrix == nullptr || eigenvalues == nullptr || eigenvectors == nullptr || order < 1) {
        return false;
    }
    const auto n = static_cast<std::size_t>(order);
    std::vector<double> a(n * n);
    std::vector<double> v(n * n, 0.0);
    bool finite = true;
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t c = 0; c <= r; ++c) {
            const double x = matrix[r * (r + 1) / 2 + c];
            finite = finite && std::isfinite(x);
            a[r * n + c] = a[c * n + r] = x;
        }
        v[r * n + r] = 1.0;
    }

    bool converged = false;
    if (finite) {
        for (int sweep = 0;; ++sweep) {
            if (offDiagonal(a, n) == 0.0) {
                converged = true;
                break;
            }
            if (sweep >= iterations) {
                break;
            }
            for (std::size_t p = 0; p + 1 < n; ++p) {
                for (std::size_t q = p + 1; q < n; ++q) {
                    const double apq = a[p * n + q];
                    const double g = 100.0 * std::fabs(apq);
                    // An element this small cannot change either diagonal element.
                    if (std::fabs(a[p * n + p]) + g == std::fabs(a[p * n + p]) &&
                        std::fabs(a[q * n + q]) + g == std::fabs(a[q * n + q])) {
                        a[p * n + q] = a[q * n + p] = 0.0;
                    } else if (apq != 0.0) {
                        rotate(a, v, n, p, q);
                    }
                }
            }
        }
    }

    for (std::size_t j = 0; j < n; ++j) {
        eigenvalues[j] = a[j * n + j];
    }
    for (std::size_t k = 0; k < n * n; ++k) {
        eigenvectors[k] = v[k];
    }
    if (work != nullptr) {
        for (std::size_t r = 0; r < n; ++r) {
            for (std::size_t c = 0; c <= r; ++c) {
                work[r * (r + 1) / 2 + c] = a[r * n + c];
            }
        }
    }
    return converged;
}

}  // namespace symsolvers
