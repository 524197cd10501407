#include "DataLayer/ShadeAnalysis/Calibration/PatchMasks.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

#include <opencv2/imgproc.hpp>

using DataLayer::computePatchMasks;
using DataLayer::PatchMask;

namespace {

cv::Mat embed(const PatchMask& m, const cv::Size& size) {
    cv::Mat full = cv::Mat::zeros(size, CV_8UC1);
    if (!m.box.empty()) {
        m.mask.copyTo(full(m.box));
    }
    return full;
}

// Each mask, placed in the image, equals the measuring mask computed on the
// whole label image step by step.
void expectSameMasks(const cv::Mat& labels, const std::vector<int>& values) {
    const std::vector<PatchMask> masks = computePatchMasks(labels, values);
    ASSERT_EQ(masks.size(), values.size());
    const cv::Mat kernel = cv::Mat::ones(5, 5, CV_8U);
    for (std::size_t i = 0; i < values.size(); ++i) {
        cv::Mat expected = labels == values[i];
        cv::morphologyEx(expected, expected, cv::MORPH_OPEN, kernel, cv::Point(-1, -1), 2);
        cv::erode(expected, expected, kernel, cv::Point(-1, -1), 3);
        EXPECT_EQ(cv::norm(embed(masks[i], labels.size()), expected, cv::NORM_INF), 0.0)
            << "label " << values[i] << " in " << labels.cols << "x" << labels.rows;
    }
}

// Background 1, watershed-like -1 lines, and rectangles of patch labels, some
// touching or crossing the image border, some split in two parts.
cv::Mat randomLabels(std::mt19937& rng, int rows, int cols, int labelCount) {
    cv::Mat labels(rows, cols, CV_32SC1, cv::Scalar(1));
    std::uniform_int_distribution<int> x(-10, cols - 1);
    std::uniform_int_distribution<int> y(-10, rows - 1);
    std::uniform_int_distribution<int> side(3, 40);
    for (int label = 2; label < 2 + labelCount; ++label) {
        for (int p = 0; p < ((label % 3 == 0) ? 2 : 1); ++p) {
            cv::rectangle(labels, cv::Rect(x(rng), y(rng), side(rng), side(rng)), cv::Scalar(label),
                          cv::FILLED);
        }
    }
    for (int k = 0; k < 4; ++k) {
        cv::line(labels, cv::Point(x(rng), y(rng)), cv::Point(x(rng), y(rng)), cv::Scalar(-1));
    }
    return labels;
}

}  // namespace

TEST(PatchMasks, EqualTheWholeImageMasksOnRandomLabelImages) {
    std::mt19937 rng(20240611);
    for (const cv::Size& size :
         {cv::Size(37, 53), cv::Size(160, 120), cv::Size(262, 97), cv::Size(15, 15)}) {
        for (int round = 0; round < 3; ++round) {
            // Patch labels, the background, boundaries and a label that is absent.
            expectSameMasks(randomLabels(rng, size.height, size.width, 12),
                            {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 1, -1, 40, 5});
        }
    }
    // Far apart label values take another path to the same result.
    cv::Mat labels = randomLabels(rng, 90, 110, 6);
    labels(cv::Rect(40, 40, 20, 20)).setTo(INT_MIN);
    labels(cv::Rect(5, 60, 25, 25)).setTo(INT_MAX);
    expectSameMasks(labels, {INT_MIN, 2, 3, INT_MAX, 7});
}

TEST(PatchMasks, BorderPatchesKeepTheNeutralBorderAndThinPatchesVanish) {
    // A patch filling a corner survives the erosion up to the image edge, as on
    // the whole image; a patch two pixels from the edge loses its outer rim.
    // The final erosion takes 6 px from each side: 12 px wide leaves nothing.
    cv::Mat labels(80, 90, CV_32SC1, cv::Scalar(1));
    labels(cv::Rect(0, 0, 30, 30)).setTo(2);
    labels(cv::Rect(2, 45, 30, 30)).setTo(3);
    labels(cv::Rect(60, 50, 30, 30)).setTo(4);
    labels(cv::Rect(40, 5, 12, 40)).setTo(5);
    labels(cv::Rect(60, 5, 12, 12)).setTo(6);
    expectSameMasks(labels, {2, 3, 4, 5, 6});
    const std::vector<PatchMask> masks = computePatchMasks(labels, {2, 5, 6});
    EXPECT_EQ(masks[0].mask.at<uchar>(0, 0), 255);
    EXPECT_EQ(cv::countNonZero(embed(masks[1], labels.size())), 0);
    EXPECT_EQ(cv::countNonZero(embed(masks[2], labels.size())), 0);
}
