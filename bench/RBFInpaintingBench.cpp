// RBF inpainting on a 2592 x 1944 photo: the chart-sized support the engine
// uses, the worst case of the whole photo as support, and the baselines of one
// plain Gaussian blur and the direct per-pixel masked Gaussian.

#include <benchmark/benchmark.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "synth/SyntheticChart.h"

namespace {

using DataLayer::CRBFInpainting;

constexpr int kWidth = 2592;
constexpr int kHeight = 1944;

struct Photo {
    ChartSynth::RenderedChart chart;
    cv::Mat patches;  // non-zero on the patches, grown as the engine grows them
};

const Photo& photo() {
    static const Photo p = [] {
        Photo out;
        ChartSynth::RenderOptions o;
        o.chart = ChartSynth::EChart::eCCTXRite;
        o.photoWidth = kWidth;
        o.photoHeight = kHeight;
        o.falloff = 0.3;
        o.noiseSigma = 1.0;
        o.supersample = 1;
        o.referenceRgb = ChartSynth::defaultReferenceColors();
        out.chart = ChartSynth::renderChart(o);
        out.patches = cv::Mat::zeros(out.chart.photo.size(), CV_8UC1);
        const double half = ChartSynth::chartSideLength(o.chart) / 2.0;
        for (const cv::Point2d& c : out.chart.centers) {
            cv::rectangle(out.patches, cv::Point(cvRound(c.x - half), cvRound(c.y - half)),
                          cv::Point(cvRound(c.x + half), cvRound(c.y + half)), cv::Scalar(255),
                          cv::FILLED);
        }
        return out;
    }();
    return p;
}

/// Support of the engine: only the chart card's white ground.
cv::Mat chartSupport() {
    const Photo& p = photo();
    cv::Mat support(p.chart.photo.size(), CV_8UC1, cv::Scalar(255));
    support(p.chart.chartRegion).setTo(0);
    support.setTo(255, p.patches);
    cv::dilate(support, support, cv::Mat::ones(11, 11, CV_8U), cv::Point(-1, -1), 2);
    return support;
}

/// Worst case: every pixel but the patches may serve as support.
cv::Mat wholePhotoSupport() {
    cv::Mat support = photo().patches.clone();
    cv::dilate(support, support, cv::Mat::ones(11, 11, CV_8U), cv::Point(-1, -1), 2);
    return support;
}

void runInpainting(benchmark::State& state, const cv::Mat& support) {
    const cv::Mat& image = photo().chart.photo;
    CRBFInpainting::FitDiagnostics diag;
    std::size_t centres = 0;
    cv::Mat out;
    for (auto _ : state) {
        CRBFInpainting inpainting;
        inpainting.setInputImage(image);
        inpainting.setInputSupportMask(support);
        if (!inpainting.approximate()) state.SkipWithError("approximate failed");
        inpainting.fillValues(cv::Mat(), out);
        benchmark::DoNotOptimize(out.data);
        diag = inpainting.getFitDiagnostics();
    }
    // Largest relative deviation of the inpainted white from the rendered
    // illumination of the white ground, over the chart card.
    if (!out.empty()) {
        const cv::Rect r = photo().chart.chartRegion;
        const cv::Rect card(r.x + 15, r.y + 15, r.width - 30, r.height - 30);
        cv::Mat ratio;
        cv::divide(out(card), photo().chart.whiteField(card), ratio);
        double lo = 0.0;
        double hi = 0.0;
        cv::minMaxLoc(ratio.reshape(1), &lo, &hi);
        state.counters["cardError"] = std::max(1.0 - lo, hi - 1.0);
    }
    (void)centres;
    state.counters["minPivot"] = diag.minPivot;
    state.counters["maxPivot"] = diag.maxPivot;
    state.counters["factorised"] = diag.factorised ? 1 : 0;
    state.counters["usedFallback"] = diag.usedFallback ? 1 : 0;
    state.counters["rank"] = static_cast<double>(diag.rank);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(image.total()) * 12);
}

void BM_InpaintChartSupport(benchmark::State& state) {
    const cv::Mat support = chartSupport();
    runInpainting(state, support);
}
BENCHMARK(BM_InpaintChartSupport)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

/// The filling alone, on an object fitted once to the chart-sized support.
void BM_FillChartSupport(benchmark::State& state) {
    CRBFInpainting inpainting;
    inpainting.setInputImage(photo().chart.photo);
    inpainting.setInputSupportMask(chartSupport());
    if (!inpainting.approximate()) state.SkipWithError("approximate failed");
    cv::Mat out;
    for (auto _ : state) {
        inpainting.fillValues(cv::Mat(), out);
        benchmark::DoNotOptimize(out.data);
    }
}
BENCHMARK(BM_FillChartSupport)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_InpaintWholePhotoSupport(benchmark::State& state) {
    const cv::Mat support = wholePhotoSupport();
    runInpainting(state, support);
}
BENCHMARK(BM_InpaintWholePhotoSupport)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(1);

/// A chart on a white table filling a photo of state.range(0) megapixels:
/// every pixel but a chart-sized block in the middle is support, far beyond
/// the default grids' bound (coarser grids keep the fit within it).
void BM_InpaintLargePhotoSupport(benchmark::State& state) {
    const double pixels = static_cast<double>(state.range(0)) * 1e6;
    const int width = static_cast<int>(std::sqrt(pixels * 4.0 / 3.0));
    const int height = static_cast<int>(pixels / width);
    cv::Mat small(3, 4, CV_32FC3);
    for (int y = 0; y < small.rows; ++y) {
        for (int x = 0; x < small.cols; ++x) {
            const float v = 235.0f - 12.0f * static_cast<float>(x) - 6.0f * static_cast<float>(y);
            small.at<cv::Vec3f>(y, x) = cv::Vec3f(v, 0.97f * v, 0.94f * v);
        }
    }
    cv::Mat image;
    cv::resize(small, image, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    cv::Mat support(image.size(), CV_8UC1, cv::Scalar(0));
    support(cv::Rect(width / 2 - 600, height / 2 - 450, 1200, 900)).setTo(255);
    CRBFInpainting::FitDiagnostics diag;
    cv::Mat out;
    for (auto _ : state) {
        CRBFInpainting inpainting;
        inpainting.setInputImage(image);
        inpainting.setInputSupportMask(support);
        if (!inpainting.approximate()) state.SkipWithError("approximate failed");
        inpainting.fillValues(cv::Mat(), out);
        benchmark::DoNotOptimize(out.data);
        diag = inpainting.getFitDiagnostics();
    }
    state.counters["centres"] = static_cast<double>(diag.centres);
    state.counters["samples"] = static_cast<double>(diag.samples);
    state.counters["centreStep"] = diag.centreStep;
    state.counters["sampleStep"] = diag.sampleStep;
    state.counters["residualRms"] = diag.residualRms;
}
BENCHMARK(BM_InpaintLargePhotoSupport)
    ->Arg(24)
    ->Arg(50)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

void BM_MaskedGaussianSeparable(benchmark::State& state) {
    const cv::Mat& image = photo().chart.photo;
    const cv::Mat weights = chartSupport() == 0;
    CRBFInpainting inpainting;
    cv::Mat out;
    for (auto _ : state) {
        inpainting.maskedGaussian(image, out, weights / 255);
        benchmark::DoNotOptimize(out.data);
    }
}
BENCHMARK(BM_MaskedGaussianSeparable)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

void BM_GaussianBlurBaseline(benchmark::State& state) {
    const cv::Mat& image = photo().chart.photo;
    cv::Mat out;
    for (auto _ : state) {
        cv::GaussianBlur(image, out, cv::Size(19, 19), 9.0, 9.0, cv::BORDER_REFLECT);
        benchmark::DoNotOptimize(out.data);
    }
}
BENCHMARK(BM_GaussianBlurBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

/// The direct masked Gaussian: a 19 x 19 window product and sum per pixel and
/// channel, on a 512 x 512 crop.
void BM_MaskedGaussianDirect512(benchmark::State& state) {
    const cv::Rect crop(photo().chart.chartRegion.x, photo().chart.chartRegion.y, 512, 512);
    const cv::Mat src = photo().chart.photo(crop).clone();
    const cv::Mat weights = (chartSupport()(crop) == 0) / 255;
    const cv::Mat g = cv::getGaussianKernel(19, 9.0, CV_64F);
    const cv::Mat kernel = g * g.t();
    cv::Mat out(src.size(), CV_32FC3);
    for (auto _ : state) {
        cv::Mat ps;
        cv::Mat pw;
        cv::copyMakeBorder(src, ps, 9, 9, 9, 9, cv::BORDER_REFLECT);
        cv::copyMakeBorder(weights, pw, 9, 9, 9, 9, cv::BORDER_REFLECT);
        for (int y = 0; y < src.rows; ++y) {
            for (int x = 0; x < src.cols; ++x) {
                for (int c = 0; c < 3; ++c) {
                    double num = 0.0;
                    double den = 0.0;
                    for (int i = 0; i < 19; ++i) {
                        const float* s = ps.ptr<float>(y + i) + 3 * x + c;
                        const uchar* w = pw.ptr<uchar>(y + i) + x;
                        const double* k = kernel.ptr<double>(i);
                        for (int j = 0; j < 19; ++j) {
                            const double kw = k[j] * w[j];
                            num += kw * s[3 * j];
                            den += kw;
                        }
                    }
                    out.at<cv::Vec3f>(y, x)[c] = static_cast<float>(num / den);
                }
            }
        }
        benchmark::DoNotOptimize(out.data);
    }
}
BENCHMARK(BM_MaskedGaussianDirect512)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
