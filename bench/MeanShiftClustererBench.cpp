// Time of the mean-shift clustering on the points the segmentation clusters:
// the whitened Lab values of a chart image reduced to 160 x 130 pixels.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "Base/Algorithms/CMeanShiftClusterer3D.h"
#include "Base/Algorithms/JacobiIteration.h"
#include "synth/SyntheticChart.h"

namespace {

constexpr float kLabClusterRadius = 15.0f;
constexpr double kScale = 0.25;

struct ClusterInput {
    std::vector<double> points;
    double radius = 0.0;
};

// Reduces, converts and blurs an 8-bit BGR chart image as the segmentation
// does, then whitens the Lab values along their principal axes.
ClusterInput prepare(const cv::Mat& photo8u) {
    if (photo8u.empty()) {
        return ClusterInput();
    }
    cv::Mat filtered;
    cv::medianBlur(photo8u, filtered, 9);
    cv::Mat reduced;
    cv::resize(filtered, reduced, cv::Size(0, 0), kScale, kScale, cv::INTER_LINEAR);
    cv::Mat lab;
    cv::cvtColor(reduced, lab, cv::COLOR_BGR2Lab);
    cv::GaussianBlur(lab, lab, cv::Size(3, 3), 1.5, 0.0, cv::BORDER_DEFAULT);
    cv::Mat labD;
    lab.convertTo(labD, CV_64FC3);

    ClusterInput input;
    input.points.assign(labD.ptr<double>(), labD.ptr<double>() + labD.total() * 3);
    const std::size_t n = labD.total();
    double mean[3] = {0, 0, 0};
    for (std::size_t i = 0; i < n; ++i) {
        for (int k = 0; k < 3; ++k) mean[k] += input.points[3 * i + k] / static_cast<double>(n);
    }
    double cov[6] = {0, 0, 0, 0, 0, 0};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c <= r; ++c) {
            double s = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                s += input.points[3 * i + r] * input.points[3 * i + c] /
                     (static_cast<double>(n) - 1.0);
            }
            cov[r * (r + 1) / 2 + c] =
                s - static_cast<double>(n) / (static_cast<double>(n) - 1.0) * mean[r] * mean[c];
        }
    }
    double eigenvalues[3];
    double eigenvectors[9];
    double work[6];
    symsolvers::JacobiIteration(cov, eigenvalues, eigenvectors, 3, 20, work);
    double sigma[3];
    for (int j = 0; j < 3; ++j) sigma[j] = std::sqrt(eigenvalues[j]);
    for (std::size_t i = 0; i < n; ++i) {
        double* x = &input.points[3 * i];
        const double d[3] = {x[0] - mean[0], x[1] - mean[1], x[2] - mean[2]};
        for (int j = 0; j < 3; ++j) {
            x[j] =
                (d[0] * eigenvectors[j] + d[1] * eigenvectors[3 + j] + d[2] * eigenvectors[6 + j]) /
                sigma[j];
        }
    }
    const double largest = std::max({eigenvalues[0], eigenvalues[1], eigenvalues[2]});
    input.radius =
        static_cast<double>(kLabClusterRadius * (1.0f / static_cast<float>(std::sqrt(largest))));
    return input;
}

// A 640 x 520 photo of a chart rendered with light falloff, blur and noise.
cv::Mat renderedChart() {
    ChartSynth::RenderOptions options;
    options.chart = ChartSynth::EChart::eCCTPrint;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    options.photoWidth = 640;
    options.photoHeight = 520;
    options.falloff = 0.2;
    options.rotationDeg = 2.0;
    options.blurSigma = 1.0;
    options.noiseSigma = 3.0;
    options.seed = 11;
    return ChartSynth::renderChart(options).photo8u;
}

// A 640 x 520 white ground with 20 coloured 56 x 56 squares and noise, drawn directly.
cv::Mat drawnChart() {
    cv::Mat photo(520, 640, CV_8UC3, cv::Scalar(228, 232, 235));
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> channel(30, 220);
    for (int row = 0; row < 4; ++row) {
        for (int col = 0; col < 5; ++col) {
            const cv::Scalar colour(channel(rng), channel(rng), channel(rng));
            cv::rectangle(photo, cv::Rect(70 + col * 104, 60 + row * 104, 56, 56), colour,
                          cv::FILLED);
        }
    }
    cv::Mat noise(photo.size(), CV_16SC3);
    cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(3));
    cv::Mat noisy;
    photo.convertTo(noisy, CV_16SC3);
    noisy += noise;
    noisy.convertTo(photo, CV_8UC3);
    return photo;
}

void runClustering(benchmark::State& state, const ClusterInput& input) {
    const std::size_t n = input.points.size() / 3;
    if (n == 0) {
        state.SkipWithError("no chart image");
        return;
    }
    unsigned int clusters = 0;
    for (auto _ : state) {
        CMeanShiftClusterer3D clusterer(input.points.data(), n, input.radius);
        clusterer.Run();
        clusters = clusterer.GetNumClusters();
        benchmark::DoNotOptimize(clusters);
    }
    state.counters["points"] = static_cast<double>(n);
    state.counters["radius"] = input.radius;
    state.counters["clusters"] = clusters;
}

void BM_ClusterRenderedChart(benchmark::State& state) {
    static const ClusterInput input = prepare(renderedChart());
    runClustering(state, input);
}

void BM_ClusterDrawnChart(benchmark::State& state) {
    static const ClusterInput input = prepare(drawnChart());
    runClustering(state, input);
}

}  // namespace

BENCHMARK(BM_ClusterRenderedChart)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ClusterDrawnChart)->Unit(benchmark::kMillisecond)->UseRealTime();
