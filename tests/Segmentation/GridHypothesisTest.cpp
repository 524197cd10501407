#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "SegmentationProbe.h"

namespace {

using SegmentationTest::parameterSet;
using SegmentationTest::SegmentationProbe;
using Point = std::array<int, 2>;
using Points = std::vector<Point>;

// eCCTPrint: grid length 56 sqrt 2 = 79.19596, side length 56.
constexpr double kGrid = 79.19596;

// Centres of a rows x cols chart with pitch `pitch`, rotated by `degrees`
// about its first patch at `origin`, in row order.
Points chartCentres(Point origin, int rows, int cols, double pitch, double degrees) {
    const double a = degrees * CV_PI / 180.0;
    Points centres;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const double x = origin[0] + pitch * (c * std::cos(a) - r * std::sin(a));
            const double y = origin[1] + pitch * (c * std::sin(a) + r * std::cos(a));
            centres.push_back({static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y))});
        }
    }
    return centres;
}

Points shifted(Points points, int dx, int dy) {
    for (Point& p : points) {
        p = {p[0] + dx, p[1] + dy};
    }
    return points;
}

TEST(GridHypothesis, NeighboursMustBeAtGridDistanceNearlyPerpendicularAndCarryMostSeeds) {
    const Points chart = chartCentres({160, 140}, 4, 5, 80, 0.0);
    Points tenOnGrid(chart.begin(), chart.begin() + 10);
    for (int i = 0; i < 5; ++i) {
        tenOnGrid.push_back({200 + 80 * i, 140});  // more than 28 px from every position
    }
    struct Case {
        const char* what;
        Points seeds;
        std::size_t from;
        bool accepted;
        std::optional<std::array<double, 4>> steps;  // step 1, step 2; seed minus neighbour
    };
    // |distance - g| must stay below g / 4 = 19.79899; the cosine between the
    // steps at most 0.075; more than half the seeds on the grid (three are too few).
    const Case cases[] = {
        {"a chart; first candidate above, second left", chart, 6, true, {{0, 80, 80, 0}}},
        {"no neighbour within a quarter grid length",
         {{300, 300}, {399, 300}, {300, 399}},
         0,
         false,
         std::nullopt},
        {"cosine 0.087", {{300, 300}, {380, 300}, {307, 380}}, 0, false, std::nullopt},
        {"10 of 15 seeds on the grid", tenOnGrid, 6, false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SegmentationProbe probe(parameterSet());
        probe.setImageSize(640, 520);
        probe.m_state.seeds = c.seeds;
        EXPECT_EQ(probe.tryGridFromSeed(probe.m_state.seeds[c.from]), c.accepted);
        if (c.steps) {
            EXPECT_EQ(
                (std::array<double, 4>{probe.m_state.gridStep1[0], probe.m_state.gridStep1[1],
                                       probe.m_state.gridStep2[0], probe.m_state.gridStep2[1]}),
                *c.steps);
        }
    }
}

TEST(GridHypothesis, RefusesGridsTooDenseToScore) {
    // A host parameter set with a grid length of 2 px: the grid through three
    // seeds 2 px apart would have 40 000 positions in a 400 x 400 image.
    struct TinyGrid : DataLayer::CParameterSetColorCalibrationTarget {
        TinyGrid() : CParameterSetColorCalibrationTarget(eCCTPrint) {}
        float GetGridLength() const override { return 2.0f; }
    };
    SegmentationProbe probe(std::make_shared<TinyGrid>());
    probe.setImageSize(400, 400);
    probe.m_state.seeds = {{200, 200}, {202, 200}, {200, 202}};
    EXPECT_FALSE(probe.tryGridFromSeed({200, 200}));
    EXPECT_TRUE(probe.m_state.patchCenters.empty());

    // A 54-megapixel photo at the CCT chart's pitch (about 8600 positions) is scored.
    SegmentationProbe large(parameterSet());
    large.setImageSize(9000, 6000);
    const double pitch = parameterSet()->GetGridLength();
    for (int i = 0; i < 12; ++i) {
        large.m_state.seeds.push_back({static_cast<int>(std::lround(4000 + (i % 4) * pitch)),
                                       static_cast<int>(std::lround(3000 + (i / 4) * pitch))});
    }
    EXPECT_TRUE(large.tryGridFromSeed(large.m_state.seeds[5]));
    EXPECT_GT(large.m_state.patchCenters.size(), 8000u);

    // A zero step generates no positions instead of never advancing.
    const double step[2] = {50.0, 0.0};
    const double zero[2] = {0.0, 0.0};
    EXPECT_TRUE(probe.generateGridPositions({50, 50}, step, zero).empty());
    EXPECT_TRUE(probe.generateGridPositions({50, 50}, zero, step).empty());
}

TEST(GridOrder, RowsTopToBottomEachLeftToRightUpTo20DegreesWhateverTheSteps) {
    for (double degrees : {0.0, 10.0, 20.0, -20.0, 30.0}) {
        const double a = degrees * CV_PI / 180.0;
        const double across[2] = {kGrid * std::cos(a), kGrid * std::sin(a)};
        const double down[2] = {-kGrid * std::sin(a), kGrid * std::cos(a)};
        const Points expected = chartCentres({250, 200}, 4, 5, kGrid, degrees);
        // Both steps in either order and sign.
        for (const bool swapped : {false, true}) {
            SCOPED_TRACE(testing::Message() << degrees << " degrees, swapped " << swapped);
            SegmentationProbe probe(parameterSet());
            probe.setImageSize(800, 800);
            probe.m_state.patchCenters = expected;
            std::shuffle(probe.m_state.patchCenters.begin(), probe.m_state.patchCenters.end(),
                         std::mt19937(7));
            if (swapped) {
                probe.setSteps(-down[0], -down[1], -across[0], -across[1]);
            } else {
                probe.setSteps(across[0], across[1], down[0], down[1]);
            }
            // At 30 degrees the steps are too far from the image axes to orient.
            const bool ok = probe.orderGridPositions();
            EXPECT_EQ(ok, degrees != 30.0);
            if (ok) {
                EXPECT_EQ(probe.m_state.patchCenters, expected);
            }
        }
    }
    SegmentationProbe probe(parameterSet());
    probe.m_state.patchCenters = {{10, 10}};
    probe.setSteps(80, 0, 0, 80);
    EXPECT_FALSE(probe.orderGridPositions());
}

TEST(GridLayout, TheChartEitherWayRoundIsAChartNoOtherGridIs) {
    // The CCT chart has 4 rows of 5; 5 rows of 4 is the chart a quarter turn
    // away. Grids in row order, 8 degrees off the axes.
    const Points upright = chartCentres({150, 220}, 4, 5, kGrid, 8.0);
    Points ragged = upright;  // rows of 5, 5, 4 and 6
    ragged[14] = {ragged[19][0] + 70, ragged[19][1] + 11};
    std::rotate(ragged.begin() + 14, ragged.begin() + 15, ragged.end());
    Points extra = upright;
    extra.push_back({extra.back()[0] + 78, extra.back()[1] + 11});
    const struct {
        const char* what;
        Points grid;
        int rows;  // 0: not the chart
        int cols;
    } cases[] = {
        {"4 x 5", upright, 4, 5},
        {"5 x 4", chartCentres({150, 120}, 5, 4, kGrid, 8.0), 5, 4},
        {"2 x 10", chartCentres({60, 220}, 2, 10, kGrid, 8.0), 0, 0},
        {"19 positions", Points(upright.begin(), upright.end() - 1), 0, 0},
        {"21 positions", extra, 0, 0},
        {"ragged rows", ragged, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SegmentationProbe probe(parameterSet());
        probe.setImageSize(1100, 800);
        const double a = 8.0 * CV_PI / 180.0;
        probe.setSteps(kGrid * std::cos(a), kGrid * std::sin(a), -kGrid * std::sin(a),
                       kGrid * std::cos(a));
        probe.m_state.patchCenters = c.grid;
        int rows = -1;
        int cols = -1;
        std::string reason;
        EXPECT_EQ(probe.gridMatchesLayout(rows, cols, reason), c.rows > 0);
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(cols, c.cols);
        EXPECT_EQ(reason.empty(), c.rows > 0) << reason;
    }
}

TEST(GridFilter, KeepsExactlyThePositionsOfTheChart) {
    SegmentationProbe probe(parameterSet());
    probe.setImageSize(640, 520);
    probe.m_state.seeds = chartCentres({160, 140}, 4, 5, 80, 0.0);
    ASSERT_TRUE(probe.tryGridFromSeed(probe.m_state.seeds[0]));
    ASSERT_TRUE(probe.orderGridPositions());
    // The grid reaches beyond the last column (x = 560) and beyond the corners.
    EXPECT_NE(std::find(probe.m_state.patchCenters.begin(), probe.m_state.patchCenters.end(),
                        Point{560, 140}),
              probe.m_state.patchCenters.end());
    EXPECT_TRUE(probe.filterGridPositions());
    EXPECT_EQ(probe.m_state.patchCenters, probe.m_state.seeds);
}

TEST(GridRefinement, AffineFitOfSeedsMovesThePositions) {
    const Points grid = chartCentres({160, 140}, 4, 5, 80, 0.0);
    const Points turned = chartCentres({160, 140}, 4, 5, 80, 7.0);
    const Points small = chartCentres({160, 140}, 2, 3, 80, 0.0);
    const Points line = {{100, 100}, {180, 100}, {260, 100}, {340, 100}, {420, 100}, {500, 100}};
    struct Case {
        const char* what;
        Points positions;
        Points seeds;
        bool ok;
        Points expected;
    };
    const Case cases[] = {
        {"common shift", grid, shifted(grid, 3, -2), true, shifted(grid, 3, -2)},
        {"seeds on the positions", turned, turned, true, turned},
        {"five pairs", small, Points(small.begin(), small.begin() + 5), false, small},
        {"six pairs", small, shifted(small, 1, 0), true, shifted(small, 1, 0)},
        {"collinear pairs", line, line, false, line},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SegmentationProbe probe(parameterSet());
        probe.m_state.patchCenters = c.positions;
        probe.m_state.seeds = c.seeds;
        EXPECT_EQ(probe.refineGridByAffineFit(), c.ok);
        EXPECT_EQ(probe.m_state.patchCenters, c.expected);
    }
}

TEST(ColorStatistics, MeanAndUnbiasedCovarianceInBothLayouts) {
    cv::Mat points(57, 3, CV_64F);
    cv::RNG(3).fill(points, cv::RNG::NORMAL, 100.0, 20.0);
    cv::Mat covar;
    cv::Mat mean;
    cv::calcCovarMatrix(points, covar, mean, cv::COVAR_NORMAL | cv::COVAR_ROWS, CV_64F);
    covar /= points.rows - 1;
    const cv::Mat transposed = points.t();
    for (int layout : {0, 1}) {
        double m[3];
        double c[6];
        const cv::Mat& data = layout == 0 ? points : transposed;
        DataLayer::computeMeanAndCovariance(data.ptr<double>(), points.rows, 3, m, c, layout);
        for (int r = 0; r < 3; ++r) {
            EXPECT_NEAR(m[r], mean.at<double>(0, r), 1e-9);
            for (int k = 0; k <= r; ++k) {
                EXPECT_NEAR(c[r * (r + 1) / 2 + k], covar.at<double>(r, k), 1e-6);
            }
        }
    }
    // No points give zeros.
    double m[3] = {1, 1, 1};
    double c[6] = {1, 1, 1, 1, 1, 1};
    DataLayer::computeMeanAndCovariance(nullptr, 0, 3, m, c, 0);
    EXPECT_TRUE(std::all_of(std::begin(m), std::end(m), [](double v) { return v == 0.0; }));
    EXPECT_TRUE(std::all_of(std::begin(c), std::end(c), [](double v) { return v == 0.0; }));
}

}  // namespace
