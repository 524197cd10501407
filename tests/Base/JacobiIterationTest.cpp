#include "Base/Algorithms/JacobiIteration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

double packedAt(const std::vector<double>& packed, int r, int c) {
    return r >= c ? packed[r * (r + 1) / 2 + c] : packed[c * (c + 1) / 2 + r];
}

// Checks V diag(l) V^T = A and V^T V = I for the solver's output.
void expectDecomposition(const std::vector<double>& packed, const std::vector<double>& values,
                         const std::vector<double>& vectors, int n, double tolerance) {
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c) {
            double a = 0.0;
            double identity = 0.0;
            for (int j = 0; j < n; ++j) {
                a += vectors[r * n + j] * values[j] * vectors[c * n + j];
                identity += vectors[j * n + r] * vectors[j * n + c];
            }
            EXPECT_NEAR(a, packedAt(packed, r, c), tolerance) << r << "," << c;
            EXPECT_NEAR(identity, r == c ? 1.0 : 0.0, 1e-12) << r << "," << c;
        }
    }
}

}  // namespace

TEST(JacobiIteration, DiagonalAndRankOneMatricesGiveTheirExactEigenvalues) {
    std::vector<double> packed = {4.0, 0.0, -2.0, 0.0, 0.0, 9.0};
    const std::vector<double> original = packed;
    std::vector<double> values(3);
    std::vector<double> vectors(9);
    EXPECT_TRUE(
        symsolvers::JacobiIteration(packed.data(), values.data(), vectors.data(), 3, 20, nullptr));
    EXPECT_EQ(packed, original);
    EXPECT_EQ(values, (std::vector<double>{4.0, -2.0, 9.0}));
    EXPECT_EQ(vectors, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));

    // Rank one, a covariance of points on a line: the zero eigenvalues may come
    // out as rounding noise of either sign, never of the size of the data.
    const double u[3] = {1.0, 2.0, -0.5};
    packed.clear();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c <= r; ++c) packed.push_back(37.0 * u[r] * u[c]);
    EXPECT_TRUE(
        symsolvers::JacobiIteration(packed.data(), values.data(), vectors.data(), 3, 20, nullptr));
    std::sort(values.begin(), values.end());
    EXPECT_NEAR(values[2], 37.0 * 5.25, 1e-9);
    EXPECT_LE(std::fabs(values[0]) + std::fabs(values[1]), 1e-12 * values[2]);
}

TEST(JacobiIteration, RandomSymmetricMatricesAreReconstructed) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> element(-50.0, 50.0);
    for (int n : {2, 3, 5, 8}) {
        std::vector<double> packed(n * (n + 1) / 2);
        for (double& x : packed) x = element(rng);
        std::vector<double> values(n);
        std::vector<double> vectors(n * n);
        std::vector<double> work(packed.size());
        EXPECT_TRUE(symsolvers::JacobiIteration(packed.data(), values.data(), vectors.data(), n, 20,
                                                work.data()))
            << n;
        expectDecomposition(packed, values, vectors, n, 1e-10);
    }
}

TEST(JacobiIteration, BadInputFailsWithoutHanging) {
    double values[3] = {7, 7, 7};
    double vectors[9] = {};
    std::vector<double> packed = {1, 0.5, 2, 0.1, 0.2, 3};
    EXPECT_FALSE(symsolvers::JacobiIteration(packed.data(), values, vectors, 0, 20, nullptr));
    EXPECT_FALSE(symsolvers::JacobiIteration(nullptr, values, vectors, 3, 20, nullptr));
    EXPECT_EQ(values[0], 7.0);  // untouched

    packed[1] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(symsolvers::JacobiIteration(packed.data(), values, vectors, 3, 1 << 30, nullptr));
    EXPECT_EQ(values[0], 1.0);
    EXPECT_EQ(vectors[4], 1.0);

    // No sweep allowed: not converged, but the outputs are the start state.
    packed = {1, 0.5, 2, 0.1, 0.2, 3};
    EXPECT_FALSE(symsolvers::JacobiIteration(packed.data(), values, vectors, 3, 0, nullptr));

    // Extreme but finite elements still converge to a finite decomposition.
    packed = {1e300, -1e300, -1e300, 1e-300, 5.0, 1e300};
    EXPECT_TRUE(symsolvers::JacobiIteration(packed.data(), values, vectors, 3, 50, nullptr));
    for (double v : values) EXPECT_TRUE(std::isfinite(v));
}
