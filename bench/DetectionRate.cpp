// Detection rate of the chart segmentation on random rendered photos.
//
// Usage: DetectionRate [photos per chart type = 100] [first seed = 1] [default]
//
// With "default" the chart's default reference colours are used instead.
//
// Every photo gets a random rotation (0..12 degrees), noise (sigma 0..5),
// illumination falloff (0..35 %), blur (sigma 0..1.5 px), gradient direction
// and reference colours (ChartSynth::randomReferenceColors, which include
// pairs of similar greys). A photo counts as detected when the segmentation
// succeeds with 20 centres in row order, each within 3 px of its patch, and
// the label at centre k is k + 2; photos segmented correctly but with a centre
// between 3 and 4 px off are counted separately. Seeds are found at quarter
// resolution and a reduced pixel x maps back to the full-resolution pixel 4x,
// the first of the four it covers: on a rotated chart the centres sit about
// 1.5 px up and left of the patches, which the 4-px column shows. Failures are broken down by the
// step at which the segmentation stopped.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CWatershedSegmentation.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

// Runs the segmentation and, on failure, tells where it stopped.
class DiagnosedSegmentation : public DataLayer::CWatershedSegmentation {
  public:
    using CWatershedSegmentation::CWatershedSegmentation;

    std::size_t seedCount() const { return m_seeds.size(); }

    // Repeats the run's steps on a fresh image to name the failing one.
    std::string failureStage(const cv::Mat& image) {
        setInputImage(image);
        cv::Mat centres;
        findClusterMarkers(m_filteredImage, centres);
        if (centres.empty()) {
            return "no cluster centres";
        }
        for (int i = 0; i < centres.rows; ++i) {
            m_seeds.push_back({centres.at<cv::Vec2i>(i)[0], centres.at<cv::Vec2i>(i)[1]});
        }
        cv::watershed(m_filteredImage, m_labels);
        recluster(0.85f);
        bool accepted = false;
        for (std::size_t i = 0; i < m_seeds.size() && !accepted; ++i) {
            const std::array<int, 2> seed = m_seeds[i];
            accepted = tryGridFromSeed(seed);
        }
        if (!accepted) {
            return "no grid accepted (" + std::to_string(m_seeds.size()) + " seeds)";
        }
        if (!orderGridPositions()) {
            return "grid not orientable";
        }
        if (!filterGridPositions()) {
            return "filter kept " + std::to_string(m_patchCenters.size()) + " positions (" +
                   std::to_string(m_seeds.size()) + " seeds)";
        }
        if (!refineGridByAffineFit()) {
            return "affine fit failed";
        }
        return "labelling, border test or white";
    }
};

struct Outcome {
    bool detected = false;
    bool within4 = false;
    std::string cause;
    double maxError = 0.0;
};

Outcome runOne(EChart chart, std::uint64_t seed, bool defaultColours) {
    std::mt19937_64 rng(seed * 7919 + static_cast<std::uint64_t>(chart));
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    ChartSynth::RenderOptions options;
    options.chart = chart;
    options.referenceRgb = defaultColours ? ChartSynth::defaultReferenceColors()
                                          : ChartSynth::randomReferenceColors(seed);
    options.rotationDeg = 12.0 * unit(rng);
    options.noiseSigma = 5.0 * unit(rng);
    options.falloff = 0.35 * unit(rng);
    options.blurSigma = 1.5 * unit(rng);
    options.gradientAngleDeg = 360.0 * unit(rng);
    options.offsetX = unit(rng) - 0.5;
    options.offsetY = unit(rng) - 0.5;
    options.supersample = 2;
    options.seed = seed;
    const ChartSynth::RenderedChart photo = ChartSynth::renderChart(options);
    const cv::Mat region = photo.photo(photo.chartRegion);

    const auto parameters = std::make_shared<DataLayer::CParameterSetColorCalibrationTarget>(chart);
    DiagnosedSegmentation segmentation(parameters);
    segmentation.setInputImage(region);
    Outcome outcome;
    if (!segmentation.segment()) {
        DiagnosedSegmentation diagnosis(parameters);
        outcome.cause = diagnosis.failureStage(region);
        return outcome;
    }
    const cv::Mat labels = segmentation.getLabels();
    const std::vector<std::array<int, 2>> centres = segmentation.getPatchCenters();
    if (centres.size() != 20) {
        outcome.cause = "segmented with " + std::to_string(centres.size()) + " centres";
        return outcome;
    }
    for (std::size_t k = 0; k < centres.size(); ++k) {
        const double dx = centres[k][0] - (photo.centers[k].x - photo.chartRegion.x);
        const double dy = centres[k][1] - (photo.centers[k].y - photo.chartRegion.y);
        outcome.maxError = std::max(outcome.maxError, std::hypot(dx, dy));
        if (labels.at<int>(centres[k][1], centres[k][0]) != static_cast<int>(k) + 2) {
            outcome.cause = "label at a centre is not its index + 2";
            return outcome;
        }
    }
    outcome.within4 = outcome.maxError <= 4.0;
    if (outcome.maxError > 3.0) {
        outcome.cause = "a centre more than 3 px off (" + std::to_string(outcome.maxError) + ")";
        return outcome;
    }
    outcome.detected = true;
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    const int photos = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const std::uint64_t firstSeed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const bool defaultColours = argc > 3 && std::string(argv[3]) == "default";
    const std::pair<EChart, const char*> charts[] = {
        {Base::IParameterSetColorCalibrationTarget::eCCTPrint, "eCCTPrint"},
        {Base::IParameterSetColorCalibrationTarget::eQCCPrint, "eQCCPrint"},
        {Base::IParameterSetColorCalibrationTarget::eCCTXRite, "eCCTXRite"},
        {Base::IParameterSetColorCalibrationTarget::eQCCXRite, "eQCCXRite"},
        {Base::IParameterSetColorCalibrationTarget::eQCCPrintSmall, "eQCCPrintSmall"},
    };
    std::printf("%-15s %7s %9s %7s %15s %15s %17s\n", "chart", "photos", "detected", "rate",
                "mean max error", "worst max error", "within 4 px");
    std::map<std::string, std::vector<std::string>> failures;
    for (const auto& [chart, name] : charts) {
        int detected = 0;
        double errorSum = 0.0;
        double worst = 0.0;
        int within4 = 0;
        for (int i = 0; i < photos; ++i) {
            const std::uint64_t seed = firstSeed + static_cast<std::uint64_t>(i);
            const Outcome outcome = runOne(chart, seed, defaultColours);
            if (outcome.within4) {
                ++within4;
            }
            if (outcome.detected) {
                ++detected;
                errorSum += outcome.maxError;
                worst = std::max(worst, outcome.maxError);
            } else {
                failures[name].push_back("seed " + std::to_string(seed) + ": " + outcome.cause);
            }
        }
        std::printf("%-15s %7d %9d %6.1f%% %12.2f px %12.2f px %17d\n", name, photos, detected,
                    100.0 * detected / photos, detected ? errorSum / detected : 0.0, worst,
                    within4);
        std::fflush(stdout);
    }
    for (const auto& [name, list] : failures) {
        for (const std::string& line : list) {
            std::printf("failure %s %s\n", name.c_str(), line.c_str());
        }
    }
    return 0;
}
