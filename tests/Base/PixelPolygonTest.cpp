#include "Base/Algorithms/CPixelPolygon.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace {

using PixelSet = std::set<std::pair<int, int>>;  // (column, row)

// Every pixel of an iteration; fails the test when a pixel comes twice.
PixelSet collect(CPixelPolygon::AreaIterator it) {
    PixelSet pixels;
    for (; !it.AtEnd(); ++it) {
        EXPECT_TRUE(pixels.insert({it->column, (*it).row}).second)
            << "pixel (" << it->column << ", " << it->row << ") yielded twice";
    }
    return pixels;
}

// The boundary pixels of the rectangle [x0, x0 + w) x [y0, y0 + h) in walking
// order: from the top-left pixel right, down, left and up, ending at the start.
std::vector<ChainedPixel> rectangleChain(int x0, int y0, int w, int h) {
    std::vector<ChainedPixel> chain;
    for (int x = x0 + 1; x < x0 + w; ++x) chain.emplace_back(x, y0);
    for (int y = y0 + 1; y < y0 + h; ++y) chain.emplace_back(x0 + w - 1, y);
    for (int x = x0 + w - 2; x >= x0; --x) chain.emplace_back(x, y0 + h - 1);
    for (int y = y0 + h - 2; y >= y0; --y) chain.emplace_back(x0, y);
    return chain;
}

PixelSet rectanglePixels(int x0, int y0, int w, int h) {
    PixelSet pixels;
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) pixels.insert({x, y});
    return pixels;
}

}  // namespace

TEST(PixelPolygon, DiagonalOutlinesEncloseNothingMore) {
    // A diamond of diagonal steps: the 4-connected outside cannot slip through its corners.
    const std::vector<ChainedPixel> diamond = {{3, 1}, {4, 2}, {3, 3}, {2, 4},
                                               {1, 3}, {0, 2}, {1, 1}, {2, 0}};
    const PixelSet filled = collect(CPixelPolygon(diamond, 13, 0.0f).GetAreaIterator());
    EXPECT_EQ(filled.size(), 13u);
    EXPECT_EQ(filled.count({2, 2}), 1u);
    EXPECT_EQ(filled.count({0, 0}), 0u);
}

TEST(PixelPolygon, OutlinesOfRandomBlobsYieldTheFilledContours) {
    // Outer contours of random blobs (with holes) in walking order; the
    // expected set is the contour polygon filled with its boundary.
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> coord(2, 57);
    std::uniform_int_distribution<int> size(1, 9);
    for (int trial = 0; trial < 10; ++trial) {
        cv::Mat image = cv::Mat::zeros(60, 60, CV_8U);
        for (int k = 0; k < 18; ++k) {
            const int radius = k < 12 ? size(rng) : size(rng) / 2;
            cv::circle(image, {coord(rng), coord(rng)}, radius, cv::Scalar(k < 12 ? 255 : 0),
                       cv::FILLED);
        }
        std::vector<std::vector<cv::Point>> contours;
        cv::findContours(image, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
        for (std::size_t c = 0; c < contours.size(); ++c) {
            std::vector<ChainedPixel> chain;
            for (const cv::Point& p : contours[c]) chain.emplace_back(p.x, p.y);
            cv::Mat filled = cv::Mat::zeros(image.size(), CV_8U);
            cv::drawContours(filled, contours, static_cast<int>(c), cv::Scalar(255), cv::FILLED);
            std::vector<cv::Point> inside;
            cv::findNonZero(filled, inside);
            PixelSet expected;
            for (const cv::Point& p : inside) expected.insert({p.x, p.y});
            EXPECT_EQ(collect(CPixelPolygon(chain, 0, 0.0f).GetAreaAndMarginIterator()), expected)
                << "trial " << trial << " contour " << c;
        }
    }
}

TEST(PixelPolygon, CopiesMovesAndIteratorsOutliveTheOriginal) {
    std::vector<CPixelPolygon> list;
    CPixelPolygon::AreaIterator it;
    {
        CPixelPolygon original(rectangleChain(0, 0, 4, 3), 12, 10.0f);
        it = original.GetAreaIterator();
        CPixelPolygon assigned;
        assigned = original;
        list.push_back(assigned);
        list.push_back(std::move(original));
    }
    for (const CPixelPolygon& p : list) {
        EXPECT_EQ(p.GetArea(), 12);
        EXPECT_EQ(p.GetPerimeter(), 10.0f);
        EXPECT_EQ(p.GetChain().size(), 10u);
        EXPECT_EQ(collect(p.GetAreaIterator()), rectanglePixels(0, 0, 4, 3));
    }
    EXPECT_EQ(collect(it), rectanglePixels(0, 0, 4, 3));
}

TEST(PixelPolygon, EmptyHugeOrOpenChainsYieldTheChainOnly) {
    EXPECT_EQ(CPixelPolygon().GetArea(), 0);
    EXPECT_TRUE(CPixelPolygon().GetAreaAndMarginIterator().AtEnd());
    EXPECT_TRUE(CPixelPolygon().GetAreaIterator().AtEnd());
    EXPECT_TRUE(CPixelPolygon::AreaIterator().AtEnd());
    // Far-apart chain pixels: no dense fill of a 2^32-wide box.
    const std::vector<ChainedPixel> wide = {{-2147483647 - 1, 0}, {2147483647, 5}, {0, 0}, {0, 0}};
    EXPECT_EQ(collect(CPixelPolygon(wide, 0, 0.0f).GetAreaIterator()),
              (PixelSet{{-2147483647 - 1, 0}, {0, 0}, {2147483647, 5}}));
    // An outline with a gap encloses nothing.
    std::vector<ChainedPixel> open = rectangleChain(0, 0, 5, 5);
    open.erase(open.begin() + 2);
    EXPECT_EQ(collect(CPixelPolygon(open, 0, 0.0f).GetAreaIterator()).size(), open.size());
}
