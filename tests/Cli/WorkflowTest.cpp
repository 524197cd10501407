// The tool's and the module's calibration of a photo: the card located (in
// the photo or in a given region), a hand-held card calibrated in its
// rectified frame and its results brought back onto the photo, a nominal card
// calibrated on the photo exactly as a host with its region and mask would,
// and a support that holds more than the card's ground refused.
#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "CalibrationSetup.h"
#include "CalibrationSummary.h"
#include "synth/HandheldSet.h"
#include "synth/RealisticSet.h"
#include "synth/SyntheticChart.h"

namespace {

using namespace ColorCalCli;
using ChartSynth::EChart;

CalibrationRequest requestFor(const ChartSynth::RenderOptions& options,
                              const ChartSynth::RenderedChart& rendered) {
    CalibrationRequest request;
    request.chart = options.chart;
    request.photo.bgr = rendered.photo;
    request.photo.sourceDepth = CV_8U;
    request.encoding = Encoding::eSrgb;
    for (std::size_t k = 0; k < 20; ++k) {
        for (std::size_t c = 0; c < 3; ++c) request.references[k][c] = options.referenceRgb[k][c];
    }
    if (options.chart == EChart::eCCTXRite || options.chart == EChart::eQCCXRite) {
        request.externalWhite = rendered.whiteField;
    }
    return request;
}

/// Every reported patch lies on the true centre of its reference colour.
void expectRightPairing(const EngineResult& result, const ChartSynth::RenderedChart& truth,
                        double side) {
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_EQ(result.centers.size(), 20u);
    for (std::size_t i = 0; i < 20; ++i) {
        const int k = result.referenceIndex[i];
        ASSERT_GE(k, 0);
        const cv::Point2d d =
            result.centers[i] - truth.referenceCenters[static_cast<std::size_t>(k)];
        EXPECT_LE(std::hypot(d.x, d.y), 0.25 * side) << "patch " << i << ", reference " << k;
    }
}

void expectWhiteEverywhere(const cv::Mat& white, cv::Size photo) {
    ASSERT_EQ(white.size(), photo);
    ASSERT_EQ(white.type(), CV_32FC3);
    EXPECT_TRUE(cv::checkRange(white));
    double lo = 0.0;
    cv::minMaxLoc(white.reshape(1), &lo);
    EXPECT_GT(lo, 0.0);
}

ChartSynth::RenderOptions handheld(EChart chart, double scale, double tilt, double turn,
                                   std::uint64_t seed) {
    ChartSynth::RenderOptions options =
        ChartSynth::realisticOptions(chart, ChartSynth::Encoding::eSrgb, seed);
    const cv::Size size(1600, 1200);
    options.photoWidth = size.width;
    options.photoHeight = size.height;
    options.supersample = 2;
    ChartSynth::PinholeCard pose;
    pose.focalLength = 1.1 * size.width;
    pose.scale = scale;
    pose.tiltDeg = tilt;
    pose.tiltAxisDeg = 60.0;
    pose.turnDeg = turn;
    pose.centre = cv::Point2d(780, 610);
    options.cardToImage = ChartSynth::pinholeCardToImage(pose, size);
    options.focalLength = pose.focalLength;
    return options;
}

TEST(Workflow, CalibratesHandHeldCardsInTheirFrameAndMapsTheResultsBack) {
    struct Case {
        EChart chart;
        double scale, tilt, turn;
    };
    for (const Case& c :
         {Case{EChart::eQCCPrint, 0.6, 30.0, 8.0}, Case{EChart::eCCTPrint, 1.8, 22.0, -95.0},
          Case{EChart::eQCCXRite, 1.2, 12.0, 178.0}}) {
        SCOPED_TRACE(static_cast<int>(c.chart));
        const ChartSynth::RenderOptions options = handheld(c.chart, c.scale, c.tilt, c.turn, 2);
        const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
        const PreparedCalibration prepared =
            prepareCalibration(requestFor(options, rendered), locateCard);
        ASSERT_TRUE(prepared.ready) << prepared.failure;
        EXPECT_NE(prepared.rectification, nullptr);
        EXPECT_FALSE(prepared.card.nominal);
        const EngineResult result = runPrepared(prepared);
        expectRightPairing(result, rendered, ChartSynth::chartSideLength(c.chart) * c.scale);
        expectWhiteEverywhere(result.whiteImage, rendered.photo.size());
        // The labels cover the reported region of the photo.
        EXPECT_EQ(result.labels.size(), prepared.photoRoi.size());
        EXPECT_GT(cv::countNonZero(result.labels > 1), 0);
    }
}

TEST(Workflow, FingersOverTheCardsMarginDoNotCostAPatchInTheFrame) {
    // A photo of the hand-held set whose fingers, over the card's margin
    // beside a row of patches, pull the segmentation's grid off one patch in
    // the rectified frame: the run segments once more with the covered ground
    // filled in from the ground around it, and pairs every patch right.
    const ChartSynth::HandheldPhoto photo =
        ChartSynth::handheldOptions(EChart::eQCCPrintSmall, ChartSynth::Encoding::eLinear, 24, 0);
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(photo.options);
    CalibrationRequest request = requestFor(photo.options, rendered);
    request.photo.sourceDepth = CV_32F;
    request.encoding = Encoding::eLinear;
    const PreparedCalibration prepared = prepareCalibration(request, locateCard);
    ASSERT_TRUE(prepared.ready) << prepared.failure;
    ASSERT_NE(prepared.rectification, nullptr);
    const EngineResult first = runEngine(prepared.input);
    ASSERT_FALSE(first.ok) << "the case no longer needs the second segmentation";
    EXPECT_EQ(first.error.rfind("segmentation failed", 0), 0u) << first.error;
    const EngineResult result = runPrepared(prepared);
    expectRightPairing(result, rendered,
                       ChartSynth::chartSideLength(EChart::eQCCPrintSmall) * rendered.scale);
    expectWhiteEverywhere(result.whiteImage, rendered.photo.size());
}

TEST(Workflow, ACardPrintedTheOtherWayRoundAndTurnedIsPairedByItsColours) {
    // A QCC X-Rite card printed as 4 rows of 5 (its colour index table fixes
    // no layout) in a portrait photo: the grid found has the parameter set's
    // 5 rows of 4, and only a quarter turn pairs its colours right.
    for (const double turn : {90.0, -90.0}) {
        SCOPED_TRACE(turn);
        ChartSynth::RenderOptions options = handheld(EChart::eQCCXRite, 0.9, 10.0, turn, 7);
        options.transposedLayout = true;
        const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
        const PreparedCalibration prepared =
            prepareCalibration(requestFor(options, rendered), locateCard);
        ASSERT_TRUE(prepared.ready) << prepared.failure;
        EXPECT_EQ(prepared.card.gridRows, 5);
        const EngineResult result = runPrepared(prepared);
        expectRightPairing(result, rendered, ChartSynth::chartSideLength(EChart::eQCCXRite) * 0.9);
        EXPECT_TRUE(result.orientation == 90 || result.orientation == 270) << result.orientation;
    }
}

TEST(Workflow, ANominalCardIsCalibratedOnThePhotoAsAHostWithItsRegionAndMaskWould) {
    const EChart chart = EChart::eCCTPrint;
    ChartSynth::RenderOptions options =
        ChartSynth::sceneOptions(chart, ChartSynth::Encoding::eSrgb, 3, 2000000);
    options.supersample = 2;
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    const CalibrationRequest request = requestFor(options, rendered);
    const PreparedCalibration located = prepareCalibration(request, locateCard);
    ASSERT_TRUE(located.ready);
    EXPECT_EQ(located.rectification, nullptr);
    EXPECT_TRUE(located.card.nominal);
    // The engine runs on the photo itself.
    EXPECT_EQ(located.input.photo.size(), rendered.photo.size());
    const EngineResult mine = runPrepared(located);
    ASSERT_TRUE(mine.ok) << mine.error;

    CalibrationRequest host = request;
    host.roi = located.card.roi;
    host.support = located.card.support;
    const PreparedCalibration given = prepareCalibration(host, locateCard);
    EXPECT_FALSE(given.card.searched);
    const EngineResult theirs = runPrepared(given);
    ASSERT_TRUE(theirs.ok);
    EXPECT_EQ(mine.matrix, theirs.matrix);
    EXPECT_EQ(mine.centers, theirs.centers);
    // The same white over the card (outside it the one is held within its
    // range on the ground, the other outside the given region only).
    cv::Mat card = cv::Mat::zeros(rendered.photo.size(), CV_8U);
    std::vector<cv::Point> outline;
    for (const cv::Point2d& c : located.card.corners) outline.emplace_back(c);
    cv::fillConvexPoly(card, outline, cv::Scalar(255));
    EXPECT_EQ(cv::norm(mine.whiteImage, theirs.whiteImage, cv::NORM_INF, card), 0.0);
    expectWhiteEverywhere(mine.whiteImage, rendered.photo.size());
}

TEST(Workflow, ARegionWithoutAMaskTakesTheCardsGroundAndASupportWithTheSceneIsRefused) {
    const EChart chart = EChart::eQCCPrint;
    ChartSynth::RenderOptions options =
        ChartSynth::realisticOptions(chart, ChartSynth::Encoding::eSrgb, 5);
    options.rotationDeg = 9.0;  // the box around a turned card holds the table
    options.supersample = 2;
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    CalibrationRequest request = requestFor(options, rendered);
    const EngineResult without = runPrepared(prepareCalibration(request, locateCard));
    ASSERT_TRUE(without.ok) << without.error;

    // The region a host would draw, no mask: the card is located inside it,
    // the calibration as good as without a region.
    request.roi = rendered.hostRegion;
    const PreparedCalibration region = prepareCalibration(request, locateCard);
    EXPECT_TRUE(region.card.searched);
    const EngineResult inRegion = runPrepared(region);
    ASSERT_TRUE(inRegion.ok) << inRegion.error;
    for (std::size_t k = 0; k < 12; ++k) EXPECT_NEAR(inRegion.matrix[k], without.matrix[k], 1e-3);

    // The same region with a mask that frees all of it, scene and table
    // included: the white field cannot fit that, and the run says so.
    request.support = cv::Mat(rendered.photo.size(), CV_8U, cv::Scalar(255));
    request.support(rendered.hostRegion).setTo(0);
    const EngineResult scene = runPrepared(prepareCalibration(request, locateCard));
    EXPECT_FALSE(scene.ok);
    EXPECT_NE(scene.error.find("white estimation failed"), std::string::npos) << scene.error;
    EXPECT_NE(scene.error.find("support"), std::string::npos);
}

}  // namespace
