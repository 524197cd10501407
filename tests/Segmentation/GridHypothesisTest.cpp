#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include <opencv2/core.hpp>

#include "SegmentationProbe.h"

namespace {

using SegmentationTest::parameterSet;
using SegmentationTest::SegmentationProbe;
using Point = std::array<int, 2>;

// eCCTPrint: grid length 56 sqrt 2 = 79.19596, side length 56.
constexpr double kGrid = 79.19596;

// Centres of a rows x cols chart with pitch `pitch`, rotated by `degrees`
// about its first patch at `origin`, in row order.
std::vector<Point> chartCentres(Point origin, int rows, int cols, double pitch, double degrees) {
    const double a = degrees * CV_PI / 180.0;
    std::vector<Point> centres;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const double x = origin[0] + pitch * (c * std::cos(a) - r * std::sin(a));
            const double y = origin[1] + pitch * (c * std::sin(a) + r * std::cos(a));
            centres.push_back({static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y))});
        }
    }
    return centres;
}

TEST(GridHypothesis, PerpendicularNeighboursAtGridDistanceBuildAnAcceptedGrid) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(640, 520);
    probe.m_seeds = chartCentres({160, 140}, 4, 5, 80, 0.0);
    ASSERT_TRUE(probe.tryGridFromSeed(probe.m_seeds[6]));
    // The first candidate in list order is seed 1 (above), the second seed 5 (left).
    EXPECT_DOUBLE_EQ(probe.m_gridStep1[0], 0.0);
    EXPECT_DOUBLE_EQ(probe.m_gridStep1[1], 80.0);
    EXPECT_DOUBLE_EQ(probe.m_gridStep2[0], 80.0);
    EXPECT_DOUBLE_EQ(probe.m_gridStep2[1], 0.0);
    // The grid runs to the image edges, far beyond the chart.
    EXPECT_EQ(probe.m_patchCenters.size(), 7u * 6u);
    EXPECT_EQ(probe.m_patchCenters.front(), probe.m_seeds[6]);
}

TEST(GridHypothesis, NeighbourDistanceBoundIsStrict) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(640, 520);
    // |distance - g| must stay below g / 4 = 19.79899.
    probe.m_seeds = {{300, 300}, {300 + 99, 300}, {300, 300 + 99}};
    EXPECT_FALSE(probe.tryGridFromSeed(probe.m_seeds[0]));
    EXPECT_TRUE(probe.m_patchCenters.empty());
    probe.m_seeds = {{300, 300}, {300 + 98, 300}, {300, 300 + 98}};
    probe.tryGridFromSeed(probe.m_seeds[0]);
    EXPECT_DOUBLE_EQ(probe.m_gridStep1[0], -98.0);
    EXPECT_DOUBLE_EQ(probe.m_gridStep2[1], -98.0);
}

TEST(GridHypothesis, SecondNeighbourMustBeNearlyPerpendicular) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(640, 520);
    // cos = 7 / 80.3 = 0.087 (85.0 degrees): rejected.
    probe.m_seeds = {{300, 300}, {380, 300}, {307, 380}};
    EXPECT_FALSE(probe.tryGridFromSeed(probe.m_seeds[0]));
    // cos = 6 / 80.2 = 0.075 (85.7 degrees): accepted as the second neighbour.
    probe.m_seeds = {{300, 300}, {380, 300}, {306, 380}};
    probe.tryGridFromSeed(probe.m_seeds[0]);
    EXPECT_DOUBLE_EQ(probe.m_gridStep2[0], -6.0);
    EXPECT_DOUBLE_EQ(probe.m_gridStep2[1], -80.0);
}

TEST(GridHypothesis, MoreThanHalfThePatchesMustLieOnTheGrid) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(640, 520);
    const std::vector<Point> chart = chartCentres({160, 140}, 4, 5, 80, 0.0);
    // Ten seeds on the grid, the rest far off it (more than 28 px from every position).
    std::vector<Point> seeds(chart.begin(), chart.begin() + 10);
    for (int i = 0; i < 5; ++i) {
        seeds.push_back({200 + 80 * i, 100 + 40});
    }
    probe.m_seeds = seeds;
    EXPECT_FALSE(probe.tryGridFromSeed(probe.m_seeds[6]));
    probe.m_seeds.push_back(chart[10]);
    EXPECT_TRUE(probe.tryGridFromSeed(probe.m_seeds[6]));
}

TEST(GridHypothesis, PositionsOnTheImageEdgeAreOutside) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(100, 100);
    const double u[2] = {50.0, 0.0};
    const double v[2] = {0.0, 50.0};
    const std::vector<Point> positions = probe.generateGridPositions({50, 50}, u, v);
    ASSERT_EQ(positions.size(), 1u);
    EXPECT_EQ(positions[0], (Point{50, 50}));
    const std::vector<Point> wider = probe.generateGridPositions({49, 49}, u, v);
    EXPECT_EQ(wider.size(), 4u);
}

TEST(GridHypothesis, ZeroStepGivesNoPositions) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(100, 100);
    const double u[2] = {50.0, 0.0};
    const double zero[2] = {0.0, 0.0};
    EXPECT_TRUE(probe.generateGridPositions({50, 50}, u, zero).empty());
    EXPECT_TRUE(probe.generateGridPositions({50, 50}, zero, u).empty());
}

TEST(GridHypothesis, GridPositionsRoundHalfToEven) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(200, 200);
    const double u[2] = {0.5, 100.0};
    const double v[2] = {100.0, 0.5};
    const std::vector<Point> positions = probe.generateGridPositions({50, 50}, u, v);
    // seed + v = (150, 50.5) -> (150, 50); seed + u = (50.5, 150) -> (50, 150);
    // seed + u + v = (150.5, 150.5) -> (150, 150).
    EXPECT_NE(std::find(positions.begin(), positions.end(), Point{150, 50}), positions.end());
    EXPECT_NE(std::find(positions.begin(), positions.end(), Point{50, 150}), positions.end());
    EXPECT_NE(std::find(positions.begin(), positions.end(), Point{150, 150}), positions.end());
}

// Orders a shuffled rotated chart and compares with the row order.
bool orderRotated(double degrees, const double step1[2], const double step2[2],
                  std::vector<Point>& ordered, std::vector<Point>& expected) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(800, 800);
    expected = chartCentres({250, 200}, 4, 5, kGrid, degrees);
    probe.m_patchCenters = expected;
    std::mt19937 rng(7);
    std::shuffle(probe.m_patchCenters.begin(), probe.m_patchCenters.end(), rng);
    probe.setSteps(step1[0], step1[1], step2[0], step2[1]);
    const bool ok = probe.orderGridPositions();
    ordered = probe.m_patchCenters;
    return ok;
}

TEST(GridOrder, RowsTopToBottomEachLeftToRightWhateverTheStepsOrderAndSign) {
    for (double degrees : {0.0, 10.0, 20.0, -20.0}) {
        SCOPED_TRACE(degrees);
        const double a = degrees * CV_PI / 180.0;
        const double across[2] = {kGrid * std::cos(a), kGrid * std::sin(a)};
        const double down[2] = {-kGrid * std::sin(a), kGrid * std::cos(a)};
        const double acrossNeg[2] = {-across[0], -across[1]};
        const double downNeg[2] = {-down[0], -down[1]};
        std::vector<Point> ordered;
        std::vector<Point> expected;
        ASSERT_TRUE(orderRotated(degrees, across, down, ordered, expected));
        EXPECT_EQ(ordered, expected);
        ASSERT_TRUE(orderRotated(degrees, downNeg, acrossNeg, ordered, expected));
        EXPECT_EQ(ordered, expected);
    }
}

TEST(GridOrder, StepsFarFromTheImageAxesCannotBeOriented) {
    const double a = 30.0 * CV_PI / 180.0;
    const double across[2] = {kGrid * std::cos(a), kGrid * std::sin(a)};
    const double down[2] = {-kGrid * std::sin(a), kGrid * std::cos(a)};
    std::vector<Point> ordered;
    std::vector<Point> expected;
    EXPECT_FALSE(orderRotated(30.0, across, down, ordered, expected));

    SegmentationProbe probe(parameterSet());
    probe.m_patchCenters = {{10, 10}};
    probe.setSteps(80, 0, 0, 80);
    EXPECT_FALSE(probe.orderGridPositions());
}

// --- filtering ---------------------------------------------------------------

TEST(GridFilter, KeepsExactlyThePositionsSupportedAlongBothLines) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(640, 520);
    probe.m_seeds = chartCentres({160, 140}, 4, 5, 80, 0.0);
    ASSERT_TRUE(probe.tryGridFromSeed(probe.m_seeds[0]));
    ASSERT_TRUE(probe.orderGridPositions());
    // The grid reaches beyond the last column (x = 560) and beyond the corners.
    EXPECT_NE(std::find(probe.m_patchCenters.begin(), probe.m_patchCenters.end(), Point{560, 140}),
              probe.m_patchCenters.end());
    EXPECT_TRUE(probe.filterGridPositions());
    EXPECT_EQ(probe.m_patchCenters, chartCentres({160, 140}, 4, 5, 80, 0.0));
}

TEST(GridFilter, SeedAtThePositionSupportsOnlyTheFirstLine) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(640, 520);
    probe.setSteps(80, 0, 0, 80);
    probe.m_seeds = {{300, 300}};
    probe.m_patchCenters = {{300, 300}};
    EXPECT_FALSE(probe.filterGridPositions());
    EXPECT_TRUE(probe.m_patchCenters.empty());
    probe.m_seeds.push_back({300, 380});
    probe.m_patchCenters = {{300, 300}};
    probe.filterGridPositions();
    EXPECT_EQ(probe.m_patchCenters.size(), 1u);
}

TEST(GridFilter, WalkPointsOnTheLeftAndTopEdgeAreInside) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(200, 200);
    probe.setSteps(100, 0, 0, 100);
    // Position (100, 100): line 1 walks x = 100, 200 (outside), 0 (inside);
    // line 2 walks y = 0 (inside).
    probe.m_seeds = {{5, 100}, {100, 5}};
    probe.m_patchCenters = {{100, 100}};
    probe.filterGridPositions();
    EXPECT_EQ(probe.m_patchCenters.size(), 1u);
    probe.m_seeds = {{195, 100}, {100, 5}};  // near x = 200, which is outside
    probe.m_patchCenters = {{100, 100}};
    probe.filterGridPositions();
    EXPECT_TRUE(probe.m_patchCenters.empty());
}

TEST(GridFilter, NearSeedBoundIsHalfAGridLengthStrict) {
    SegmentationProbe probe(parameterSet());
    const double empty[2] = {0.0, 0.0};
    EXPECT_FALSE(probe.isNearSeed(empty));
    probe.m_seeds = {{0, 0}};
    const double inside[2] = {39.5979, 0.0};  // half the grid length is 39.59798
    const double outside[2] = {39.5980, 0.0};
    EXPECT_TRUE(probe.isNearSeed(inside));
    EXPECT_FALSE(probe.isNearSeed(outside));
}

// --- affine refinement -------------------------------------------------------

TEST(GridRefinement, CommonShiftMovesEveryPosition) {
    SegmentationProbe probe(parameterSet());
    const std::vector<Point> grid = chartCentres({160, 140}, 4, 5, 80, 0.0);
    probe.m_patchCenters = grid;
    for (const Point& p : grid) {
        probe.m_seeds.push_back({p[0] + 3, p[1] - 2});
    }
    ASSERT_TRUE(probe.refineGridByAffineFit());
    for (std::size_t i = 0; i < grid.size(); ++i) {
        EXPECT_EQ(probe.m_patchCenters[i], (Point{grid[i][0] + 3, grid[i][1] - 2})) << i;
    }
}

TEST(GridRefinement, SeedsOnThePositionsLeaveThemInPlace) {
    SegmentationProbe probe(parameterSet());
    const std::vector<Point> grid = chartCentres({160, 140}, 4, 5, 80, 7.0);
    probe.m_patchCenters = grid;
    probe.m_seeds = grid;
    ASSERT_TRUE(probe.refineGridByAffineFit());
    EXPECT_EQ(probe.m_patchCenters, grid);
}

TEST(GridRefinement, NeedsSixSeedPositionPairs) {
    SegmentationProbe probe(parameterSet());
    const std::vector<Point> grid = chartCentres({160, 140}, 2, 3, 80, 0.0);
    probe.m_patchCenters = grid;
    probe.m_seeds.assign(grid.begin(), grid.begin() + 5);
    EXPECT_FALSE(probe.refineGridByAffineFit());
    EXPECT_EQ(probe.m_patchCenters, grid);
    probe.m_seeds = grid;
    for (Point& s : probe.m_seeds) {
        s[0] += 1;
    }
    ASSERT_TRUE(probe.refineGridByAffineFit());
    EXPECT_EQ(probe.m_patchCenters[5], (Point{grid[5][0] + 1, grid[5][1]}));
}

TEST(GridRefinement, CollinearPairsDoNotFactor) {
    SegmentationProbe probe(parameterSet());
    probe.m_patchCenters = {{100, 100}, {180, 100}, {260, 100}, {340, 100}, {420, 100}, {500, 100}};
    probe.m_seeds = probe.m_patchCenters;
    EXPECT_FALSE(probe.refineGridByAffineFit());
}

// --- statistics --------------------------------------------------------------

TEST(ColorStatistics, MeanAndUnbiasedCovarianceInBothLayouts) {
    cv::RNG rng(3);
    const int n = 57;
    cv::Mat points(n, 3, CV_64F);
    rng.fill(points, cv::RNG::NORMAL, 100.0, 20.0);
    cv::Mat covar;
    cv::Mat mean;
    cv::calcCovarMatrix(points, covar, mean, cv::COVAR_NORMAL | cv::COVAR_ROWS | cv::COVAR_SCALE,
                        CV_64F);
    covar *= static_cast<double>(n) / (n - 1);
    double m0[3];
    double c0[6];
    DataLayer::computeMeanAndCovariance(points.ptr<double>(), n, 3, m0, c0, 0);
    cv::Mat transposed = points.t();
    double m1[3];
    double c1[6];
    DataLayer::computeMeanAndCovariance(transposed.ptr<double>(), n, 3, m1, c1, 1);
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(m0[k], mean.at<double>(0, k), 1e-9);
        EXPECT_NEAR(m1[k], m0[k], 1e-12);
    }
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c <= r; ++c) {
            EXPECT_NEAR(c0[r * (r + 1) / 2 + c], covar.at<double>(r, c), 1e-6) << r << "," << c;
            EXPECT_NEAR(c1[r * (r + 1) / 2 + c], c0[r * (r + 1) / 2 + c], 1e-9);
        }
    }
}

TEST(ColorStatistics, NoPointsGiveZeros) {
    double mean[3] = {1, 1, 1};
    double cov[6] = {1, 1, 1, 1, 1, 1};
    DataLayer::computeMeanAndCovariance(nullptr, 0, 3, mean, cov, 0);
    for (double v : mean) {
        EXPECT_EQ(v, 0.0);
    }
    for (double v : cov) {
        EXPECT_EQ(v, 0.0);
    }
}

}  // namespace
