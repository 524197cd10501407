// The segmentation's 9 x 9 median filter on the 640 x 520 8-bit chart region
// the segmentation filters (its benchmark's region, converted as
// setInputImage does), beside cv::medianBlur(src, dst, 9) on the same image:
// with the kernel set the library picks, with each set on one thread, and on
// a 12-megapixel photo.

#include <benchmark/benchmark.h>

#include <tbb/global_control.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/Segmentation/MedianFilter.h"
#include "tools/synth/SyntheticChart.h"

namespace {

namespace MF = DataLayer::MedianFilter;

// The rendered chart photo (noise, falloff, blur), cropped to width x height
// around its centre and converted to 8 bits.
cv::Mat chartImage(int photoWidth, int photoHeight, int width, int height) {
    ChartSynth::RenderOptions options;
    options.chart = Base::IParameterSetColorCalibrationTarget::eCCTPrint;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    options.photoWidth = photoWidth;
    options.photoHeight = photoHeight;
    options.rotationDeg = 6.0;
    options.noiseSigma = 3.0;
    options.falloff = 0.3;
    options.blurSigma = 1.0;
    const ChartSynth::RenderedChart photo = ChartSynth::renderChart(options);
    cv::Mat image8u;
    photo.photo(cv::Rect((photoWidth - width) / 2, (photoHeight - height) / 2, width, height))
        .convertTo(image8u, CV_8U);
    return image8u;
}

const cv::Mat& image(int which) {
    static const cv::Mat region = chartImage(800, 700, 640, 520);
    static const cv::Mat photo = chartImage(4000, 3000, 4000, 3000);
    return which == 0 ? region : photo;
}

void setBytes(benchmark::State& state, const cv::Mat& src) {
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(src.total()) *
                            static_cast<std::int64_t>(src.elemSize()));
    state.SetLabel(std::to_string(src.cols) + "x" + std::to_string(src.rows));
}

void BM_MedianBlur9x9(benchmark::State& state) {
    const cv::Mat& src = image(static_cast<int>(state.range(0)));
    cv::Mat dst;
    for (auto _ : state) {
        DataLayer::medianBlur9x9(src, dst);
        benchmark::DoNotOptimize(dst.data);
    }
    setBytes(state, src);
}
BENCHMARK(BM_MedianBlur9x9)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// One thread, kernel set 0 portable, 1 AVX2.
void BM_MedianBlur9x9OneThread(benchmark::State& state) {
    const MF::MedianKernels* kernels =
        state.range(0) == 0 ? &MF::portableMedianKernels() : MF::avx2MedianKernels();
    if (kernels == nullptr) {
        state.SkipWithError("no AVX2 kernels on this build or processor");
        return;
    }
    const tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    const cv::Mat& src = image(0);
    cv::Mat dst;
    for (auto _ : state) {
        MF::medianBlur9x9(src, dst, *kernels);
        benchmark::DoNotOptimize(dst.data);
    }
    setBytes(state, src);
    state.SetLabel(kernels->name);
}
BENCHMARK(BM_MedianBlur9x9OneThread)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: OpenCV's median of the same image.
void BM_Baseline_OpenCVMedian9(benchmark::State& state) {
    const cv::Mat& src = image(static_cast<int>(state.range(0)));
    cv::Mat dst;
    for (auto _ : state) {
        cv::medianBlur(src, dst, 9);
        benchmark::DoNotOptimize(dst.data);
    }
    setBytes(state, src);
}
BENCHMARK(BM_Baseline_OpenCVMedian9)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
