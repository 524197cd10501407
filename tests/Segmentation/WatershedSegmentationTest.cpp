#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <tbb/global_control.h>

#include "DataLayer/Errors/OrvException.h"
#include "SegmentationProbe.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using Base::IParameterSetColorCalibrationTarget;
using DataLayer::CWatershedSegmentation;
using SegmentationTest::parameterSet;
using SegmentationTest::SegmentationProbe;

using EChart = IParameterSetColorCalibrationTarget::EParameterSet;

const EChart kCharts[] = {
    IParameterSetColorCalibrationTarget::eCCTPrint, IParameterSetColorCalibrationTarget::eQCCPrint,
    IParameterSetColorCalibrationTarget::eCCTXRite, IParameterSetColorCalibrationTarget::eQCCXRite,
    IParameterSetColorCalibrationTarget::eQCCPrintSmall};

// Seeds come from the quarter-resolution image, whose pixel x covers the
// full-resolution pixels 4x .. 4x + 3 but maps back to 4x: on a rotated chart
// the centres sit about 1.5 px up and left of the patches (on an upright one
// the upper median of the region's columns makes up for most of it), and the
// noise of the 4-px seed grid comes on top.
constexpr double kCentreTolerance = 4.0;

ChartSynth::RenderedChart renderPhoto(EChart chart, double rotation, std::uint64_t seed) {
    ChartSynth::RenderOptions options;
    options.chart = chart;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    options.rotationDeg = rotation;
    options.noiseSigma = 3.0;
    options.falloff = 0.3;
    options.blurSigma = 1.0;
    options.seed = seed;
    options.supersample = 2;
    return ChartSynth::renderChart(options);
}

// The segmentation of the photo's chart region, as the engine runs it.
struct Result {
    bool ok = false;
    cv::Mat labels;
    std::vector<std::array<int, 2>> centres;
    cv::Scalar white;
};

Result segmentImage(EChart chart, const cv::Mat& image) {
    CWatershedSegmentation segmentation(parameterSet(chart));
    segmentation.setInputImage(image);
    Result r;
    r.ok = segmentation.segment();
    r.labels = segmentation.getLabels();
    r.centres = segmentation.getPatchCenters();
    r.white = segmentation.getWhiteColor();
    return r;
}

TEST(WatershedSegmentation, NullParameterSetThrows) {
    try {
        CWatershedSegmentation segmentation(nullptr);
        FAIL() << "no exception";
    } catch (const DataLayer::OrvException& e) {
        EXPECT_STREQ(e.what(), "invalid parameter set for color calibration target");
    }
}

TEST(WatershedSegmentation, WithoutAnImageNothingIsSegmented) {
    CWatershedSegmentation segmentation(parameterSet());
    EXPECT_FALSE(segmentation.segment());
    EXPECT_TRUE(segmentation.getLabels().empty());
    EXPECT_TRUE(segmentation.getPatchCenters().empty());
    EXPECT_EQ(segmentation.getWhiteColor(), cv::Scalar::all(0.0));
    EXPECT_FALSE(segmentation.recluster(0.85f));
}

TEST(WatershedSegmentation, FindsEveryChartTypeUnderNoiseFalloffBlurAndRotation) {
    std::uint64_t seed = 100;
    for (EChart chart : kCharts) {
        for (double rotation : {0.0, 10.0}) {
            SCOPED_TRACE(testing::Message() << "chart " << chart << ", rotation " << rotation);
            const ChartSynth::RenderedChart photo = renderPhoto(chart, rotation, ++seed);
            const cv::Mat region = photo.photo(photo.chartRegion);
            const Result r = segmentImage(chart, region);
            ASSERT_TRUE(r.ok);
            ASSERT_EQ(r.centres.size(), 20u);
            for (std::size_t k = 0; k < 20; ++k) {
                const double tx = photo.centers[k].x - photo.chartRegion.x;
                const double ty = photo.centers[k].y - photo.chartRegion.y;
                EXPECT_LE(std::hypot(r.centres[k][0] - tx, r.centres[k][1] - ty), kCentreTolerance)
                    << "centre " << k << " at " << r.centres[k][0] << "," << r.centres[k][1]
                    << ", truth " << tx << "," << ty;
                EXPECT_EQ(r.labels.at<int>(r.centres[k][1], r.centres[k][0]),
                          static_cast<int>(k) + 2);
            }
            // The white ground is far brighter than any patch and finite.
            for (int c = 0; c < 3; ++c) {
                EXPECT_GT(r.white[c], 120.0);
            }
        }
    }
}

TEST(WatershedSegmentation, SecondRunChangesNothingAndNewImageStartsAfresh) {
    const ChartSynth::RenderedChart photo =
        renderPhoto(IParameterSetColorCalibrationTarget::eCCTPrint, 0.0, 3);
    SegmentationProbe segmentation(parameterSet());
    const cv::Mat region8u = photo.photo8u(photo.chartRegion);
    segmentation.setInputImage(region8u);
    ASSERT_TRUE(segmentation.segment());
    const cv::Mat labels = segmentation.getLabels();
    const auto centres = segmentation.getPatchCenters();
    const std::size_t seeds = segmentation.m_seeds.size();
    EXPECT_FALSE(segmentation.segment());
    EXPECT_EQ(segmentation.getLabels().data, labels.data);
    EXPECT_EQ(segmentation.getPatchCenters(), centres);
    EXPECT_EQ(segmentation.m_seeds.size(), seeds);
    // An 8-bit input gives an 8-bit white.
    const cv::Scalar white = segmentation.getWhiteColor();
    EXPECT_GT(white[0], 120.0);
    EXPECT_LE(white[0], 255.0);

    segmentation.setInputImage(region8u);
    EXPECT_TRUE(segmentation.m_labels.empty());
    EXPECT_TRUE(segmentation.m_seeds.empty());
    EXPECT_TRUE(segmentation.segment());
    EXPECT_EQ(segmentation.getPatchCenters(), centres);
}

// The photo cropped so that the left edge of the first patch column lies
// `gap` pixels from the left image border.
cv::Mat cropWithGap(const ChartSynth::RenderedChart& photo, EChart chart, int gap) {
    const double left = photo.centers[0].x - ChartSynth::chartSideLength(chart) / 2.0;
    cv::Rect crop = photo.chartRegion;
    const int newX = static_cast<int>(std::lround(left)) - gap;
    crop.width -= newX - crop.x;
    crop.x = newX;
    return photo.photo(crop);
}

TEST(WatershedSegmentation, ChartNearTheImageBorderFails) {
    const EChart chart = IParameterSetColorCalibrationTarget::eCCTPrint;
    const ChartSynth::RenderedChart photo = renderPhoto(chart, 0.0, 5);
    EXPECT_TRUE(segmentImage(chart, cropWithGap(photo, chart, 16)).ok);
    EXPECT_FALSE(segmentImage(chart, cropWithGap(photo, chart, 4)).ok);
}

TEST(WatershedSegmentation, ChartRotatedFarFromTheImageAxesFails) {
    const EChart chart = IParameterSetColorCalibrationTarget::eCCTPrint;
    const ChartSynth::RenderedChart photo = renderPhoto(chart, 30.0, 6);
    SegmentationProbe segmentation(parameterSet(chart));
    segmentation.setInputImage(photo.photo(photo.chartRegion));
    EXPECT_FALSE(segmentation.segment());
    // The grid was found, but its steps cannot be told apart as rows and columns.
    EXPECT_GT(segmentation.m_seeds.size(), 10u);
    EXPECT_FALSE(segmentation.m_patchCenters.empty());
}

TEST(WatershedSegmentation, PhotoWithoutAChartFails) {
    cv::Mat photo(520, 640, CV_32FC3);
    cv::RNG rng(9);
    rng.fill(photo, cv::RNG::UNIFORM, 0.0, 255.0);
    cv::GaussianBlur(photo, photo, cv::Size(0, 0), 6.0);
    EXPECT_FALSE(segmentImage(IParameterSetColorCalibrationTarget::eCCTPrint, photo).ok);

    cv::Mat gradient(520, 640, CV_32FC3);
    for (int y = 0; y < gradient.rows; ++y) {
        for (int x = 0; x < gradient.cols; ++x) {
            gradient.at<cv::Vec3f>(y, x) = cv::Vec3f(x * 0.3f, y * 0.4f, 200.0f);
        }
    }
    EXPECT_FALSE(segmentImage(IParameterSetColorCalibrationTarget::eQCCPrint, gradient).ok);
}

TEST(WatershedSegmentation, FlatImagesFailWithoutArithmeticOnZeroSpread) {
    for (const cv::Scalar& colour :
         {cv::Scalar::all(0), cv::Scalar(120, 80, 200), cv::Scalar::all(255)}) {
        const Result r = segmentImage(IParameterSetColorCalibrationTarget::eCCTPrint,
                                      cv::Mat(520, 640, CV_32FC3, colour));
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.centres.empty());
    }
    // Two flat halves: a covariance of rank one.
    cv::Mat halves(200, 200, CV_8UC3, cv::Scalar(30, 60, 90));
    halves.colRange(100, 200).setTo(cv::Scalar(200, 210, 220));
    EXPECT_FALSE(segmentImage(IParameterSetColorCalibrationTarget::eCCTPrint, halves).ok);
}

TEST(WatershedSegmentation, TinyAndOddImagesAreHandled) {
    for (const cv::Size size : {cv::Size(0, 0), cv::Size(1, 1), cv::Size(3, 3), cv::Size(2, 7),
                                cv::Size(9, 1), cv::Size(12, 12), cv::Size(40, 3)}) {
        SCOPED_TRACE(testing::Message() << size.width << "x" << size.height);
        cv::Mat image(size, CV_32FC3);
        if (!image.empty()) {
            cv::RNG rng(1);
            rng.fill(image, cv::RNG::UNIFORM, 0.0, 255.0);
        }
        CWatershedSegmentation segmentation(parameterSet());
        segmentation.setInputImage(image);
        EXPECT_FALSE(segmentation.segment());
        EXPECT_FALSE(segmentation.recluster(0.85f));
    }
    // A single-channel image cannot hold a chart.
    CWatershedSegmentation grey(parameterSet());
    grey.setInputImage(cv::Mat(100, 100, CV_8UC1, cv::Scalar(7)));
    EXPECT_FALSE(grey.segment());
}

TEST(WatershedSegmentation, NonFinitePixelsDoNotSpoilTheWhite) {
    const ChartSynth::RenderedChart photo =
        renderPhoto(IParameterSetColorCalibrationTarget::eCCTPrint, 0.0, 8);
    cv::Mat region = photo.photo(photo.chartRegion).clone();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // Sprinkle NaN and infinity over the white ground around the centre.
    for (int i = 0; i < 40; ++i) {
        region.at<cv::Vec3f>(region.rows / 2 + i % 7, region.cols / 2 + i) =
            cv::Vec3f(nan, i % 2 ? inf : 100.0f, -inf);
    }
    const Result r = segmentImage(IParameterSetColorCalibrationTarget::eCCTPrint, region);
    ASSERT_TRUE(r.ok);
    {
        for (int c = 0; c < 4; ++c) {
            EXPECT_TRUE(std::isfinite(r.white[c])) << c;
        }
    }
    cv::Mat allNan(120, 160, CV_32FC3, cv::Scalar::all(nan));
    EXPECT_FALSE(segmentImage(IParameterSetColorCalibrationTarget::eCCTPrint, allNan).ok);
}

// The input filter runs on strips in parallel; it must equal one 9 x 9 median
// over the whole 8-bit image, borders included, whatever the thread count.
TEST(WatershedSegmentation, InputFilterEqualsOneMedianOverTheWholeImage) {
    cv::RNG rng(21);
    for (const cv::Size size : {cv::Size(7, 5), cv::Size(131, 64), cv::Size(263, 129),
                                cv::Size(640, 520), cv::Size(97, 411)}) {
        SCOPED_TRACE(testing::Message() << size.width << "x" << size.height);
        cv::Mat image(size, CV_32FC3);
        rng.fill(image, cv::RNG::UNIFORM, -20.0, 280.0);
        cv::Mat image8u;
        image.convertTo(image8u, CV_8U);
        cv::Mat expected;
        cv::medianBlur(image8u, expected, 9);
        for (int threads : {1, 2, 4}) {
            tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
            SegmentationProbe probe(parameterSet());
            probe.setInputImage(image);
            ASSERT_EQ(probe.m_filteredImage.type(), CV_8UC3);
            EXPECT_EQ(cv::norm(probe.m_filteredImage, expected, cv::NORM_INF), 0.0) << threads;
        }
    }
}

TEST(WatershedSegmentation, ReclusteringWithoutBackgroundFindsNothing) {
    SegmentationProbe probe(parameterSet());
    const cv::Mat image(200, 200, CV_8UC3, cv::Scalar(200, 200, 200));
    probe.setInputImage(image);
    probe.m_labels = cv::Mat(image.size(), CV_32S, cv::Scalar(3));
    EXPECT_FALSE(probe.recluster(0.85f));
    EXPECT_TRUE(probe.m_seeds.empty());
}

}  // namespace
