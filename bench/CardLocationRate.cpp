// How well the chart's card is found anywhere in a wider photo, and what
// calibrating without a region and a support mask costs in accuracy.
//
// Usage: CardLocationRate [--photos N] [--seed S] [--chart NAME] [--encoding srgb|linear]
//                         [--max-pixels P] [--calibrate] [--dump DIR] [--quiet]
//
// The photos are the realistic render set re-rendered as wider scenes
// (ChartSynth::sceneOptions): 1600 x 1200 up to 6000 x 4000 with the card
// anywhere, distractors (white paper, a bright object, a hand over the card's
// margin, a white wall on every other one) on the odd seeds. For every photo
// the card locator runs on the photo's own values (8-bit for sRGB photos,
// float for linear ones) and is judged against the card's true corners:
// - found: the card is reported and no corner lies more than half a patch
//   side from its true place; the table gives the share within 3 px and the
//   largest corner error;
// - wrong: a card is reported with a corner further off (another object or a
//   grossly misplaced card): the worst outcome;
// - missed: no card is reported.
// With --calibrate every found photo is also calibrated as the command-line
// tool does, once without a region and a support mask (the located card) and
// once with the true region (the card's box plus the host's margin) and the
// true mask (the visible card); the table gives the mean CIEDE2000 of the 20
// patches after the matrix for both.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "BenchCharts.h"
#include "CalibrationSummary.h"
#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"
#include "tools/synth/RealisticSet.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;
using ChartSynth::Encoding;

struct Options {
    int photos = 20;
    std::uint64_t firstSeed = 1;
    std::string chart;
    std::string encoding = "srgb";
    long long maxPixels = 0;
    bool calibrate = false;
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
        if (arg == "--calibrate") {
            o.calibrate = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::string value = argv[++i];
        if (arg == "--photos") {
            o.photos = std::max(1, std::atoi(value.c_str()));
        } else if (arg == "--seed") {
            o.firstSeed = std::strtoull(value.c_str(), nullptr, 10);
        } else if (arg == "--chart") {
            o.chart = value;
        } else if (arg == "--encoding") {
            o.encoding = value;
        } else if (arg == "--max-pixels") {
            o.maxPixels = std::atoll(value.c_str());
        } else if (arg == "--dump") {
            o.dump = value;
        } else {
            return false;
        }
    }
    return o.encoding == "srgb" || o.encoding == "linear";
}

/// The mean CIEDE2000 after the matrix, or -1 with `why` set when the
/// calibration fails.
double meanAfter(const DataLayer::PhotoCalibrationRequest& request, std::string& why) {
    const DataLayer::PhotoCalibrationResult result = DataLayer::calibratePhoto(request);
    if (!result.ok()) {
        why = result.error;
        return -1.0;
    }
    const ColorCalCli::CalibrationSummary summary =
        ColorCalCli::summarize(result, request.referencesRgb, request.chart, request.photo.size());
    return summary.after.mean;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: CardLocationRate [--photos N] [--seed S] [--chart NAME] "
                     "[--encoding srgb|linear] [--max-pixels P] [--calibrate] [--dump DIR] "
                     "[--quiet]\n");
        return 2;
    }
    const Encoding encoding = o.encoding == "srgb" ? Encoding::eSrgb : Encoding::eLinear;
    std::printf("scenes of the realistic set, %d photos per chart type, %s, seeds %llu..\n",
                o.photos, o.encoding.c_str(), static_cast<unsigned long long>(o.firstSeed));
    std::printf("%-16s %6s %6s %6s %6s %9s %11s %9s", "chart", "photos", "found", "missed", "wrong",
                "within 3", "worst (px)", "mean ms");
    if (o.calibrate) {
        std::printf(" %9s %9s %6s", "dE no roi", "dE truth", "both");
    }
    std::printf("\n");
    std::vector<std::string> lines;
    int totalWrong = 0;
    for (const auto& [chart, name] : kCharts) {
        if (!o.chart.empty() && o.chart != name) continue;
        const DataLayer::CParameterSetColorCalibrationTarget parameters(chart);
        const DataLayer::CChartCardLocator locator(parameters, encoding == Encoding::eLinear);
        const double side = parameters.GetSegmentSideLength();
        int found = 0;
        int missed = 0;
        int wrong = 0;
        int within3 = 0;
        double worst = 0.0;
        double totalMs = 0.0;
        double sumLocated = 0.0;
        double sumTruth = 0.0;
        int calibrated = 0;
        for (int i = 0; i < o.photos; ++i) {
            const std::uint64_t seed = o.firstSeed + static_cast<std::uint64_t>(i);
            const ChartSynth::RenderOptions options =
                ChartSynth::sceneOptions(chart, encoding, seed, o.maxPixels);
            const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
            const cv::Mat& photo = encoding == Encoding::eSrgb ? rendered.photo8u : rendered.photo;
            const auto start = std::chrono::steady_clock::now();
            const DataLayer::ChartCardLocation location = locator.locate(photo);
            totalMs +=
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            const std::string tag = std::string(name) + " seed " + std::to_string(seed) + " (" +
                                    std::to_string(photo.cols) + "x" + std::to_string(photo.rows) +
                                    (options.paperSheet ? ", distractors" : "") + ")";
            if (!location.found) {
                ++missed;
                lines.push_back("miss  " + tag + ": " + location.reason);
            } else {
                double error = 0.0;
                for (std::size_t k = 0; k < 4; ++k) {
                    const cv::Point2d d =
                        cv::Point2d(location.corners[k]) - rendered.cardCorners[k];
                    error = std::max(error, std::hypot(d.x, d.y));
                }
                char corners[200];
                std::snprintf(corners, sizeof corners,
                              " (found (%.0f,%.0f) (%.0f,%.0f), true (%.0f,%.0f) (%.0f,%.0f))",
                              location.corners[0].x, location.corners[0].y, location.corners[2].x,
                              location.corners[2].y, rendered.cardCorners[0].x,
                              rendered.cardCorners[0].y, rendered.cardCorners[2].x,
                              rendered.cardCorners[2].y);
                if (error > 0.5 * side) {
                    ++wrong;
                    lines.push_back("WRONG " + tag + ": corner " + std::to_string(error) +
                                    " px off" + corners);
                } else {
                    ++found;
                    within3 += error <= 3.0 ? 1 : 0;
                    worst = std::max(worst, error);
                    if (error > 3.0) {
                        lines.push_back("inexact " + tag + ": corner " + std::to_string(error) +
                                        " px off" + corners);
                    }
                }
            }
            if (!o.dump.empty() && !lines.empty() &&
                lines.back().find("seed " + std::to_string(seed) + " ") != std::string::npos) {
                // The card's neighbourhood with the found outline (red) and the true one (green).
                cv::Mat bytes = rendered.photo8u.clone();
                std::vector<cv::Point> outline;
                std::vector<cv::Point> truth;
                for (std::size_t k = 0; k < 4; ++k) {
                    outline.emplace_back(cv::Point(location.corners[k]));
                    truth.emplace_back(cv::Point(rendered.cardCorners[k]));
                }
                cv::polylines(bytes, truth, true, cv::Scalar(0, 255, 0), 1);
                if (location.found) cv::polylines(bytes, outline, true, cv::Scalar(0, 0, 255), 1);
                const int grow = static_cast<int>(2.0 * side);
                const cv::Rect r =
                    cv::Rect(rendered.chartRegion.x - grow, rendered.chartRegion.y - grow,
                             rendered.chartRegion.width + 2 * grow,
                             rendered.chartRegion.height + 2 * grow) &
                    cv::Rect(0, 0, bytes.cols, bytes.rows);
                cv::imwrite(o.dump + "/" + name + "-" + std::to_string(seed) + ".png", bytes(r));
            }
            if (o.calibrate && location.found) {
                DataLayer::PhotoCalibrationRequest request;
                request.chart = chart;
                request.photo = rendered.photo;
                request.sourceDepth = encoding == Encoding::eSrgb ? CV_8U : CV_32F;
                request.encoding = encoding;
                for (int k = 0; k < 20; ++k) {
                    for (int c = 0; c < 3; ++c)
                        request.referencesRgb[k][c] = options.referenceRgb[k][c];
                }
                if (parameters.IsUseExternalWhiteImg()) {
                    request.externalWhite = rendered.whiteField;
                }
                std::string whyLocated;
                std::string whyTruth;
                const double located = meanAfter(request, whyLocated);
                request.roi = rendered.hostRegion;
                request.support = cv::Mat(rendered.photo.size(), CV_8U, cv::Scalar(255));
                request.support.setTo(0, rendered.cardMask);
                const double truth = meanAfter(request, whyTruth);
                if (located >= 0.0 && truth >= 0.0) {
                    char line[160];
                    std::snprintf(line, sizeof line,
                                  "CIEDE2000 %s: %.3f without a region, %.3f with the truth",
                                  tag.c_str(), located, truth);
                    lines.emplace_back(line);
                    sumLocated += located;
                    sumTruth += truth;
                    ++calibrated;
                } else {
                    lines.push_back("calibration " + tag + ": " +
                                    (located < 0.0 ? "failed without a region (" + whyLocated + ")"
                                                   : std::string("ok without a region")) +
                                    ", " +
                                    (truth < 0.0 ? "failed with the truth (" + whyTruth + ")"
                                                 : std::string("ok with the truth")));
                }
            }
        }
        totalWrong += wrong;
        std::printf("%-16s %6d %6d %6d %6d %8.1f%% %11.2f %9.1f", name, o.photos, found, missed,
                    wrong, 100.0 * within3 / o.photos, worst, totalMs / o.photos);
        if (o.calibrate) {
            std::printf(" %9.3f %9.3f %6d", calibrated ? sumLocated / calibrated : 0.0,
                        calibrated ? sumTruth / calibrated : 0.0, calibrated);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    if (!o.quiet) {
        for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    }
    std::printf("wrong cards: %d\n", totalWrong);
    return 0;
}
