#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/RegionBoundaryTracer.h"

namespace {

using DataLayer::LabelRegionView;
using DataLayer::traceRegionBoundary;

// A label image from rows of characters: '#' is label 7, everything else 0.
cv::Mat labelsFrom(const std::vector<std::string>& rows) {
    cv::Mat labels(static_cast<int>(rows.size()), static_cast<int>(rows[0].size()), CV_32S,
                   cv::Scalar(0));
    for (int y = 0; y < labels.rows; ++y) {
        for (int x = 0; x < labels.cols; ++x) {
            labels.at<int>(y, x) =
                rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] == '#' ? 7 : 0;
        }
    }
    return labels;
}

cv::Mat square(int n, int margin) {
    cv::Mat labels(n + 2 * margin, n + 2 * margin, CV_32S, cv::Scalar(0));
    labels(cv::Rect(margin, margin, n, n)).setTo(7);
    return labels;
}

LabelRegionView viewOf(const cv::Mat& labels) {
    LabelRegionView view;
    view.labels = labels.ptr<int>();
    view.isMember = [](const int& v) { return v == 7; };
    view.width = labels.cols;
    view.height = labels.rows;
    return view;
}

struct Expected {
    int area;
    float perimeter;
};

void expectTrace(const cv::Mat& labels, int x0, int y0, Expected expected) {
    const CPixelPolygon polygon = traceRegionBoundary(viewOf(labels), x0, y0);
    EXPECT_EQ(polygon.GetArea(), expected.area);
    EXPECT_NEAR(polygon.GetPerimeter(), expected.perimeter, 1e-5);
}

const float kSqrt2 = std::sqrt(2.0f);

TEST(RegionBoundaryTracer, LonePixelIsADiscOfAreaOne) {
    const cv::Mat labels = labelsFrom({"...", ".#.", "..."});
    const CPixelPolygon polygon = traceRegionBoundary(viewOf(labels), 1, 1);
    EXPECT_EQ(polygon.GetArea(), 1);
    EXPECT_FLOAT_EQ(polygon.GetPerimeter(), 3.544907808303833f);
    ASSERT_EQ(polygon.GetChain().size(), 1u);
    EXPECT_EQ(polygon.GetChain()[0].x, 1);
    EXPECT_EQ(polygon.GetChain()[0].y, 1);
    auto it = polygon.GetAreaAndMarginIterator();
    ASSERT_FALSE(it.AtEnd());
    EXPECT_EQ(it->column, 1);
    EXPECT_EQ(it->row, 1);
}

TEST(RegionBoundaryTracer, SolidSquaresHaveTheirPixelCountAndCentrePathLength) {
    for (int n : {2, 3, 14, 15}) {
        SCOPED_TRACE(n);
        const cv::Mat labels = square(n, 2);
        const CPixelPolygon polygon = traceRegionBoundary(viewOf(labels), 2, 2);
        EXPECT_EQ(polygon.GetArea(), n * n);
        EXPECT_FLOAT_EQ(polygon.GetPerimeter(), static_cast<float>(4 * (n - 1)));
        EXPECT_EQ(polygon.GetChain().size(), static_cast<std::size_t>(4 * (n - 1)));
        int pixels = 0;
        for (auto it = polygon.GetAreaAndMarginIterator(); !it.AtEnd(); ++it) {
            EXPECT_EQ(labels.at<int>(it->row, it->column), 7);
            ++pixels;
        }
        EXPECT_EQ(pixels, n * n);
    }
}

TEST(RegionBoundaryTracer, ThinAndOddShapes) {
    {
        SCOPED_TRACE("line of 5");
        expectTrace(labelsFrom({".......", ".#####.", "......."}), 1, 1, {5, 8.0f});
    }
    {
        SCOPED_TRACE("diagonal of 4");
        expectTrace(labelsFrom({"#...", ".#..", "..#.", "...#"}), 0, 0, {4, 6.0f * kSqrt2});
    }
    {
        SCOPED_TRACE("6 x 3 rectangle");
        expectTrace(labelsFrom({"........", ".######.", ".######.", ".######.", "........"}), 1, 1,
                    {18, 14.0f});
    }
    {
        SCOPED_TRACE("plus sign");
        expectTrace(labelsFrom({".....", "..#..", ".###.", "..#..", "....."}), 2, 1,
                    {5, 4.0f * kSqrt2});
    }
    {
        SCOPED_TRACE("square with a hole");
        expectTrace(labelsFrom({".......", ".#####.", ".#####.", ".##.##.", ".#####.", ".#####.",
                                "......."}),
                    1, 1, {25, 16.0f});
    }
}

TEST(RegionBoundaryTracer, HoleIsEnclosedByTheOutline) {
    const cv::Mat labels =
        labelsFrom({".......", ".#####.", ".#####.", ".##.##.", ".#####.", ".#####.", "......."});
    const CPixelPolygon polygon = traceRegionBoundary(viewOf(labels), 1, 1);
    int pixels = 0;
    bool holeSeen = false;
    for (auto it = polygon.GetAreaAndMarginIterator(); !it.AtEnd(); ++it) {
        ++pixels;
        holeSeen = holeSeen || (it->column == 3 && it->row == 3);
    }
    EXPECT_EQ(pixels, 25);
    EXPECT_TRUE(holeSeen);
}

TEST(RegionBoundaryTracer, StartOutsideTheRegionGivesAnEmptyPolygon) {
    const cv::Mat labels = square(3, 1);
    for (const cv::Point p :
         {cv::Point(0, 0), cv::Point(-1, 2), cv::Point(2, 5), cv::Point(9, 9)}) {
        const CPixelPolygon polygon = traceRegionBoundary(viewOf(labels), p.x, p.y);
        EXPECT_EQ(polygon.GetArea(), 0);
        EXPECT_TRUE(polygon.GetChain().empty());
        EXPECT_TRUE(polygon.GetAreaAndMarginIterator().AtEnd());
    }
}

TEST(RegionBoundaryTracer, RegionFillingTheImageIsTracedAlongTheBorder) {
    const cv::Mat labels = square(6, 0);
    expectTrace(labels, 0, 0, {36, 20.0f});
    const cv::Mat one = square(1, 0);
    expectTrace(one, 0, 0, {1, 3.544907808303833f});
}

TEST(RegionBoundaryTracer, FirstSearchDirectionFollowsTheFirstFreeNeighbour) {
    const cv::Mat labels = labelsFrom({"#####", "#####", "#####"});
    const LabelRegionView view = viewOf(labels);
    EXPECT_EQ(DataLayer::initialTraceDirections(view, 0, 1), 5);  // left is outside
    EXPECT_EQ(DataLayer::initialTraceDirections(view, 2, 0), 3);  // up is outside
    EXPECT_EQ(DataLayer::initialTraceDirections(view, 4, 1), 1);  // right is outside
    EXPECT_EQ(DataLayer::initialTraceDirections(view, 2, 2), 7);  // down is outside
    EXPECT_EQ(DataLayer::initialTraceDirections(view, 2, 1), 5);  // all inside
}

// Every traced outline of a random blob must close, contain its start pixel
// and enclose only pixels of the blob's component or its holes.
TEST(RegionBoundaryTracer, RandomBlobsCloseAroundTheirStartPixel) {
    cv::RNG rng(42);
    for (int trial = 0; trial < 200; ++trial) {
        cv::Mat noise(12, 15, CV_32S);
        rng.fill(noise, cv::RNG::UNIFORM, 0, 2);
        cv::Mat labels = noise * 7;
        const int* data = labels.ptr<int>();
        int start = -1;
        for (int i = 0; i < labels.rows * labels.cols; ++i) {
            if (data[i] == 7) {
                start = i;
                break;
            }
        }
        if (start < 0) {
            continue;
        }
        const CPixelPolygon polygon =
            traceRegionBoundary(viewOf(labels), start % labels.cols, start / labels.cols);
        ASSERT_FALSE(polygon.GetChain().empty());
        bool startSeen = false;
        for (auto it = polygon.GetAreaAndMarginIterator(); !it.AtEnd(); ++it) {
            ASSERT_GE(it->column, 0);
            ASSERT_LT(it->column, labels.cols);
            ASSERT_GE(it->row, 0);
            ASSERT_LT(it->row, labels.rows);
            startSeen = startSeen || (it->row * labels.cols + it->column == start);
        }
        EXPECT_TRUE(startSeen) << "trial " << trial;
    }
}

}  // namespace
