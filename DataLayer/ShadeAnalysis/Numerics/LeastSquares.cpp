#include "DataLayer/ShadeAnalysis/Numerics/LeastSquares.h"

namespace DataLayer {

void computeNormalEquations(const double* A, const double* b, double* P, double* r, std::int64_t m,
                            std::int64_t n, int layout) {
    if (n < 1 || (layout != eRowMajor && layout != eTransposed)) {
        return;
    }
    if (layout == eTransposed) {
        // Columns are contiguous: each entry is a dot product of two columns.
        for (std::int64_t j = 0; j < n; ++j) {
            const double* colJ = A + j * m;
            for (std::int64_t i = 0; i <= j; ++i) {
                const double* colI = A + i * m;
                double sum = 0.0;
                for (std::int64_t k = 0; k < m; ++k) {
                    sum += colJ[k] * colI[k];
                }
                P[packedIndex(j, i)] = sum;
            }
            double sum = 0.0;
            for (std::int64_t k = 0; k < m; ++k) {
                sum += colJ[k] * b[k];
            }
            r[j] = sum;
        }
        return;
    }
    // Row-major: accumulate row by row so that A is read contiguously. Each
    // entry still sums its products over k in ascending order, so the result
    // is bit-identical to the column-by-column formulation.
    const std::int64_t packed = n * (n + 1) / 2;
    for (std::int64_t e = 0; e < packed; ++e) {
        P[e] = 0.0;
    }
    for (std::int64_t j = 0; j < n; ++j) {
        r[j] = 0.0;
    }
    for (std::int64_t k = 0; k < m; ++k) {
        const double* row = A + k * n;
        const double bk = b[k];
        for (std::int64_t j = 0; j < n; ++j) {
            const double ajk = row[j];
            double* Pj = P + packedIndex(j, 0);
            for (std::int64_t i = 0; i <= j; ++i) {
                Pj[i] += ajk * row[i];
            }
            r[j] += ajk * bk;
        }
    }
}

bool decomposeLDLT(double* P, std::int64_t n, double* work) {
    if (n < 1) {
        return true;
    }
    bool positive = true;
    for (std::int64_t j = 0; j < n; ++j) {
        const double* Lj = P + packedIndex(j, 0);
        for (std::int64_t k = 0; k < j; ++k) {
            work[k] = Lj[k] * P[packedIndex(k, k)];
        }
        double dot = 0.0;
        for (std::int64_t k = 0; k < j; ++k) {
            dot += Lj[k] * work[k];
        }
        const double d = P[packedIndex(j, j)] - dot;
        P[packedIndex(j, j)] = d;
        work[j] = d;
        if (!(d > 0.0)) {
            positive = false;
        }
        for (std::int64_t i = j + 1; i < n; ++i) {
            double* Li = P + packedIndex(i, 0);
            double dot2 = 0.0;
            for (std::int64_t k = 0; k < j; ++k) {
                dot2 += Li[k] * work[k];
            }
            Li[j] = (Li[j] - dot2) / d;
        }
    }
    return positive;
}

void solveLDLT(const double* P, double* x, std::int64_t n, double* work) {
    if (n < 1) {
        return;
    }
    for (std::int64_t i = 0; i < n; ++i) {
        const double* Li = P + packedIndex(i, 0);
        double dot = 0.0;
        for (std::int64_t k = 0; k < i; ++k) {
            dot += Li[k] * work[k];
        }
        work[i] = x[i] - dot;
    }
    for (std::int64_t i = n - 1; i >= 0; --i) {
        double dot = 0.0;
        for (std::int64_t k = i + 1; k < n; ++k) {
            dot += P[packedIndex(k, i)] * x[k];
        }
        x[i] = work[i] / P[packedIndex(i, i)] - dot;
    }
}

}  // namespace DataLayer
