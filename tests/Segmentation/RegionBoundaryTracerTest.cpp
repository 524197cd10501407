#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/Segmentation/RegionBoundaryTracer.h"

namespace {

using DataLayer::LabelRegionView;
using DataLayer::traceRegionBoundary;

// A label image from rows of characters: '#' is label 7, everything else 0.
cv::Mat labelsFrom(const std::vector<std::string>& rows) {
    cv::Mat labels(static_cast<int>(rows.size()), static_cast<int>(rows[0].size()), CV_32S);
    for (int y = 0; y < labels.rows; ++y) {
        for (int x = 0; x < labels.cols; ++x) {
            labels.at<int>(y, x) = rows[y][x] == '#' ? 7 : 0;
        }
    }
    return labels;
}

// An n x n square of label 7 with `margin` pixels of 0 around it.
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

const float kSqrt2 = std::sqrt(2.0f);
const float kDisc = 3.544907808303833f;  // a lone pixel: the perimeter of a disc of area 1

TEST(RegionBoundaryTracer, ShapesHaveTheirAreaAndCentrePathLengthAndEncloseTheirPixels) {
    const cv::Mat withHole =
        labelsFrom({".......", ".#####.", ".#####.", ".##.##.", ".#####.", ".#####.", "......."});
    struct Case {
        const char* what;
        cv::Mat labels;
        cv::Point start;
        int area;
        float perimeter;
    };
    const Case cases[] = {
        {"lone pixel", labelsFrom({"...", ".#.", "..."}), {1, 1}, 1, kDisc},
        {"2 x 2", square(2, 2), {2, 2}, 4, 4.0f},
        {"3 x 3", square(3, 2), {2, 2}, 9, 8.0f},
        {"line of 5", labelsFrom({".......", ".#####.", "......."}), {1, 1}, 5, 8.0f},
        {"diagonal of 4", labelsFrom({"#...", ".#..", "..#.", "...#"}), {0, 0}, 4, 6.0f * kSqrt2},
        {"plus sign",
         labelsFrom({".....", "..#..", ".###.", "..#..", "....."}),
         {2, 1},
         5,
         4.0f * kSqrt2},
        {"square with a hole", withHole, {1, 1}, 25, 16.0f},
        {"filling the image", square(6, 0), {0, 0}, 36, 20.0f},
        {"one pixel image", square(1, 0), {0, 0}, 1, kDisc},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CPixelPolygon polygon = traceRegionBoundary(viewOf(c.labels), c.start.x, c.start.y);
        EXPECT_EQ(polygon.GetArea(), c.area);
        EXPECT_NEAR(polygon.GetPerimeter(), c.perimeter, 1e-5);
        // The enclosed pixels: the region and its holes, once each.
        cv::Mat enclosed = cv::Mat::zeros(c.labels.size(), CV_32S);
        for (auto it = polygon.GetAreaAndMarginIterator(); !it.AtEnd(); ++it) {
            enclosed.at<int>(it->row, it->column) += 7;
        }
        cv::Mat expected = c.labels.clone();
        if (c.labels.data == withHole.data) {
            expected.at<int>(3, 3) = 7;
        }
        EXPECT_EQ(cv::countNonZero(enclosed != expected), 0);
    }
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

// Every traced outline of a random blob must close, stay inside the image and
// contain its start pixel.
TEST(RegionBoundaryTracer, RandomBlobsCloseAroundTheirStartPixel) {
    cv::RNG rng(42);
    for (int trial = 0; trial < 200; ++trial) {
        cv::Mat labels(12, 15, CV_32S);
        rng.fill(labels, cv::RNG::UNIFORM, 0, 2);
        labels *= 7;
        std::vector<cv::Point> members;
        cv::findNonZero(labels, members);
        if (members.empty()) {
            continue;
        }
        const cv::Point start = members.front();
        const CPixelPolygon polygon = traceRegionBoundary(viewOf(labels), start.x, start.y);
        ASSERT_FALSE(polygon.GetChain().empty());
        bool startSeen = false;
        for (auto it = polygon.GetAreaAndMarginIterator(); !it.AtEnd(); ++it) {
            ASSERT_TRUE(cv::Rect(0, 0, labels.cols, labels.rows).contains({it->column, it->row}));
            startSeen = startSeen || (it->column == start.x && it->row == start.y);
        }
        EXPECT_TRUE(startSeen) << "trial " << trial;
    }
}

}  // namespace
