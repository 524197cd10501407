#include <gtest/gtest.h>

#include <string>

#include "Base/StringConversion.h"
#include "DataLayer/Errors/OrvException.h"
#include "DataLayer/ShadeAnalysis/ChartConstants.h"
#include "DataLayer/ShadeAnalysis/Segmentation/SegmentationStage.h"
#include "SegmentationProbe.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using DataLayer::CalibrationFailure;
using DataLayer::SegmentationResult;
using SegmentationTest::parameterSet;

SegmentationResult segment(const cv::Mat& region) {
    return DataLayer::segmentChart({region, parameterSet()});
}

TEST(SegmentationStage, FoundChartHasLabelsSeedsInGridOrderAndItsWhite) {
    ChartSynth::RenderOptions options;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    options.noiseSigma = 2.0;
    options.seed = 41;
    const ChartSynth::RenderedChart p = ChartSynth::renderChart(options);
    const cv::Mat region = p.photo(p.chartRegion);

    const SegmentationResult result = segment(region);
    ASSERT_TRUE(result.found) << result.diagnostics.reason;
    EXPECT_FALSE(result.failed());
    EXPECT_TRUE(result.diagnostics.reason.empty());
    ASSERT_EQ(result.labels.type(), CV_32SC1);
    ASSERT_EQ(result.labels.size(), region.size());
    ASSERT_EQ(result.seeds.size(), static_cast<std::size_t>(DataLayer::kChartPatchCount));
    for (std::size_t k = 0; k < result.seeds.size(); ++k) {
        const auto& s = result.seeds[k];
        EXPECT_NEAR(s[0], p.centers[k].x - p.chartRegion.x, 4.0) << "seed " << k;
        EXPECT_NEAR(s[1], p.centers[k].y - p.chartRegion.y, 4.0) << "seed " << k;
        EXPECT_EQ(result.labels.at<int>(s[1], s[0]), static_cast<int>(k) + 2) << "seed " << k;
    }
    for (int c = 0; c < 3; ++c) {
        EXPECT_GT(result.pickedWhite[c], 120.0);
    }
}

TEST(SegmentationStage, FailureCarriesItsCodeAndTheSearchReason) {
    struct Case {
        const char* name;
        cv::Mat region;
        CalibrationFailure code;
    } cases[] = {
        {"flat grey", cv::Mat(300, 400, CV_32FC3, cv::Scalar::all(128.0)),
         CalibrationFailure::eChartNotFound},
        {"empty", cv::Mat(), CalibrationFailure::eSegmentationInputUnusable},
        {"one channel", cv::Mat(300, 400, CV_32FC1, cv::Scalar(128.0)),
         CalibrationFailure::eSegmentationInputUnusable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SegmentationResult result = segment(c.region);
        EXPECT_FALSE(result.found);
        EXPECT_TRUE(result.labels.empty());
        EXPECT_TRUE(result.seeds.empty());
        ASSERT_EQ(result.failure.code, c.code);
        const std::string message = Base::WideToNarrow(result.failure.message);
        EXPECT_EQ(message.rfind("segmentChart(): ", 0), 0u) << message;
        ASSERT_FALSE(result.diagnostics.reason.empty());
        EXPECT_NE(message.find(result.diagnostics.reason), std::string::npos) << message;
    }
    EXPECT_THROW(DataLayer::segmentChart({cv::Mat(), nullptr}), DataLayer::OrvException);
}

}  // namespace
