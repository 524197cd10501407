#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "Engine/EngineTestSupport.h"

using DataLayer::CColorCalibration;
using EngineTest::EChart;
using EngineTest::LogCapture;
using Matrix = CColorCalibration::NxCColCalibMatrix;

namespace {

const EChart kAllCharts[] = {EChart::eCCTPrint, EChart::eQCCPrint, EChart::eCCTXRite,
                             EChart::eQCCXRite, EChart::eQCCPrintSmall};

ChartSynth::RenderedChart renderPhoto(EChart chart, double falloff = 0.3) {
    ChartSynth::RenderOptions options = EngineTest::photoOptions(chart);
    options.falloff = falloff;
    options.noiseSigma = 2.0;
    options.photoWidth = 800;
    options.photoHeight = 700;
    return ChartSynth::renderChart(options);
}

// An engine on a photo, with the chart's reference colours set.
void prepare(CColorCalibration& engine, const ChartSynth::RenderedChart& r,
             const ChartSynth::RenderOptions& options) {
    EngineTest::setPhoto(engine, r);
    const std::vector<float> reference = EngineTest::referenceFloats(options.referenceRgb);
    engine.SetReferenceColorsRGB(reference.data());
}

Matrix sentinelMatrix() {
    Matrix m;
    std::fill(std::begin(m.m), std::end(m.m), -7.0f);
    return m;
}

bool isSentinel(const Matrix& m) {
    return std::all_of(std::begin(m.m), std::end(m.m), [](float v) { return v == -7.0f; });
}

void expectLogged(const LogCapture& log, const std::wstring& message, int line) {
    const Logging::LogRecord* record = log.find(message);
    ASSERT_NE(record, nullptr) << "not logged";
    EXPECT_EQ(record->line, line);
    EXPECT_EQ(record->file, "DataLayer/ShadeAnalysis/CColorCalibration");
    EXPECT_EQ(record->function, "DataLayer::CColorCalibration::startColorCalibration");
    EXPECT_EQ(record->logger, L"ORV2.CColorCalibration");
    EXPECT_EQ(record->level, Logging::eError);
}

// The patch measurement done directly: gain and clip on the whole input
// image, the measuring mask of each seed on the whole label image, and the
// trimmed mean over the values sorted per channel. Colours per reference
// position, (B, G, R).
cv::Mat directMeasurement(const CColorCalibration& engine,
                          const Base::IParameterSetColorCalibrationTarget& set) {
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
        const int p = set.GetColorIndexLut()[i];
        const int x = seeds[i][0];
        const int y = seeds[i][1];
        measured.at<cv::Vec3f>(p) = input.at<cv::Vec3f>(y, x);
        cv::Mat mask = labels == labels.at<int>(y, x);
        cv::morphologyEx(mask, mask, cv::MORPH_OPEN, kernel, cv::Point(-1, -1), 2,
                         cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
        cv::erode(mask, mask, kernel, cv::Point(-1, -1), 3, cv::BORDER_CONSTANT,
                  cv::morphologyDefaultBorderValue());
        if (cv::countNonZero(mask) == 0) {
            continue;
        }
        for (int c = 0; c < 3; ++c) {
            std::vector<float> values;
            for (int yy = 0; yy < mask.rows; ++yy) {
                for (int xx = 0; xx < mask.cols; ++xx) {
                    if (mask.at<uchar>(yy, xx) != 0) {
                        values.push_back(corrected.at<cv::Vec3f>(yy, xx)[c]);
                    }
                }
            }
            std::sort(values.begin(), values.end());
            const float n = static_cast<float>(values.size());
            const std::size_t lo = static_cast<std::size_t>(n * 0.2f);
            std::size_t hi = static_cast<std::size_t>(n * 0.8f);
            if (hi <= lo) {
                hi = lo + 1;
            }
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

cv::Mat toLab(const cv::Mat& bgr) {
    cv::Mat scaled;
    bgr.convertTo(scaled, CV_32FC3, 1.0 / 255.0);
    cv::Mat lab;
    cv::cvtColor(scaled, lab, cv::COLOR_BGR2Lab);
    return lab;
}

}  // namespace

TEST(EnginePipeline, CalibratesRenderedPhotosOfEveryChartType) {
    const cv::Matx34d camera(0.86, 0.08, 0.03, 4.0, 0.05, 0.9, 0.06, 2.0, 0.02, 0.1, 0.84, 3.0);
    for (EChart chart : kAllCharts) {
        SCOPED_TRACE(static_cast<int>(chart));
        ChartSynth::RenderOptions options = EngineTest::photoOptions(chart);
        options.falloff = 0.3;
        options.noiseSigma = 2.0;
        options.cameraTransform = camera;
        options.photoWidth = 800;
        options.photoHeight = 700;
        const ChartSynth::RenderedChart r = ChartSynth::renderChart(options);

        CColorCalibration engine(chart);
        prepare(engine, r, options);
        if (engine.GetParameterSet()->IsUseExternalWhiteImg()) {
            engine.SetExternalWhiteImg(EngineTest::floatHostImage(r.whiteField));
        }
        CbArray<float> whiteOut;
        Matrix matrix = sentinelMatrix();
        std::vector<std::vector<float>> measured;
        std::vector<float> picked;
        LogCapture log;
        ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, &measured, &picked));
        EXPECT_TRUE(log.records().empty());
        EXPECT_EQ(whiteOut.GetSize(), static_cast<std::size_t>(r.photo.total() * 3));
        ASSERT_EQ(measured.size(), 20u);
        ASSERT_EQ(picked.size(), 3u);

        // The matrix carries the measured colours onto the references.
        const cv::Mat cameraBgr = measuredAsBgr(measured);
        cv::Mat mapped(20, 1, CV_32FC3);
        cv::Mat target(20, 1, CV_32FC3);
        for (int p = 0; p < 20; ++p) {
            const cv::Vec3f c = cameraBgr.at<cv::Vec3f>(p);
            for (int k = 0; k < 3; ++k) {
                mapped.at<cv::Vec3f>(p)[k] = matrix.m[4 * k] * c[0] + matrix.m[4 * k + 1] * c[1] +
                                             matrix.m[4 * k + 2] * c[2] + matrix.m[4 * k + 3];
                target.at<cv::Vec3f>(p)[k] = options.referenceRgb[p][2 - k];
            }
        }
        const cv::Mat mappedLab = toLab(mapped);
        const cv::Mat targetLab = toLab(target);
        double sum = 0.0;
        double worst = 0.0;
        for (int p = 0; p < 20; ++p) {
            const double e = cv::norm(mappedLab.row(p), targetLab.row(p), cv::NORM_L2);
            sum += e;
            worst = std::max(worst, e);
        }
        EXPECT_LE(sum / 20.0, 2.0);
        EXPECT_LE(worst, 5.0);

        // The measurement equals the direct whole-image computation exactly.
        EXPECT_EQ(
            cv::norm(cameraBgr, directMeasurement(engine, *engine.GetParameterSet()), cv::NORM_INF),
            0.0);
        // The picked white is that of the uncorrected chart's ground.
        for (int c = 0; c < 3; ++c) {
            EXPECT_FLOAT_EQ(picked[c], static_cast<float>(engine.GetPickedWhite()[c]));
        }
    }
}

TEST(EnginePipeline, WhiteImageOutputIsWrittenOnlyWhenTheRunComputesIt) {
    const ChartSynth::RenderOptions options = EngineTest::photoOptions(EChart::eCCTPrint);
    const ChartSynth::RenderedChart r = renderPhoto(EChart::eCCTPrint);
    CColorCalibration engine(EChart::eCCTPrint);
    prepare(engine, r, options);

    CbArray<float> whiteOut;
    Matrix matrix;
    ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
    ASSERT_EQ(whiteOut.GetSize(), static_cast<std::size_t>(r.photo.total() * 3));

    CbArray<float> untouched(2);
    untouched[0] = 5.0f;
    Matrix again = sentinelMatrix();
    std::vector<std::vector<float>> measured(25, std::vector<float>(5, 1.0f));
    ASSERT_TRUE(engine.startColorCalibration(untouched, again, &measured, nullptr));
    EXPECT_EQ(untouched.GetSize(), 2u);
    EXPECT_EQ(untouched[0], 5.0f);
    EXPECT_TRUE(std::equal(std::begin(matrix.m), std::end(matrix.m), std::begin(again.m)));
    ASSERT_EQ(measured.size(), 20u);
    for (const auto& entry : measured) {
        EXPECT_EQ(entry.size(), 3u);
    }
}

TEST(EnginePipeline, FailedInpaintingIsLoggedAndLeavesTheMatrix) {
    const ChartSynth::RenderedChart r = renderPhoto(EChart::eCCTPrint);
    auto set = std::make_shared<EngineTest::TestParameterSet>(EChart::eCCTPrint);
    set->externalWhite = true;
    CColorCalibration engine(set);
    prepare(engine, r, EngineTest::photoOptions(EChart::eCCTPrint));
    // No usable white ground: step 1 fails before the external white is looked at.
    engine.SetColorImageRoi(nullptr);
    engine.SetExternalWhiteImg(EngineTest::floatHostImage(r.whiteField));
    LogCapture log;
    CbArray<float> whiteOut;
    Matrix matrix = sentinelMatrix();
    EXPECT_FALSE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
    expectLogged(log, L"precomputeInpainting failed", 450);
    EXPECT_EQ(log.records().size(), 1u);
    EXPECT_TRUE(isSentinel(matrix));
}

TEST(EnginePipeline, ExternalWhiteImagesAreCheckedForPresenceAndShape) {
    const ChartSynth::RenderedChart r = renderPhoto(EChart::eCCTXRite);
    const ChartSynth::RenderOptions options = EngineTest::photoOptions(EChart::eCCTXRite);
    CColorCalibration engine(EChart::eCCTXRite);
    prepare(engine, r, options);

    {  // Requested but missing: the run stops after computing the white image.
        LogCapture log;
        CbArray<float> whiteOut;
        Matrix matrix = sentinelMatrix();
        EXPECT_FALSE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
        expectLogged(log, L"missing external white image", 462);
        EXPECT_TRUE(isSentinel(matrix));
        EXPECT_EQ(whiteOut.GetSize(), static_cast<std::size_t>(r.photo.total() * 3));
        ASSERT_FALSE(engine.GetWhiteImage().empty());
    }
    const cv::Mat inpainted = engine.GetWhiteImage().clone();

    // Host images that cannot serve as the white: logged, the run goes on
    // with the inpainted white.
    const cv::Mat transposed = r.whiteField.t();
    cv::Mat reshaped = r.whiteField.clone().reshape(3, r.whiteField.rows / 2);
    const std::vector<std::shared_ptr<Base::IImageData2D>> unusable = {
        std::make_shared<Base::CImageData2D>(r.photo.cols, r.photo.rows, 1),
        EngineTest::floatHostImage(transposed),
        EngineTest::floatHostImage(reshaped),
        std::make_shared<Base::CImageData2D>(r.photo.cols, r.photo.rows, 4),
    };
    for (const auto& image : unusable) {
        engine.SetExternalWhiteImg(image);
        LogCapture log;
        CbArray<float> whiteOut;
        Matrix matrix = sentinelMatrix();
        EXPECT_TRUE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
        expectLogged(log, L"invalid size of external white image", 480);
        EXPECT_FALSE(isSentinel(matrix));
        EXPECT_EQ(cv::norm(engine.GetWhiteImage(), inpainted, cv::NORM_INF), 0.0);
    }

    // A host image of the right shape without pixel data is not read.
    engine.SetExternalWhiteImg(
        std::make_shared<EngineTest::NoPixelsImage>(r.photo.cols, r.photo.rows, 12));
    LogCapture log;
    CbArray<float> whiteOut;
    Matrix matrix;
    EXPECT_TRUE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
    ASSERT_EQ(log.records().size(), 1u);
    EXPECT_EQ(log.records()[0].message, L"external white image has no pixel data");
    EXPECT_EQ(cv::norm(engine.GetWhiteImage(), inpainted, cv::NORM_INF), 0.0);
}

TEST(EnginePipeline, ExternalWhiteEqualToTheRealWhiteGivesUnitGain) {
    const ChartSynth::RenderedChart r = renderPhoto(EChart::eQCCXRite);
    CColorCalibration engine(EChart::eQCCXRite);
    prepare(engine, r, EngineTest::photoOptions(EChart::eQCCXRite));
    float picked[3];
    ASSERT_TRUE(engine.precomputeSegmentation(picked));
    const cv::Scalar real = engine.GetRealWhite();
    const cv::Mat flat(r.photo.size(), CV_32FC3,
                       cv::Scalar(static_cast<float>(real[0]), static_cast<float>(real[1]),
                                  static_cast<float>(real[2])));
    engine.SetExternalWhiteImg(EngineTest::floatHostImage(flat));

    CbArray<float> whiteOut;
    Matrix matrix;
    std::vector<std::vector<float>> measured;
    ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, &measured, nullptr));
    EXPECT_EQ(cv::norm(engine.GetWhiteImage(), flat, cv::NORM_INF), 0.0);
    // With a gain of 1 the measurement is that of the photo itself.
    EXPECT_EQ(cv::norm(measuredAsBgr(measured),
                       directMeasurement(engine, *engine.GetParameterSet()), cv::NORM_INF),
              0.0);

    // An 8-bit host white is converted without scaling.
    cv::Mat flat8;
    flat.convertTo(flat8, CV_8UC3);
    engine.SetExternalWhiteImg(
        std::make_shared<Base::CImageData2D>(flat8.cols, flat8.rows, 3, flat8.data));
    ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, &measured, nullptr));
    cv::Mat expected;
    flat8.convertTo(expected, CV_32FC3);
    EXPECT_EQ(cv::norm(engine.GetWhiteImage(), expected, cv::NORM_INF), 0.0);
}

TEST(EnginePipeline, ImageTakingOverloadsSetTheImagesAndTheRegion) {
    ChartSynth::RenderOptions options = EngineTest::photoOptions(EChart::eCCTPrint);
    options.photoWidth = 640;
    options.photoHeight = 480;
    const ChartSynth::RenderedChart r = ChartSynth::renderChart(options);
    CColorCalibration engine(EChart::eCCTPrint);
    CbArray<float> whiteOut;
    Matrix matrix;
    cv::Mat photo = r.photo.clone();
    {
        // Without a support image the run itself fails; only the images matter here.
        LogCapture quiet;
        EXPECT_FALSE(engine.startColorCalibration(photo.ptr<float>(), 480, 640, whiteOut, matrix,
                                                  nullptr, nullptr));
    }
    EXPECT_EQ(engine.GetRegionOfInterest(), CRect(0, 0, 640, 480));
    EXPECT_EQ(cv::norm(engine.GetInputImage(), photo, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(engine.GetFullImage(), photo, cv::NORM_INF), 0.0);
    EXPECT_NE(engine.GetFullImage().data, engine.GetInputImage().data);

    CColorCalibration eight(EChart::eCCTPrint);
    const cv::Mat input8 = r.photo8u(r.chartRegion).clone();
    CRect roi(r.chartRegion.x, r.chartRegion.y, r.chartRegion.x + r.chartRegion.width,
              r.chartRegion.y + r.chartRegion.height);
    eight.SetColorImageRoi(EngineTest::chartSupport(r));
    const std::vector<float> reference = EngineTest::referenceFloats(options.referenceRgb);
    eight.SetReferenceColorsRGB(reference.data());
    EXPECT_TRUE(eight.startColorCalibration(input8.data, roi, r.photo8u.data, r.photo8u.rows,
                                            r.photo8u.cols, whiteOut, matrix, nullptr, nullptr));
    EXPECT_EQ(eight.GetRegionOfInterest(), roi);
    cv::Mat expected;
    r.photo8u.convertTo(expected, CV_32FC3);
    EXPECT_EQ(cv::norm(eight.GetFullImage(), expected, cv::NORM_INF), 0.0);

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
    EXPECT_EQ(log.records().size(), 4u);
    EXPECT_EQ(engine.GetRegionOfInterest(), CRect(0, 0, 640, 480));
}

TEST(EnginePipeline, BrokenPreconditionsFailWithALoggedError) {
    const ChartSynth::RenderOptions options = EngineTest::photoOptions(EChart::eCCTPrint);
    const ChartSynth::RenderedChart r = renderPhoto(EChart::eCCTPrint, 0.1);
    auto set = std::make_shared<EngineTest::TestParameterSet>(EChart::eCCTPrint);
    CColorCalibration engine(set);
    prepare(engine, r, options);
    CbArray<float> whiteOut;
    Matrix matrix;
    ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));

    const auto expectFailure = [&](const wchar_t* what) {
        LogCapture log;
        Matrix m = sentinelMatrix();
        EXPECT_FALSE(engine.startColorCalibration(whiteOut, m, nullptr, nullptr)) << what;
        ASSERT_EQ(log.records().size(), 1u) << what;
        EXPECT_NE(log.records()[0].message.find(what), std::wstring::npos)
            << std::string(log.records()[0].message.begin(), log.records()[0].message.end());
        EXPECT_TRUE(isSentinel(m));
    };

    // Colour index tables with an entry outside 0 .. 19, or too short.
    std::vector<int> lut = set->GetColorIndexLut();
    lut[7] = 20;
    set->setLut(lut);
    expectFailure(L"colour index 20 of patch 7");
    lut[7] = -1;
    set->setLut(lut);
    expectFailure(L"colour index -1 of patch 7");
    lut[7] = 7;
    set->setLut(std::vector<int>(lut.begin(), lut.begin() + 12));
    expectFailure(L"of patch 12");
    set->setLut(lut);

    // An input image that reaches past the white image at its region.
    cv::Mat input = r.photo(r.chartRegion).clone();
    cv::Mat full = r.photo.clone();
    CRect outside(full.cols - input.cols + 3, 0, full.cols + 3, input.rows);
    engine.SetInputImage(input.ptr<float>(), outside, full.ptr<float>(), full.cols, full.rows);
    expectFailure(L"does not lie inside the white image");
    CRect negative(-1, 5, input.cols - 1, input.rows + 5);
    engine.SetInputImage(input.ptr<float>(), negative, full.ptr<float>(), full.cols, full.rows);
    expectFailure(L"does not lie inside the white image");

    // An input image of another size than the labels.
    CRect smaller(0, 0, input.cols - 1, input.rows);
    cv::Mat smallerInput = input(cv::Rect(0, 0, input.cols - 1, input.rows)).clone();
    engine.SetInputImage(smallerInput.ptr<float>(), smaller, full.ptr<float>(), full.cols,
                         full.rows);
    expectFailure(L"label image");
}

TEST(EnginePipeline, NonFiniteInputIsNotReportedAsSuccess) {
    const ChartSynth::RenderOptions options = EngineTest::photoOptions(EChart::eCCTPrint);
    const ChartSynth::RenderedChart r = renderPhoto(EChart::eCCTPrint, 0.1);
    CColorCalibration engine(EChart::eCCTPrint);
    prepare(engine, r, options);
    CbArray<float> whiteOut;
    Matrix matrix;
    ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));

    // The same chart with part of one patch not a number, or infinite.
    const auto& seed = engine.GetSegmentSeeds()[4];
    for (float bad :
         {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()}) {
        cv::Mat input = engine.GetInputImage().clone();
        cv::circle(input, cv::Point(seed[0], seed[1]), 12, cv::Scalar::all(bad), cv::FILLED);
        cv::Mat full = engine.GetFullImage().clone();
        CRect roi = engine.GetRegionOfInterest();
        engine.SetInputImage(input.ptr<float>(), roi, full.ptr<float>(), full.cols, full.rows);
        LogCapture log;
        Matrix m = sentinelMatrix();
        EXPECT_FALSE(engine.startColorCalibration(whiteOut, m, nullptr, nullptr));
        ASSERT_EQ(log.records().size(), 1u);
        EXPECT_NE(log.records()[0].message.find(L"not finite"), std::wstring::npos);
        EXPECT_TRUE(isSentinel(m));
    }
}
