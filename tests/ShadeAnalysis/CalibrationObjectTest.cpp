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

/// rows * cols * 3 floats, each distinct: start, start + 1, ...
std::vector<float> rampBuffer(int rows, int cols, float start) {
    std::vector<float> v(static_cast<std::size_t>(rows) * cols * 3);
    std::iota(v.begin(), v.end(), start);
    return v;
}

/// Whether `image` is a rows x cols CV_32FC3 matrix holding exactly `buffer`.
bool holds(const cv::Mat& image, int rows, int cols, const std::vector<float>& buffer) {
    const cv::Mat expected(rows, cols, CV_32FC3, const_cast<float*>(buffer.data()));
    return image.type() == CV_32FC3 && image.size() == expected.size() &&
           cv::norm(image, expected, cv::NORM_INF) == 0.0;
}

TEST(CColorCalibration, UnknownChartTypesThrow) {
    for (int value : {5, -1}) {
        EXPECT_THROW(CColorCalibration(static_cast<EParameterSet>(value)), DataLayer::OrvException);
    }
}

TEST(CColorCalibration, SetInputImageCopiesTheRegionAndTheFullImage) {
    CColorCalibration engine(EParameterSet::eCCTPrint);
    std::vector<float> roiPixels = rampBuffer(200, 200, 0.0f);
    std::vector<float> fullPixels = rampBuffer(480, 640, 7.0f);
    CRect roi(100, 50, 300, 250);
    engine.SetInputImage(roiPixels.data(), roi, fullPixels.data(), 640, 480);
    const std::vector<float> roiBefore = roiPixels;
    const std::vector<float> fullBefore = fullPixels;
    roiPixels.assign(roiPixels.size(), -1.0f);  // the engine keeps its own copies
    fullPixels.assign(fullPixels.size(), -1.0f);
    EXPECT_TRUE(holds(engine.GetInputImage(), 200, 200, roiBefore));
    EXPECT_TRUE(holds(engine.GetFullImage(), 480, 640, fullBefore));
    EXPECT_EQ(engine.GetRegionOfInterest(), roi);
}

TEST(CColorCalibration, InvalidInputLeavesImagesEmpty) {
    CColorCalibration engine(EParameterSet::eCCTPrint);
    std::vector<float> pixels = rampBuffer(4, 4, 0.0f);

    engine.SetInputImage(nullptr, 4, 4);
    EXPECT_TRUE(engine.GetInputImage().empty());
    EXPECT_TRUE(engine.GetFullImage().empty());

    engine.SetInputImage(pixels.data(), -4, 4);
    EXPECT_TRUE(engine.GetInputImage().empty());

    // An inverted region gives no input image; the full image is still taken.
    CRect inverted(3, 0, 1, 4);
    engine.SetInputImage(pixels.data(), inverted, pixels.data(), 4, 4);
    EXPECT_TRUE(engine.GetInputImage().empty());
    EXPECT_TRUE(holds(engine.GetFullImage(), 4, 4, pixels));

    // Extreme edges do not overflow the size computation.
    CRect huge(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
    engine.SetInputImage(pixels.data(), huge, nullptr, -1, 0);
    EXPECT_TRUE(engine.GetInputImage().empty());
    EXPECT_TRUE(engine.GetFullImage().empty());
}

TEST(CColorCalibration, ReferenceColoursAreStoredBlueGreenRed) {
    CColorCalibration engine(EParameterSet::eCCTPrint);
    std::vector<float> rgb(60);
    std::iota(rgb.begin(), rgb.end(), 0.5f);
    engine.SetReferenceColorsRGB(rgb.data());
    engine.SetReferenceColorsRGB(nullptr);  // ignored
    const auto list = engine.GetReferenceColors();
    EXPECT_EQ(list.colors[0], (std::array<float, 3>{2.5f, 1.5f, 0.5f}));
    EXPECT_EQ(list.colors[19], (std::array<float, 3>{59.5f, 58.5f, 57.5f}));
}

// On a segmented synthetic chart: the picked white is the white ground's
// colour, and measuring it again on the engine's white-area mask gives the
// segmentation's value exactly.
TEST(CColorCalibration, PickedWhiteOfTheSegmentationIsMeasuredAgainAlike) {
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
    cv::Mat input = engine.GetInputImage().clone();
    engine.computePickedWhite(input);
    EXPECT_EQ(engine.GetPickedWhite(), picked);
}

}  // namespace
