#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/Segmentation/RegionBoundaryTracer.h"
#include "SegmentationProbe.h"

namespace {

using SegmentationTest::parameterSet;
using SegmentationTest::SegmentationProbe;

struct Selection {
    cv::Mat labels;
    cv::Mat centres;
};

Selection select(const cv::Mat& clusterLabels, int numClusters) {
    SegmentationProbe probe(parameterSet());
    Selection s;
    s.labels = clusterLabels.clone();
    probe.selectPatchRegions(s.labels, numClusters, s.centres);
    return s;
}

// The selection written plainly: full-image masks per region and a raster scan
// from the top-left corner for every region.
Selection selectReference(const cv::Mat& clusterLabels, int numClusters) {
    const auto params = parameterSet();
    Selection s;
    s.labels = clusterLabels.clone();
    cv::Mat a = clusterLabels.clone();
    cv::Mat b = clusterLabels.clone();
    cv::Mat unassigned = cv::Mat::ones(a.size(), CV_8U);
    const double holeLimit =
        static_cast<int>(params->GetAcceptedHoleRatio() * params->GetScaledPatchSize());
    const float side = params->GetSegmentSideLength() * params->GetDownsamplingScale();
    const float r0 = 4.0f * side / (side * side);
    int k = 0;
    for (int l = 0; l < numClusters; ++l) {
        cv::Mat isL = (a == l);
        std::vector<CPixelPolygon> candidates;
        for (;;) {
            std::vector<cv::Point> remaining;  // in raster order
            cv::findNonZero(b == l, remaining);
            if (remaining.empty()) {
                break;
            }
            const cv::Point first = remaining.front();
            DataLayer::LabelRegionView view;
            view.labels = b.ptr<int>();
            view.isMember = [l](const int& v) { return v == l; };
            view.width = b.cols;
            view.height = b.rows;
            CPixelPolygon polygon = DataLayer::traceRegionBoundary(view, first.x, first.y);
            cv::Mat regionMask = cv::Mat::zeros(a.size(), CV_8U);
            for (auto it = polygon.GetAreaAndMarginIterator(); !it.AtEnd(); ++it) {
                regionMask.at<uchar>(it->row, it->column) = 1;
            }
            cv::Mat notL = 1 - isL;
            const double holes = cv::sum(regionMask & notL)[0];
            if (holes < holeLimit) {
                candidates.push_back(polygon);
            }
            b.setTo(-1, regionMask & isL);
        }
        for (const CPixelPolygon& polygon : candidates) {
            const float r = polygon.GetPerimeter() / static_cast<float>(polygon.GetArea());
            const double d = static_cast<double>(r) - static_cast<double>(r0);
            if (std::exp(-d * d / 0.020000000000000004) > 0.9) {
                for (auto it = polygon.GetAreaAndMarginIterator(); !it.AtEnd(); ++it) {
                    s.labels.at<int>(it->row, it->column) = k;
                    unassigned.at<uchar>(it->row, it->column) = 0;
                }
                std::vector<int> xs;
                std::vector<int> ys;
                for (auto it = polygon.GetAreaIterator(); !it.AtEnd(); ++it) {
                    xs.push_back(it->column);
                    ys.push_back(it->row);
                }
                std::sort(xs.begin(), xs.end());
                std::sort(ys.begin(), ys.end());
                cv::Vec2i c(0, 0);
                if (!xs.empty()) {
                    c = cv::Vec2i(xs[xs.size() / 2], ys[ys.size() / 2]);
                }
                s.centres.push_back(c);
                ++k;
            }
        }
    }
    s.labels.setTo(-1, unassigned);
    return s;
}

cv::Mat blank(int width, int height) { return cv::Mat(height, width, CV_32S, cv::Scalar(-1)); }

void expectSameSelection(const Selection& actual, const Selection& expected) {
    ASSERT_EQ(actual.centres.rows, expected.centres.rows);
    if (actual.centres.rows > 0) {
        EXPECT_EQ(cv::norm(actual.centres, expected.centres, cv::NORM_INF), 0.0);
    }
    EXPECT_EQ(cv::countNonZero(actual.labels != expected.labels), 0);
}

TEST(PatchRegionSelection, NoClustersOrTinyImagesGiveNoRegions) {
    cv::Mat labels = blank(20, 20);
    labels(cv::Rect(2, 2, 14, 14)).setTo(0);
    for (int numClusters : {0, -5}) {
        const Selection s = select(labels, numClusters);
        EXPECT_TRUE(s.centres.empty());
        EXPECT_EQ(cv::countNonZero(s.labels != -1), 0);
    }
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(3, 1), cv::Size(1, 4), cv::Size(0, 0)}) {
        EXPECT_TRUE(select(cv::Mat(size, CV_32S, cv::Scalar(0)), 1).centres.empty());
    }
}

// Random label images with patch-like blocks, stray blobs and noise: the
// selection must equal the plain version pixel for pixel.
TEST(PatchRegionSelection, EqualsThePlainFullImageVersion) {
    cv::RNG rng(11);
    for (int trial = 0; trial < 40; ++trial) {
        SCOPED_TRACE(trial);
        const int numClusters = 1 + rng.uniform(0, 6);
        cv::Mat labels = blank(rng.uniform(40, 90), rng.uniform(30, 70));
        for (int block = 0; block < 12; ++block) {
            const int w = rng.uniform(8, 18);
            const int h = rng.uniform(8, 18);
            const int x = rng.uniform(-4, labels.cols);
            const int y = rng.uniform(-4, labels.rows);
            const cv::Rect r = cv::Rect(x, y, w, h) & cv::Rect(0, 0, labels.cols, labels.rows);
            labels(r).setTo(rng.uniform(0, numClusters));
        }
        for (int i = 0; i < labels.rows * labels.cols / 20; ++i) {
            labels.at<int>(rng.uniform(0, labels.rows), rng.uniform(0, labels.cols)) =
                rng.uniform(-1, numClusters);
        }
        expectSameSelection(select(labels, numClusters), selectReference(labels, numClusters));
    }
}

}  // namespace
