#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "synth/RealisticSet.h"
#include "synth/SyntheticChart.h"

namespace {

using ChartSynth::EChart;
using DataLayer::CChartCardLocator;
using DataLayer::ChartCardLocation;

const EChart kAllCharts[] = {EChart::eCCTPrint, EChart::eQCCPrint, EChart::eCCTXRite,
                             EChart::eQCCXRite, EChart::eQCCPrintSmall};

ChartCardLocation locate(EChart chart, const cv::Mat& photo, bool linear = false) {
    const DataLayer::CParameterSetColorCalibrationTarget parameters(chart);
    return CChartCardLocator(parameters, linear).locate(photo);
}

/// A realistic scene of `chart` in a photo of `width` x `height` with the card
/// off the centre; `distractors` adds the paper sheet, the bright object, the
/// white wall and the hand.
ChartSynth::RenderOptions sceneAt(EChart chart, std::uint64_t seed, int width, int height,
                                  bool distractors) {
    ChartSynth::RenderOptions options =
        ChartSynth::realisticOptions(chart, ChartSynth::Encoding::eSrgb, seed);
    options.photoWidth = width;
    options.photoHeight = height;
    options.offsetX = (seed % 2 == 0 ? -0.22 : 0.2) * width;
    options.offsetY = (seed % 3 == 0 ? 0.17 : -0.15) * height;
    options.supersample = 2;
    options.paperSheet = distractors;
    options.brightObject = distractors;
    options.whiteWall = distractors;
    options.hand = distractors;
    return options;
}

double cornerError(const ChartCardLocation& location, const ChartSynth::RenderedChart& truth) {
    double worst = 0.0;
    for (std::size_t k = 0; k < 4; ++k) {
        const cv::Point2d d = cv::Point2d(location.corners[k]) - truth.cardCorners[k];
        worst = std::max(worst, std::hypot(d.x, d.y));
    }
    return worst;
}

/// Checks what a found card promises: corners within 3 px, a region that
/// holds the whole card, and a support mask of the photo's size that frees
/// most of the visible card ground and nothing off the card or under the hand.
void expectCard(const ChartCardLocation& location, const ChartSynth::RenderedChart& truth) {
    ASSERT_TRUE(location.found) << location.reason;
    EXPECT_LE(cornerError(location, truth), 3.0)
        << location.corners[0] << " " << truth.cardCorners[0] << "; " << location.corners[2] << " "
        << truth.cardCorners[2];
    EXPECT_GT(location.score, 0.8);
    EXPECT_EQ(location.regionOfInterest & truth.chartRegion, truth.chartRegion);
    ASSERT_EQ(location.supportMask.size(), truth.photo.size());
    ASSERT_EQ(location.supportMask.type(), CV_8UC1);
    const cv::Mat free = location.supportMask == 0;
    cv::Mat ground;
    cv::bitwise_and(truth.cardMask, ~truth.patchMask, ground);
    // Where the hand crosses the card's edge, the outermost ring of reduced
    // pixels (card and scene mixed) is not tested for it: a few pixels there
    // stay free.
    EXPECT_LE(cv::countNonZero(free & ~truth.cardMask), 0.01 * cv::countNonZero(ground))
        << "support off the visible card";
    EXPECT_GT(cv::countNonZero(free & ground), 0.9 * cv::countNonZero(ground));
}

TEST(CChartCardLocator, FindsEveryChartTypeAnywhereInALargerPhoto) {
    for (const EChart chart : kAllCharts) {
        for (std::uint64_t seed : {2u}) {
            SCOPED_TRACE(static_cast<int>(chart) * 100 + static_cast<int>(seed));
            const ChartSynth::RenderedChart rendered =
                ChartSynth::renderChart(sceneAt(chart, seed, 1600, 1200, false));
            expectCard(locate(chart, rendered.photo8u), rendered);
            // The same photo as float values on the 0..255 scale.
            expectCard(locate(chart, rendered.photo), rendered);
        }
    }
}

TEST(CChartCardLocator, TakesTheCardAmongPaperWallBrightObjectAndHand) {
    for (const EChart chart : kAllCharts) {
        SCOPED_TRACE(static_cast<int>(chart));
        const ChartSynth::RenderOptions options = sceneAt(chart, 5, 1600, 1200, true);
        const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
        expectCard(locate(chart, rendered.photo8u), rendered);
    }
}

TEST(CChartCardLocator, FindsTheCardInALinearPhoto) {
    ChartSynth::RenderOptions options =
        ChartSynth::realisticOptions(EChart::eQCCPrint, ChartSynth::Encoding::eLinear, 7);
    options.photoWidth = 1600;
    options.photoHeight = 1200;
    options.offsetX = 380.0;
    options.offsetY = 0.0;
    options.supersample = 2;
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    expectCard(locate(EChart::eQCCPrint, rendered.photo, true), rendered);
}

TEST(CChartCardLocator, FindsTheCardInA24MegapixelScene) {
    ChartSynth::RenderOptions options = sceneAt(EChart::eCCTPrint, 9, 6000, 4000, true);
    options.supersample = 1;
    options.jpegQuality = 0;
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    expectCard(locate(EChart::eCCTPrint, rendered.photo8u), rendered);
}

/// A dark textured scene with a blank sheet exactly the card's size, tilted,
/// and optionally light-grey squares on it that do not lie on the chart's grid.
cv::Mat blankSheetScene(EChart chart, bool offGridSquares) {
    cv::RNG rng(11);
    cv::Mat photo(1200, 1600, CV_8UC3);
    rng.fill(photo, cv::RNG::UNIFORM, cv::Scalar(50, 50, 50), cv::Scalar(90, 90, 90));
    const double pitch = ChartSynth::chartPitch(chart);
    const double side = ChartSynth::chartSideLength(chart);
    const cv::Size2f card(
        static_cast<float>((ChartSynth::chartCols(chart) - 1) * pitch + side + 1.2 * pitch),
        static_cast<float>((ChartSynth::chartRows(chart) - 1) * pitch + side + 1.2 * pitch));
    const cv::RotatedRect sheet(cv::Point2f(700, 560), card, 6.0f);
    cv::Point2f corners[4];
    sheet.points(corners);
    std::vector<cv::Point> polygon(corners, corners + 4);
    cv::fillConvexPoly(photo, polygon, cv::Scalar(225, 228, 226), cv::LINE_AA);
    if (offGridSquares) {
        // Squares of patch size at twice the chart's pitch: a grid the chart does not have.
        for (int k = 0; k < 4; ++k) {
            const cv::Point c(560 + static_cast<int>(k * 1.3 * pitch), 520 + (k % 2) * 60);
            cv::rectangle(photo,
                          cv::Rect(c, cv::Size(static_cast<int>(side), static_cast<int>(side))),
                          cv::Scalar(40, 90, 200), cv::FILLED);
        }
    }
    cv::GaussianBlur(photo, photo, cv::Size(), 1.0);
    return photo;
}

TEST(CChartCardLocator, NeverTakesABlankOrWronglyPatternedSheetForTheCard) {
    for (const EChart chart : kAllCharts) {
        SCOPED_TRACE(static_cast<int>(chart));
        for (bool squares : {false, true}) {
            const ChartCardLocation location = locate(chart, blankSheetScene(chart, squares));
            EXPECT_FALSE(location.found);
            EXPECT_FALSE(location.reason.empty());
            EXPECT_TRUE(location.supportMask.empty());
            // The sheet is reported as the most card-like region turned down.
            ASSERT_FALSE(location.rejected.empty());
            EXPECT_NE(location.rejected.front().reason.find("patch"), std::string::npos)
                << location.rejected.front().reason;
        }
    }
}

TEST(CChartCardLocator, RefusesUnusableInputWithAReason) {
    const cv::Mat nan(900, 1200, CV_32FC3,
                      cv::Scalar::all(std::numeric_limits<float>::quiet_NaN()));
    cv::Mat mixed(900, 1200, CV_32FC3, cv::Scalar::all(200.0f));
    mixed(cv::Rect(0, 0, 600, 900)).setTo(cv::Scalar::all(std::numeric_limits<float>::infinity()));
    mixed(cv::Rect(300, 0, 600, 900))
        .setTo(cv::Scalar::all(-std::numeric_limits<float>::infinity()));
    const cv::Mat inputs[] = {
        cv::Mat(),
        cv::Mat(5, 7, CV_8UC3, cv::Scalar::all(255)),
        cv::Mat(600, 800, CV_8UC1, cv::Scalar::all(255)),
        cv::Mat(600, 800, CV_16UC3, cv::Scalar::all(255)),
        cv::Mat(1, 20000, CV_8UC3, cv::Scalar::all(255)),
        cv::Mat(20000, 3, CV_8UC3, cv::Scalar::all(255)),
        cv::Mat(700, 20000, CV_8UC3, cv::Scalar::all(255)),
        nan,
        mixed,
        cv::Mat(900, 1200, CV_8UC3, cv::Scalar::all(0)),
    };
    for (const EChart chart : kAllCharts) {
        for (std::size_t k = 0; k < std::size(inputs); ++k) {
            SCOPED_TRACE(k);
            const ChartCardLocation location = locate(chart, inputs[k]);
            EXPECT_FALSE(location.found);
            EXPECT_FALSE(location.reason.empty());
        }
    }
}

TEST(CChartCardLocator, FindsACardThatReachesThePhotosEdgeRegionClipped) {
    // The renderer's default photo: the card with a narrow surround.
    ChartSynth::RenderOptions options;
    options.chart = EChart::eQCCXRite;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    options.rotationDeg = -9.0;
    options.falloff = 0.3;
    options.noiseSigma = 2.0;
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    const ChartCardLocation location = locate(EChart::eQCCXRite, rendered.photo);
    expectCard(location, rendered);
    EXPECT_EQ(location.regionOfInterest & cv::Rect(cv::Point(), rendered.photo.size()),
              location.regionOfInterest);
}

}  // namespace
