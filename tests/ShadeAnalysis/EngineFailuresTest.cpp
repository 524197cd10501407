#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "Base/StringConversion.h"
#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"
#include "ShadeAnalysis/EngineTestSupport.h"

// How the engine fails: every failure logged once with its own source line,
// kept for the caller, and no matrix; what lets the run go on says so.

using DataLayer::CalibrationFailure;
using DataLayer::CColorCalibration;
using DataLayer::reportedLine;
using namespace EngineTest;

namespace {

// The error line carrying `message`, from the pipeline at source line `line` (-1: any).
void expectLogged(const LogCapture& log, const std::wstring& message, int line) {
    const auto it = std::find_if(log.records.begin(), log.records.end(),
                                 [&](const Logging::LogRecord& r) { return r.message == message; });
    ASSERT_NE(it, log.records.end()) << "not logged";
    if (line >= 0) {
        EXPECT_EQ(it->line, line);
    }
    EXPECT_EQ(it->file, "DataLayer/ShadeAnalysis/CColorCalibration");
    EXPECT_EQ(it->function, "DataLayer::CColorCalibration::startColorCalibration");
    EXPECT_EQ(it->logger, L"ORV2.CColorCalibration");
    EXPECT_EQ(it->level, Logging::eError);
}

// The colour index table that pairs an upright chart's patches as a chart
// turned by `degrees` (a quarter turn) would be paired.
std::vector<int> turnedPairing(EChart chart, double degrees) {
    ChartSynth::RenderOptions options;
    options.chart = chart;
    options.rotationDeg = degrees;
    options.supersample = 1;
    const ChartSynth::RenderedChart turned = ChartSynth::renderChart(options);
    const std::array<int, 20> lut = ChartSynth::chartColorIndexLut(chart);
    std::vector<int> pairing(20);
    for (std::size_t i = 0; i < 20; ++i) {
        // Found patch i of the upright chart shows reference lut[i]; turned, that
        // patch is found at j and takes the table's entry j.
        const auto j =
            std::find(turned.referenceIndex.begin(), turned.referenceIndex.end(), lut[i]);
        pairing[i] = lut[static_cast<std::size_t>(j - turned.referenceIndex.begin())];
    }
    return pairing;
}

}  // namespace

TEST(CalibrationFailureTable, EveryFailureHasItsOwnLineAndTheResidualRuleAHint) {
    // A failure added without its row in the table would be logged at line 0.
    std::vector<int> lines;
    for (int c = static_cast<int>(CalibrationFailure::eRegionOutsideWhite);
         c <= static_cast<int>(CalibrationFailure::eExternalWhiteUnusable); ++c) {
        const auto code = static_cast<CalibrationFailure>(c);
        const DataLayer::FailureReport& report = DataLayer::failureReport(code);
        EXPECT_EQ(report.code, code) << c;
        EXPECT_GT(report.line, 0) << c;
        lines.push_back(report.line);
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end());
    EXPECT_EQ(reportedLine(CalibrationFailure::eNone), 0);
    // Only an unusable external white lets the run go on.
    EXPECT_FALSE(DataLayer::failureReport(CalibrationFailure::eExternalWhiteUnusable).stopsTheRun);
    EXPECT_TRUE(DataLayer::failureReport(CalibrationFailure::eTooFewSeeds).stopsTheRun);
    EXPECT_NE(std::string(DataLayer::failureReport(CalibrationFailure::eResidualTooLarge).hint)
                  .find("another order"),
              std::string::npos);
}

// A calibrated engine whose set-up each case breaks: every broken set-up
// fails with its own logged error and leaves no matrix, then the set-up is
// restored and calibrates again.
class EngineSetUpFailures : public testing::Test {
  protected:
    void SetUp() override {
        engine_ = std::make_unique<CColorCalibration>(set_);
        setPhoto(*engine_, r_);
        Matrix matrix;
        ASSERT_TRUE(engine_->startColorCalibration(whiteOut_, matrix, nullptr, nullptr));
        lut_ = set_->lut;
        input_ = engine_->GetInputImage().clone();
        references_ = engine_->GetReferenceColors();
        realWhite_ = engine_->GetRealWhite();
    }

    void TearDown() override {
        // The set-up restored calibrates again.
        Matrix matrix = sentinelMatrix();
        EXPECT_TRUE(engine_->startColorCalibration(whiteOut_, matrix, nullptr, nullptr));
        EXPECT_EQ(engine_->GetSeedReferencePositions(), lut_);
        EXPECT_EQ(engine_->GetChartOrientation(), 0);
    }

    void setInput(cv::Mat image, CRect roi) {
        engine_->SetInputImage(image.ptr<float>(), roi, full_.ptr<float>(), full_.cols, full_.rows);
    }
    void setReferences(const std::vector<float>& rgb) {
        engine_->SetReferenceColorsRGB(rgb.data());
    }

    // Runs the pipeline on the broken set-up, then restores it.
    void expectFailure(const wchar_t* what, CalibrationFailure code) {
        const int line = reportedLine(code);
        LogCapture log;
        Matrix m = sentinelMatrix();
        EXPECT_FALSE(engine_->startColorCalibration(whiteOut_, m, nullptr, nullptr)) << line;
        ASSERT_EQ(log.records.size(), 1u) << line;
        EXPECT_NE(log.records[0].message.find(what), std::wstring::npos)
            << std::string(log.records[0].message.begin(), log.records[0].message.end());
        EXPECT_EQ(log.records[0].line, line);
        // The engine keeps the failure as it logged it.
        EXPECT_EQ(engine_->GetCalibrationFailure().code, code);
        EXPECT_EQ(engine_->GetCalibrationFailure().message, log.records[0].message);
        EXPECT_EQ(engine_->GetCalibrationError(), Base::WideToNarrow(log.records[0].message));
        EXPECT_TRUE(isSentinel(m));
        EXPECT_TRUE(engine_->GetSeedReferencePositions().empty());
        EXPECT_EQ(engine_->GetChartOrientation(), -1);
        set_->lut = lut_;
        setInput(input_.clone(), toCRect(r_.chartRegion));
        std::vector<float> rgb;
        for (const auto& bgr : references_.colors) rgb.insert(rgb.end(), bgr.rbegin(), bgr.rend());
        setReferences(rgb);
        const float white[3] = {static_cast<float>(realWhite_[0]),
                                static_cast<float>(realWhite_[1]),
                                static_cast<float>(realWhite_[2])};
        engine_->setRealWhite(white);
    }

    const ChartSynth::RenderedChart& r_ = photo(EChart::eCCTPrint);
    std::shared_ptr<TestParameterSet> set_ = std::make_shared<TestParameterSet>(EChart::eCCTPrint);
    std::unique_ptr<CColorCalibration> engine_;
    CbArray<float> whiteOut_;
    std::vector<int> lut_;
    cv::Mat input_;
    cv::Mat full_ = r_.photo.clone();
    CColorCalibration::NxCColCalibReferenceColorsList references_;
    cv::Scalar realWhite_;
    const std::wstring missed_ = L"the corrected colours miss the references";
};

TEST_F(EngineSetUpFailures, ReferenceColoursNeverSetOrAllTheSame) {
    setReferences(std::vector<float>(60, 0.0f));
    expectFailure(L"reference colours are not set", CalibrationFailure::eReferencesNotSet);
    setReferences(std::vector<float>(60, 90.0f));
    expectFailure(L"all 20 reference colours are equal", CalibrationFailure::eReferencesEqual);
}

TEST_F(EngineSetUpFailures, ColourIndexTablesOutsideTheReferencesOrRepeating) {
    set_->lut[7] = 20;
    expectFailure(L"colour index 20 of patch 7", CalibrationFailure::eColorIndex);
    set_->lut[7] = -1;
    expectFailure(L"colour index -1 of patch 7", CalibrationFailure::eColorIndex);
    set_->lut.resize(12);
    expectFailure(L"of patch 12", CalibrationFailure::eColorIndex);
    set_->lut[7] = set_->lut[3];
    expectFailure(L"colour index 3 of patch 7 repeats that of patch 3",
                  CalibrationFailure::ePositionRepeated);
}

TEST_F(EngineSetUpFailures, WrongPairingsFitBadlyWhicheverWayRound) {
    // Shifted by one, permuted, as a chart turned by 90 degrees would be
    // paired; and a real white so small that the corrected colours carry nothing.
    std::rotate(set_->lut.begin(), set_->lut.begin() + 1, set_->lut.end());
    expectFailure(missed_.c_str(), CalibrationFailure::eResidualTooLarge);
    std::shuffle(set_->lut.begin(), set_->lut.end(), std::mt19937(7));
    expectFailure(missed_.c_str(), CalibrationFailure::eResidualTooLarge);
    for (const double degrees : {90.0, 270.0}) {
        set_->lut = turnedPairing(EChart::eCCTPrint, degrees);
        expectFailure(missed_.c_str(), CalibrationFailure::eResidualTooLarge);
    }
    const float tiny[3] = {1e-30f, 1e-30f, 1e-30f};
    engine_->setRealWhite(tiny);
    expectFailure(missed_.c_str(), CalibrationFailure::eResidualTooLarge);
}

TEST_F(EngineSetUpFailures, InputImagesPastTheWhiteOrOfAnotherSizeThanTheLabels) {
    setInput(input_.clone(), CRect(full_.cols - input_.cols + 3, 0, full_.cols + 3, input_.rows));
    expectFailure(L"does not lie inside the white image", CalibrationFailure::eRegionOutsideWhite);
    setInput(input_.clone(), CRect(-1, 5, input_.cols - 1, input_.rows + 5));
    expectFailure(L"does not lie inside the white image", CalibrationFailure::eRegionOutsideWhite);
    setInput(input_(cv::Rect(0, 0, input_.cols - 1, input_.rows)).clone(),
             CRect(0, 0, input_.cols - 1, input_.rows));
    expectFailure(L"label image", CalibrationFailure::eLabelSize);
}

TEST_F(EngineSetUpFailures, PatchesNotANumberOrInfinite) {
    const std::array<int, 2> seed = engine_->GetSegmentSeeds()[4];
    for (float bad :
         {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()}) {
        cv::Mat spoilt = input_.clone();
        cv::circle(spoilt, cv::Point(seed[0], seed[1]), 12, cv::Scalar::all(bad), cv::FILLED);
        setInput(spoilt, toCRect(r_.chartRegion));
        expectFailure(L"not finite", CalibrationFailure::eInputNotFinite);
    }
}

TEST(EnginePipeline, FailedInpaintingIsLoggedAndLeavesTheMatrixAndEmptiesLabelsAndWhite) {
    CColorCalibration engine(EChart::eCCTXRite);
    setPhoto(engine, photo(EChart::eCCTXRite));
    // No usable white ground: step 1 fails before the external white is looked at.
    engine.SetColorImageRoi(nullptr);
    engine.SetExternalWhiteImg(floatHostImage(photo(EChart::eCCTXRite).whiteField));
    LogCapture log;
    CbArray<float> whiteOut;
    Matrix matrix = sentinelMatrix();
    EXPECT_FALSE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
    expectLogged(log, L"precomputeInpainting failed",
                 reportedLine(CalibrationFailure::eWhiteEstimateFailed));
    EXPECT_EQ(log.records.size(), 1u);
    // The reason is kept for the caller as the log line says it.
    EXPECT_EQ(engine.GetCalibrationError(), "precomputeInpainting failed");
    EXPECT_TRUE(isSentinel(matrix));
    EXPECT_EQ(whiteOut.GetSize(), 0u);
    // The segmentation succeeded and keeps its seeds; labels and white are emptied.
    EXPECT_EQ(engine.GetSegmentSeeds().size(), 20u);
    EXPECT_TRUE(engine.GetSegmentLabels().empty());
    EXPECT_TRUE(engine.GetWhiteImage().empty());
    double c[3] = {7.0, 7.0, 7.0};
    engine.GetMeanColorInpainting(0, 0, 5, 5, c[0], c[1], c[2]);
    EXPECT_EQ(cv::Vec3d(c[0], c[1], c[2]), cv::Vec3d(0, 0, 0));
}

TEST(EnginePipeline, ExternalWhiteImagesAreCheckedForPresenceAndShape) {
    const ChartSynth::RenderedChart& r = photo(EChart::eCCTXRite);
    CColorCalibration engine(EChart::eCCTXRite);
    setPhoto(engine, r);
    CbArray<float> whiteOut;
    {  // Requested but missing: the run stops after computing the white image.
        LogCapture log;
        Matrix matrix = sentinelMatrix();
        EXPECT_FALSE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
        expectLogged(log, L"missing external white image",
                     reportedLine(CalibrationFailure::eMissingExternalWhite));
        EXPECT_EQ(engine.GetCalibrationError(), "missing external white image");
        EXPECT_EQ(engine.GetCalibrationFailure().code, CalibrationFailure::eMissingExternalWhite);
        EXPECT_TRUE(isSentinel(matrix));
        EXPECT_EQ(whiteOut.GetSize(), static_cast<std::size_t>(r.photo.total() * 3));
        ASSERT_FALSE(engine.GetWhiteImage().empty());
    }
    const cv::Mat inpainted = engine.GetWhiteImage().clone();
    // The host's array shares the engine's white without a copy.
    EXPECT_EQ(std::as_const(whiteOut).GetData(), engine.GetWhiteImage().ptr<float>());

    // Host images that cannot serve as the white: logged, the run goes on
    // with the inpainted white.
    struct Unusable {
        std::shared_ptr<Base::IImageData2D> image;
        std::wstring message;
        int line;
    };
    const std::wstring invalid = L"invalid size of external white image";
    const int invalidLine = reportedLine(CalibrationFailure::eExternalWhiteUnusable);
    const Unusable unusable[] = {
        {std::make_shared<Base::CImageData2D>(r.photo.cols, r.photo.rows, 1), invalid, invalidLine},
        {floatHostImage(r.whiteField.t()), invalid, invalidLine},
        {floatHostImage(r.whiteField.clone().reshape(3, r.whiteField.rows / 2)), invalid,
         invalidLine},
        {std::make_shared<Base::CImageData2D>(r.photo.cols, r.photo.rows, 4), invalid, invalidLine},
        // The right shape without pixel data is not read.
        {std::make_shared<NoPixelsImage>(r.photo.cols, r.photo.rows, 12),
         L"external white image has no pixel data",
         reportedLine(CalibrationFailure::eExternalWhiteWithoutPixels)},
    };
    for (const Unusable& u : unusable) {
        engine.SetExternalWhiteImg(u.image);
        LogCapture log;
        Matrix matrix = sentinelMatrix();
        EXPECT_TRUE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
        EXPECT_EQ(log.records.size(), 1u);
        expectLogged(log, u.message, u.line);
        // Reported, but the run goes on: no failure is kept.
        EXPECT_FALSE(engine.GetCalibrationFailure().failed());
        EXPECT_FALSE(isSentinel(matrix));
        EXPECT_EQ(cv::norm(engine.GetWhiteImage(), inpainted, cv::NORM_INF), 0.0);
    }

    // A usable white is taken as it is; 8-bit whites are converted without scaling.
    cv::Mat flat8(r.photo.size(), CV_8UC3, cv::Scalar(201, 202, 203));
    engine.SetExternalWhiteImg(
        std::make_shared<Base::CImageData2D>(flat8.cols, flat8.rows, 3, flat8.data));
    Matrix matrix;
    ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
    EXPECT_TRUE(engine.GetCalibrationError().empty());
    const cv::Mat expected(r.photo.size(), CV_32FC3, cv::Scalar(201, 202, 203));
    EXPECT_EQ(cv::norm(engine.GetWhiteImage(), expected, cv::NORM_INF), 0.0);
    // The host's array still holds the estimated white it was given.
    const cv::Mat hostWhite(r.photo.size(), CV_32FC3,
                            const_cast<float*>(std::as_const(whiteOut).GetData()));
    EXPECT_EQ(cv::norm(hostWhite, inpainted, cv::NORM_INF), 0.0);
}

TEST(EnginePipeline, CallersBuffersAreCheckedBeforeAnyPixelIsRead) {
    // Four pixels stand behind each buffer: a size claiming more than fits the
    // address space, or no pixels at all, is refused before anything is
    // allocated or read, whichever entry point takes it.
    std::vector<float> floats(12, 100.0f);
    std::vector<unsigned char> bytes(12, 100);
    struct Size {
        int rows;
        int cols;
    };
    const Size refused[] = {{INT_MAX, INT_MAX}, {INT_MAX, INT_MAX / 4}, {0, 4}, {4, -1}};
    CColorCalibration engine(EChart::eCCTPrint);
    CbArray<float> whiteOut;
    const auto expectRefused = [&](bool ran, const std::string& message) {
        EXPECT_FALSE(ran) << message;
        EXPECT_EQ(engine.GetCalibrationFailure().code, CalibrationFailure::eInvalidImageArguments);
        // Each refusal keeps its own reason, not the one before.
        EXPECT_EQ(engine.GetCalibrationError(), message);
    };
    for (const Size& s : refused) {
        LogCapture log;
        Matrix matrix = sentinelMatrix();
        expectRefused(engine.startColorCalibration(floats.data(), s.rows, s.cols, whiteOut, matrix,
                                                   nullptr, nullptr),
                      "no image data or invalid image size " + std::to_string(s.cols) + " x " +
                          std::to_string(s.rows));
        ASSERT_EQ(log.records.size(), 1u);
        EXPECT_EQ(log.records[0].line, reportedLine(CalibrationFailure::eInvalidImageArguments));
        EXPECT_TRUE(isSentinel(matrix));
    }
    {
        LogCapture log;
        Matrix matrix = sentinelMatrix();
        expectRefused(engine.startColorCalibration(static_cast<const unsigned char*>(nullptr), 2, 2,
                                                   whiteOut, matrix, nullptr, nullptr),
                      "no image data or invalid image size 2 x 2");
        // A region whose sides do not fit an int.
        CRect huge(INT_MIN, 0, INT_MAX, 2);
        expectRefused(engine.startColorCalibration(bytes.data(), huge, bytes.data(), 2, 2, whiteOut,
                                                   matrix, nullptr, nullptr),
                      "no image data or invalid image size: region (" + std::to_string(INT_MIN) +
                          ", 0, " + std::to_string(INT_MAX) + ", 2), full image 2 x 2");
        EXPECT_TRUE(isSentinel(matrix));
    }

    // The segmentation entry points say why in their diagnostics.
    float white[3] = {1.0f, 2.0f, 3.0f};
    for (const Size& s : refused) {
        EXPECT_FALSE(engine.precomputeSegmentation(bytes.data(), s.rows, s.cols, white));
        const std::string& reason = engine.GetSegmentationDiagnostics().reason;
        EXPECT_NE(reason.find(s.rows > 0 && s.cols > 0 ? "does not fit the address space"
                                                       : "not positive"),
                  std::string::npos)
            << reason;
        EXPECT_FALSE(engine.precomputeSegmentation(floats.data(), s.rows, s.cols, white));
        EXPECT_FALSE(engine.updateSegmentation(floats.data(), s.rows, s.cols, white));
        EXPECT_FALSE(engine.updateSegmentation(bytes.data(), s.rows, s.cols, white));
    }
    EXPECT_FALSE(engine.precomputeSegmentation(static_cast<float*>(nullptr), 2, 2, white));
    EXPECT_FALSE(
        engine.updateSegmentation(static_cast<const unsigned char*>(nullptr), 2, 2, white));
    EXPECT_FALSE(engine.updateSegmentation(static_cast<const float*>(nullptr), 2, 2, white));
    EXPECT_EQ(engine.GetSegmentationDiagnostics().reason,
              "the image was not taken: no image data (2 x 2)");
    EXPECT_EQ(cv::Vec3f(white[0], white[1], white[2]), cv::Vec3f(1.0f, 2.0f, 3.0f));
    EXPECT_TRUE(engine.GetInputImage().empty());
}
