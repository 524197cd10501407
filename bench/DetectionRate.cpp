// Detection rate of the chart segmentation on rendered photos.
//
// Usage: DetectionRate [--set realistic|random|default] [--photos N] [--seed S]
//                      [--chart NAME] [--encoding srgb|linear] [--dump DIR] [--quiet]
//
// realistic (the default): the realistic render set (tools/synth/RealisticSet.h),
//   N photos per chart type and per encoding. The segmentation gets the host's
//   region of the photo; linear photos are sRGB-encoded first, as the command-line
//   tool does before segmenting.
// random / default: the easier set of earlier measurements, sRGB only: random
//   chart-like colours (or the default colours), rotation 0..12 degrees, noise
//   sigma 0..5, falloff 0..35 %, blur 0..1.5 px, region = the card's box.
//
// Every photo ends in one of three classes:
// - found: the segmentation succeeds with 20 centres in row order, each within
//   a quarter patch side of its patch's true centre, and the label at centre k
//   is k + 2;
// - missed: the segmentation fails (or reports a count other than 20); the
//   cause is the step at which it stopped;
// - false: the segmentation reports 20 centres but some centre lies off its
//   patch or carries another label (a shifted or mis-ordered grid). A false
//   detection is worse than a miss: it would be calibrated with wrong pairings.
// --dump DIR writes every missed or false photo (8-bit PNG of the region as
// segmented) for inspection.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "BenchCharts.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/ChartConstants.h"
#include "DataLayer/ShadeAnalysis/ColorScience.h"
#include "DataLayer/ShadeAnalysis/Segmentation/CWatershedSegmentation.h"
#include "tools/synth/RealisticSet.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;
using ChartSynth::Encoding;

enum class Verdict { eFound, eMissed, eFalse };

struct Outcome {
    Verdict verdict = Verdict::eMissed;
    std::string cause;
    double maxError = 0.0;
    bool recovered = false;
};

struct Photo {
    ChartSynth::RenderedChart rendered;
    cv::Mat region;  // what the segmentation gets
};

Photo renderRealistic(EChart chart, Encoding encoding, std::uint64_t seed) {
    Photo photo;
    photo.rendered = ChartSynth::renderChart(ChartSynth::realisticOptions(chart, encoding, seed));
    const cv::Mat region = photo.rendered.photo(photo.rendered.hostRegion);
    if (encoding == Encoding::eLinear) {
        // Segment display-encoded values, as the tool does for linear photos.
        photo.region.create(region.size(), CV_32FC3);
        for (int y = 0; y < region.rows; ++y) {
            const float* in = region.ptr<float>(y);
            float* out = photo.region.ptr<float>(y);
            for (int i = 0; i < 3 * region.cols; ++i) {
                out[i] = static_cast<float>(DataLayer::Color::srgbEncode(in[i]));
            }
        }
    } else {
        photo.region = region;
    }
    return photo;
}

Photo renderEasy(EChart chart, std::uint64_t seed, bool defaultColours) {
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
    Photo photo;
    photo.rendered = ChartSynth::renderChart(options);
    photo.region = photo.rendered.photo(photo.rendered.hostRegion);
    return photo;
}

Outcome judge(EChart chart, const Photo& photo) {
    const auto parameters = std::make_shared<DataLayer::CParameterSetColorCalibrationTarget>(chart);
    DataLayer::CWatershedSegmentation segmentation(parameters);
    segmentation.setInputImage(photo.region);
    Outcome outcome;
    const bool segmented = segmentation.segment();
    const DataLayer::SegmentationDiagnostics& diagnostics = segmentation.getDiagnostics();
    outcome.recovered = diagnostics.recovered;
    if (!segmented) {
        outcome.cause =
            diagnostics.reason + " (" + std::to_string(diagnostics.seedsFound) + " seeds)";
        return outcome;
    }
    const cv::Mat labels = segmentation.getLabels();
    const std::vector<std::array<int, 2>> centres = segmentation.getPatchCenters();
    if (centres.size() != static_cast<std::size_t>(DataLayer::kChartPatchCount)) {
        outcome.cause = "segmented with " + std::to_string(centres.size()) + " centres";
        return outcome;
    }
    const cv::Rect& region = photo.rendered.hostRegion;
    const double side = parameters->GetSegmentSideLength();
    for (std::size_t k = 0; k < centres.size(); ++k) {
        const double dx = centres[k][0] - (photo.rendered.centers[k].x - region.x);
        const double dy = centres[k][1] - (photo.rendered.centers[k].y - region.y);
        outcome.maxError = std::max(outcome.maxError, std::hypot(dx, dy));
    }
    for (std::size_t k = 0; k < centres.size(); ++k) {
        if (labels.at<int>(centres[k][1], centres[k][0]) != static_cast<int>(k) + 2) {
            outcome.verdict = Verdict::eFalse;
            outcome.cause = "label at centre " + std::to_string(k) + " is not its index + 2";
            return outcome;
        }
    }
    if (outcome.maxError > 0.25 * side) {
        outcome.verdict = Verdict::eFalse;
        outcome.cause = "a centre " + std::to_string(outcome.maxError) + " px off its patch";
        return outcome;
    }
    outcome.verdict = Verdict::eFound;
    return outcome;
}

struct Options {
    std::string set = "realistic";
    int photos = 100;
    std::uint64_t firstSeed = 1;
    std::string chart;
    std::string encoding;
    std::string dump;
    bool quiet = false;
};

using ColorCalBench::kCharts;

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quiet") {
            o.quiet = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (arg == "--set") {
            o.set = value;
        } else if (arg == "--photos") {
            o.photos = std::max(1, std::atoi(value.c_str()));
        } else if (arg == "--seed") {
            o.firstSeed = std::strtoull(value.c_str(), nullptr, 10);
        } else if (arg == "--chart") {
            o.chart = value;
        } else if (arg == "--encoding") {
            o.encoding = value;
        } else if (arg == "--dump") {
            o.dump = value;
        } else {
            return false;
        }
    }
    return o.set == "realistic" || o.set == "random" || o.set == "default";
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: DetectionRate [--set realistic|random|default] [--photos N] "
                     "[--seed S] [--chart NAME] [--encoding srgb|linear] [--dump DIR] [--quiet]\n");
        return 2;
    }
    std::vector<Encoding> encodings;
    if (o.set != "realistic" || o.encoding.empty() || o.encoding == "srgb") {
        encodings.push_back(Encoding::eSrgb);
    }
    if (o.set == "realistic" && (o.encoding.empty() || o.encoding == "linear")) {
        encodings.push_back(Encoding::eLinear);
    }
    std::printf("set %s, %d photos per chart type and encoding, seeds %llu..\n", o.set.c_str(),
                o.photos, static_cast<unsigned long long>(o.firstSeed));
    std::printf("%-16s %-8s %7s %7s %9s %7s %7s %8s %13s\n", "chart", "encoding", "photos", "found",
                "recovered", "missed", "false", "rate", "worst error");
    std::vector<std::string> lines;
    int totalFalse = 0;
    for (const auto& [chart, name] : kCharts) {
        if (!o.chart.empty() && o.chart != name) continue;
        for (Encoding encoding : encodings) {
            const char* encodingName = encoding == Encoding::eSrgb ? "srgb" : "linear";
            int found = 0;
            int recovered = 0;
            int falses = 0;
            double worst = 0.0;
            for (int i = 0; i < o.photos; ++i) {
                const std::uint64_t seed = o.firstSeed + static_cast<std::uint64_t>(i);
                const Photo photo = o.set == "realistic"
                                        ? renderRealistic(chart, encoding, seed)
                                        : renderEasy(chart, seed, o.set == "default");
                const Outcome outcome = judge(chart, photo);
                if (outcome.verdict == Verdict::eFound) {
                    ++found;
                    recovered += outcome.recovered ? 1 : 0;
                    worst = std::max(worst, outcome.maxError);
                    continue;
                }
                falses += outcome.verdict == Verdict::eFalse ? 1 : 0;
                lines.push_back(
                    std::string(outcome.verdict == Verdict::eFalse ? "FALSE " : "miss  ") + name +
                    " " + encodingName + " seed " + std::to_string(seed) + ": " + outcome.cause);
                if (!o.dump.empty()) {
                    cv::Mat bytes;
                    photo.region.convertTo(bytes, CV_8UC3);
                    cv::imwrite(o.dump + "/" + name + "-" + encodingName + "-" +
                                    std::to_string(seed) + ".png",
                                bytes);
                }
            }
            totalFalse += falses;
            std::printf("%-16s %-8s %7d %7d %9d %7d %7d %7.1f%% %10.2f px\n", name, encodingName,
                        o.photos, found, recovered, o.photos - found - falses, falses,
                        100.0 * found / o.photos, worst);
            std::fflush(stdout);
        }
    }
    if (!o.quiet) {
        for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    }
    std::printf("false detections: %d\n", totalFalse);
    return 0;
}
