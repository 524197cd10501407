// A hand-held photo calibrated as the tool and the module do it: the card
// located, rectified into the chart's frame, the engine run there and the
// white image of the whole photo mapped back; at 12 MP and 24 MP, beside one
// 19 x 19 Gaussian blur of the same photo (as float values, into a fresh
// output) as the yardstick. Also the card's location and rectification alone.

#include <benchmark/benchmark.h>

#include <map>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CCardRectification.h"
#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"
#include "synth/HandheldSet.h"
#include "synth/RealisticSet.h"
#include "synth/SyntheticChart.h"

namespace {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

/// A hand-held photo of the printed QCC chart, 1.6 times its nominal size,
/// tilted by 25 degrees, rendered once per photo width.
struct Photo {
    ChartSynth::RenderOptions options;
    ChartSynth::RenderedChart rendered;
};

const Photo& photo(int width) {
    static std::map<int, Photo> photos;
    auto found = photos.find(width);
    if (found == photos.end()) {
        Photo p;
        const cv::Size size(width, width == 6000 ? 4000 : 3000);
        p.options = ChartSynth::realisticOptions(EChart::eQCCPrint, ChartSynth::Encoding::eSrgb, 4);
        p.options.photoWidth = size.width;
        p.options.photoHeight = size.height;
        p.options.supersample = 1;
        p.options.jpegQuality = 0;
        ChartSynth::PinholeCard pose;
        pose.focalLength = 1.2 * size.width;
        pose.scale = 1.6;
        pose.tiltDeg = 25.0;
        pose.tiltAxisDeg = 40.0;
        pose.turnDeg = 7.0;
        pose.centre = cv::Point2d(0.62 * size.width, 0.4 * size.height);
        p.options.cardToImage = ChartSynth::pinholeCardToImage(pose, size);
        p.options.focalLength = pose.focalLength;
        p.rendered = ChartSynth::renderChart(p.options);
        found = photos.emplace(width, std::move(p)).first;
    }
    return found->second;
}

DataLayer::PhotoCalibrationRequest request(const Photo& p) {
    DataLayer::PhotoCalibrationRequest r;
    r.chart = p.options.chart;
    r.photo = p.rendered.photo;
    r.sourceDepth = CV_8U;
    r.encoding = DataLayer::Color::Encoding::eSrgb;
    for (std::size_t k = 0; k < 20; ++k) {
        for (std::size_t c = 0; c < 3; ++c) r.referencesRgb[k][c] = p.options.referenceRgb[k][c];
    }
    return r;
}

void BM_CalibrateHandheld(benchmark::State& state) {
    const Photo& p = photo(static_cast<int>(state.range(0)));
    const DataLayer::PhotoCalibrationRequest r = request(p);
    for (auto _ : state) {
        const DataLayer::PhotoCalibrationResult result = DataLayer::calibratePhoto(r);
        if (!result.ok() || result.card.nominal) {
            state.SkipWithError("the hand-held photo was not calibrated in its frame");
        }
        benchmark::DoNotOptimize(result.whiteImage.data);
    }
}

void BM_LocateAndRectify(benchmark::State& state) {
    const Photo& p = photo(static_cast<int>(state.range(0)));
    const DataLayer::CParameterSetColorCalibrationTarget parameters(EChart::eQCCPrint);
    const DataLayer::CChartCardLocator locator(parameters);
    for (auto _ : state) {
        const DataLayer::ChartCardLocation card = locator.locate(p.rendered.photo8u);
        if (!card.found || card.nominal) state.SkipWithError("no hand-held card found");
        const DataLayer::CCardRectification frame(parameters, card, p.rendered.photo8u.size());
        const cv::Mat image = frame.rectifyImage(p.rendered.photo8u);
        const cv::Mat support = frame.rectifyMask(card.supportMask);
        benchmark::DoNotOptimize(image.data);
        benchmark::DoNotOptimize(support.data);
    }
}

/// The yardstick: one 19 x 19 Gaussian blur of the photo's float values into
/// a fresh output, as a white image of the whole photo needs at least.
void BM_GaussianBlurBaseline(benchmark::State& state) {
    const Photo& p = photo(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        cv::Mat blurred;
        cv::GaussianBlur(p.rendered.photo, blurred, cv::Size(19, 19), 9.0);
        benchmark::DoNotOptimize(blurred.data);
    }
}

// Argument: photo width (4000: 12 MP, 6000: 24 MP).
BENCHMARK(BM_CalibrateHandheld)->Arg(4000)->Arg(6000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LocateAndRectify)->Arg(4000)->Arg(6000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GaussianBlurBaseline)
    ->Arg(4000)
    ->Arg(6000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
