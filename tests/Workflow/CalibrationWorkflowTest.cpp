// What `calibratePhoto` promises on a small rendered photo: the matrix and
// diagnostics of the engine's own run on the same region and support, a
// failure with its code and reason (logged as the engine logs it), and a
// result that does not depend on what ran before.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"
#include "ShadeAnalysis/EngineTestSupport.h"

namespace {

using namespace EngineTest;
using DataLayer::CalibrationFailure;
using DataLayer::CColorCalibration;
using DataLayer::PhotoCalibrationRequest;
using DataLayer::PhotoCalibrationResult;

/// The request of a host that gives the chart's region and support: the
/// rendered photo's values as they are (no encoding), the card's box usable.
PhotoCalibrationRequest hostRequest(const ChartSynth::RenderedChart& r) {
    PhotoCalibrationRequest request;
    request.chart = EChart::eCCTPrint;
    request.photo = r.photo;
    request.sourceDepth = CV_32F;
    request.encoding = DataLayer::Color::Encoding::eNone;
    request.roi = r.chartRegion;
    request.support = cv::Mat(r.photo.size(), CV_8UC1, cv::Scalar(255));
    request.support(r.chartRegion).setTo(0);
    request.referencesRgb = ChartSynth::defaultReferenceColors();
    return request;
}

std::vector<std::string> stageNames(const PhotoCalibrationResult& result) {
    std::vector<std::string> names;
    for (const auto& timing : result.timingsMs) names.push_back(timing.first);
    return names;
}

TEST(CalibratePhoto, GivesTheEnginesMatrixWhiteAndColoursWithItsDiagnostics) {
    const ChartSynth::RenderedChart& r = photo(EChart::eCCTPrint);
    const PhotoCalibrationResult result = DataLayer::calibratePhoto(hostRequest(r));
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_TRUE(result.error.empty());

    // The engine's entry points on the same photo, region and support.
    CColorCalibration engine(EChart::eCCTPrint);
    setPhoto(engine, r);
    float picked[3] = {};
    ASSERT_TRUE(engine.precomputeSegmentation(picked));
    CbArray<float> white;
    ASSERT_TRUE(engine.precomputeInpainting(white));
    CColorCalibration::NxCColCalibMatrix matrix;
    std::vector<std::vector<float>> measured;
    std::vector<float> pickedWhite;
    ASSERT_TRUE(engine.startColorCalibration(white, matrix, &measured, &pickedWhite));

    for (std::size_t k = 0; k < 12; ++k) EXPECT_EQ(result.matrix[k], matrix.m[k]) << k;
    for (std::size_t p = 0; p < 20; ++p) {
        for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(result.measuredRgb[p][c], measured[p][c]);
    }
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(result.pickedWhiteBgr[c], engine.GetPickedWhite()[c]);
        EXPECT_EQ(result.realWhiteBgr[c], engine.GetRealWhite()[c]);
    }
    // The same white over the region (outside it the workflow holds the
    // extrapolation within the ground's range).
    ASSERT_EQ(result.whiteImage.size(), r.photo.size());
    EXPECT_EQ(cv::norm(result.whiteImage(r.chartRegion), engine.GetWhiteImage()(r.chartRegion),
                       cv::NORM_INF),
              0.0);
    ASSERT_EQ(result.centers.size(), 20u);
    EXPECT_EQ(result.centers[0], cv::Point2d(engine.GetSegmentSeeds()[0][0] + r.chartRegion.x,
                                             engine.GetSegmentSeeds()[0][1] + r.chartRegion.y));
    EXPECT_EQ(result.referenceIndex, engine.GetSeedReferencePositions());
    EXPECT_EQ(result.orientation, engine.GetChartOrientation());

    // Diagnostics: no card looked for, the region as given, every stage timed.
    EXPECT_FALSE(result.card.searched);
    EXPECT_EQ(result.photoRoi, r.chartRegion);
    EXPECT_EQ(result.labels.size(), r.chartRegion.size());
    EXPECT_TRUE(result.segmentation.gridFound);
    EXPECT_TRUE(result.segmentation.reason.empty());
    EXPECT_TRUE(result.whiteEstimate.available);
    EXPECT_FALSE(result.whiteEstimate.method.empty());
    EXPECT_EQ(stageNames(result),
              (std::vector<std::string>{"segmentation", "white_estimation", "calibration"}));
}

TEST(CalibratePhoto, FailsWithACodeAndAReasonAndKeepsNoStateBetweenCalls) {
    const ChartSynth::RenderedChart& r = photo(EChart::eCCTPrint);
    const PhotoCalibrationRequest request = hostRequest(r);
    const PhotoCalibrationResult first = DataLayer::calibratePhoto(request);
    ASSERT_TRUE(first.ok()) << first.error;

    // References in another order: no pairing of the patches explains them.
    PhotoCalibrationRequest shuffled = request;
    for (std::size_t k = 0; k + 1 < 20; k += 3) {
        std::swap(shuffled.referencesRgb[k], shuffled.referencesRgb[k + 1]);
    }
    LogCapture log;
    const PhotoCalibrationResult wrong = DataLayer::calibratePhoto(shuffled);
    EXPECT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.failure.code, CalibrationFailure::eResidualTooLarge);
    EXPECT_FALSE(wrong.failure.message.empty());
    EXPECT_EQ(wrong.error.rfind("calibration failed: ", 0), 0u) << wrong.error;
    EXPECT_NE(wrong.error.find("Hint: the reference colours may be in another order"),
              std::string::npos);
    ASSERT_EQ(log.records.size(), 1u);
    EXPECT_EQ(log.records[0].line, DataLayer::reportedLine(CalibrationFailure::eResidualTooLarge));
    EXPECT_EQ(log.records[0].message, wrong.failure.message);

    // No card in a blank photo: found nowhere, and said so.
    PhotoCalibrationRequest blank = request;
    blank.photo = cv::Mat(r.photo.size(), CV_32FC3, cv::Scalar::all(90.0));
    blank.roi.reset();
    blank.support.release();
    const PhotoCalibrationResult none = DataLayer::calibratePhoto(blank);
    EXPECT_EQ(none.failure.code, CalibrationFailure::eNoCardFound);
    EXPECT_TRUE(none.card.searched);
    EXPECT_EQ(stageNames(none), std::vector<std::string>{"locate_card"});

    // After the failures, the same request gives the same result, bit for bit.
    const PhotoCalibrationResult again = DataLayer::calibratePhoto(request);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.matrix, first.matrix);
    EXPECT_EQ(again.measuredRgb, first.measuredRgb);
    EXPECT_EQ(again.realWhiteBgr, first.realWhiteBgr);
    EXPECT_EQ(again.centers, first.centers);
    EXPECT_EQ(cv::norm(again.whiteImage, first.whiteImage, cv::NORM_INF), 0.0);
}

// Requests no stage can work on fail before any stage runs, with the code of
// what is wrong and the caller's values in the text; none throws, and none
// reaches OpenCV with a region or mask it would refuse.
TEST(CalibratePhoto, RefusesAMalformedRequestWithWhatIsWrong) {
    const ChartSynth::RenderedChart& r = photo(EChart::eCCTPrint);
    const PhotoCalibrationRequest request = hostRequest(r);
    const std::string photoSize =
        std::to_string(r.photo.cols) + " x " + std::to_string(r.photo.rows);
    const auto refused = [](const PhotoCalibrationRequest& bad, CalibrationFailure code,
                            const std::string& text) {
        const PhotoCalibrationResult result = DataLayer::calibratePhoto(bad);
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(result.failure.code, code) << result.error;
        EXPECT_EQ(result.error.rfind(text, 0), 0u) << result.error;
        EXPECT_TRUE(result.timingsMs.empty());
        EXPECT_FALSE(result.card.searched);
    };
    for (const cv::Rect roi :
         {cv::Rect(-5, -5, 0, 0), cv::Rect(0, 0, 0, 10), cv::Rect(r.photo.cols - 10, 0, 20, 20),
          cv::Rect(0, -1, 20, 20), cv::Rect(INT_MAX - 5, 0, 10, 10)}) {
        PhotoCalibrationRequest bad = request;
        bad.roi = roi;
        refused(bad, CalibrationFailure::eCardRegionOutsidePhoto,
                "the region (" + std::to_string(roi.x) + ", " + std::to_string(roi.y) + ") " +
                    std::to_string(roi.width) + " x " + std::to_string(roi.height) +
                    " is not inside the photo of " + photoSize);
        bad.support.release();  // a region to search for the card
        refused(bad, CalibrationFailure::eCardRegionOutsidePhoto, "the region (");
    }
    PhotoCalibrationRequest bad = request;
    bad.support = cv::Mat::zeros(10, 10, CV_8UC1);
    refused(bad, CalibrationFailure::eInvalidImageArguments,
            "the support mask is 10 x 10 and must");
    bad.support = cv::Mat::zeros(r.photo.size(), CV_32FC1);
    refused(bad, CalibrationFailure::eInvalidImageArguments, "the support mask is " + photoSize);

    bad = request;
    bad.externalWhite = cv::Mat(5, 5, CV_32FC3, cv::Scalar::all(200.0));
    refused(bad, CalibrationFailure::eExternalWhiteUnusable, "the external white is 5 x 5");

    bad = request;
    bad.chart = static_cast<EChart>(99);
    refused(bad, CalibrationFailure::eMissingParameterSet, "unknown chart type 99");
    bad.chart = static_cast<EChart>(-1);
    refused(bad, CalibrationFailure::eMissingParameterSet, "unknown chart type -1");

    bad = request;
    bad.photo = cv::Mat(r.photo.size(), CV_32FC1, cv::Scalar(100.0));
    refused(bad, CalibrationFailure::eInvalidImageArguments, "the photo is empty or not");
    bad.photo.release();
    refused(bad, CalibrationFailure::eInvalidImageArguments, "the photo is empty or not");
}

}  // namespace
