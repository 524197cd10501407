#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"
#include "ShadeAnalysis/EngineTestSupport.h"

using DataLayer::CalibrationFailure;
using DataLayer::CalibrationWarning;
using DataLayer::CColorCalibration;
using DataLayer::reportedLine;
using namespace EngineTest;

namespace {

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
            measured.at<cv::Vec3f>(p)[c] = trimmedMean(std::move(values));
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
