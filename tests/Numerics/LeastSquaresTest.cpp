#include "DataLayer/ShadeAnalysis/Numerics/LeastSquares.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using namespace DataLayer;

namespace {

// Plain column-by-column normal equations, as the kernel is defined.
void referenceNormalEquations(const std::vector<double>& A, const std::vector<double>& b,
                              std::vector<double>& P, std::vector<double>& r, int m, int n) {
    P.assign(n * (n + 1) / 2, 0.0);
    r.assign(n, 0.0);
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i <= j; ++i) {
            double s = 0.0;
            for (int k = 0; k < m; ++k) s += A[k * n + j] * A[k * n + i];
            P[j * (j + 1) / 2 + i] = s;
        }
        double s = 0.0;
        for (int k = 0; k < m; ++k) s += A[k * n + j] * b[k];
        r[j] = s;
    }
}

}  // namespace

TEST(LeastSquares, SingularEmptyAndBadLayoutProblems) {
    double singular[3] = {1, 1, 1};
    double work[2];
    EXPECT_FALSE(decomposeLDLT(singular, 2, work));  // non-positive pivot
    EXPECT_EQ(singular[2], 0.0);

    double P[1] = {42.0};
    double r[1] = {42.0};
    const double A[1] = {1.0};
    const double b[1] = {1.0};
    computeNormalEquations(A, b, P, r, 1, 0, 0);
    computeNormalEquations(A, b, P, r, 1, 1, 2);  // no such layout: nothing written
    EXPECT_EQ(P[0], 42.0);
    EXPECT_EQ(r[0], 42.0);
    EXPECT_TRUE(decomposeLDLT(P, 0, work));
    solveLDLT(P, r, 0, work);
    EXPECT_EQ(r[0], 42.0);
    computeNormalEquations(A, b, P, r, 0, 1, 0);  // m = 0 gives zeros
    EXPECT_EQ(P[0], 0.0);
    EXPECT_EQ(r[0], 0.0);
}

TEST(LeastSquares, RowMajorAccumulationMatchesColumnDefinitionBitExactly) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    const int m = 37;
    const int n = 9;
    std::vector<double> A(m * n);
    std::vector<double> b(m);
    for (auto& v : A) v = u(rng);
    for (auto& v : b) v = u(rng);
    std::vector<double> Pref;
    std::vector<double> rref;
    referenceNormalEquations(A, b, Pref, rref, m, n);
    std::vector<double> P(n * (n + 1) / 2);
    std::vector<double> r(n);
    computeNormalEquations(A.data(), b.data(), P.data(), r.data(), m, n, 0);
    for (size_t i = 0; i < P.size(); ++i) EXPECT_EQ(P[i], Pref[i]) << "packed entry " << i;
    for (int j = 0; j < n; ++j) EXPECT_EQ(r[j], rref[j]) << "entry " << j;
    // The column-major layout of the same matrix gives the same sums.
    std::vector<double> At(A.size());
    for (int k = 0; k < m; ++k) {
        for (int j = 0; j < n; ++j) At[j * m + k] = A[k * n + j];
    }
    std::vector<double> Pt(P.size());
    std::vector<double> rt(n);
    computeNormalEquations(At.data(), b.data(), Pt.data(), rt.data(), m, n, 1);
    for (size_t i = 0; i < P.size(); ++i) EXPECT_NEAR(Pt[i], Pref[i], 1e-9) << "packed entry " << i;
    for (int j = 0; j < n; ++j) EXPECT_NEAR(rt[j], rref[j], 1e-9) << "entry " << j;

    // And the solve recovers an exactly consistent system's solution.
    std::vector<double> xTrue(n);
    for (auto& v : xTrue) v = u(rng);
    for (int k = 0; k < m; ++k) {
        b[k] = 0.0;
        for (int j = 0; j < n; ++j) b[k] += A[k * n + j] * xTrue[j];
    }
    computeNormalEquations(A.data(), b.data(), P.data(), r.data(), m, n, 0);
    std::vector<double> work(n);
    ASSERT_TRUE(decomposeLDLT(P.data(), n, work.data()));
    solveLDLT(P.data(), r.data(), n, work.data());
    for (int j = 0; j < n; ++j) EXPECT_NEAR(r[j], xTrue[j], 1e-9);
}
