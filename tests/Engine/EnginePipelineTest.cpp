#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "Base/StringConversion.h"
#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"
#include "Engine/EngineTestSupport.h"

using DataLayer::CalibrationFailure;
using DataLayer::CalibrationWarning;
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

// The patch measurement done directly: gain and clip on the whole input
// image, the measuring mask of each seed on the whole label image, and the
// trimmed mean over the values sorted per channel. Colours per reference
// position, (B, G, R).
cv::Mat directMeasurement(const CColorCalibration& engine) {
    const cv::Mat& input = engine.GetInputImage();
    const cv::Mat& labels = engine.GetSegmentLabels();
    const CRect& roi = engine.GetRegionOfInterest();
    const cv::Mat white =
        engine.GetWhiteImage()(cv::Rect(roi.left, roi.top, input.cols, input.rows));
    const cv::Scalar realWhite = engine.GetRealWhite();
    cv::Mat corrected(input.size(), CV_32FC3);
    for (int y = 0; y < input.rows; ++y) {
        for (int x = 0; x < input.cols; ++x) {
            for (int c = 0; c < 3; ++c) {
                const float gain = static_cast<float>(realWhite[c]) / white.at<cv::Vec3f>(y, x)[c];
                corrected.at<cv::Vec3f>(y, x)[c] =
                    std::min(input.at<cv::Vec3f>(y, x)[c] * gain, 255.0f);
            }
        }
    }
    cv::Mat measured = cv::Mat::zeros(20, 1, CV_32FC3);
    const cv::Mat kernel = cv::Mat::ones(5, 5, CV_8U);
    const auto& seeds = engine.GetSegmentSeeds();
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        const int p = engine.GetParameterSet()->GetColorIndexLut()[i];
        const cv::Point seed(seeds[i][0], seeds[i][1]);
        measured.at<cv::Vec3f>(p) = input.at<cv::Vec3f>(seed);
        cv::Mat mask = labels == labels.at<int>(seed);
        cv::morphologyEx(mask, mask, cv::MORPH_OPEN, kernel, cv::Point(-1, -1), 2);
        cv::erode(mask, mask, kernel, cv::Point(-1, -1), 3);
        std::vector<cv::Point> points;
        cv::findNonZero(mask, points);
        if (points.empty()) {
            continue;
        }
        for (int c = 0; c < 3; ++c) {
            std::vector<float> values;
            for (const cv::Point& q : points) {
                values.push_back(corrected.at<cv::Vec3f>(q)[c]);
            }
            std::sort(values.begin(), values.end());
            const float n = static_cast<float>(values.size());
            const std::size_t lo = static_cast<std::size_t>(n * 0.2f);
            const std::size_t hi = std::max(static_cast<std::size_t>(n * 0.8f), lo + 1);
            double sum = 0.0;
            for (std::size_t k = lo; k < hi; ++k) {
                sum += values[k];
            }
            measured.at<cv::Vec3f>(p)[c] = static_cast<float>(sum / static_cast<double>(hi - lo));
        }
    }
    return measured;
}

// The measured colours as returned, (R, G, B) per reference position, back to (B, G, R).
cv::Mat measuredAsBgr(const std::vector<std::vector<float>>& measured) {
    cv::Mat bgr(20, 1, CV_32FC3);
    for (int p = 0; p < 20; ++p) {
        bgr.at<cv::Vec3f>(p) = cv::Vec3f(measured[p][2], measured[p][1], measured[p][0]);
    }
    return bgr;
}

// CIE76 differences between the measured colours carried by `matrix` and the
// (R, G, B) references: mean and worst.
std::pair<double, double> cie76(const std::vector<std::vector<float>>& measured,
                                const Matrix& matrix, std::array<ChartSynth::Rgb, 20> reference) {
    cv::Mat bgr1;
    cv::transform(measuredAsBgr(measured), bgr1, cv::Matx34f(matrix.m));
    cv::Mat bgr2;
    cv::cvtColor(cv::Mat(20, 1, CV_32FC3, reference.data()), bgr2, cv::COLOR_RGB2BGR);
    cv::Mat lab1;
    cv::Mat lab2;
    cv::cvtColor(bgr1 / 255.0, lab1, cv::COLOR_BGR2Lab);
    cv::cvtColor(bgr2 / 255.0, lab2, cv::COLOR_BGR2Lab);
    double sum = 0.0;
    double worst = 0.0;
    for (int p = 0; p < bgr1.rows; ++p) {
        const double e = cv::norm(lab1.row(p), lab2.row(p), cv::NORM_L2);
        sum += e;
        worst = std::max(worst, e);
    }
    return {sum / bgr1.rows, worst};
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

TEST(EnginePipeline, CalibratesRenderedPhotosOfEveryChartType) {
    for (EChart chart : kAllCharts) {
        SCOPED_TRACE(static_cast<int>(chart));
        const ChartSynth::RenderedChart& r = photo(chart);
        CColorCalibration engine(chart);
        setPhoto(engine, r);
        if (engine.GetParameterSet()->IsUseExternalWhiteImg()) {
            engine.SetExternalWhiteImg(floatHostImage(r.whiteField));
        }
        CbArray<float> whiteOut;
        Matrix matrix = sentinelMatrix();
        std::vector<std::vector<float>> measured;
        std::vector<float> picked;
        LogCapture log;
        ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, &measured, &picked));
        EXPECT_TRUE(log.records.empty());
        EXPECT_EQ(whiteOut.GetSize(), static_cast<std::size_t>(r.photo.total() * 3));
        ASSERT_EQ(measured.size(), 20u);
        ASSERT_EQ(picked.size(), 3u);

        // The segmentation: seeds on the patches in row order, the white-area
        // mask 0 exactly on the patches, the white picked on the ground near
        // the chart centre (lit almost fully).
        const auto& seeds = engine.GetSegmentSeeds();
        ASSERT_EQ(seeds.size(), r.centers.size());
        for (std::size_t i = 0; i < seeds.size(); ++i) {
            const cv::Point2d expected = r.centers[i] - cv::Point2d(r.chartRegion.tl());
            EXPECT_LE(cv::norm(cv::Point2d(seeds[i][0], seeds[i][1]) - expected),
                      0.15 * ChartSynth::chartPitch(chart))
                << "seed " << i;
        }
        const cv::Mat patches = engine.GetSegmentLabels() > 1;
        const cv::Mat ground = engine.GetWhiteAreaMask() == 1;
        EXPECT_EQ(cv::countNonZero(patches & ground), 0);
        EXPECT_EQ(cv::countNonZero(patches | ground), r.chartRegion.area());
        for (int c = 0; c < 3; ++c) {
            EXPECT_FLOAT_EQ(picked[c], static_cast<float>(engine.GetPickedWhite()[c]));
            EXPECT_GT(picked[c], 200.0f);
        }

        // The matrix carries the measured colours onto the references.
        const auto [mean, worst] = cie76(measured, matrix, ChartSynth::defaultReferenceColors());
        EXPECT_LE(mean, 2.0);
        EXPECT_LE(worst, 5.0);
        // The measurement equals the direct whole-image computation exactly.
        EXPECT_EQ(cv::norm(measuredAsBgr(measured), directMeasurement(engine), cv::NORM_INF), 0.0);

        // A second run reuses the white image: the output stays as it was, the
        // matrix is the same, and measured vectors of any shape become 20 x 3.
        CbArray<float> untouched(2);
        untouched[0] = 5.0f;
        Matrix again = sentinelMatrix();
        measured.assign(25, std::vector<float>(5, 1.0f));
        ASSERT_TRUE(engine.startColorCalibration(untouched, again, &measured, nullptr));
        EXPECT_EQ(untouched.GetSize(), 2u);
        EXPECT_EQ(untouched[0], 5.0f);
        EXPECT_TRUE(std::equal(std::begin(matrix.m), std::end(matrix.m), std::begin(again.m)));
        ASSERT_EQ(measured.size(), 20u);
        for (const auto& entry : measured) {
            EXPECT_EQ(entry.size(), 3u);
        }
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

TEST(EnginePipeline, ImageTakingOverloadsSetTheImagesAndTheRegion) {
    const ChartSynth::RenderedChart& r = photo(EChart::eCCTPrint);
    CColorCalibration engine(EChart::eCCTPrint);
    CbArray<float> whiteOut;
    Matrix matrix;
    cv::Mat whole = r.photo.clone();
    {
        // Without a support image the run itself fails; only the images matter here.
        LogCapture quiet;
        EXPECT_FALSE(engine.startColorCalibration(whole.ptr<float>(), whole.rows, whole.cols,
                                                  whiteOut, matrix, nullptr, nullptr));
    }
    EXPECT_EQ(engine.GetRegionOfInterest(), CRect(0, 0, whole.cols, whole.rows));
    EXPECT_EQ(cv::norm(engine.GetInputImage(), whole, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(engine.GetFullImage(), whole, cv::NORM_INF), 0.0);
    EXPECT_NE(engine.GetFullImage().data, engine.GetInputImage().data);

    // 8-bit images are converted without scaling.
    CColorCalibration eight(EChart::eCCTPrint);
    setPhoto(eight, r);
    const cv::Mat input8 = r.photo8u(r.chartRegion).clone();
    CRect roi = toCRect(r.chartRegion);
    EXPECT_TRUE(eight.startColorCalibration(input8.data, roi, r.photo8u.data, r.photo8u.rows,
                                            r.photo8u.cols, whiteOut, matrix, nullptr, nullptr));
    EXPECT_EQ(eight.GetRegionOfInterest(), roi);
    cv::Mat expected;
    r.photo8u.convertTo(expected, CV_32FC3);
    EXPECT_EQ(cv::norm(eight.GetFullImage(), expected, cv::NORM_INF), 0.0);
    // The segmentation alone finds the same seeds and adopts the white it picks.
    CColorCalibration segmentation(EChart::eCCTPrint);
    const float realWhite[3] = {230.0f, 231.0f, 232.0f};
    segmentation.setRealWhite(realWhite);
    float white[3];
    ASSERT_TRUE(segmentation.precomputeSegmentation(input8.data, input8.rows, input8.cols, white));
    EXPECT_EQ(segmentation.GetSegmentSeeds(), eight.GetSegmentSeeds());
    EXPECT_EQ(segmentation.GetRealWhite(), segmentation.GetPickedWhite());
    EXPECT_FLOAT_EQ(white[2], static_cast<float>(segmentation.GetPickedWhite()[2]));

    // Null buffers and sizes that are not positive are refused and logged.
    LogCapture log;
    CRect inverted(10, 10, 5, 20);
    EXPECT_FALSE(engine.startColorCalibration(static_cast<float*>(nullptr), 4, 4, whiteOut, matrix,
                                              nullptr, nullptr));
    EXPECT_FALSE(
        engine.startColorCalibration(input8.data, 0, 4, whiteOut, matrix, nullptr, nullptr));
    EXPECT_FALSE(engine.startColorCalibration(input8.data, inverted, r.photo8u.data, 10, 10,
                                              whiteOut, matrix, nullptr, nullptr));
    EXPECT_FALSE(engine.startColorCalibration(input8.data, roi, nullptr, 10, 10, whiteOut, matrix,
                                              nullptr, nullptr));
    EXPECT_EQ(log.records.size(), 4u);
    EXPECT_EQ(engine.GetRegionOfInterest(), CRect(0, 0, whole.cols, whole.rows));

    // A log sink that throws does not reach the caller.
    const Logging::LogSink previous = DataLayer::ColorCalibrationLogger().SetSink(
        [](const Logging::LogRecord&) { throw std::runtime_error("sink failed"); });
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(EXPECT_FALSE(engine.startColorCalibration(static_cast<float*>(nullptr), 4, 4,
                                                              whiteOut, matrix, nullptr, nullptr)));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("no image data"), std::string::npos);
    DataLayer::ColorCalibrationLogger().SetSink(previous);
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
        EXPECT_FALSE(engine.updateSegmentation(floats.data(), s.rows, s.cols, white));
    }
    EXPECT_FALSE(engine.updateSegmentation(static_cast<const float*>(nullptr), 2, 2, white));
    EXPECT_EQ(engine.GetSegmentationDiagnostics().reason,
              "the image was not taken: no image data (2 x 2)");
    EXPECT_EQ(cv::Vec3f(white[0], white[1], white[2]), cv::Vec3f(1.0f, 2.0f, 3.0f));
    EXPECT_TRUE(engine.GetInputImage().empty());
}

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

TEST(EnginePipeline, UnusableSetUpsAndWrongPairingsFailWithALoggedError) {
    const ChartSynth::RenderedChart& r = photo(EChart::eCCTPrint);
    auto set = std::make_shared<TestParameterSet>(EChart::eCCTPrint);
    CColorCalibration engine(set);
    setPhoto(engine, r);
    CbArray<float> whiteOut;
    Matrix matrix;
    ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
    const std::vector<int> lut = set->lut;
    const cv::Mat input = engine.GetInputImage().clone();
    cv::Mat full = r.photo.clone();
    const CColorCalibration::NxCColCalibReferenceColorsList references =
        engine.GetReferenceColors();
    const cv::Scalar realWhite = engine.GetRealWhite();
    const auto setInput = [&](cv::Mat image, CRect roi) {
        engine.SetInputImage(image.ptr<float>(), roi, full.ptr<float>(), full.cols, full.rows);
    };
    const auto setReferences = [&](const std::vector<float>& rgb) {
        engine.SetReferenceColorsRGB(rgb.data());
    };
    // Runs the pipeline on the broken set-up, then restores it.
    const auto expectFailure = [&](const wchar_t* what, CalibrationFailure code) {
        const int line = reportedLine(code);
        LogCapture log;
        Matrix m = sentinelMatrix();
        EXPECT_FALSE(engine.startColorCalibration(whiteOut, m, nullptr, nullptr)) << line;
        ASSERT_EQ(log.records.size(), 1u) << line;
        EXPECT_NE(log.records[0].message.find(what), std::wstring::npos)
            << std::string(log.records[0].message.begin(), log.records[0].message.end());
        EXPECT_EQ(log.records[0].line, line);
        // The engine keeps the failure as it logged it.
        EXPECT_EQ(engine.GetCalibrationFailure().code, code);
        EXPECT_EQ(engine.GetCalibrationFailure().message, log.records[0].message);
        EXPECT_EQ(engine.GetCalibrationError(), Base::WideToNarrow(log.records[0].message));
        EXPECT_TRUE(isSentinel(m));
        EXPECT_TRUE(engine.GetSeedReferencePositions().empty());
        EXPECT_EQ(engine.GetChartOrientation(), -1);
        set->lut = lut;
        setInput(input.clone(), toCRect(r.chartRegion));
        std::vector<float> rgb;
        for (const auto& bgr : references.colors) rgb.insert(rgb.end(), bgr.rbegin(), bgr.rend());
        setReferences(rgb);
        const float white[3] = {static_cast<float>(realWhite[0]), static_cast<float>(realWhite[1]),
                                static_cast<float>(realWhite[2])};
        engine.setRealWhite(white);
    };

    // Reference colours never set, or all the same.
    setReferences(std::vector<float>(60, 0.0f));
    expectFailure(L"reference colours are not set", CalibrationFailure::eReferencesNotSet);
    setReferences(std::vector<float>(60, 90.0f));
    expectFailure(L"all 20 reference colours are equal", CalibrationFailure::eReferencesEqual);
    // Colour index tables with an entry outside 0 .. 19, too short, or
    // reaching one reference position twice.
    set->lut[7] = 20;
    expectFailure(L"colour index 20 of patch 7", CalibrationFailure::eColorIndex);
    set->lut[7] = -1;
    expectFailure(L"colour index -1 of patch 7", CalibrationFailure::eColorIndex);
    set->lut.resize(12);
    expectFailure(L"of patch 12", CalibrationFailure::eColorIndex);
    set->lut[7] = set->lut[3];
    expectFailure(L"colour index 3 of patch 7 repeats that of patch 3",
                  CalibrationFailure::ePositionRepeated);
    // Wrong pairings fit badly whichever way round: shifted by one, permuted,
    // as a chart turned by 90 degrees would be paired. So does a real white
    // so small that the corrected colours carry nothing.
    const std::wstring missed = L"the corrected colours miss the references";
    std::rotate(set->lut.begin(), set->lut.begin() + 1, set->lut.end());
    expectFailure(missed.c_str(), CalibrationFailure::eResidualTooLarge);
    std::shuffle(set->lut.begin(), set->lut.end(), std::mt19937(7));
    expectFailure(missed.c_str(), CalibrationFailure::eResidualTooLarge);
    for (const double degrees : {90.0, 270.0}) {
        set->lut = turnedPairing(EChart::eCCTPrint, degrees);
        expectFailure(missed.c_str(), CalibrationFailure::eResidualTooLarge);
    }
    const float tiny[3] = {1e-30f, 1e-30f, 1e-30f};
    engine.setRealWhite(tiny);
    expectFailure(missed.c_str(), CalibrationFailure::eResidualTooLarge);
    // Input images reaching past the white image, or of another size than the labels.
    setInput(input.clone(), CRect(full.cols - input.cols + 3, 0, full.cols + 3, input.rows));
    expectFailure(L"does not lie inside the white image", CalibrationFailure::eRegionOutsideWhite);
    setInput(input.clone(), CRect(-1, 5, input.cols - 1, input.rows + 5));
    expectFailure(L"does not lie inside the white image", CalibrationFailure::eRegionOutsideWhite);
    setInput(input(cv::Rect(0, 0, input.cols - 1, input.rows)).clone(),
             CRect(0, 0, input.cols - 1, input.rows));
    expectFailure(L"label image", CalibrationFailure::eLabelSize);
    // Part of one patch not a number, or infinite.
    const std::array<int, 2> seed = engine.GetSegmentSeeds()[4];
    for (float bad :
         {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()}) {
        cv::Mat spoilt = input.clone();
        cv::circle(spoilt, cv::Point(seed[0], seed[1]), 12, cv::Scalar::all(bad), cv::FILLED);
        setInput(spoilt, toCRect(r.chartRegion));
        expectFailure(L"not finite", CalibrationFailure::eInputNotFinite);
    }
    // The set-up restored calibrates again.
    Matrix matrix2 = sentinelMatrix();
    EXPECT_TRUE(engine.startColorCalibration(whiteOut, matrix2, nullptr, nullptr));
    EXPECT_EQ(engine.GetSeedReferencePositions(), lut);
    EXPECT_EQ(engine.GetChartOrientation(), 0);
}

TEST(EnginePipeline, TurnedChartsArePairedAsTheirColoursSayWithAWarning) {
    struct Case {
        EChart chart;
        double degrees;  // counter-clockwise, as the renderer turns
        // References handed over in another channel order, (B, R, G): the fit
        // absorbs that, so the grid's order and its reverse are told apart by
        // the residual rule alone.
        bool channelsRotated;
    };
    std::vector<Case> cases;
    for (EChart chart : kAllCharts) {
        for (double degrees : {180.0, 90.0, 270.0}) cases.push_back({chart, degrees, false});
    }
    cases.push_back({EChart::eCCTPrint, 0.0, true});
    cases.push_back({EChart::eCCTPrint, 180.0, true});
    cases.push_back({EChart::eQCCPrint, 270.0, true});

    Logging::CLogger& logger = DataLayer::ColorCalibrationLogger();
    const int level = logger.GetLogLevel();
    logger.SetLogLevel(Logging::eWarning);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.chart)) + " " + std::to_string(c.degrees) +
                     (c.channelsRotated ? " rotated channels" : ""));
        ChartSynth::RenderOptions options = photoOptions(c.chart);
        options.rotationDeg = c.degrees;
        const ChartSynth::RenderedChart r = ChartSynth::renderChart(options);
        CColorCalibration engine(c.chart);
        setPhoto(engine, r);
        engine.SetExternalWhiteImg(floatHostImage(r.whiteField));
        std::array<ChartSynth::Rgb, 20> reference = ChartSynth::defaultReferenceColors();
        if (c.channelsRotated) {
            for (ChartSynth::Rgb& rgb : reference) rgb = {rgb[2], rgb[0], rgb[1]};
            engine.SetReferenceColorsRGB(reference[0].data());
        }
        LogCapture log;
        CbArray<float> whiteOut;
        Matrix matrix;
        std::vector<std::vector<float>> measured;
        ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, &measured, nullptr));
        // The pairing is the render's truth; the turn is clockwise, the
        // renderer's counter-clockwise.
        const std::vector<int> truth(r.referenceIndex.begin(), r.referenceIndex.end());
        EXPECT_EQ(engine.GetSeedReferencePositions(), truth);
        const int orientation = static_cast<int>(360.0 - c.degrees) % 360;
        EXPECT_EQ(engine.GetChartOrientation(), orientation);
        const bool quarter = orientation == 90 || orientation == 270;
        EXPECT_EQ(engine.GetSegmentationDiagnostics().gridRows,
                  quarter ? ChartSynth::chartCols(c.chart) : ChartSynth::chartRows(c.chart));
        ASSERT_EQ(log.records.size(), orientation == 0 ? 0u : 1u);
        if (orientation != 0) {
            EXPECT_EQ(log.records[0].level, Logging::eWarning);
            EXPECT_EQ(log.records[0].line,
                      reportedLine(quarter ? CalibrationWarning::eChartQuarterTurn
                                           : CalibrationWarning::eChartUpsideDown));
            EXPECT_NE(log.records[0].message.find(orientation == 90    ? L"quarter clockwise"
                                                  : orientation == 270 ? L"counter-clockwise"
                                                                       : L"upside down"),
                      std::wstring::npos);
        }
        // The measured colours come back by reference position, and the
        // matrix carries them onto the references.
        EXPECT_LE(cie76(measured, matrix, reference).first, 2.0);
    }
    logger.SetLogLevel(level);
}

TEST(EnginePipeline, AQccXRiteCardPrintedEitherWayRoundIsCalibrated) {
    // The parameter set lays the card out as 5 rows of 4 with the identity
    // colour index table; cards are printed as 4 rows of 5 as well, reference
    // k at row k / 5, column k % 5. Such a card is rendered as the 5 x 4 chart
    // turned a quarter clockwise, its colours placed so that the photo shows
    // the 4 x 5 card upright; turned half around, it lies upside down.
    const EChart chart = EChart::eQCCXRite;
    const std::array<ChartSynth::Rgb, 20> colours = ChartSynth::defaultReferenceColors();
    ChartSynth::RenderOptions options = photoOptions(chart);
    options.rotationDeg = -90.0;
    options.supersample = 1;
    const std::vector<int> slots = ChartSynth::renderChart(options).referenceIndex;
    for (std::size_t i = 0; i < 20; ++i) {
        options.referenceRgb[static_cast<std::size_t>(slots[i])] = colours[i];
    }
    options.supersample = photoOptions(chart).supersample;
    for (const double degrees : {-90.0, 90.0}) {
        SCOPED_TRACE(degrees);
        options.rotationDeg = degrees;
        const ChartSynth::RenderedChart r = ChartSynth::renderChart(options);
        CColorCalibration engine(chart);
        setPhoto(engine, r);
        engine.SetExternalWhiteImg(floatHostImage(r.whiteField));
        LogCapture log;
        CbArray<float> whiteOut;
        Matrix matrix;
        std::vector<std::vector<float>> measured;
        ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, &measured, nullptr));
        EXPECT_EQ(engine.GetSegmentationDiagnostics().gridRows, 4);
        EXPECT_EQ(engine.GetSegmentationDiagnostics().gridColumns, 5);
        std::vector<int> expected(20);
        for (int i = 0; i < 20; ++i)
            expected[static_cast<std::size_t>(i)] = degrees < 0 ? i : 19 - i;
        EXPECT_EQ(engine.GetSeedReferencePositions(), expected);
        EXPECT_EQ(engine.GetChartOrientation(), degrees < 0 ? 0 : 180);
        EXPECT_LE(cie76(measured, matrix, colours).first, 2.0);
    }
}

TEST(EnginePipeline, PairingsTheColoursCannotTellApartFailNamingEach) {
    // Colours whose reverse order is their own with red and blue swapped: the
    // fit of the reversed pairing swaps them back and explains the references
    // exactly as well as the grid's order does.
    std::array<ChartSynth::Rgb, 20> colours = ChartSynth::defaultReferenceColors();
    for (std::size_t k = 0; k < 10; ++k) {
        colours[19 - k] = {colours[k][2], colours[k][1], colours[k][0]};
    }
    ChartSynth::RenderOptions options = photoOptions(EChart::eCCTPrint);
    options.referenceRgb = colours;
    const ChartSynth::RenderedChart r = ChartSynth::renderChart(options);
    CColorCalibration engine(EChart::eCCTPrint);
    setPhoto(engine, r);
    engine.SetReferenceColorsRGB(colours[0].data());
    LogCapture log;
    CbArray<float> whiteOut;
    Matrix matrix = sentinelMatrix();
    EXPECT_FALSE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
    EXPECT_TRUE(isSentinel(matrix));
    EXPECT_EQ(engine.GetSegmentSeeds().size(), 20u);
    EXPECT_TRUE(engine.GetSeedReferencePositions().empty());
    EXPECT_EQ(engine.GetChartOrientation(), -1);
    ASSERT_EQ(log.records.size(), 1u);
    const std::wstring& message = log.records[0].message;
    EXPECT_EQ(log.records[0].line, reportedLine(CalibrationFailure::ePairingAmbiguous));
    EXPECT_EQ(log.records[0].level, Logging::eError);
    for (const wchar_t* part : {L"2 pairings pass", L"as found 0.", L"upside down 0."}) {
        EXPECT_NE(message.find(part), std::wstring::npos)
            << std::string(message.begin(), message.end());
    }
}

TEST(EnginePipeline, AFrameMergedIntoNoSeedsKeepsItsGridShape) {
    // The first frame shows no chart; the second shows it turned a quarter:
    // its 20 seeds in its own grid order, so the quarter turns are paired.
    ChartSynth::RenderOptions options = photoOptions(EChart::eQCCPrint);
    options.rotationDeg = 90.0;
    const ChartSynth::RenderedChart r = ChartSynth::renderChart(options);
    CColorCalibration engine(EChart::eQCCPrint);
    setPhoto(engine, r);
    const cv::Mat blank(r.chartRegion.size(), CV_32FC3, cv::Scalar::all(200.0));
    float white[3];
    EXPECT_FALSE(
        engine.precomputeSegmentation(blank.clone().ptr<float>(), blank.rows, blank.cols, white));
    EXPECT_TRUE(engine.GetSegmentSeeds().empty());
    cv::Mat frame = r.photo(r.chartRegion).clone();
    ASSERT_TRUE(engine.updateSegmentation(static_cast<const float*>(frame.ptr<float>()), frame.rows,
                                          frame.cols, white));
    CbArray<float> whiteOut;
    Matrix matrix;
    ASSERT_TRUE(engine.precomputeInpainting(frame.ptr<float>(), frame.rows, frame.cols, whiteOut));
    ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
    EXPECT_EQ(engine.GetChartOrientation(), 270);
    const std::vector<int> truth(r.referenceIndex.begin(), r.referenceIndex.end());
    EXPECT_EQ(engine.GetSeedReferencePositions(), truth);
}
