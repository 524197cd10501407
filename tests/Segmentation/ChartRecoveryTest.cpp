#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/ColorScience.h"
#include "DataLayer/ShadeAnalysis/Segmentation/LayoutPlacement.h"
#include "SegmentationProbe.h"
#include "common/TurnedPhoto.h"
#include "tools/synth/RealisticSet.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using ChartSynth::Encoding;
using DataLayer::CWatershedSegmentation;
using SegmentationTest::parameterSet;
using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

// The host's region of a realistic photo as the segmentation gets it: linear
// photos sRGB-encoded first.
cv::Mat regionToSegment(const ChartSynth::RenderedChart& r, Encoding encoding) {
    cv::Mat region = r.photo(r.hostRegion).clone();
    if (encoding == Encoding::eLinear) {
        region.forEach<cv::Vec3f>([](cv::Vec3f& p, const int*) {
            for (int k = 0; k < 3; ++k)
                p[k] = static_cast<float>(DataLayer::Color::srgbEncode(p[k]));
        });
    }
    return region;
}

// Every centre on its own patch, in row order, with label k + 2.
void expectTheChart(const ChartSynth::RenderedChart& r, CWatershedSegmentation& segmentation,
                    EChart chart) {
    const auto centres = segmentation.getPatchCenters();
    const cv::Mat labels = segmentation.getLabels();
    ASSERT_EQ(centres.size(), SegmentationTest::kPatchCount);
    const double limit = 0.25 * ChartSynth::chartSideLength(chart);
    for (std::size_t k = 0; k < SegmentationTest::kPatchCount; ++k) {
        const cv::Point2d truth = r.centers[k] - cv::Point2d(r.hostRegion.tl());
        EXPECT_LT(std::hypot(centres[k][0] - truth.x, centres[k][1] - truth.y), limit)
            << "centre " << k;
        EXPECT_EQ(labels.at<int>(centres[k][1], centres[k][0]), static_cast<int>(k) + 2);
    }
}

TEST(ChartRecovery, FindsRealisticChartsTheGridSearchMissed) {
    // Photos of the realistic set on which the grid search alone failed: a
    // stray seed keeping an extra grid line, a column whose only seed did not
    // count, too few seeds for the hypothesis, a grid pushed into the border,
    // and, turned a quarter counter-clockwise, 19 positions.
    const struct {
        EChart chart;
        Encoding encoding;
        std::uint64_t seed;
        bool turned;
    } cases[] = {{EChart::eCCTPrint, Encoding::eSrgb, 4, false},
                 {EChart::eCCTPrint, Encoding::eLinear, 3, false},
                 {EChart::eQCCPrint, Encoding::eSrgb, 9, false},
                 {EChart::eQCCXRite, Encoding::eSrgb, 1, false},
                 {EChart::eQCCPrintSmall, Encoding::eLinear, 2, false},
                 {EChart::eQCCPrint, Encoding::eSrgb, 13, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "chart " << c.chart << ", seed " << c.seed);
        auto r = ChartSynth::renderChart(ChartSynth::realisticOptions(c.chart, c.encoding, c.seed));
        if (c.turned) {
            r = TestPhotos::turnPhoto(r, cv::ROTATE_90_COUNTERCLOCKWISE);
        }
        CWatershedSegmentation segmentation(parameterSet(c.chart));
        segmentation.setInputImage(regionToSegment(r, c.encoding));
        ASSERT_TRUE(segmentation.segment()) << segmentation.getDiagnostics().reason;
        EXPECT_TRUE(segmentation.getDiagnostics().recovered);
        EXPECT_EQ(segmentation.getDiagnostics().gridRows, r.rows);
        EXPECT_EQ(segmentation.getDiagnostics().gridColumns, r.cols);
        expectTheChart(r, segmentation, c.chart);
    }
}

TEST(ChartRecovery, ChartsTurnedByAQuarterOrUpsideDownAreFoundAsThePhotoShowsThem) {
    for (EChart chart : {EChart::eCCTPrint, EChart::eQCCPrint}) {
        for (double rotation : {90.0, 180.0, 270.0}) {
            SCOPED_TRACE(testing::Message() << "chart " << chart << ", rotation " << rotation);
            ChartSynth::RenderOptions options;
            options.chart = chart;
            options.referenceRgb = ChartSynth::defaultReferenceColors();
            options.rotationDeg = rotation + 3.0;
            options.noiseSigma = 2.0;
            options.supersample = 2;
            const auto r = ChartSynth::renderChart(options);
            CWatershedSegmentation segmentation(parameterSet(chart));
            segmentation.setInputImage(r.photo(r.chartRegion));
            ASSERT_TRUE(segmentation.segment()) << segmentation.getDiagnostics().reason;
            // 5 rows of 4 where the chart has 4 of 5, or the other way round.
            const bool quarter = rotation != 180.0;
            EXPECT_EQ(segmentation.getDiagnostics().gridRows,
                      quarter ? ChartSynth::chartCols(chart) : ChartSynth::chartRows(chart));
            EXPECT_EQ(segmentation.getDiagnostics().gridColumns,
                      quarter ? ChartSynth::chartRows(chart) : ChartSynth::chartCols(chart));
            expectTheChart(r, segmentation, chart);
        }
    }
}

TEST(ChartRecovery, LayoutFitPlacesTheChartOnFourSeedsAndRefusesEveryShiftedPlacement) {
    const EChart chart = EChart::eQCCPrintSmall;
    const auto r = ChartSynth::renderChart(ChartSynth::realisticOptions(chart, Encoding::eSrgb, 5));
    cv::Mat region8u;
    r.photo(r.hostRegion).convertTo(region8u, CV_8U);
    cv::Mat filtered;
    cv::medianBlur(region8u, filtered, 9);
    cv::Mat lab;
    cv::cvtColor(filtered, lab, cv::COLOR_BGR2Lab);
    const auto parameters = parameterSet(chart);

    // The true grid passes the image check; shifted by one step it does not.
    const double pitch = ChartSynth::chartPitch(chart);
    const double angle = -ChartSynth::realisticOptions(chart, Encoding::eSrgb, 5).rotationDeg *
                         3.14159265358979323846 / 180.0;
    const double u[2] = {pitch * std::cos(angle), pitch * std::sin(angle)};
    const double v[2] = {-pitch * std::sin(angle), pitch * std::cos(angle)};
    std::vector<std::array<double, 2>> truth;
    for (const cv::Point2d& c : r.centers)
        truth.push_back({c.x - r.hostRegion.x, c.y - r.hostRegion.y});
    const float side = parameters->GetSegmentSideLength();
    EXPECT_TRUE(DataLayer::chartsearch::chartLooksRight(truth, u, v, lab, side));
    for (const auto& shift : {std::array<int, 2>{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
        auto moved = truth;
        for (auto& p : moved) {
            p[0] += shift[0] * u[0] + shift[1] * v[0];
            p[1] += shift[0] * u[1] + shift[1] * v[1];
        }
        EXPECT_FALSE(DataLayer::chartsearch::chartLooksRight(moved, u, v, lab, side))
            << "shift " << shift[0] << "," << shift[1];
    }

    // Four seeds in three rows complete the grid; three are too few.
    std::vector<std::array<int, 2>> seeds;
    for (int k : {1, 6, 11, 18}) {
        seeds.push_back({static_cast<int>(std::lround(truth[k][0])),
                         static_cast<int>(std::lround(truth[k][1]))});
    }
    DataLayer::chartsearch::LayoutPlacement layout;
    std::string reason;
    ASSERT_TRUE(DataLayer::chartsearch::placeKnownLayout(seeds, lab, *parameters, layout, reason))
        << reason;
    ASSERT_EQ(layout.positions.size(), SegmentationTest::kPatchCount);
    for (std::size_t k = 0; k < SegmentationTest::kPatchCount; ++k) {
        EXPECT_LT(
            std::hypot(layout.positions[k][0] - truth[k][0], layout.positions[k][1] - truth[k][1]),
            0.25 * side)
            << "position " << k;
    }
    EXPECT_EQ(layout.rows, 5);
    EXPECT_EQ(layout.columns, 4);
    seeds.pop_back();
    EXPECT_FALSE(DataLayer::chartsearch::placeKnownLayout(seeds, lab, *parameters, layout, reason));

    // The photo turned a quarter clockwise: four seeds give the grid of 4 rows
    // of 5, and every shifted placement of it is still refused.
    cv::Mat turnedLab;
    cv::rotate(lab, turnedLab, cv::ROTATE_90_CLOCKWISE);
    std::vector<std::array<double, 2>> turned;
    const auto turnedPhoto = TestPhotos::turnPhoto(r, cv::ROTATE_90_CLOCKWISE);
    for (const cv::Point2d& c : turnedPhoto.centers) {
        turned.push_back({c.x - turnedPhoto.hostRegion.x, c.y - turnedPhoto.hostRegion.y});
    }
    const double tu[2] = {turned[1][0] - turned[0][0], turned[1][1] - turned[0][1]};
    const double tv[2] = {turned[5][0] - turned[0][0], turned[5][1] - turned[0][1]};
    EXPECT_TRUE(DataLayer::chartsearch::chartLooksRight(turned, tu, tv, turnedLab, side));
    for (const auto& shift : {std::array<int, 2>{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
        auto moved = turned;
        for (auto& p : moved) {
            p[0] += shift[0] * tu[0] + shift[1] * tv[0];
            p[1] += shift[0] * tu[1] + shift[1] * tv[1];
        }
        EXPECT_FALSE(DataLayer::chartsearch::chartLooksRight(moved, tu, tv, turnedLab, side))
            << "turned, shift " << shift[0] << "," << shift[1];
    }
    seeds.clear();
    for (int k : {1, 7, 12, 18}) {
        seeds.push_back({static_cast<int>(std::lround(turned[k][0])),
                         static_cast<int>(std::lround(turned[k][1]))});
    }
    ASSERT_TRUE(
        DataLayer::chartsearch::placeKnownLayout(seeds, turnedLab, *parameters, layout, reason))
        << reason;
    EXPECT_EQ(layout.rows, 4);
    EXPECT_EQ(layout.columns, 5);
    ASSERT_EQ(layout.positions.size(), SegmentationTest::kPatchCount);
    for (std::size_t k = 0; k < SegmentationTest::kPatchCount; ++k) {
        EXPECT_LT(std::hypot(layout.positions[k][0] - turned[k][0],
                             layout.positions[k][1] - turned[k][1]),
                  0.25 * side)
            << "turned position " << k;
    }
}

}  // namespace
