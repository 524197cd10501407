#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include <tbb/global_control.h>

#include "DataLayer/Errors/OrvException.h"
#include "SegmentationProbe.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using DataLayer::CWatershedSegmentation;
using SegmentationTest::parameterSet;
using SegmentationTest::SegmentationProbe;
using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

// Seeds come from the quarter-resolution image, whose pixel x covers the
// full-resolution pixels 4x .. 4x + 3 but maps back to 4x: on a rotated chart
// the centres sit about 1.5 px up and left of the patches (on an upright one
// the upper median of the region's columns makes up for most of it), and the
// noise of the 4-px seed grid comes on top.
constexpr double kCentreTolerance = 4.0;

// A photo with noise, light falloff and blur, rendered once per test program.
const ChartSynth::RenderedChart& photo(EChart chart, double rotation) {
    static std::map<std::pair<EChart, double>, ChartSynth::RenderedChart> cache;
    auto it = cache.find({chart, rotation});
    if (it == cache.end()) {
        ChartSynth::RenderOptions options;
        options.chart = chart;
        options.referenceRgb = ChartSynth::defaultReferenceColors();
        options.rotationDeg = rotation;
        options.noiseSigma = 3.0;
        options.falloff = 0.3;
        options.blurSigma = 1.0;
        options.seed =
            100 + static_cast<std::uint64_t>(chart) * 10 + static_cast<std::uint64_t>(rotation);
        options.supersample = 2;
        it = cache.emplace(std::make_pair(chart, rotation), ChartSynth::renderChart(options)).first;
    }
    return it->second;
}

struct Result {
    bool ok = false;
    cv::Mat labels;
    std::vector<std::array<int, 2>> centres;
    cv::Scalar white;
    bool reclustered = false;
    bool recovered = false;
};

Result segmentImage(EChart chart, const cv::Mat& image) {
    CWatershedSegmentation segmentation(parameterSet(chart));
    segmentation.setInputImage(image);
    Result r;
    r.ok = segmentation.segment();
    r.labels = segmentation.getLabels();
    r.centres = segmentation.getPatchCenters();
    r.white = segmentation.getWhiteColor();
    r.recovered = segmentation.getDiagnostics().recovered;
    r.reclustered = !r.ok && segmentation.recluster(0.85f);
    return r;
}

TEST(WatershedSegmentation, FindsEveryChartTypeUnderNoiseFalloffBlurAndRotation) {
    for (EChart chart : {EChart::eCCTPrint, EChart::eQCCPrint, EChart::eCCTXRite, EChart::eQCCXRite,
                         EChart::eQCCPrintSmall}) {
        for (double rotation : {0.0, 10.0}) {
            SCOPED_TRACE(testing::Message() << "chart " << chart << ", rotation " << rotation);
            const ChartSynth::RenderedChart& p = photo(chart, rotation);
            const Result r = segmentImage(chart, p.photo(p.chartRegion));
            ASSERT_TRUE(r.ok);
            ASSERT_EQ(r.centres.size(), SegmentationTest::kPatchCount);
            // Found by the grid search itself: the recovery never ran.
            EXPECT_FALSE(r.recovered);
            // Centres in row order, each carrying label k + 2.
            for (std::size_t k = 0; k < SegmentationTest::kPatchCount; ++k) {
                const double tx = p.centers[k].x - p.chartRegion.x;
                const double ty = p.centers[k].y - p.chartRegion.y;
                EXPECT_LE(std::hypot(r.centres[k][0] - tx, r.centres[k][1] - ty), kCentreTolerance)
                    << "centre " << k << " at " << r.centres[k][0] << "," << r.centres[k][1]
                    << ", truth " << tx << "," << ty;
                EXPECT_EQ(r.labels.at<int>(r.centres[k][1], r.centres[k][0]),
                          static_cast<int>(k) + 2);
            }
            for (int c = 0; c < 3; ++c) {
                EXPECT_GT(r.white[c], 120.0);  // the white ground, far brighter than any patch
            }
        }
    }
}

TEST(WatershedSegmentation, SecondRunChangesNothingAndNewImageStartsAfresh) {
    const ChartSynth::RenderedChart& p = photo(EChart::eCCTPrint, 0.0);
    SegmentationProbe segmentation(parameterSet());
    const cv::Mat region8u = p.photo8u(p.chartRegion);
    segmentation.setInputImage(region8u);
    ASSERT_TRUE(segmentation.segment());
    const cv::Mat labels = segmentation.getLabels();
    const auto centres = segmentation.getPatchCenters();
    const std::size_t seeds = segmentation.m_state.seeds.size();
    EXPECT_FALSE(segmentation.segment());
    EXPECT_EQ(segmentation.getLabels().data, labels.data);
    EXPECT_EQ(segmentation.getPatchCenters(), centres);
    EXPECT_EQ(segmentation.m_state.seeds.size(), seeds);
    // An 8-bit input gives an 8-bit white.
    EXPECT_GT(segmentation.getWhiteColor()[0], 120.0);
    EXPECT_LE(segmentation.getWhiteColor()[0], 255.0);

    segmentation.setInputImage(region8u);
    EXPECT_TRUE(segmentation.m_state.labels.empty());
    EXPECT_TRUE(segmentation.m_state.seeds.empty());
    EXPECT_TRUE(segmentation.segment());
    EXPECT_EQ(segmentation.getPatchCenters(), centres);
}

TEST(WatershedSegmentation, ChartsNearTheBorderOrTurnedFarFromTheAxesAreRefused) {
    // The left edge of the first patch column `gap` pixels from the image border.
    const ChartSynth::RenderedChart& p = photo(EChart::eCCTPrint, 0.0);
    const auto cropWithGap = [&](int gap) {
        const double left = p.centers[0].x - ChartSynth::chartSideLength(EChart::eCCTPrint) / 2.0;
        const int x = static_cast<int>(std::lround(left)) - gap;
        return p.photo(
            cv::Rect(x, p.chartRegion.y, p.chartRegion.br().x - x, p.chartRegion.height));
    };
    EXPECT_TRUE(segmentImage(EChart::eCCTPrint, cropWithGap(16)).ok);
    EXPECT_FALSE(segmentImage(EChart::eCCTPrint, cropWithGap(4)).ok);

    // Turned by 30 degrees the grid is found, but its steps cannot be told
    // apart as rows and columns.
    const ChartSynth::RenderedChart& turned = photo(EChart::eCCTPrint, 30.0);
    SegmentationProbe segmentation(parameterSet());
    segmentation.setInputImage(turned.photo(turned.chartRegion));
    EXPECT_FALSE(segmentation.segment());
    EXPECT_GT(segmentation.m_state.seeds.size(), 10u);
    EXPECT_FALSE(segmentation.m_state.patchCenters.empty());
}

TEST(WatershedSegmentation, ImagesWithoutAChartFailWithoutFaults) {
    std::vector<std::pair<const char*, cv::Mat>> images;
    cv::Mat noise(520, 640, CV_32FC3);
    cv::RNG rng(9);
    rng.fill(noise, cv::RNG::UNIFORM, 0.0, 255.0);
    cv::GaussianBlur(noise, noise, cv::Size(0, 0), 6.0);
    images.emplace_back("blurred noise", noise);
    // Flat images: no spread to divide by; two flat halves: a covariance of rank one.
    for (const cv::Scalar& colour :
         {cv::Scalar::all(0), cv::Scalar(120, 80, 200), cv::Scalar::all(255)}) {
        images.emplace_back("flat", cv::Mat(520, 640, CV_32FC3, colour));
    }
    cv::Mat halves(200, 200, CV_8UC3, cv::Scalar(30, 60, 90));
    halves.colRange(100, 200).setTo(cv::Scalar(200, 210, 220));
    images.emplace_back("two flat halves", halves);
    images.emplace_back(
        "not a number",
        cv::Mat(120, 160, CV_32FC3, cv::Scalar::all(std::numeric_limits<float>::quiet_NaN())));
    images.emplace_back("one channel", cv::Mat(100, 100, CV_8UC1, cv::Scalar(7)));
    for (const cv::Size size : {cv::Size(0, 0), cv::Size(1, 1), cv::Size(3, 3), cv::Size(2, 7),
                                cv::Size(9, 1), cv::Size(12, 12), cv::Size(40, 3)}) {
        cv::Mat tiny(size, CV_32FC3);
        if (!tiny.empty()) {
            rng.fill(tiny, cv::RNG::UNIFORM, 0.0, 255.0);
        }
        images.emplace_back("tiny", tiny);
    }
    for (const auto& [what, image] : images) {
        SCOPED_TRACE(testing::Message() << what << " " << image.cols << "x" << image.rows);
        const Result r = segmentImage(EChart::eCCTPrint, image);
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.centres.empty());
        EXPECT_FALSE(r.reclustered);
    }
}

TEST(WatershedSegmentation, MisuseIsRefused) {
    EXPECT_THROW(CWatershedSegmentation(nullptr), DataLayer::OrvException);
    // No image yet.
    CWatershedSegmentation segmentation(parameterSet());
    EXPECT_FALSE(segmentation.segment());
    EXPECT_TRUE(segmentation.getLabels().empty());
    EXPECT_TRUE(segmentation.getPatchCenters().empty());
    EXPECT_EQ(segmentation.getWhiteColor(), cv::Scalar::all(0.0));
    EXPECT_FALSE(segmentation.recluster(0.85f));
    // Re-clustering on labels without any white ground.
    SegmentationProbe probe(parameterSet());
    const cv::Mat image(200, 200, CV_8UC3, cv::Scalar(200, 200, 200));
    probe.setInputImage(image);
    probe.m_state.labels = cv::Mat(image.size(), CV_32S, cv::Scalar(3));
    EXPECT_FALSE(probe.recluster(0.85f));
    EXPECT_TRUE(probe.m_state.seeds.empty());
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
        cv::Mat expected;
        image.convertTo(image8u, CV_8U);
        cv::medianBlur(image8u, expected, 9);
        for (int threads : {1, 2, 4}) {
            tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
            SegmentationProbe probe(parameterSet());
            probe.setInputImage(image);
            ASSERT_EQ(probe.m_state.filteredImage.type(), CV_8UC3);
            EXPECT_EQ(cv::norm(probe.m_state.filteredImage, expected, cv::NORM_INF), 0.0)
                << threads;
        }
    }
}

}  // namespace
