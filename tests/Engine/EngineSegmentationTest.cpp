#include <gtest/gtest.h>

#include <cmath>

#include "Engine/EngineTestSupport.h"

using DataLayer::CColorCalibration;
using EngineTest::EChart;

namespace {

// Rows of patches (found order) of a rendered chart.
std::vector<int> patchesOfRow(const ChartSynth::RenderedChart& r, int row) {
    std::vector<int> indices;
    for (int c = 0; c < r.cols; ++c) {
        indices.push_back(row * r.cols + c);
    }
    return indices;
}

ChartSynth::RenderedChart render(EChart chart, std::uint64_t seed = 1) {
    ChartSynth::RenderOptions options = EngineTest::photoOptions(chart);
    options.falloff = 0.2;
    options.noiseSigma = 1.5;
    options.seed = seed;
    return ChartSynth::renderChart(options);
}

cv::Mat chartInput(const ChartSynth::RenderedChart& r) { return r.photo(r.chartRegion).clone(); }

// Whether each found seed lies on the patch of the same found index.
void expectSeedsOnCenters(const std::vector<std::array<int, 2>>& seeds,
                          const ChartSynth::RenderedChart& r, double tolerance) {
    ASSERT_EQ(seeds.size(), r.centers.size());
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        const cv::Point2d expected = r.centers[i] - cv::Point2d(r.chartRegion.tl());
        EXPECT_NEAR(seeds[i][0], expected.x, tolerance) << "seed " << i;
        EXPECT_NEAR(seeds[i][1], expected.y, tolerance) << "seed " << i;
    }
}

}  // namespace

TEST(EngineSegmentation, FindsTheTwentyPatchesAndTheWhiteOfEveryChartType) {
    for (EChart chart : {EChart::eCCTPrint, EChart::eQCCPrint, EChart::eCCTXRite, EChart::eQCCXRite,
                         EChart::eQCCPrintSmall}) {
        SCOPED_TRACE(static_cast<int>(chart));
        const ChartSynth::RenderedChart r = render(chart);
        CColorCalibration engine(chart);
        const float before[3] = {1.0f, 2.0f, 3.0f};
        engine.setRealWhite(before);
        cv::Mat input = chartInput(r);
        float white[3] = {-1.0f, -1.0f, -1.0f};
        ASSERT_TRUE(
            engine.precomputeSegmentation(input.ptr<float>(), input.rows, input.cols, white));

        expectSeedsOnCenters(engine.GetSegmentSeeds(), r, 0.15 * ChartSynth::chartPitch(chart));
        const cv::Scalar picked = engine.GetPickedWhite();
        for (int c = 0; c < 3; ++c) {
            EXPECT_FLOAT_EQ(white[c], static_cast<float>(picked[c]));
            EXPECT_EQ(engine.GetRealWhite()[c], picked[c]);
            // The white ground near the chart centre, lit almost fully.
            EXPECT_GT(picked[c], 200.0);
        }
        EXPECT_EQ(engine.GetSegmentLabels().size(), input.size());
        // The white-area mask is 0 exactly where the labels mark patches.
        const cv::Mat patches = engine.GetSegmentLabels() > 1;
        const cv::Mat ground = engine.GetWhiteAreaMask() == 1;
        EXPECT_EQ(cv::countNonZero(patches & ground), 0);
        EXPECT_EQ(cv::countNonZero(patches | ground), input.rows * input.cols);
    }
}

TEST(EngineSegmentation, EightBitInputGivesTheSameSeedsAsFloatInput) {
    const ChartSynth::RenderedChart r = render(EChart::eCCTPrint);
    const cv::Mat input8 = r.photo8u(r.chartRegion).clone();
    cv::Mat input = chartInput(r);
    CColorCalibration a(EChart::eCCTPrint);
    CColorCalibration b(EChart::eCCTPrint);
    float white[3];
    ASSERT_TRUE(a.precomputeSegmentation(input.ptr<float>(), input.rows, input.cols, white));
    ASSERT_TRUE(
        b.precomputeSegmentation(input8.ptr<unsigned char>(), input8.rows, input8.cols, white));
    EXPECT_EQ(a.GetSegmentSeeds(), b.GetSegmentSeeds());
    EXPECT_EQ(cv::norm(b.GetInputImage(), input, cv::NORM_INF), 0.0);
}

TEST(EngineSegmentation, AnotherPatchCountFailsAndEmptiesTheLabels) {
    ChartSynth::RenderedChart r = render(EChart::eCCTPrint);
    for (int index : patchesOfRow(r, 3)) {
        EngineTest::washOutPatch(r, index, EChart::eCCTPrint);
    }
    CColorCalibration engine(EChart::eCCTPrint);
    cv::Mat input = chartInput(r);
    float white[3] = {-1.0f, -1.0f, -1.0f};
    const float realWhite[3] = {230.0f, 231.0f, 232.0f};
    engine.setRealWhite(realWhite);
    EXPECT_FALSE(engine.precomputeSegmentation(input.ptr<float>(), input.rows, input.cols, white));
    // The seeds found stay; labels are emptied; nothing is reported or adopted.
    EXPECT_EQ(engine.GetSegmentSeeds().size(), 15u);
    EXPECT_TRUE(engine.GetSegmentLabels().empty());
    EXPECT_TRUE(engine.GetWhiteImage().empty());
    EXPECT_EQ(white[0], -1.0f);
    EXPECT_EQ(engine.GetRealWhite(), cv::Scalar(230.0, 231.0, 232.0, 0.0));
}

TEST(EngineSegmentation, MorePatchesThanTheChartHoldsFail) {
    // A copy of the last patch of the top row one pitch further right, on a
    // card wide enough to hold it: the grid grows beyond 20 positions.
    const EChart chart = EChart::eCCTPrint;
    ChartSynth::RenderOptions options = EngineTest::photoOptions(chart);
    options.noiseSigma = 1.5;
    options.cardMargin = 1.6;
    ChartSynth::RenderedChart r = ChartSynth::renderChart(options);
    const int half = static_cast<int>(0.5 * ChartSynth::chartSideLength(chart)) + 2;
    const cv::Point c(r.centers[static_cast<std::size_t>(r.cols - 1)]);
    const cv::Rect from(c.x - half, c.y - half, 2 * half, 2 * half);
    r.photo(from).copyTo(
        r.photo(from + cv::Point(static_cast<int>(ChartSynth::chartPitch(chart)), 0)));

    CColorCalibration engine(chart);
    cv::Mat input = chartInput(r);
    float white[3] = {-1.0f, -1.0f, -1.0f};
    EXPECT_FALSE(engine.precomputeSegmentation(input.ptr<float>(), input.rows, input.cols, white));
    EXPECT_GT(engine.GetSegmentSeeds().size(), 20u);
    EXPECT_TRUE(engine.GetSegmentLabels().empty());
    EXPECT_EQ(white[0], -1.0f);
}

TEST(EngineSegmentation, WithoutAnInputImageNothingChanges) {
    CColorCalibration engine(EChart::eQCCPrint);
    float white[3] = {-1.0f, -1.0f, -1.0f};
    EXPECT_FALSE(engine.precomputeSegmentation(white));
    EXPECT_FALSE(engine.updateSegmentation(white));
    EXPECT_TRUE(engine.GetWhiteAreaMask().empty());
    EXPECT_TRUE(engine.GetSegmentSeeds().empty());
    EXPECT_EQ(white[0], -1.0f);

    // Null buffers and non-positive sizes are refused before anything is read.
    float pixel[3] = {0.0f, 0.0f, 0.0f};
    const unsigned char byte[3] = {0, 0, 0};
    EXPECT_FALSE(engine.precomputeSegmentation(static_cast<float*>(nullptr), 10, 10, white));
    EXPECT_FALSE(engine.precomputeSegmentation(pixel, 0, 1, white));
    EXPECT_FALSE(engine.precomputeSegmentation(byte, 1, -1, white));
    EXPECT_FALSE(
        engine.updateSegmentation(static_cast<const unsigned char*>(nullptr), 4, 4, white));
    EXPECT_FALSE(engine.updateSegmentation(pixel, -3, 1, white));
    EXPECT_TRUE(engine.GetInputImage().empty());
}

TEST(EngineSegmentation, UpdatesMergeFramesUntilTwentyPatchesAreKnown) {
    const EChart chart = EChart::eCCTPrint;
    const ChartSynth::RenderedChart clean = render(chart);
    ASSERT_EQ(clean.cols, 5);

    // One chart in three frames: the top row washed out in the first two (15
    // patches each), the second row in the third.
    std::vector<cv::Mat> frames;
    for (int row : {0, 1}) {
        ChartSynth::RenderedChart r = render(chart, 10 + static_cast<std::uint64_t>(row));
        for (int index : patchesOfRow(r, row)) {
            EngineTest::washOutPatch(r, index, chart);
        }
        frames.push_back(chartInput(r));
    }
    frames.insert(frames.begin() + 1, frames[0].clone());

    CColorCalibration engine(chart);
    float white[3] = {-1.0f, -1.0f, -1.0f};
    EXPECT_FALSE(engine.precomputeSegmentation(frames[0].ptr<float>(), frames[0].rows,
                                               frames[0].cols, white));
    const std::vector<std::array<int, 2>> first = engine.GetSegmentSeeds();
    ASSERT_EQ(first.size(), 15u);

    // The same 15 patches again: still short, the seeds stay those of frame 0.
    EXPECT_FALSE(engine.updateSegmentation(static_cast<const float*>(frames[1].ptr<float>()),
                                           frames[1].rows, frames[1].cols, white));
    EXPECT_EQ(engine.GetSegmentSeeds(), first);
    EXPECT_EQ(white[0], -1.0f);

    // A frame of another size is refused before it is segmented.
    cv::Mat smaller = frames[2](cv::Rect(0, 0, frames[2].cols - 8, frames[2].rows)).clone();
    const cv::Mat labelsBefore = engine.GetSegmentLabels();
    EXPECT_FALSE(
        engine.updateSegmentation(smaller.ptr<float>(), smaller.rows, smaller.cols, white));
    EXPECT_EQ(engine.GetSegmentSeeds(), first);
    EXPECT_EQ(engine.GetSegmentLabels().data, labelsBefore.data);

    ASSERT_TRUE(engine.updateSegmentation(static_cast<const float*>(frames[2].ptr<float>()),
                                          frames[2].rows, frames[2].cols, white));
    const std::vector<std::array<int, 2>> merged = engine.GetSegmentSeeds();
    ASSERT_EQ(merged.size(), 20u);
    // The earlier seeds come first, in their order; the top row follows.
    EXPECT_TRUE(std::equal(first.begin(), first.end(), merged.begin()));
    for (std::size_t i = 15; i < 20; ++i) {
        const cv::Point2d c = clean.centers[i - 15] - cv::Point2d(clean.chartRegion.tl());
        EXPECT_NEAR(merged[i][0], c.x, 10.0) << "seed " << i;
        EXPECT_NEAR(merged[i][1], c.y, 10.0) << "seed " << i;
    }
    // Each merged patch carries label 2 + its index at its seed; the white is
    // measured again on the last frame.
    const cv::Mat& labels = engine.GetSegmentLabels();
    ASSERT_EQ(labels.type(), CV_32SC1);
    for (std::size_t i = 0; i < merged.size(); ++i) {
        EXPECT_EQ(labels.at<int>(merged[i][1], merged[i][0]), static_cast<int>(i) + 2);
    }
    EXPECT_FLOAT_EQ(white[0], static_cast<float>(engine.GetPickedWhite()[0]));
    EXPECT_GT(white[0], 200.0f);
}

TEST(EngineSegmentation, UpdateOnTheSamePatchesKeepsTheOldSeeds) {
    const EChart chart = EChart::eCCTPrint;
    const ChartSynth::RenderedChart r1 = render(chart, 1);
    ChartSynth::RenderOptions shifted = EngineTest::photoOptions(chart);
    shifted.noiseSigma = 1.5;
    shifted.seed = 2;
    shifted.offsetX = 2.0;  // the same chart, the camera moved a little
    const ChartSynth::RenderedChart r2 = ChartSynth::renderChart(shifted);
    cv::Mat frame1 = chartInput(r1);
    cv::Mat frame2 = r2.photo(r1.chartRegion).clone();

    CColorCalibration engine(chart);
    float white[3];
    ASSERT_TRUE(
        engine.precomputeSegmentation(frame1.ptr<float>(), frame1.rows, frame1.cols, white));
    const std::vector<std::array<int, 2>> seeds = engine.GetSegmentSeeds();
    ASSERT_TRUE(engine.updateSegmentation(static_cast<const float*>(frame2.ptr<float>()),
                                          frame2.rows, frame2.cols, white));
    EXPECT_EQ(engine.GetSegmentSeeds(), seeds);
}
