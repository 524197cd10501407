#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/ChartPhotos.h"
#include "synth/HandheldSet.h"
#include "synth/SyntheticChart.h"

namespace {

using ChartSynth::Background;
using ChartSynth::EChart;
using ChartSynth::Encoding;
using ChartSynth::HandheldPhoto;

using TestPhotos::kAllCharts;

/// The projected card's corners, from the options alone (no rendering).
std::array<cv::Point2d, 4> projectedCorners(const ChartSynth::RenderOptions& o) {
    const int rows =
        o.transposedLayout ? ChartSynth::chartCols(o.chart) : ChartSynth::chartRows(o.chart);
    const int cols =
        o.transposedLayout ? ChartSynth::chartRows(o.chart) : ChartSynth::chartCols(o.chart);
    const double side = ChartSynth::chartSideLength(o.chart);
    const double pitch = ChartSynth::chartPitch(o.chart);
    const double hw = 0.5 * (cols - 1) * pitch + 0.5 * side + o.cardMargin * pitch;
    const double hh = 0.5 * (rows - 1) * pitch + 0.5 * side + o.cardMargin * pitch;
    std::array<cv::Point2d, 4> corners;
    const double signs[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
    for (std::size_t k = 0; k < 4; ++k) {
        const cv::Vec3d p = *o.cardToImage * cv::Vec3d(signs[k][0] * hw, signs[k][1] * hh, 1.0);
        corners[k] = cv::Point2d(p[0] / p[2], p[1] / p[2]);
    }
    return corners;
}

bool isSetSize(int w, int h) {
    const int sizes[4][2] = {{1600, 1200}, {2592, 1944}, {4000, 3000}, {6000, 4000}};
    return std::any_of(std::begin(sizes), std::end(sizes), [&](const int* s) {
        return (w == s[0] && h == s[1]) || (w == s[1] && h == s[0]);
    });
}

TEST(HandheldSet, DrawsStayInTheirRangesAndTheCardFitsInsideThePhoto) {
    int quarterTurned = 0;
    int portrait = 0;
    int distractors = 0;
    int transposed = 0;
    int qccXRite = 0;
    int backgrounds[3] = {0, 0, 0};
    int photos = 0;
    double smallest = 10.0;
    double largest = 0.0;
    for (const EChart chart : kAllCharts) {
        for (std::uint64_t seed = 1; seed <= 80; ++seed) {
            const HandheldPhoto p = ChartSynth::handheldOptions(chart, Encoding::eSrgb, seed);
            const ChartSynth::RenderOptions& o = p.options;
            SCOPED_TRACE(std::to_string(static_cast<int>(chart)) + " seed " + std::to_string(seed));
            ++photos;
            ASSERT_TRUE(o.cardToImage.has_value());
            EXPECT_GE(p.pose.scale, 0.4);
            EXPECT_LE(p.pose.scale, 3.0);
            EXPECT_GE(p.pose.tiltDeg, 0.0);
            EXPECT_LE(p.pose.tiltDeg, 35.0);
            EXPECT_LE(std::fabs(p.inPlaneDeg), 15.0);
            EXPECT_DOUBLE_EQ(p.pose.turnDeg, p.inPlaneDeg + 90.0 * p.quarterTurns);
            EXPECT_GE(p.pose.focalLength, 0.8 * o.photoWidth - 1e-9);
            EXPECT_LE(p.pose.focalLength, 1.6 * o.photoWidth + 1e-9);
            EXPECT_DOUBLE_EQ(o.focalLength, p.pose.focalLength);
            EXPECT_TRUE(isSetSize(o.photoWidth, o.photoHeight))
                << o.photoWidth << "x" << o.photoHeight;
            EXPECT_EQ(p.transposed, o.transposedLayout);
            EXPECT_TRUE(!p.transposed || chart == EChart::eQCCXRite);
            EXPECT_FALSE(o.noCard);
            for (const cv::Point2d& c : projectedCorners(o)) {
                EXPECT_GT(c.x, 0.0);
                EXPECT_GT(c.y, 0.0);
                EXPECT_LT(c.x, o.photoWidth - 1.0);
                EXPECT_LT(c.y, o.photoHeight - 1.0);
            }
            smallest = std::min(smallest, p.pose.scale);
            largest = std::max(largest, p.pose.scale);
            quarterTurned += p.quarterTurns != 0 ? 1 : 0;
            portrait += o.photoHeight > o.photoWidth ? 1 : 0;
            distractors += p.distractors ? 1 : 0;
            qccXRite += chart == EChart::eQCCXRite ? 1 : 0;
            transposed += p.transposed ? 1 : 0;
            ++backgrounds[static_cast<int>(p.background)];
        }
    }
    // The draws cover their ranges in the stated shares.
    EXPECT_LT(smallest, 0.5);
    EXPECT_GT(largest, 2.5);
    EXPECT_NEAR(quarterTurned, 0.25 * photos, 0.08 * photos);
    EXPECT_NEAR(portrait, photos / 3.0, 0.08 * photos);
    EXPECT_NEAR(distractors, 0.5 * photos, 0.08 * photos);
    EXPECT_NEAR(transposed, 0.5 * qccXRite, 0.15 * qccXRite);
    for (int count : backgrounds) EXPECT_NEAR(count, photos / 3.0, 0.08 * photos);
}

TEST(HandheldSet, PhotosAreSeededAndMaxPixelsCapsTheirSize) {
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        const HandheldPhoto a =
            ChartSynth::handheldOptions(EChart::eQCCPrint, Encoding::eLinear, seed);
        const HandheldPhoto b =
            ChartSynth::handheldOptions(EChart::eQCCPrint, Encoding::eLinear, seed);
        EXPECT_EQ(a.options.cardToImage->val[2], b.options.cardToImage->val[2]);
        EXPECT_EQ(a.options.referenceRgb, b.options.referenceRgb);
        // Capped at 2 MP, every photo is 1600 x 1200 (either way up) and the
        // card still fits, at a scale lowered no further than 0.4.
        const HandheldPhoto capped =
            ChartSynth::handheldOptions(EChart::eQCCPrint, Encoding::eLinear, seed, 2'000'000);
        EXPECT_EQ(capped.options.photoWidth * capped.options.photoHeight, 1600 * 1200);
        EXPECT_GE(capped.pose.scale, 0.4);
        EXPECT_LE(capped.pose.scale, a.pose.scale + 1e-12);
        EXPECT_EQ(capped.pose.tiltDeg, a.pose.tiltDeg);
        for (const cv::Point2d& c : projectedCorners(capped.options)) {
            EXPECT_TRUE(c.x > 0.0 && c.y > 0.0 && c.x < capped.options.photoWidth &&
                        c.y < capped.options.photoHeight);
        }
    }
}

TEST(HandheldSet, TwinIsTheSamePhotoAtNominalScaleAndChartFreeScenesHaveNoCard) {
    const HandheldPhoto p = ChartSynth::handheldOptions(EChart::eQCCXRite, Encoding::eSrgb, 7);
    const ChartSynth::RenderOptions twin = ChartSynth::handheldTwinOptions(p);
    EXPECT_FALSE(twin.cardToImage.has_value());
    EXPECT_EQ(twin.referenceRgb, p.options.referenceRgb);
    EXPECT_LE(std::fabs(twin.rotationDeg), 12.0);
    int light = 0;
    for (std::uint64_t seed = 1; seed <= 200; ++seed) {
        const HandheldPhoto free = ChartSynth::chartFreeOptions(Encoding::eSrgb, seed);
        EXPECT_TRUE(free.options.noCard);
        EXPECT_TRUE(free.options.paperSheet);
        EXPECT_FALSE(free.options.hand);
        EXPECT_GE(free.options.gridDistractors.size(), 1u);
        EXPECT_LE(free.options.gridDistractors.size(), 3u);
        light += free.background == Background::eLight ? 1 : 0;
    }
    EXPECT_NEAR(light, 140, 25);
}

TEST(HandheldSet, PinholeProjectionHasTheAskedScaleAndRefusesBadPoses) {
    ChartSynth::PinholeCard card;
    card.focalLength = 2000.0;
    card.scale = 1.7;
    card.tiltDeg = 30.0;
    card.tiltAxisDeg = 70.0;
    card.turnDeg = 100.0;
    card.centre = cv::Point2d(900.0, 500.0);
    const cv::Matx33d h = ChartSynth::pinholeCardToImage(card, cv::Size(2000, 1500));
    // The card's centre lands where asked; a small square there grows by scale^2.
    const cv::Vec3d centre = h * cv::Vec3d(0, 0, 1);
    EXPECT_NEAR(centre[0] / centre[2], 900.0, 1e-9);
    EXPECT_NEAR(centre[1] / centre[2], 500.0, 1e-9);
    std::vector<cv::Point2d> square;
    for (const auto& [u, v] :
         {std::pair<double, double>{-0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5}, {-0.5, 0.5}}) {
        const cv::Vec3d p = h * cv::Vec3d(u, v, 1.0);
        square.emplace_back(p[0] / p[2], p[1] / p[2]);
    }
    double area = 0.0;
    for (std::size_t k = 0; k < 4; ++k) {
        area += square[k].x * square[(k + 1) % 4].y - square[(k + 1) % 4].x * square[k].y;
    }
    EXPECT_NEAR(std::fabs(0.5 * area), 1.7 * 1.7, 1e-3);
    for (auto breakPose : {+[](ChartSynth::PinholeCard& c) { c.focalLength = 0.0; },
                           +[](ChartSynth::PinholeCard& c) { c.scale = -1.0; },
                           +[](ChartSynth::PinholeCard& c) { c.tiltDeg = 95.0; },
                           +[](ChartSynth::PinholeCard& c) { c.centre.x = std::nan(""); }}) {
        ChartSynth::PinholeCard bad = card;
        breakPose(bad);
        EXPECT_THROW(ChartSynth::pinholeCardToImage(bad, cv::Size(2000, 1500)),
                     std::invalid_argument);
    }
}

}  // namespace
