// Time to find the chart's card in a whole photo: 5 MP (2592 x 1944) and
// 24 MP (6000 x 4000) scenes of the realistic set, as 8-bit photos and as
// float photos on the 0..255 scale. The baseline is OpenCV's area resize of
// the same photo by the locator's reduction factor, the step that has to
// read every pixel.

#include <benchmark/benchmark.h>

#include <map>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "tools/synth/RealisticSet.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

/// One rendered scene per photo size, with distractors, rendered once.
const ChartSynth::RenderedChart& scene(int width) {
    static std::map<int, ChartSynth::RenderedChart> scenes;
    auto found = scenes.find(width);
    if (found == scenes.end()) {
        ChartSynth::RenderOptions options =
            ChartSynth::sceneOptions(EChart::eCCTPrint, ChartSynth::Encoding::eSrgb, 3);
        options.photoWidth = width;
        options.photoHeight = width == 6000 ? 4000 : 1944;
        options.offsetX = 0.21 * width;
        options.offsetY = -0.18 * options.photoHeight;
        options.jpegQuality = 0;
        found = scenes.emplace(width, ChartSynth::renderChart(options)).first;
    }
    return found->second;
}

void BM_LocateCard(benchmark::State& state) {
    const ChartSynth::RenderedChart& rendered = scene(static_cast<int>(state.range(0)));
    const cv::Mat& photo = state.range(1) != 0 ? rendered.photo : rendered.photo8u;
    const DataLayer::CParameterSetColorCalibrationTarget parameters(EChart::eCCTPrint);
    const DataLayer::CChartCardLocator locator(parameters);
    for (auto _ : state) {
        DataLayer::ChartCardLocation location = locator.locate(photo);
        benchmark::DoNotOptimize(location);
        if (!location.found) state.SkipWithError("card not found");
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<long long>(photo.total() * photo.elemSize()));
}

void BM_AreaResizeBaseline(benchmark::State& state) {
    const ChartSynth::RenderedChart& rendered = scene(static_cast<int>(state.range(0)));
    const cv::Mat& photo = state.range(1) != 0 ? rendered.photo : rendered.photo8u;
    constexpr int kFactor = 7;  // 56-px patches reduced to 8 px
    const cv::Mat whole =
        photo(cv::Rect(0, 0, photo.cols / kFactor * kFactor, photo.rows / kFactor * kFactor));
    cv::Mat reduced;
    for (auto _ : state) {
        cv::resize(whole, reduced, cv::Size(photo.cols / kFactor, photo.rows / kFactor), 0, 0,
                   cv::INTER_AREA);
        benchmark::DoNotOptimize(reduced.data);
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<long long>(photo.total() * photo.elemSize()));
}

// Arguments: photo width (2592: 5 MP, 6000: 24 MP), float photo (1) or 8-bit (0).
BENCHMARK(BM_LocateCard)
    ->Args({2592, 0})
    ->Args({2592, 1})
    ->Args({6000, 0})
    ->Args({6000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_AreaResizeBaseline)
    ->Args({2592, 0})
    ->Args({2592, 1})
    ->Args({6000, 0})
    ->Args({6000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
