#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "Engine/EngineTestSupport.h"

using DataLayer::CColorCalibration;
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

// CIE76 differences between two lists of (B, G, R) colours: mean and worst.
std::pair<double, double> cie76(const cv::Mat& bgr1, const cv::Mat& bgr2) {
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
        const cv::Mat cameraBgr = measuredAsBgr(measured);
        cv::Mat mapped;
        cv::transform(cameraBgr, mapped, cv::Matx34f(matrix.m));
        std::array<ChartSynth::Rgb, 20> reference = ChartSynth::defaultReferenceColors();
        cv::Mat target;
        cv::cvtColor(cv::Mat(20, 1, CV_32FC3, reference.data()), target, cv::COLOR_RGB2BGR);
        const auto [mean, worst] = cie76(mapped, target);
        EXPECT_LE(mean, 2.0);
        EXPECT_LE(worst, 5.0);
        // The measurement equals the direct whole-image computation exactly.
        EXPECT_EQ(cv::norm(cameraBgr, directMeasurement(engine), cv::NORM_INF), 0.0);

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
    expectLogged(log, L"precomputeInpainting failed", 450);
    EXPECT_EQ(log.records.size(), 1u);
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
        expectLogged(log, L"missing external white image", 462);
        EXPECT_TRUE(isSentinel(matrix));
        EXPECT_EQ(whiteOut.GetSize(), static_cast<std::size_t>(r.photo.total() * 3));
        ASSERT_FALSE(engine.GetWhiteImage().empty());
    }
    const cv::Mat inpainted = engine.GetWhiteImage().clone();

    // Host images that cannot serve as the white: logged, the run goes on
    // with the inpainted white.
    struct Unusable {
        std::shared_ptr<Base::IImageData2D> image;
        std::wstring message;
        int line;
    };
    const std::wstring invalid = L"invalid size of external white image";
    const Unusable unusable[] = {
        {std::make_shared<Base::CImageData2D>(r.photo.cols, r.photo.rows, 1), invalid, 480},
        {floatHostImage(r.whiteField.t()), invalid, 480},
        {floatHostImage(r.whiteField.clone().reshape(3, r.whiteField.rows / 2)), invalid, 480},
        {std::make_shared<Base::CImageData2D>(r.photo.cols, r.photo.rows, 4), invalid, 480},
        // The right shape without pixel data is not read.
        {std::make_shared<NoPixelsImage>(r.photo.cols, r.photo.rows, 12),
         L"external white image has no pixel data", -1},
    };
    for (const Unusable& u : unusable) {
        engine.SetExternalWhiteImg(u.image);
        LogCapture log;
        Matrix matrix = sentinelMatrix();
        EXPECT_TRUE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
        EXPECT_EQ(log.records.size(), 1u);
        expectLogged(log, u.message, u.line);
        EXPECT_FALSE(isSentinel(matrix));
        EXPECT_EQ(cv::norm(engine.GetWhiteImage(), inpainted, cv::NORM_INF), 0.0);
    }

    // A usable white is taken as it is; 8-bit whites are converted without scaling.
    cv::Mat flat8(r.photo.size(), CV_8UC3, cv::Scalar(201, 202, 203));
    engine.SetExternalWhiteImg(
        std::make_shared<Base::CImageData2D>(flat8.cols, flat8.rows, 3, flat8.data));
    Matrix matrix;
    ASSERT_TRUE(engine.startColorCalibration(whiteOut, matrix, nullptr, nullptr));
    const cv::Mat expected(r.photo.size(), CV_32FC3, cv::Scalar(201, 202, 203));
    EXPECT_EQ(cv::norm(engine.GetWhiteImage(), expected, cv::NORM_INF), 0.0);
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
}

TEST(EnginePipeline, BrokenPreconditionsAndNonFiniteInputFailWithALoggedError) {
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
    const auto setInput = [&](cv::Mat image, CRect roi) {
        engine.SetInputImage(image.ptr<float>(), roi, full.ptr<float>(), full.cols, full.rows);
    };
    // Runs the pipeline on the broken set-up, then restores it.
    const auto expectFailure = [&](const wchar_t* what) {
        LogCapture log;
        Matrix m = sentinelMatrix();
        EXPECT_FALSE(engine.startColorCalibration(whiteOut, m, nullptr, nullptr)) << what;
        ASSERT_EQ(log.records.size(), 1u) << what;
        EXPECT_NE(log.records[0].message.find(what), std::wstring::npos)
            << std::string(log.records[0].message.begin(), log.records[0].message.end());
        EXPECT_TRUE(isSentinel(m));
        set->lut = lut;
        setInput(input.clone(), toCRect(r.chartRegion));
    };

    // Colour index tables with an entry outside 0 .. 19, or too short.
    set->lut[7] = 20;
    expectFailure(L"colour index 20 of patch 7");
    set->lut[7] = -1;
    expectFailure(L"colour index -1 of patch 7");
    set->lut.resize(12);
    expectFailure(L"of patch 12");
    // Input images reaching past the white image, or of another size than the labels.
    setInput(input.clone(), CRect(full.cols - input.cols + 3, 0, full.cols + 3, input.rows));
    expectFailure(L"does not lie inside the white image");
    setInput(input.clone(), CRect(-1, 5, input.cols - 1, input.rows + 5));
    expectFailure(L"does not lie inside the white image");
    setInput(input(cv::Rect(0, 0, input.cols - 1, input.rows)).clone(),
             CRect(0, 0, input.cols - 1, input.rows));
    expectFailure(L"label image");
    // Part of one patch not a number, or infinite.
    const std::array<int, 2> seed = engine.GetSegmentSeeds()[4];
    for (float bad :
         {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()}) {
        cv::Mat spoilt = input.clone();
        cv::circle(spoilt, cv::Point(seed[0], seed[1]), 12, cv::Scalar::all(bad), cv::FILLED);
        setInput(spoilt, toCRect(r.chartRegion));
        expectFailure(L"not finite");
    }
}
