// How often the chart's card is found, and the chart calibrated with the
// right pairing, in hand-held photos: at any scale, tilt and turn, on light,
// dark and textured backgrounds, among distractors.
//
// Usage: HandheldRate [--photos N] [--seed S] [--chart NAME] [--encoding srgb|linear]
//                     [--max-pixels P] [--calibrate] [--no-chart N] [--dump DIR] [--quiet]
//
// The photos are the hand-held render set (ChartSynth::handheldOptions): the
// card projected through a pinhole camera at 0.4-3 times its nominal scale,
// tilted by up to 35 degrees, turned by up to 15 degrees and by a quarter turn
// on a quarter of them, in photos of 1600 x 1200 up to 6000 x 4000
// (--max-pixels caps them). Without --encoding both encodings are measured.
// For every photo the card locator runs on the photo's own values (8-bit for
// sRGB photos, float for linear ones):
// - found: the reported grid (the nominal patch centres through the reported
//   homography) puts a different grid point within half a projected patch
//   side (the patch side times the photo's scale) of every true patch centre;
// - wrong: a card is reported whose grid misses a patch (another object or a
//   grossly misplaced card): the worst outcome of a search;
// - missed: no card is reported.
// A found card's outline is judged apart (column "edge"): its corners are
// matched to the true ones as a set, since with perspective and quarter turns
// their order is not fixed, and count when all lie within half a projected
// patch side. Where the card's edge vanishes into a background of its own
// level the outline is the grid plus the least margin a card has, and may
// lie inside the printed edge; the support mask then holds the card's ground
// inside it.
// With --calibrate every photo is also calibrated as the command-line tool
// does without a region (calibrateAndSummarize), X-Rite types with the true white
// image as their external white:
// - right: it succeeds and every reported patch (centre and reference index)
//   lies within half a projected patch side of the true centre of that
//   reference colour;
// - wrong pairing: it succeeds otherwise: colours paired with the wrong
//   references, the worst outcome of all;
// - failed: it fails (the reasons are counted).
// The hand-held photos calibrated right are compared with their twins (the
// same photo at scale 1, untilted, calibrated with the true region and
// support): the mean CIEDE2000 after the matrix of both and their ratio.
// --no-chart N counts the cards every chart type's locator reports on N
// chart-free scenes (light surfaces, paper sheets and grid distractors).
// --dump DIR writes every wrong, missed or wrongly paired photo (reduced, the
// true card outlined in green, the reported one in red).

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <tbb/parallel_for.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "BenchCharts.h"
#include "CalibrationSummary.h"
#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"
#include "tools/synth/HandheldSet.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;
using ChartSynth::Background;
using ChartSynth::Encoding;
using ColorCalBench::kCharts;

struct Options {
    int photos = 20;
    std::uint64_t firstSeed = 1;
    std::string chart;
    std::string encoding;  // empty: both
    long long maxPixels = 0;
    bool calibrate = false;
    int noChart = 0;
    std::string dump;
    bool quiet = false;
};

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
            o.photos = std::max(0, std::atoi(value.c_str()));
        } else if (arg == "--seed") {
            o.firstSeed = std::strtoull(value.c_str(), nullptr, 10);
        } else if (arg == "--chart") {
            o.chart = value;
        } else if (arg == "--encoding") {
            o.encoding = value;
        } else if (arg == "--max-pixels") {
            o.maxPixels = std::atoll(value.c_str());
        } else if (arg == "--no-chart") {
            o.noChart = std::max(0, std::atoi(value.c_str()));
        } else if (arg == "--dump") {
            o.dump = value;
        } else {
            return false;
        }
    }
    const bool chartKnown =
        o.chart.empty() || std::any_of(std::begin(kCharts), std::end(kCharts),
                                       [&](const auto& c) { return o.chart == c.second; });
    return chartKnown && (o.encoding.empty() || o.encoding == "srgb" || o.encoding == "linear");
}

const char* encodingName(Encoding encoding) {
    return encoding == Encoding::eSrgb ? "srgb" : "linear";
}

/// Calibrates a photo as the command-line tool's `calibrate` does when no
/// region is given: the card located, the stages run and the result summarised.
ColorCalCli::CalibrationSummary calibrateAndSummarize(
    const DataLayer::PhotoCalibrationRequest& request) {
    return ColorCalCli::summarize(DataLayer::calibratePhoto(request), request.referencesRgb,
                                  request.chart, request.photo.size());
}

/// The calibration request of a rendered photo, as the tool would read it.
DataLayer::PhotoCalibrationRequest requestFor(const ChartSynth::RenderOptions& options,
                                              const ChartSynth::RenderedChart& rendered,
                                              bool externalWhite) {
    DataLayer::PhotoCalibrationRequest request;
    request.chart = options.chart;
    request.photo = rendered.photo;
    request.sourceDepth = options.encoding == Encoding::eSrgb ? CV_8U : CV_32F;
    request.encoding = options.encoding;
    for (std::size_t k = 0; k < 20; ++k) {
        for (std::size_t c = 0; c < 3; ++c)
            request.referencesRgb[k][c] = options.referenceRgb[k][c];
    }
    if (externalWhite) request.externalWhite = rendered.whiteField;
    return request;
}

enum class Located { eFound, eWrong, eMissed };
enum class Calibrated { eNotRun, eRight, eWrongPairing, eFailed };

/// What happened to one photo.
struct PhotoResult {
    double scale = 1.0;
    double tiltDeg = 0.0;
    int quarterTurns = 0;
    Background background = Background::eDark;
    bool transposed = false;
    Located located = Located::eMissed;
    double gridError = 0.0;  // largest distance of a true patch centre from its grid point, px
    bool edgeRight = false;  // a found card's corners all within tolerance
    double locateMs = 0.0;
    Calibrated calibrated = Calibrated::eNotRun;
    std::string failure;       // why the calibration failed
    double deltaE = -1.0;      // mean CIEDE2000 after the matrix, when right
    double twinDeltaE = -1.0;  // the twin's, when it calibrated
    std::vector<std::string> lines;
};

/// The largest distance of each point of `from` from its nearest point of
/// `to`; infinity unless every point of `from` has a different nearest one.
template <typename From, typename To>
double matchedSetError(const From& from, const To& to) {
    std::vector<bool> taken(to.size(), false);
    double worst = 0.0;
    for (const auto& point : from) {
        std::size_t nearest = 0;
        double best = std::numeric_limits<double>::infinity();
        for (std::size_t k = 0; k < to.size(); ++k) {
            const double d = std::hypot(point.x - to[k].x, point.y - to[k].y);
            if (d < best) {
                best = d;
                nearest = k;
            }
        }
        if (taken[nearest]) return std::numeric_limits<double>::infinity();
        taken[nearest] = true;
        worst = std::max(worst, best);
    }
    return worst;
}

/// The largest distance of the reported corners from their nearest true
/// corners; infinity unless each reported corner has a different nearest one.
double cornerSetError(const std::array<cv::Point2f, 4>& reported,
                      const std::array<cv::Point2d, 4>& truth) {
    return matchedSetError(reported, truth);
}

/// The largest distance of a true patch centre from the nearest point of the
/// reported grid; infinity unless each has a different nearest grid point.
double gridSetError(const DataLayer::ChartCardLocation& location, double pitch,
                    const std::array<cv::Point2d, 20>& truth) {
    std::vector<cv::Point2d> grid;
    for (int r = 0; r < location.gridRows; ++r) {
        for (int c = 0; c < location.gridColumns; ++c) {
            const cv::Vec3d p =
                location.homography * cv::Vec3d((c - 0.5 * (location.gridColumns - 1)) * pitch,
                                                (r - 0.5 * (location.gridRows - 1)) * pitch, 1.0);
            grid.emplace_back(p[0] / p[2], p[1] / p[2]);
        }
    }
    if (grid.size() != truth.size()) return std::numeric_limits<double>::infinity();
    return matchedSetError(truth, grid);
}

/// Every reported patch within `tolerance` of the true centre of its reference colour.
bool pairedRight(const ColorCalCli::CalibrationSummary& summary,
                 const ChartSynth::RenderedChart& rendered, double tolerance, std::string& why) {
    if (summary.patches.size() != 20) {
        why = std::to_string(summary.patches.size()) + " patches reported";
        return false;
    }
    for (const ColorCalCli::PatchRow& patch : summary.patches) {
        if (patch.referenceIndex < 0 || patch.referenceIndex >= 20) {
            why = "reference index " + std::to_string(patch.referenceIndex);
            return false;
        }
        const cv::Point2d truth =
            rendered.referenceCenters[static_cast<std::size_t>(patch.referenceIndex)];
        const double off = std::hypot(patch.center.x - truth.x, patch.center.y - truth.y);
        if (off > tolerance) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "reference %d reported at (%.0f,%.0f), %.0f px from its patch",
                          patch.referenceIndex, patch.center.x, patch.center.y, off);
            why = text;
            return false;
        }
    }
    return true;
}

void dumpPhoto(const std::string& path, const ChartSynth::RenderedChart& rendered,
               const DataLayer::ChartCardLocation& location) {
    cv::Mat bytes = rendered.photo8u.clone();
    const int thickness = std::max(2, bytes.cols / 600);
    std::vector<cv::Point> truth;
    std::vector<cv::Point> found;
    for (std::size_t k = 0; k < 4; ++k) {
        truth.emplace_back(cv::Point(rendered.cardCorners[k]));
        found.emplace_back(cv::Point(location.corners[k]));
    }
    cv::polylines(bytes, truth, true, cv::Scalar(0, 255, 0), thickness);
    if (location.found) cv::polylines(bytes, found, true, cv::Scalar(0, 0, 255), thickness);
    const double reduce = std::min(1.0, 1600.0 / std::max(bytes.cols, bytes.rows));
    cv::Mat small;
    cv::resize(bytes, small, cv::Size(), reduce, reduce, cv::INTER_AREA);
    cv::imwrite(path, small);
}

PhotoResult runPhoto(EChart chart, const char* name, Encoding encoding, std::uint64_t seed,
                     const Options& o) {
    const ChartSynth::HandheldPhoto photo =
        ChartSynth::handheldOptions(chart, encoding, seed, o.maxPixels);
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(photo.options);
    const DataLayer::CParameterSetColorCalibrationTarget parameters(chart);
    const DataLayer::CChartCardLocator locator(parameters, encoding == Encoding::eLinear);
    const double tolerance = 0.5 * parameters.GetSegmentSideLength() * rendered.scale;

    PhotoResult r;
    r.scale = rendered.scale;
    r.tiltDeg = photo.pose.tiltDeg;
    r.quarterTurns = photo.quarterTurns;
    r.background = photo.background;
    r.transposed = photo.transposed;
    char tagText[200];
    std::snprintf(tagText, sizeof tagText,
                  "%s %s seed %llu (%dx%d, scale %.2f, tilt %.0f, turn %.0f, %s%s%s)", name,
                  encodingName(encoding), static_cast<unsigned long long>(seed),
                  rendered.photo.cols, rendered.photo.rows, rendered.scale, photo.pose.tiltDeg,
                  photo.pose.turnDeg, ChartSynth::backgroundName(photo.background),
                  photo.distractors ? ", distractors" : "", photo.transposed ? ", transposed" : "");
    const std::string tag = tagText;

    const cv::Mat& image = encoding == Encoding::eSrgb ? rendered.photo8u : rendered.photo;
    const auto start = std::chrono::steady_clock::now();
    const DataLayer::ChartCardLocation location = locator.locate(image);
    r.locateMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    bool worthDumping = false;
    if (!location.found) {
        r.located = Located::eMissed;
        r.lines.push_back("miss  " + tag + ": " + location.reason);
        worthDumping = true;
    } else {
        const double error =
            gridSetError(location, parameters.GetGridLength(), rendered.referenceCenters);
        const double cornerError = cornerSetError(location.corners, rendered.cardCorners);
        if (error > tolerance) {
            r.located = Located::eWrong;
            char text[120];
            std::snprintf(text, sizeof text, ": grid up to %.0f px off a patch (tolerance %.0f)",
                          error, tolerance);
            r.lines.push_back("WRONG " + tag + text);
            worthDumping = true;
        } else {
            r.located = Located::eFound;
            r.gridError = error;
            r.edgeRight = cornerError <= tolerance;
            if (!r.edgeRight) {
                char text[120];
                std::snprintf(text, sizeof text, ": outline's corners up to %.0f px off",
                              cornerError);
                r.lines.push_back("edge  " + tag + text);
            }
        }
    }

    if (o.calibrate) {
        const bool externalWhite = parameters.IsUseExternalWhiteImg();
        const ColorCalCli::CalibrationSummary summary =
            calibrateAndSummarize(requestFor(photo.options, rendered, externalWhite));
        std::string why;
        if (!summary.ok) {
            r.calibrated = Calibrated::eFailed;
            r.failure = summary.error;
            r.lines.push_back("FAILED " + tag + ": " + summary.error);
            worthDumping = true;
        } else if (!pairedRight(summary, rendered, tolerance, why)) {
            r.calibrated = Calibrated::eWrongPairing;
            r.lines.push_back("WRONG PAIRING " + tag + ": " + why);
            worthDumping = true;
        } else {
            r.calibrated = Calibrated::eRight;
            r.deltaE = summary.after.mean;
            // The twin, calibrated with the true region and support.
            const ChartSynth::RenderOptions twinOptions = ChartSynth::handheldTwinOptions(photo);
            const ChartSynth::RenderedChart twin = ChartSynth::renderChart(twinOptions);
            DataLayer::PhotoCalibrationRequest request =
                requestFor(twinOptions, twin, externalWhite);
            request.roi = twin.hostRegion;
            request.support = cv::Mat(twin.photo.size(), CV_8U, cv::Scalar(255));
            request.support.setTo(0, twin.cardMask);
            const ColorCalCli::CalibrationSummary twinSummary = calibrateAndSummarize(request);
            if (twinSummary.ok) {
                r.twinDeltaE = twinSummary.after.mean;
                char text[120];
                std::snprintf(text, sizeof text, ": CIEDE2000 %.3f, twin %.3f", r.deltaE,
                              r.twinDeltaE);
                r.lines.push_back("right " + tag + text);
            } else {
                r.lines.push_back("right " + tag + ": the twin failed (" + twinSummary.error + ")");
            }
        }
    }
    if (worthDumping && !o.dump.empty()) {
        dumpPhoto(o.dump + "/" + name + "-" + encodingName(encoding) + "-" + std::to_string(seed) +
                      ".png",
                  rendered, location);
    }
    return r;
}

/// Counts of one group of photos.
struct Tally {
    int photos = 0;
    int found = 0;
    int wrong = 0;
    int missed = 0;
    int edge = 0;
    int right = 0;
    int wrongPairing = 0;
    int failed = 0;

    void add(const PhotoResult& r) {
        ++photos;
        found += r.located == Located::eFound ? 1 : 0;
        wrong += r.located == Located::eWrong ? 1 : 0;
        missed += r.located == Located::eMissed ? 1 : 0;
        edge += r.located == Located::eFound && r.edgeRight ? 1 : 0;
        right += r.calibrated == Calibrated::eRight ? 1 : 0;
        wrongPairing += r.calibrated == Calibrated::eWrongPairing ? 1 : 0;
        failed += r.calibrated == Calibrated::eFailed ? 1 : 0;
    }
};

void printRow(const char* group, const Tally& t, bool calibrate) {
    if (t.photos == 0) return;
    std::printf("  %-17s %6d %6d %6d %6d %6d", group, t.photos, t.found, t.wrong, t.missed, t.edge);
    if (calibrate) std::printf(" | %6d %6d %6d", t.right, t.wrongPairing, t.failed);
    std::printf("\n");
}

void printTable(const char* name, Encoding encoding, const std::vector<PhotoResult>& results,
                const Options& o) {
    Tally all;
    Tally scaleBins[3];
    Tally tiltBins[2];
    Tally turns[4];
    Tally backgrounds[3];
    Tally layouts[2];
    double worstGrid = 0.0;
    double locateMs = 0.0;
    std::map<std::string, int> failures;
    double sumDeltaE = 0.0;
    double sumTwin = 0.0;
    int compared = 0;
    bool anyTransposed = false;
    for (const PhotoResult& r : results) {
        all.add(r);
        scaleBins[r.scale < 0.7 ? 0 : (r.scale <= 1.4 ? 1 : 2)].add(r);
        tiltBins[r.tiltDeg < 15.0 ? 0 : 1].add(r);
        turns[r.quarterTurns].add(r);
        backgrounds[static_cast<int>(r.background)].add(r);
        layouts[r.transposed ? 1 : 0].add(r);
        anyTransposed = anyTransposed || r.transposed;
        if (r.located == Located::eFound) worstGrid = std::max(worstGrid, r.gridError);
        locateMs += r.locateMs;
        if (r.calibrated == Calibrated::eFailed) ++failures[r.failure];
        if (r.deltaE >= 0.0 && r.twinDeltaE > 0.0) {
            sumDeltaE += r.deltaE;
            sumTwin += r.twinDeltaE;
            ++compared;
        }
    }
    std::printf("\n%s, %s: %d photos, seeds %llu..%llu\n", name, encodingName(encoding), all.photos,
                static_cast<unsigned long long>(o.firstSeed),
                static_cast<unsigned long long>(o.firstSeed + results.size() - 1));
    std::printf("  %-17s %6s %6s %6s %6s %6s", "group", "photos", "found", "wrong", "missed",
                "edge");
    if (o.calibrate) std::printf(" | %6s %6s %6s", "right", "wpair", "failed");
    std::printf("\n");
    printRow("all", all, o.calibrate);
    printRow("scale < 0.7", scaleBins[0], o.calibrate);
    printRow("scale 0.7-1.4", scaleBins[1], o.calibrate);
    printRow("scale > 1.4", scaleBins[2], o.calibrate);
    printRow("tilt < 15", tiltBins[0], o.calibrate);
    printRow("tilt 15-35", tiltBins[1], o.calibrate);
    const char* turnNames[4] = {"turn 0", "turn 90", "turn 180", "turn 270"};
    for (int k = 0; k < 4; ++k) printRow(turnNames[k], turns[k], o.calibrate);
    for (Background b : {Background::eLight, Background::eDark, Background::eTextured}) {
        const std::string label = std::string("bg ") + ChartSynth::backgroundName(b);
        printRow(label.c_str(), backgrounds[static_cast<int>(b)], o.calibrate);
    }
    if (anyTransposed) {
        printRow("layout as set", layouts[0], o.calibrate);
        printRow("layout transposed", layouts[1], o.calibrate);
    }
    std::printf("  locate: mean %.0f ms, worst patch centre of a found card %.1f px off its grid\n",
                results.empty() ? 0.0 : locateMs / static_cast<double>(results.size()), worstGrid);
    if (o.calibrate) {
        if (compared > 0) {
            std::printf(
                "  CIEDE2000 after the matrix over %d right photos: hand-held %.3f, twins "
                "%.3f, ratio %.2f\n",
                compared, sumDeltaE / compared, sumTwin / compared, sumDeltaE / sumTwin);
        } else {
            std::printf("  CIEDE2000 after the matrix: no right photo with a calibrated twin\n");
        }
        for (const auto& [why, count] : failures) {
            std::printf("  failed %4d x %s\n", count, why.c_str());
        }
        if (all.wrongPairing > 0) {
            std::printf(
                "  !!! %d WRONG PAIRING%s: colours calibrated against the wrong "
                "references !!!\n",
                all.wrongPairing, all.wrongPairing == 1 ? "" : "S");
        }
    }
    std::fflush(stdout);
}

/// False cards on chart-free scenes, for every chart type asked for.
int countFalseCards(const Options& o, const std::vector<Encoding>& encodings) {
    std::printf("\nchart-free scenes: %d per encoding, seeds %llu..\n", o.noChart,
                static_cast<unsigned long long>(o.firstSeed));
    std::vector<std::pair<EChart, const char*>> charts;
    for (const auto& [chart, name] : kCharts) {
        if (o.chart.empty() || o.chart == name) charts.emplace_back(chart, name);
    }
    int total = 0;
    std::vector<std::string> lines;
    std::printf("  %-16s %-8s %7s %7s\n", "chart", "encoding", "scenes", "false");
    for (Encoding encoding : encodings) {
        // falseCards[scene][chart]: whether that chart's locator reported a card.
        std::vector<std::vector<int>> falseCards(static_cast<std::size_t>(o.noChart),
                                                 std::vector<int>(charts.size(), 0));
        tbb::parallel_for(0, o.noChart, [&](int i) {
            const std::uint64_t seed = o.firstSeed + static_cast<std::uint64_t>(i);
            const ChartSynth::HandheldPhoto photo =
                ChartSynth::chartFreeOptions(encoding, seed, o.maxPixels);
            const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(photo.options);
            const cv::Mat& image = encoding == Encoding::eSrgb ? rendered.photo8u : rendered.photo;
            for (std::size_t c = 0; c < charts.size(); ++c) {
                const DataLayer::CParameterSetColorCalibrationTarget parameters(charts[c].first);
                const DataLayer::CChartCardLocator locator(parameters,
                                                           encoding == Encoding::eLinear);
                const DataLayer::ChartCardLocation location = locator.locate(image);
                falseCards[static_cast<std::size_t>(i)][c] = location.found ? 1 : 0;
                if (location.found && !o.dump.empty()) {
                    dumpPhoto(o.dump + "/nochart-" + charts[c].second + "-" +
                                  encodingName(encoding) + "-" + std::to_string(seed) + ".png",
                              rendered, location);
                }
            }
        });
        for (std::size_t c = 0; c < charts.size(); ++c) {
            int count = 0;
            for (int i = 0; i < o.noChart; ++i) {
                if (falseCards[static_cast<std::size_t>(i)][c] != 0) {
                    ++count;
                    lines.push_back(std::string("FALSE CARD ") + charts[c].second + " " +
                                    encodingName(encoding) + " chart-free seed " +
                                    std::to_string(o.firstSeed + static_cast<std::uint64_t>(i)));
                }
            }
            total += count;
            std::printf("  %-16s %-8s %7d %7d\n", charts[c].second, encodingName(encoding),
                        o.noChart, count);
        }
        std::fflush(stdout);
    }
    if (!o.quiet) {
        for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: HandheldRate [--photos N] [--seed S] [--chart NAME] "
                     "[--encoding srgb|linear] [--max-pixels P] [--calibrate] [--no-chart N] "
                     "[--dump DIR] [--quiet]\n");
        return 2;
    }
    std::vector<Encoding> encodings;
    if (o.encoding.empty() || o.encoding == "srgb") encodings.push_back(Encoding::eSrgb);
    if (o.encoding.empty() || o.encoding == "linear") encodings.push_back(Encoding::eLinear);
    std::printf(
        "hand-held set, %d photos per chart type and encoding, seeds %llu.., max pixels "
        "%lld%s\n",
        o.photos, static_cast<unsigned long long>(o.firstSeed), o.maxPixels,
        o.calibrate ? ", calibrated" : "");
    std::vector<std::string> lines;
    int totalWrong = 0;
    int totalWrongPairings = 0;
    for (const auto& [chart, name] : kCharts) {
        if (!o.chart.empty() && o.chart != name) continue;
        for (Encoding encoding : encodings) {
            std::vector<PhotoResult> results(static_cast<std::size_t>(o.photos));
            tbb::parallel_for(0, o.photos, [&, chartType = chart, chartName = name](int i) {
                results[static_cast<std::size_t>(i)] = runPhoto(
                    chartType, chartName, encoding, o.firstSeed + static_cast<std::uint64_t>(i), o);
            });
            if (o.photos > 0) printTable(name, encoding, results, o);
            for (const PhotoResult& r : results) {
                totalWrong += r.located == Located::eWrong ? 1 : 0;
                totalWrongPairings += r.calibrated == Calibrated::eWrongPairing ? 1 : 0;
                lines.insert(lines.end(), r.lines.begin(), r.lines.end());
            }
        }
    }
    if (!o.quiet) {
        std::printf("\n");
        for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    }
    int falseCards = 0;
    if (o.noChart > 0) falseCards = countFalseCards(o, encodings);
    std::printf("\nwrong cards: %d\n", totalWrong);
    if (o.calibrate) {
        std::printf("%swrong pairings: %d\n", totalWrongPairings > 0 ? "!!! " : "",
                    totalWrongPairings);
    }
    if (o.noChart > 0) std::printf("false cards on chart-free scenes: %d\n", falseCards);
    return 0;
}
