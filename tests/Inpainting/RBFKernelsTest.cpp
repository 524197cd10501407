// The AVX2/FMA kernels against the portable ones on the same inputs. The
// loops without multiply-adds must agree bit for bit; where FMA rounds each
// product-sum once instead of twice, both sides stay within the rounding
// bound of an n-term dot product, n·ε·Σ|xᵢyᵢ|, of each other.

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernels.h"

namespace {

using DataLayer::Inpainting::RBFKernels;

std::vector<double> randomValues(std::size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = u(rng);
    return v;
}

/// Σ|x[k·sx]·y[k·sy]| over k < n: the scale of a dot product's rounding.
double absDot(const double* x, const double* y, std::int64_t n, std::int64_t sx = 1,
              std::int64_t sy = 1) {
    double s = 0.0;
    for (std::int64_t k = 0; k < n; ++k) s += std::abs(x[k * sx] * y[k * sy]);
    return s;
}

class RBFKernelsTest : public testing::Test {
  protected:
    void SetUp() override {
        avx2 = DataLayer::Inpainting::avx2RBFKernels();
        if (avx2 == nullptr) GTEST_SKIP() << "no AVX2/FMA kernels on this build or processor";
    }
    const RBFKernels& portable = DataLayer::Inpainting::portableRBFKernels();
    const RBFKernels* avx2 = nullptr;
    std::mt19937_64 rng{7};
};

TEST_F(RBFKernelsTest, LoopsWithoutMultiplyAddsAgreeExactly) {
    for (const int cols : {1, 5, 37, 1001}) {
        std::vector<double> a(static_cast<std::size_t>(cols));
        std::vector<double> b(a.size());
        for (const int selector : {0, 1, 2}) {
            portable.cacheRow(a.data(), cols, 999, selector);
            avx2->cacheRow(b.data(), cols, 999, selector);
            ASSERT_EQ(a, b) << "cols " << cols << " selector " << selector;
        }
        std::vector<float> src(a.begin(), a.end());
        std::vector<float> acc(src.size(), 1.5f);
        std::vector<float> acc2 = acc;
        portable.weightedAdd(acc.data(), src.data(), 0.37f, cols);
        avx2->weightedAdd(acc2.data(), src.data(), 0.37f, cols);
        EXPECT_EQ(acc, acc2) << "cols " << cols;
    }
}

TEST_F(RBFKernelsTest, ProductsAgreeWithinTheDotProductBound) {
    const std::vector<double> x = randomValues(600, rng);
    const std::vector<double> y = randomValues(600, rng);
    for (std::int64_t n = 0; n < 40; ++n) {
        const double d = avx2->dot(x.data(), y.data(), n) - portable.dot(x.data(), y.data(), n);
        EXPECT_LE(std::abs(d), n * DBL_EPSILON * absDot(x.data(), y.data(), n)) << "n " << n;
    }
    // Packed panels: 8 x 8 and 4 x 12 tiles of a leading dimension 24, added
    // to a non-zero C.
    for (const std::int64_t depth : {1, 7, 64}) {
        for (const bool tile : {false, true}) {
            const std::int64_t rows = tile ? 4 : 8;
            const std::int64_t cols = tile ? 12 : 8;
            const std::vector<double> a = randomValues(static_cast<std::size_t>(depth * rows), rng);
            const std::vector<double> b = randomValues(static_cast<std::size_t>(depth * cols), rng);
            std::vector<double> c1 = randomValues(8 * 24, rng);
            std::vector<double> c2 = c1;
            const auto product = tile ? &RBFKernels::tileProduct : &RBFKernels::panelProduct;
            (portable.*product)(a.data(), b.data(), depth, c1.data(), 24);
            (avx2->*product)(a.data(), b.data(), depth, c2.data(), 24);
            for (std::int64_t i = 0; i < rows; ++i) {
                for (std::int64_t j = 0; j < cols; ++j) {
                    const std::size_t at = static_cast<std::size_t>(i * 24 + j);
                    const double tol =
                        static_cast<double>(depth + 1) * DBL_EPSILON *
                        (absDot(a.data() + i, b.data() + j, depth, rows, cols) + 1.0);
                    ASSERT_LE(std::abs(c1[at] - c2[at]), tol)
                        << "tile " << tile << " depth " << depth << " at " << i << "," << j;
                }
            }
        }
    }
}

}  // namespace

// The node-row sums of every kernel set equal, bit for bit, the direct sum of
// each node over the terms in order: rows shorter than a block, rows with a
// tail, terms split before, inside and after a block, and terms read only
// leftwards or only rightwards.
TEST(RBFNodeRow, EveryKernelSetGivesTheDirectSumOfEachNode) {
    using DataLayer::Inpainting::NodeRowTerms;
    std::mt19937_64 rng{11};
    std::vector<const RBFKernels*> sets = {&DataLayer::Inpainting::portableRBFKernels()};
    if (DataLayer::Inpainting::avx2RBFKernels() != nullptr) {
        sets.push_back(DataLayer::Inpainting::avx2RBFKernels());
    }
    for (const int n : {1, 7, 8, 29, 64, 203}) {
        const std::int64_t m = 23;
        std::vector<std::vector<double>> runs;
        std::vector<const double*> left(m), right(m);
        std::vector<int> origin(m), shift(m), split(m);
        std::uniform_int_distribution<int> place(-3, n + 3);
        for (std::int64_t k = 0; k < m; ++k) {
            const int s = std::clamp(place(rng), 0, n);
            split[k] = s;
            origin[k] = s + static_cast<int>(k % 3);  // origin - i >= 0 for i < split
            shift[k] = s - static_cast<int>(k % 4);   // i - shift >= 0 for i >= split
            runs.push_back(randomValues(static_cast<std::size_t>(origin[k] + 1), rng));
            left[k] = runs.back().data();
            runs.push_back(randomValues(static_cast<std::size_t>(n - shift[k] + 1), rng));
            right[k] = runs.back().data();
        }
        const NodeRowTerms terms{left.data(), right.data(), origin.data(), shift.data(),
                                 split.data()};
        const std::vector<double> w0 = randomValues(m, rng);
        const std::vector<double> w1 = randomValues(m, rng);
        const std::vector<double> w2 = randomValues(m, rng);
        std::vector<double> direct(3 * static_cast<std::size_t>(n), 0.0);
        for (int i = 0; i < n; ++i) {
            for (std::int64_t k = 0; k < m; ++k) {
                const double b = i < split[k] ? left[k][origin[k] - i] : right[k][i - shift[k]];
                direct[i] += w0[k] * b;
                direct[n + i] += w1[k] * b;
                direct[2 * n + i] += w2[k] * b;
            }
        }
        for (const RBFKernels* set : sets) {
            std::vector<double> acc(3 * static_cast<std::size_t>(n), -1.0);
            set->nodeRow(terms, m, n, w0.data(), w1.data(), w2.data(), acc.data(), acc.data() + n,
                         acc.data() + 2 * n);
            EXPECT_EQ(acc, direct) << set->name << ", " << n << " nodes";
        }
    }
}
