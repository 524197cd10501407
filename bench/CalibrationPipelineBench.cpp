// The whole calibration on a camera-sized photo, split by stage, beside one
// Gaussian blur of the same photo as a machine-independent yardstick.

#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "Base/CImageData2D.h"
#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "synth/SyntheticChart.h"

namespace {

using DataLayer::CColorCalibration;
using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

constexpr int kPhotoWidth = 2592;
constexpr int kPhotoHeight = 1944;
constexpr int kLargeWidth = 6000;  // 24 MP
constexpr int kLargeHeight = 4000;
constexpr int kRegionWidth = 640;
constexpr int kRegionHeight = 520;

// A 2592 x 1944 photo of the printed CCT chart whose card nearly fills a
// 640 x 520 region around the photo centre, lit unevenly.
struct Scene {
    ChartSynth::RenderedChart rendered;
    cv::Mat input;
    cv::Mat full;
    CRect roi;
    std::shared_ptr<Base::CImageData2D> support;
    std::vector<float> reference;

    /// `narrow`: a card margin of half a patch side, and only the card's own
    /// ground as support (the host knows the card's outline).
    explicit Scene(bool narrow = false, int width = kPhotoWidth, int height = kPhotoHeight) {
        ChartSynth::RenderOptions options;
        options.chart = EChart::eCCTPrint;
        options.referenceRgb = ChartSynth::defaultReferenceColors();
        options.photoWidth = width;
        options.photoHeight = height;
        options.cardMargin = narrow ? 0.5 * ChartSynth::chartSideLength(options.chart) /
                                          ChartSynth::chartPitch(options.chart)
                                    : 1.4;
        options.falloff = 0.3;
        options.noiseSigma = 2.0;
        options.supersample = width > kPhotoWidth ? 1 : 2;
        rendered = ChartSynth::renderChart(options);
        const cv::Rect region((width - kRegionWidth) / 2, (height - kRegionHeight) / 2,
                              kRegionWidth, kRegionHeight);
        input = rendered.photo(region).clone();
        full = rendered.photo.clone();
        roi = CRect(region.x, region.y, region.x + region.width, region.y + region.height);
        cv::Mat mask(full.size(), CV_8UC1, cv::Scalar(255));
        if (narrow) {
            mask.setTo(0, rendered.cardMask);
        } else {
            mask(rendered.chartRegion & region).setTo(0);
        }
        support = std::make_shared<Base::CImageData2D>(mask.cols, mask.rows, 1, mask.data);
        for (const ChartSynth::Rgb& c : options.referenceRgb) {
            reference.insert(reference.end(), c.begin(), c.end());
        }
    }

    std::unique_ptr<CColorCalibration> engine() {
        auto e = std::make_unique<CColorCalibration>(EChart::eCCTPrint);
        e->SetInputImage(input.ptr<float>(), roi, full.ptr<float>(), full.cols, full.rows);
        e->SetColorImageRoi(support);
        e->SetReferenceColorsRGB(reference.data());
        return e;
    }
};

Scene& scene() {
    static Scene s;
    return s;
}

Scene& largeScene() {
    static Scene s(false, kLargeWidth, kLargeHeight);
    return s;
}

Scene& sceneOfSize(const benchmark::State& state) {
    return state.range(0) == 24 ? largeScene() : scene();
}

// The whole calibration as a host runs it: a fresh engine for each photo,
// region and support given, the white image written into a fresh array.
void BM_WholeCalibrationFreshEngine(benchmark::State& state) {
    Scene& sc = sceneOfSize(state);
    for (auto _ : state) {
        auto engine = sc.engine();
        CbArray<float> whiteOut;
        CColorCalibration::NxCColCalibMatrix matrix;
        if (!engine->startColorCalibration(whiteOut, matrix, nullptr, nullptr)) {
            state.SkipWithError("calibration failed");
            break;
        }
        benchmark::DoNotOptimize(matrix);
        benchmark::DoNotOptimize(std::as_const(whiteOut).GetData());
    }
}
BENCHMARK(BM_WholeCalibrationFreshEngine)
    ->Arg(5)
    ->Arg(24)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(9);

// The yardstick of the fresh-engine run: one 19 x 19 Gaussian of the same
// photo into a fresh output (arg 1) or into an output kept between runs (0).
void BM_GaussianBlurOfThePhotoBySize(benchmark::State& state) {
    const cv::Mat& photo = sceneOfSize(state).full;
    cv::Mat kept;
    for (auto _ : state) {
        cv::Mat fresh;
        cv::Mat& out = state.range(1) != 0 ? fresh : kept;
        cv::GaussianBlur(photo, out, cv::Size(19, 19), 9.0, 0.0, cv::BORDER_REFLECT_101);
        benchmark::DoNotOptimize(out.data);
    }
}
BENCHMARK(BM_GaussianBlurOfThePhotoBySize)
    ->Args({5, 1})
    ->Args({5, 0})
    ->Args({24, 1})
    ->Args({24, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3)
    ->Repetitions(9);

Scene& narrowScene() {
    static Scene s(true);
    return s;
}

void BM_WholeCalibration(benchmark::State& state) {
    auto engine = scene().engine();
    CbArray<float> whiteOut;
    CColorCalibration::NxCColCalibMatrix matrix;
    for (auto _ : state) {
        engine->reset();  // forget labels and white image: every run does all stages
        if (!engine->startColorCalibration(whiteOut, matrix, nullptr, nullptr)) {
            state.SkipWithError("calibration failed");
            break;
        }
        benchmark::DoNotOptimize(matrix);
    }
    state.SetLabel(engine->GetWhiteEstimateDiagnostics().method);
}
BENCHMARK(BM_WholeCalibration)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same photo with a card margin of half a patch side and only the card's
// ground as support: the white comes from the ridge fit.
void BM_WholeCalibrationNarrowCard(benchmark::State& state) {
    auto engine = narrowScene().engine();
    CbArray<float> whiteOut;
    CColorCalibration::NxCColCalibMatrix matrix;
    for (auto _ : state) {
        engine->reset();
        if (!engine->startColorCalibration(whiteOut, matrix, nullptr, nullptr)) {
            state.SkipWithError("calibration failed");
            break;
        }
        benchmark::DoNotOptimize(matrix);
    }
    state.SetLabel(engine->GetWhiteEstimateDiagnostics().method);
}
BENCHMARK(BM_WholeCalibrationNarrowCard)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StageSegmentation(benchmark::State& state) {
    auto engine = scene().engine();
    float white[3];
    for (auto _ : state) {
        if (!engine->precomputeSegmentation(white)) {
            state.SkipWithError("segmentation failed");
            break;
        }
        benchmark::DoNotOptimize(white);
    }
}
BENCHMARK(BM_StageSegmentation)->Unit(benchmark::kMillisecond)->UseRealTime();

// Inpainting including its final blur (the labels are already there).
void BM_StageInpainting(benchmark::State& state) {
    auto engine = scene().engine();
    float white[3];
    if (!engine->precomputeSegmentation(white)) {
        state.SkipWithError("segmentation failed");
        return;
    }
    CbArray<float> whiteOut;
    for (auto _ : state) {
        if (!engine->precomputeInpainting(whiteOut)) {
            state.SkipWithError("inpainting failed");
            break;
        }
        benchmark::DoNotOptimize(std::as_const(whiteOut).GetData());
    }
}
BENCHMARK(BM_StageInpainting)->Unit(benchmark::kMillisecond)->UseRealTime();

// The RBF part of the inpainting alone: fit and fill on the support mask that
// the engine builds (host support, patches, dilation), without the final blur.
void BM_StageRBFFitAndFill(benchmark::State& state) {
    Scene& sc = scene();
    auto engine = sc.engine();
    float white[3];
    if (!engine->precomputeSegmentation(white)) {
        state.SkipWithError("segmentation failed");
        return;
    }
    cv::Mat support(sc.full.rows, sc.full.cols, CV_8UC1,
                    const_cast<unsigned char*>(sc.support->GetData()));
    support = support.clone();
    cv::Mat region = support(cv::Rect(sc.roi.left, sc.roi.top, sc.input.cols, sc.input.rows));
    const cv::Mat patches = engine->GetSegmentLabels() > 1.0;
    patches.copyTo(region, region == 0);
    cv::dilate(support, support, cv::Mat::ones(11, 11, CV_8U), cv::Point(-1, -1), 2,
               cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
    cv::Mat out;
    for (auto _ : state) {
        DataLayer::CRBFInpainting inpainting{DataLayer::CRBFInpainting::Config()};
        inpainting.setInputImage(sc.full);
        inpainting.setInputSupportMask(support);
        if (!inpainting.approximate()) {
            state.SkipWithError("approximation failed");
            break;
        }
        inpainting.fillValues(cv::Mat(), out);
        benchmark::DoNotOptimize(out.data);
    }
}
BENCHMARK(BM_StageRBFFitAndFill)->Unit(benchmark::kMillisecond)->UseRealTime();

// The yardstick, and the blur stage of the inpainting: one 19 x 19 Gaussian
// (sigma 9) of the whole photo.
void BM_GaussianBlurOfThePhoto(benchmark::State& state) {
    const cv::Mat& photo = scene().full;
    cv::Mat out;
    for (auto _ : state) {
        cv::GaussianBlur(photo, out, cv::Size(19, 19), 9.0, 0.0, cv::BORDER_REFLECT_101);
        benchmark::DoNotOptimize(out.data);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(photo.total() * 12));
}
BENCHMARK(BM_GaussianBlurOfThePhoto)->Unit(benchmark::kMillisecond)->UseRealTime();

// Flat-field correction, patch measurement and fit (the white image exists).
void BM_StageCorrectionMeasurementFit(benchmark::State& state) {
    auto engine = scene().engine();
    CbArray<float> whiteOut;
    CColorCalibration::NxCColCalibMatrix matrix;
    if (!engine->startColorCalibration(whiteOut, matrix, nullptr, nullptr)) {
        state.SkipWithError("calibration failed");
        return;
    }
    for (auto _ : state) {
        if (!engine->startColorCalibration(whiteOut, matrix, nullptr, nullptr)) {
            state.SkipWithError("calibration failed");
            break;
        }
        benchmark::DoNotOptimize(matrix);
    }
}
BENCHMARK(BM_StageCorrectionMeasurementFit)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
