#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "synth/ColorScience.h"
#include "synth/SyntheticChart.h"

namespace {

using ChartSynth::EChart;
using ChartSynth::RenderOptions;

const EChart kAllCharts[] = {EChart::eCCTPrint, EChart::eQCCPrint, EChart::eCCTXRite,
                             EChart::eQCCXRite, EChart::eQCCPrintSmall};

RenderOptions plainOptions(EChart chart) {
    RenderOptions options;
    options.chart = chart;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    return options;
}

cv::Vec3f at(const cv::Mat& image, const cv::Point2d& p) {
    return image.at<cv::Vec3f>(static_cast<int>(std::lround(p.y)),
                               static_cast<int>(std::lround(p.x)));
}

TEST(SyntheticChart, CentresFormTheGridOfTheChartTypeInFoundOrder) {
    for (EChart chart : kAllCharts) {
        for (double rotation : {0.0, 12.5, -17.0}) {
            RenderOptions options = plainOptions(chart);
            options.rotationDeg = rotation;
            options.offsetX = 3.25;
            options.offsetY = -7.5;
            const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
            const int rows = ChartSynth::chartRows(chart);
            const int cols = ChartSynth::chartCols(chart);
            const double pitch = ChartSynth::chartPitch(chart);
            ASSERT_EQ(rendered.centers.size(), 20u);
            ASSERT_EQ(rendered.rows * rendered.cols, 20);
            const double angle = rotation * M_PI / 180.0;
            for (int r = 0; r < rows; ++r) {
                for (int c = 0; c < cols; ++c) {
                    const cv::Point2d p = rendered.centers[r * cols + c];
                    EXPECT_TRUE(rendered.chartRegion.contains(cv::Point(p)));
                    if (c + 1 < cols) {
                        const cv::Point2d step = rendered.centers[r * cols + c + 1] - p;
                        EXPECT_NEAR(step.x, pitch * std::cos(angle), 1e-9);
                        EXPECT_NEAR(step.y, -pitch * std::sin(angle), 1e-9);
                    }
                    if (r + 1 < rows) {
                        const cv::Point2d step = rendered.centers[(r + 1) * cols + c] - p;
                        EXPECT_NEAR(step.x, pitch * std::sin(angle), 1e-9);
                        EXPECT_NEAR(step.y, pitch * std::cos(angle), 1e-9);
                    }
                }
            }
            // The chart centre sits at the photo centre plus the offset.
            cv::Point2d mean(0, 0);
            for (const cv::Point2d& p : rendered.centers) {
                mean += p * (1.0 / 20.0);
            }
            EXPECT_NEAR(mean.x, 0.5 * (rendered.photo.cols - 1) + 3.25, 1e-9);
            EXPECT_NEAR(mean.y, 0.5 * (rendered.photo.rows - 1) - 7.5, 1e-9);
        }
    }
}

TEST(SyntheticChart, PatchesCarryTheirReferenceColoursInTheChartsIndexOrder) {
    RenderOptions options = plainOptions(EChart::eQCCPrint);
    options.rotationDeg = 8.0;
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    const std::vector<int> expected = {0,  5,  10, 15, 1,  6,  11, 16, 2,  7,
                                       12, 17, 3,  8,  13, 18, 4,  9,  14, 19};
    EXPECT_EQ(rendered.referenceIndex, expected);
    for (int i = 0; i < 20; ++i) {
        const ChartSynth::Rgb& rgb = options.referenceRgb[rendered.referenceIndex[i]];
        const cv::Vec3f bgr = at(rendered.photo, rendered.centers[i]);
        EXPECT_NEAR(bgr[0], rgb[2], 0.5) << "patch " << i;
        EXPECT_NEAR(bgr[1], rgb[1], 0.5) << "patch " << i;
        EXPECT_NEAR(bgr[2], rgb[0], 0.5) << "patch " << i;
    }

    // Upside down, the patches keep their physical colours and the found order reverses.
    options.rotationDeg = 180.0;
    const ChartSynth::RenderedChart flipped = ChartSynth::renderChart(options);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(flipped.referenceIndex[i], expected[19 - i]);
    }
}

TEST(SyntheticChart, SrgbPhotoOfAnIdentityCameraReproducesTheEncodedReferences) {
    RenderOptions options = plainOptions(EChart::eCCTXRite);
    options.encoding = ChartSynth::Encoding::eSrgb;
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    for (int i = 0; i < 20; ++i) {
        const ChartSynth::Rgb& rgb = options.referenceRgb[rendered.referenceIndex[i]];
        const cv::Vec3f bgr = at(rendered.photo, rendered.centers[i]);
        EXPECT_NEAR(bgr[2], rgb[0], 0.5);
        EXPECT_NEAR(bgr[0], rgb[2], 0.5);
    }
    const cv::Vec3f white = rendered.whiteField.at<cv::Vec3f>(0, 0);
    EXPECT_NEAR(white[1], ChartSynth::srgbEncode(options.whiteLevel), 1e-3);
}

TEST(SyntheticChart, WhiteFieldEqualsThePhotoOnTheWhiteGround) {
    for (ChartSynth::Encoding encoding :
         {ChartSynth::Encoding::eLinear, ChartSynth::Encoding::eSrgb}) {
        RenderOptions options = plainOptions(EChart::eCCTPrint);
        options.falloff = 0.35;
        options.rotationDeg = 6.0;
        options.encoding = encoding;
        options.cameraTransform =
            cv::Matx34d(0.9, 0.05, 0.02, 3, 0.04, 0.85, 0.06, 2, 0.01, 0.08, 0.75, 5);
        options.quantize = false;
        const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
        ASSERT_EQ(rendered.whiteField.type(), CV_32FC3);
        ASSERT_EQ(rendered.whiteField.size(), rendered.photo.size());
        // Midpoints between horizontal neighbours lie on the white ground, as
        // do points half a pitch above the first row.
        std::vector<cv::Point2d> ground;
        for (int i = 0; i < 20; ++i) {
            if (i % 5 != 4) {
                ground.push_back(0.5 * (rendered.centers[i] + rendered.centers[i + 1]));
            }
        }
        const cv::Point2d up = rendered.centers[0] - rendered.centers[5];
        ground.push_back(rendered.centers[2] + 0.5 * up);
        double minWhite = 1e9;
        double maxWhite = 0.0;
        for (const cv::Point2d& p : ground) {
            const cv::Vec3f photo = at(rendered.photo, p);
            const cv::Vec3f white = at(rendered.whiteField, p);
            for (int k = 0; k < 3; ++k) {
                EXPECT_NEAR(photo[k], white[k], 1e-3 * white[k]);
            }
            minWhite = std::min(minWhite, static_cast<double>(white[1]));
            maxWhite = std::max(maxWhite, static_cast<double>(white[1]));
        }
        // The illumination falls off across the chart.
        EXPECT_LT(minWhite, 0.96 * maxWhite);
    }
}

TEST(SyntheticChart, NoiseIsDeterministicInTheSeed) {
    RenderOptions options = plainOptions(EChart::eQCCXRite);
    options.noiseSigma = 2.0;
    options.blurSigma = 0.8;
    options.falloff = 0.2;
    options.seed = 42;
    const ChartSynth::RenderedChart a = ChartSynth::renderChart(options);
    const ChartSynth::RenderedChart b = ChartSynth::renderChart(options);
    EXPECT_EQ(cv::norm(a.photo8u, b.photo8u, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(a.photo, b.photo, cv::NORM_INF), 0.0);
    options.seed = 43;
    const ChartSynth::RenderedChart c = ChartSynth::renderChart(options);
    EXPECT_GT(cv::norm(a.photo8u, c.photo8u, cv::NORM_INF), 0.0);
    // Quantised photos hold whole numbers in 0..255.
    cv::Mat rounded;
    a.photo8u.convertTo(rounded, CV_32FC3);
    EXPECT_EQ(cv::norm(rounded, a.photo, cv::NORM_INF), 0.0);
}

TEST(SyntheticChart, ExplicitPhotoSizeAndClippedChartRegion) {
    RenderOptions options = plainOptions(EChart::eCCTPrint);
    options.photoWidth = 640;
    options.photoHeight = 480;
    options.offsetX = 200.0;  // the card runs off the right edge
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    EXPECT_EQ(rendered.photo.size(), cv::Size(640, 480));
    EXPECT_EQ(rendered.chartRegion & cv::Rect(0, 0, 640, 480), rendered.chartRegion);
    EXPECT_EQ(rendered.chartRegion.x + rendered.chartRegion.width, 640);
}

TEST(SyntheticChart, RejectsInvalidOptions) {
    RenderOptions options = plainOptions(static_cast<EChart>(7));
    EXPECT_THROW(ChartSynth::renderChart(options), std::invalid_argument);
    options = plainOptions(EChart::eCCTPrint);
    options.supersample = 0;
    EXPECT_THROW(ChartSynth::renderChart(options), std::invalid_argument);
    options = plainOptions(EChart::eCCTPrint);
    options.rotationDeg = std::nan("");
    EXPECT_THROW(ChartSynth::renderChart(options), std::invalid_argument);
    options = plainOptions(EChart::eCCTPrint);
    options.photoWidth = -1;
    EXPECT_THROW(ChartSynth::renderChart(options), std::invalid_argument);
}

TEST(SyntheticChart, RandomColoursLookLikeChartColours) {
    const auto a = ChartSynth::randomReferenceColors(7);
    EXPECT_EQ(a, ChartSynth::randomReferenceColors(7));
    EXPECT_NE(a, ChartSynth::randomReferenceColors(8));
    int greys = 0;
    for (const auto& rgb : a) {
        const ChartSynth::Lab lab = ChartSynth::rgbToLab({rgb[0], rgb[1], rgb[2]}, false);
        const double chroma = std::hypot(lab.a, lab.b);
        EXPECT_TRUE(lab.L < 85.0 || chroma > 15.0);
        for (float v : rgb) {
            EXPECT_GE(v, 0.0f);
            EXPECT_LE(v, 255.0f);
        }
        greys += chroma < 4.0 ? 1 : 0;
    }
    EXPECT_GE(greys, 6);
    for (const auto& rgb : ChartSynth::defaultReferenceColors()) {
        const ChartSynth::Lab lab = ChartSynth::rgbToLab({rgb[0], rgb[1], rgb[2]}, false);
        EXPECT_TRUE(lab.L < 85.0 || std::hypot(lab.a, lab.b) > 15.0);
    }
}

}  // namespace
