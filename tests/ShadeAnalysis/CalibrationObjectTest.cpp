#include <array>
#include <cstdint>
#include <memory>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "DataLayer/Errors/OrvException.h"
#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "synth/SyntheticChart.h"

namespace {

using DataLayer::CColorCalibration;
using EParameterSet = Base::IParameterSetColorCalibrationTarget::EParameterSet;

/// Exposes the protected reference-colour conversions.
struct TestEngine : CColorCalibration {
    using CColorCalibration::CColorCalibration;
    using CColorCalibration::convertFloatListToRefColorList;
    using CColorCalibration::convertRefColorListToFloatBGRList;
};

/// rows * cols * 3 floats, each distinct: start, start + 1, ...
std::vector<float> rampBuffer(int rows, int cols, float start) {
    std::vector<float> v(static_cast<std::size_t>(rows) * cols * 3);
    std::iota(v.begin(), v.end(), start);
    return v;
}

/// Whether `image` is a rows x cols CV_32FC3 matrix holding exactly `buffer`.
::testing::AssertionResult holds(const cv::Mat& image, int rows, int cols,
                                 const std::vector<float>& buffer) {
    if (image.type() != CV_32FC3 || image.rows != rows || image.cols != cols) {
        return ::testing::AssertionFailure()
               << "image " << image.rows << "x" << image.cols << " type " << image.type();
    }
    const cv::Mat expected(rows, cols, CV_32FC3, const_cast<float*>(buffer.data()));
    const double diff = cv::norm(image, expected, cv::NORM_INF);
    if (diff != 0.0) {
        return ::testing::AssertionFailure() << "pixels differ by up to " << diff;
    }
    return ::testing::AssertionSuccess();
}

TEST(CColorCalibration, NewObjectHasItsDefaults) {
    const CColorCalibration engine(EParameterSet::eQCCPrint);
    for (const auto& colour : engine.GetReferenceColors().colors) {
        EXPECT_EQ(colour, (std::array<float, 3>{0.0f, 0.0f, 0.0f}));
    }
    EXPECT_EQ(engine.GetPickedWhite(), cv::Scalar(200.0, 200.0, 200.0, 0.0));
    EXPECT_EQ(engine.GetRealWhite(), cv::Scalar(200.0, 200.0, 200.0, 0.0));
    EXPECT_EQ(engine.GetRegionOfInterest(), CRect(0, 0, 0, 0));
    EXPECT_TRUE(engine.GetInputImage().empty());
    EXPECT_TRUE(engine.GetFullImage().empty());
    EXPECT_TRUE(engine.GetSegmentLabels().empty());
    EXPECT_TRUE(engine.GetWhiteImage().empty());
    EXPECT_TRUE(engine.GetWhiteAreaMask().empty());
    EXPECT_TRUE(engine.GetSegmentSeeds().empty());
    EXPECT_TRUE(engine.GetDebugFolder().empty());
    ASSERT_NE(engine.GetParameterSet(), nullptr);
    EXPECT_EQ(engine.GetParameterSet()->GetWhiteAreaStencilRadius(), 115u);
}

TEST(CColorCalibration, SharesAGivenParameterSetAndAcceptsNull) {
    auto set =
        std::make_shared<DataLayer::CParameterSetColorCalibrationTarget>(EParameterSet::eCCTXRite);
    const CColorCalibration engine(set);
    EXPECT_EQ(engine.GetParameterSet(), set);
    const CColorCalibration empty(std::shared_ptr<Base::IParameterSetColorCalibrationTarget>{});
    EXPECT_EQ(empty.GetParameterSet(), nullptr);
}

TEST(CColorCalibration, UnknownChartTypeThrowsFromTheConstructor) {
    EXPECT_THROW(CColorCalibration(static_cast<EParameterSet>(5)), DataLayer::OrvException);
}

TEST(CColorCalibration, SetRealWhiteKeepsTheFourthComponent) {
    CColorCalibration engine(EParameterSet::eCCTPrint);
    const float white[3] = {230.0f, 231.0f, 232.0f};
    engine.setRealWhite(white);
    EXPECT_EQ(engine.GetRealWhite(), cv::Scalar(230.0, 231.0, 232.0, 0.0));
    engine.setRealWhite(nullptr);
    EXPECT_EQ(engine.GetRealWhite(), cv::Scalar(230.0, 231.0, 232.0, 0.0));
}

TEST(CColorCalibration, RegionOverloadCopiesBothBuffers) {
    CColorCalibration engine(EParameterSet::eCCTPrint);
    std::vector<float> roiPixels = rampBuffer(200, 200, 0.0f);
    std::vector<float> fullPixels = rampBuffer(480, 640, 7.0f);
    CRect roi(100, 50, 300, 250);
    engine.SetInputImage(roiPixels.data(), roi, fullPixels.data(), 640, 480);

    EXPECT_TRUE(holds(engine.GetInputImage(), 200, 200, roiPixels));
    EXPECT_TRUE(holds(engine.GetFullImage(), 480, 640, fullPixels));
    EXPECT_EQ(engine.GetRegionOfInterest(), roi);

    // The engine keeps its own copies.
    const std::vector<float> before = roiPixels;
    roiPixels.assign(roiPixels.size(), -1.0f);
    fullPixels.assign(fullPixels.size(), -1.0f);
    EXPECT_TRUE(holds(engine.GetInputImage(), 200, 200, before));
    EXPECT_EQ(engine.GetFullImage().at<cv::Vec3f>(0, 0), cv::Vec3f(7.0f, 8.0f, 9.0f));
}

TEST(CColorCalibration, WholeImageOverloadGivesTwoEqualImages) {
    CColorCalibration engine(EParameterSet::eCCTPrint);
    const std::vector<float> pixels = rampBuffer(480, 640, 1.0f);
    engine.SetInputImage(const_cast<float*>(pixels.data()), 480, 640);

    EXPECT_TRUE(holds(engine.GetInputImage(), 480, 640, pixels));
    EXPECT_TRUE(holds(engine.GetFullImage(), 480, 640, pixels));
    EXPECT_NE(engine.GetInputImage().data, engine.GetFullImage().data);
    EXPECT_EQ(engine.GetRegionOfInterest(), CRect(0, 0, 640, 480));
}

TEST(CColorCalibration, InvalidInputLeavesImagesEmpty) {
    CColorCalibration engine(EParameterSet::eCCTPrint);
    std::vector<float> pixels = rampBuffer(4, 4, 0.0f);

    engine.SetInputImage(nullptr, 4, 4);
    EXPECT_TRUE(engine.GetInputImage().empty());
    EXPECT_TRUE(engine.GetFullImage().empty());

    engine.SetInputImage(pixels.data(), -4, 4);
    EXPECT_TRUE(engine.GetInputImage().empty());
    EXPECT_EQ(engine.GetRegionOfInterest(), CRect(0, 0, 4, -4));

    // An inverted region gives no input image; the full image is still taken.
    CRect inverted(3, 0, 1, 4);
    engine.SetInputImage(pixels.data(), inverted, pixels.data(), 4, 4);
    EXPECT_TRUE(engine.GetInputImage().empty());
    EXPECT_TRUE(holds(engine.GetFullImage(), 4, 4, pixels));
    EXPECT_EQ(engine.GetRegionOfInterest(), inverted);

    // Extreme edges do not overflow the size computation.
    CRect huge(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
    engine.SetInputImage(pixels.data(), huge, nullptr, -1, 0);
    EXPECT_TRUE(engine.GetInputImage().empty());
    EXPECT_TRUE(engine.GetFullImage().empty());
}

TEST(CColorCalibration, CopySharesPixelsUntilTheCopyTakesNewImages) {
    CColorCalibration source(EParameterSet::eCCTPrint);
    const std::vector<float> first = rampBuffer(8, 6, 0.0f);
    source.SetInputImage(const_cast<float*>(first.data()), 8, 6);
    const float white[3] = {1.0f, 2.0f, 3.0f};
    source.setRealWhite(white);
    source.SetDebugFolder(L"/tmp/debug");

    CColorCalibration copy(source);
    EXPECT_EQ(copy.GetInputImage().data, source.GetInputImage().data);
    EXPECT_EQ(copy.GetRealWhite(), source.GetRealWhite());
    EXPECT_EQ(copy.GetDebugFolder(), L"/tmp/debug");
    EXPECT_EQ(copy.GetParameterSet(), source.GetParameterSet());

    std::vector<float> second = rampBuffer(8, 6, 100.0f);
    copy.SetInputImage(second.data(), 8, 6);
    EXPECT_TRUE(holds(source.GetInputImage(), 8, 6, first));
    EXPECT_TRUE(holds(copy.GetInputImage(), 8, 6, second));

    CColorCalibration assigned(EParameterSet::eQCCXRite);
    assigned = source;
    EXPECT_EQ(assigned.GetParameterSet(), source.GetParameterSet());
    EXPECT_TRUE(holds(assigned.GetInputImage(), 8, 6, first));
    CColorCalibration& self = assigned;
    assigned = self;
    EXPECT_TRUE(holds(assigned.GetInputImage(), 8, 6, first));
}

TEST(CColorCalibration, ResetKeepsImagesWhitesAndSeeds) {
    CColorCalibration engine(EParameterSet::eCCTPrint);
    const std::vector<float> pixels = rampBuffer(8, 6, 0.0f);
    engine.SetInputImage(const_cast<float*>(pixels.data()), 8, 6);
    const float white[3] = {210.0f, 211.0f, 212.0f};
    engine.setRealWhite(white);
    engine.reset();
    EXPECT_TRUE(engine.GetSegmentLabels().empty());
    EXPECT_TRUE(engine.GetWhiteImage().empty());
    EXPECT_TRUE(holds(engine.GetInputImage(), 8, 6, pixels));
    EXPECT_TRUE(holds(engine.GetFullImage(), 8, 6, pixels));
    EXPECT_EQ(engine.GetRealWhite(), cv::Scalar(210.0, 211.0, 212.0, 0.0));
    EXPECT_EQ(engine.GetPickedWhite(), cv::Scalar(200.0, 200.0, 200.0, 0.0));
    EXPECT_EQ(engine.GetRegionOfInterest(), CRect(0, 0, 6, 8));
}

TEST(CColorCalibration, ReferenceColoursAreStoredBlueGreenRed) {
    CColorCalibration engine(EParameterSet::eCCTPrint);
    std::vector<float> rgb(60);
    std::iota(rgb.begin(), rgb.end(), 0.0f);
    rgb[0] = 10.0f;
    rgb[1] = 20.0f;
    rgb[2] = 30.0f;
    engine.SetReferenceColorsRGB(rgb.data());
    const auto list = engine.GetReferenceColors();
    EXPECT_EQ(list.colors[0], (std::array<float, 3>{30.0f, 20.0f, 10.0f}));
    EXPECT_EQ(list.colors[19], (std::array<float, 3>{59.0f, 58.0f, 57.0f}));

    engine.SetReferenceColorsRGB(nullptr);  // ignored
    EXPECT_EQ(engine.GetReferenceColors().colors[0], list.colors[0]);
}

TEST(CColorCalibration, ReferenceListConversionsRoundTrip) {
    const TestEngine engine(EParameterSet::eCCTPrint);
    std::vector<float> values(60);
    std::iota(values.begin(), values.end(), 0.5f);

    const auto kept = engine.convertRefColorListToFloatBGRList(
        engine.convertFloatListToRefColorList(values.data(), true));
    const auto swapped = engine.convertRefColorListToFloatBGRList(
        engine.convertFloatListToRefColorList(values.data(), false));
    for (int k = 0; k < 20; ++k) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(kept.values[3 * k + c], values[3 * k + c]);
            EXPECT_EQ(swapped.values[3 * k + c], values[3 * k + 2 - c]);
        }
    }
    // Setting RGB equals the non-keeping conversion.
    TestEngine other(EParameterSet::eCCTPrint);
    other.SetReferenceColorsRGB(values.data());
    EXPECT_EQ(other.GetReferenceColors().colors,
              engine.convertFloatListToRefColorList(values.data(), false).colors);
}

// On a segmented synthetic chart: the picked white is the white ground's
// colour, and reset empties only the label and white images.
TEST(CColorCalibration, ResetAfterSegmentationEmptiesOnlyLabelsAndWhiteImage) {
    ChartSynth::RenderOptions options;
    options.chart = EParameterSet::eCCTPrint;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    options.whiteLevel = 230.0f;
    const ChartSynth::RenderedChart chart = ChartSynth::renderChart(options);
    cv::Mat photo = chart.photo.clone();

    CColorCalibration engine(EParameterSet::eCCTPrint);
    float white[3] = {};
    ASSERT_TRUE(engine.precomputeSegmentation(photo.ptr<float>(), photo.rows, photo.cols, white));
    ASSERT_EQ(engine.GetSegmentSeeds().size(), 20u);
    ASSERT_FALSE(engine.GetSegmentLabels().empty());
    const cv::Scalar picked = engine.GetPickedWhite();
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(picked[c], 230.0, 1.0) << "channel " << c;
        EXPECT_FLOAT_EQ(white[c], static_cast<float>(picked[c]));
    }
    // The picked white is measured again from the same image and mask.
    cv::Mat input = engine.GetInputImage().clone();
    engine.computePickedWhite(input);
    EXPECT_EQ(engine.GetPickedWhite(), picked);

    const auto seeds = engine.GetSegmentSeeds();
    const cv::Mat mask = engine.GetWhiteAreaMask();
    engine.reset();
    EXPECT_TRUE(engine.GetSegmentLabels().empty());
    EXPECT_TRUE(engine.GetWhiteImage().empty());
    EXPECT_EQ(engine.GetSegmentSeeds(), seeds);
    EXPECT_EQ(engine.GetPickedWhite(), picked);
    EXPECT_EQ(engine.GetWhiteAreaMask().data, mask.data);
    EXPECT_FALSE(engine.GetInputImage().empty());
}

}  // namespace
