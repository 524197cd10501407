#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "ShadeAnalysis/EngineTestSupport.h"

using DataLayer::CColorCalibration;
using namespace EngineTest;

namespace {

cv::Mat chartInput(const ChartSynth::RenderedChart& r) { return r.photo(r.chartRegion).clone(); }

// The photo of `chart` with the patches of row `row` washed out.
ChartSynth::RenderedChart withoutRow(EChart chart, int row) {
    ChartSynth::RenderedChart r = photo(chart);
    r.photo = r.photo.clone();
    r.photo8u = r.photo8u.clone();
    for (int c = 0; c < r.cols; ++c) {
        washOutPatch(r, row * r.cols + c, chart);
    }
    return r;
}

}  // namespace

// The chart's own parameter set without its rows and columns, as a host set
// that does not give them: the segmentation cannot complete or prune a grid.
class LayoutlessSet : public DataLayer::CParameterSetColorCalibrationTarget {
  public:
    using CParameterSetColorCalibrationTarget::CParameterSetColorCalibrationTarget;
    int GetGridRows() const override { return 0; }
    int GetGridColumns() const override { return 0; }
};

TEST(EngineSegmentation, AStrayPatchBesideTheChartIsLeftOutOnlyWhenTheLayoutIsKnown) {
    // A copy of the last patch of the top row one pitch further right, on a
    // card wide enough to hold it: the grid grows beyond 20 positions.
    const EChart chart = EChart::eCCTPrint;
    ChartSynth::RenderOptions options;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    options.noiseSigma = 1.5;
    options.cardMargin = 1.6;
    ChartSynth::RenderedChart r = ChartSynth::renderChart(options);
    const int half = static_cast<int>(0.5 * ChartSynth::chartSideLength(chart)) + 2;
    const cv::Point c(r.centers[static_cast<std::size_t>(r.cols - 1)]);
    const cv::Rect from(c.x - half, c.y - half, 2 * half, 2 * half);
    r.photo(from).copyTo(
        r.photo(from + cv::Point(static_cast<int>(ChartSynth::chartPitch(chart)), 0)));
    cv::Mat input = chartInput(r);

    // Knowing the chart's 4 x 5 layout, the search keeps the one placement of
    // the grid that is all patches on card ground.
    CColorCalibration engine(chart);
    float white[3] = {-1.0f, -1.0f, -1.0f};
    ASSERT_TRUE(engine.precomputeSegmentation(input.ptr<float>(), input.rows, input.cols, white));
    ASSERT_EQ(engine.GetSegmentSeeds().size(), 20u);
    for (std::size_t k = 0; k < 20; ++k) {
        const cv::Point2d truth = r.centers[k] - cv::Point2d(r.chartRegion.tl());
        EXPECT_LT(
            cv::norm(cv::Point2d(engine.GetSegmentSeeds()[k][0], engine.GetSegmentSeeds()[k][1]) -
                     truth),
            4.0)
            << "patch " << k;
    }
    EXPECT_TRUE(engine.GetSegmentationDiagnostics().recovered);

    // Without the layout the 21 positions cannot be told apart: a failure.
    CColorCalibration layoutless(std::make_shared<LayoutlessSet>(chart));
    white[0] = -1.0f;
    EXPECT_FALSE(
        layoutless.precomputeSegmentation(input.ptr<float>(), input.rows, input.cols, white));
    EXPECT_GT(layoutless.GetSegmentSeeds().size(), 20u);
    EXPECT_TRUE(layoutless.GetSegmentLabels().empty());
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
}

TEST(EngineSegmentation, UpdatesMergeFramesUntilTwentyPatchesAreKnown) {
    const EChart chart = EChart::eCCTPrint;
    const ChartSynth::RenderedChart& clean = photo(chart);
    ASSERT_EQ(clean.cols, 5);
    // One chart in three frames: the top row washed out in the first two (15
    // patches each), the second row in the third.
    cv::Mat first = chartInput(withoutRow(chart, 0));
    cv::Mat third = chartInput(withoutRow(chart, 1));

    CColorCalibration engine(chart);
    const float realWhite[3] = {230.0f, 231.0f, 232.0f};
    engine.setRealWhite(realWhite);
    float white[3] = {-1.0f, -1.0f, -1.0f};
    EXPECT_FALSE(engine.precomputeSegmentation(first.ptr<float>(), first.rows, first.cols, white));
    // The seeds found stay; labels are emptied; nothing is reported or adopted.
    const std::vector<std::array<int, 2>> seeds15 = engine.GetSegmentSeeds();
    ASSERT_EQ(seeds15.size(), 15u);
    EXPECT_TRUE(engine.GetSegmentLabels().empty());
    EXPECT_TRUE(engine.GetWhiteImage().empty());
    EXPECT_EQ(white[0], -1.0f);
    EXPECT_EQ(engine.GetRealWhite(), cv::Scalar(230.0, 231.0, 232.0, 0.0));

    // The same 15 patches again: still short, the seeds stay those of frame 0
    // and no label image is left behind, so a calibration cannot run on 15
    // patches (it segments afresh and fails).
    EXPECT_FALSE(engine.updateSegmentation(static_cast<const float*>(first.ptr<float>()),
                                           first.rows, first.cols, white));
    EXPECT_EQ(engine.GetSegmentSeeds(), seeds15);
    EXPECT_EQ(white[0], -1.0f);
    EXPECT_TRUE(engine.GetSegmentLabels().empty());
    {
        CColorCalibration calibration(engine);
        setPhoto(calibration, withoutRow(chart, 0));
        LogCapture log;
        CbArray<float> whiteOut;
        Matrix matrix = sentinelMatrix();
        EXPECT_FALSE(calibration.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
        EXPECT_TRUE(isSentinel(matrix));
    }

    // A frame of another size is refused before it is segmented.
    cv::Mat smaller = third(cv::Rect(0, 0, third.cols - 8, third.rows)).clone();
    const cv::Mat labelsBefore = engine.GetSegmentLabels();
    EXPECT_FALSE(
        engine.updateSegmentation(smaller.ptr<float>(), smaller.rows, smaller.cols, white));
    EXPECT_EQ(engine.GetSegmentSeeds(), seeds15);
    EXPECT_EQ(engine.GetSegmentLabels().data, labelsBefore.data);

    ASSERT_TRUE(engine.updateSegmentation(static_cast<const float*>(third.ptr<float>()), third.rows,
                                          third.cols, white));
    const std::vector<std::array<int, 2>> merged = engine.GetSegmentSeeds();
    ASSERT_EQ(merged.size(), 20u);
    // The earlier seeds come first, in their order; the top row follows.
    EXPECT_TRUE(std::equal(seeds15.begin(), seeds15.end(), merged.begin()));
    for (std::size_t i = 15; i < 20; ++i) {
        const cv::Point2d c = clean.centers[i - 15] - cv::Point2d(clean.chartRegion.tl());
        EXPECT_NEAR(merged[i][0], c.x, 10.0) << "seed " << i;
        EXPECT_NEAR(merged[i][1], c.y, 10.0) << "seed " << i;
    }
    // Each merged patch carries label 2 + its index at its seed; the white is
    const cv::Mat& labels = engine.GetSegmentLabels();
    ASSERT_EQ(labels.type(), CV_32SC1);
    for (std::size_t i = 0; i < merged.size(); ++i) {
        EXPECT_EQ(labels.at<int>(merged[i][1], merged[i][0]), static_cast<int>(i) + 2);
    }
    // measured again on the last frame; the real white stays.
    EXPECT_FLOAT_EQ(white[0], static_cast<float>(engine.GetPickedWhite()[0]));
    EXPECT_EQ(engine.GetRealWhite(), cv::Scalar(230.0, 231.0, 232.0, 0.0));
    EXPECT_GT(white[0], 200.0f);

    // The whole chart again as 8-bit frame, the camera moved by 2 px: nothing
    // new, the seeds stay.
    const cv::Mat shifted = clean.photo8u(clean.chartRegion + cv::Point(2, 0)).clone();
    ASSERT_TRUE(engine.updateSegmentation(shifted.data, shifted.rows, shifted.cols, white));
    EXPECT_EQ(engine.GetSegmentSeeds(), merged);

    // A frame with pixels that are not numbers on the white ground at the
    // centre (where the white is picked): they do not count (nor does the
    // ground the white's erosion takes off around them), the white stays finite
    // and next to that of the same frame without them.
    cv::Mat frame = chartInput(clean);
    cv::Mat spoilt = frame.clone();
    cv::Mat distance;
    cv::distanceTransform(engine.GetWhiteAreaMask(), distance, cv::DIST_L2, 3);
    cv::Mat nearCentre = cv::Mat::zeros(distance.size(), CV_8U);
    const int radius = static_cast<int>(engine.GetParameterSet()->GetWhiteAreaStencilRadius());
    cv::circle(nearCentre, cv::Point(spoilt.cols / 2, spoilt.rows / 2), radius, cv::Scalar(1),
               cv::FILLED);
    cv::Point deepest;
    cv::minMaxLoc(distance, nullptr, nullptr, nullptr, &deepest, nearCentre);
    spoilt.at<cv::Vec3f>(deepest) = cv::Vec3f::all(std::numeric_limits<float>::quiet_NaN());
    spoilt.at<cv::Vec3f>(deepest + cv::Point(1, 0))[1] = std::numeric_limits<float>::infinity();
    ASSERT_TRUE(engine.updateSegmentation(static_cast<const float*>(spoilt.ptr<float>()),
                                          spoilt.rows, spoilt.cols, white));
    engine.computePickedWhite(frame);
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(white[c], engine.GetPickedWhite()[c], 3.0);
    }
}
