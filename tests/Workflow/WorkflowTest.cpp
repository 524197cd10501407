// The library's calibration of a photo (`calibratePhoto`): the card located (in
// the photo or in a given region), a hand-held card calibrated in its
// rectified frame and its results brought back onto the photo, a nominal card
// calibrated on the photo exactly as a host with its region and mask would,
// and a support that holds more than the card's ground refused.
#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"
#include "DataLayer/ShadeAnalysis/Workflow/ChartRun.h"
#include "DataLayer/ShadeAnalysis/Workflow/PhotoPreparation.h"
#include "common/ChartPhotos.h"
#include "synth/HandheldSet.h"
#include "synth/RealisticSet.h"
#include "synth/SyntheticChart.h"

namespace {

using ChartSynth::EChart;
using DataLayer::calibratePhoto;
using DataLayer::PhotoCalibrationRequest;
using DataLayer::PhotoCalibrationResult;
using Encoding = DataLayer::Color::Encoding;

PhotoCalibrationRequest requestFor(const ChartSynth::RenderOptions& options,
                                   const ChartSynth::RenderedChart& rendered) {
    PhotoCalibrationRequest request;
    request.chart = options.chart;
    request.photo = rendered.photo;
    request.sourceDepth = CV_8U;
    request.encoding = Encoding::eSrgb;
    for (std::size_t k = 0; k < 20; ++k) {
        for (std::size_t c = 0; c < 3; ++c)
            request.referencesRgb[k][c] = options.referenceRgb[k][c];
    }
    if (options.chart == EChart::eCCTXRite || options.chart == EChart::eQCCXRite) {
        request.externalWhite = rendered.whiteField;
    }
    return request;
}

/// Every reported patch lies on the true centre of its reference colour.
void expectRightPairing(const PhotoCalibrationResult& result,
                        const ChartSynth::RenderedChart& truth, double side) {
    ASSERT_TRUE(result.ok()) << result.error;
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

/// A hand-held card in a photo of 1600 x 1200, its centre left of the middle.
ChartSynth::RenderOptions handheld(EChart chart, double scale, double tilt, double turn,
                                   std::uint64_t seed) {
    return TestPhotos::handheld(chart, scale, tilt, turn, {1600, 1200}, seed, 60.0, 1.1,
                                {780, 610});
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
        const PhotoCalibrationResult result = calibratePhoto(requestFor(options, rendered));
        // Not nominal: calibrated in the card's rectified frame.
        EXPECT_TRUE(result.card.found);
        EXPECT_FALSE(result.card.nominal);
        expectRightPairing(result, rendered, ChartSynth::chartSideLength(c.chart) * c.scale);
        expectWhiteEverywhere(result.whiteImage, rendered.photo.size());
        // The labels cover the reported region of the photo.
        EXPECT_EQ(result.labels.size(), result.photoRoi.size());
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
    PhotoCalibrationRequest request = requestFor(photo.options, rendered);
    request.sourceDepth = CV_32F;
    request.encoding = Encoding::eLinear;
    const DataLayer::PreparedPhoto prepared =
        DataLayer::preparePhoto(request, DataLayer::locateCard);
    ASSERT_TRUE(prepared.ready);
    ASSERT_NE(prepared.rectification, nullptr);
    const PhotoCalibrationResult first = DataLayer::runChart(prepared.input);
    ASSERT_FALSE(first.ok()) << "the case no longer needs the second segmentation";
    EXPECT_EQ(first.failure.code, DataLayer::CalibrationFailure::eChartNotFound);
    EXPECT_EQ(first.error.rfind("segmentation failed", 0), 0u) << first.error;
    const PhotoCalibrationResult result = calibratePhoto(request);
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
        const PhotoCalibrationResult result = calibratePhoto(requestFor(options, rendered));
        EXPECT_EQ(result.card.gridRows, 5);
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
    const PhotoCalibrationRequest request = requestFor(options, rendered);
    const PhotoCalibrationResult mine = calibratePhoto(request);
    ASSERT_TRUE(mine.ok()) << mine.error;
    // The stages run on the photo itself.
    EXPECT_TRUE(mine.card.nominal);
    EXPECT_EQ(mine.photoRoi, mine.card.roi);

    PhotoCalibrationRequest host = request;
    host.roi = mine.card.roi;
    host.support = mine.card.support;
    const PhotoCalibrationResult theirs = calibratePhoto(host);
    EXPECT_FALSE(theirs.card.searched);
    ASSERT_TRUE(theirs.ok());
    EXPECT_EQ(mine.matrix, theirs.matrix);
    EXPECT_EQ(mine.centers, theirs.centers);
    // The same white over the card (outside it the one is held within its
    // range on the ground, the other outside the given region only).
    cv::Mat card = cv::Mat::zeros(rendered.photo.size(), CV_8U);
    std::vector<cv::Point> outline;
    for (const cv::Point2d& c : mine.card.corners) outline.emplace_back(c);
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
    PhotoCalibrationRequest request = requestFor(options, rendered);
    const PhotoCalibrationResult without = calibratePhoto(request);
    ASSERT_TRUE(without.ok()) << without.error;

    // The region a host would draw, no mask: the card is located inside it,
    // the calibration as good as without a region.
    request.roi = rendered.hostRegion;
    const PhotoCalibrationResult inRegion = calibratePhoto(request);
    EXPECT_TRUE(inRegion.card.searched);
    ASSERT_TRUE(inRegion.ok()) << inRegion.error;
    for (std::size_t k = 0; k < 12; ++k) EXPECT_NEAR(inRegion.matrix[k], without.matrix[k], 1e-3);

    // The same region with a mask that frees all of it, scene and table
    // included: the white field cannot fit that, and the run says so.
    request.support = cv::Mat(rendered.photo.size(), CV_8U, cv::Scalar(255));
    request.support(rendered.hostRegion).setTo(0);
    const PhotoCalibrationResult scene = calibratePhoto(request);
    EXPECT_EQ(scene.failure.code, DataLayer::CalibrationFailure::eWhiteSupportTooWide);
    EXPECT_NE(scene.error.find("white estimation failed"), std::string::npos) << scene.error;
    EXPECT_NE(scene.error.find("support"), std::string::npos);
}

}  // namespace
