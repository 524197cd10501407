// Accuracy of the white estimate on realistic renders of narrow-margin cards.
//
// Usage: WhiteAccuracy [--photos N] [--seed S] [--types print|all] [--chart NAME]
//                      [--margin SIDES] [--after auto|ridge] [--verbose 1]
//
// For every chart type and card margin (0.5, 0.75, 1.0 and 1.5 patch sides),
// N photos of the realistic render set (tools/synth/RealisticSet.h; linear
// values, noise, JPEG on about half of them) with the card margin replaced.
// The support is the card's own white ground only: everything outside the
// card and the true patch squares are excluded, as a host that knows the
// card's outline would do. The white is estimated twice, with the surround fit
// everywhere (the estimate before the ridge fit existed) and with the
// automatic choice (or the ridge fit everywhere with --after ridge), and
// compared with the rendered illumination:
// - white error: |estimate / true - 1| over the card's ground and patches
//   (every channel), both normalised by their mean over an 11 x 11 box at the
//   chart centre; median and 95th percentile per photo, then averaged over
//   the photos (and the largest 95th percentile);
// - colour error: every patch corrected by the white (photo x centre white /
//   white), its mean over the eroded patch measured, a 3 x 4 matrix fitted on
//   the other 19 patches, and the CIEDE2000 of the held-out patch against its
//   reference; the mean over patches and photos, with the estimated white and
//   with the true white field.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/ColorScience.h"
#include "DataLayer/ShadeAnalysis/Inpainting/WhiteEstimate.h"
#include "tools/synth/RealisticSet.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;
using Estimator = DataLayer::CRBFInpainting::Config::Estimator;

struct WhiteError {
    double median = 0.0;
    double p95 = 0.0;
};

cv::Vec3d boxMean(const cv::Mat& image, cv::Point2d centre) {
    const cv::Rect box(static_cast<int>(std::lround(centre.x)) - 5,
                       static_cast<int>(std::lround(centre.y)) - 5, 11, 11);
    const cv::Scalar m = cv::mean(image(box & cv::Rect(0, 0, image.cols, image.rows)));
    return {m[0], m[1], m[2]};
}

WhiteError whiteError(const cv::Mat& estimate, const cv::Mat& truth, const cv::Mat& area,
                      cv::Point2d centre) {
    const cv::Vec3d e0 = boxMean(estimate, centre);
    const cv::Vec3d t0 = boxMean(truth, centre);
    std::vector<double> errors;
    for (int y = 0; y < area.rows; ++y) {
        const uchar* a = area.ptr<uchar>(y);
        const cv::Vec3f* e = estimate.ptr<cv::Vec3f>(y);
        const cv::Vec3f* t = truth.ptr<cv::Vec3f>(y);
        for (int x = 0; x < area.cols; ++x) {
            if (a[x] == 0) continue;
            for (int c = 0; c < 3; ++c) {
                errors.push_back(std::fabs((e[x][c] / e0[c]) / (t[x][c] / t0[c]) - 1.0));
            }
        }
    }
    WhiteError w;
    if (errors.empty()) return w;
    auto at = [&](double q) {
        const std::size_t k = static_cast<std::size_t>(q * static_cast<double>(errors.size() - 1));
        std::nth_element(errors.begin(), errors.begin() + static_cast<std::ptrdiff_t>(k),
                         errors.end());
        return errors[k];
    };
    w.median = at(0.5);
    w.p95 = at(0.95);
    return w;
}

/// Mean CIEDE2000 of the held-out patches after flat-fielding with `white`.
double heldOutDeltaE(const ChartSynth::RenderedChart& r, const ChartSynth::RenderOptions& o,
                     const cv::Mat& white, cv::Point2d centre) {
    const cv::Vec3d w0 = boxMean(white, centre);
    cv::Mat labels;
    cv::connectedComponents(r.patchMask, labels, 8, CV_32S);
    cv::Mat eroded;
    cv::erode(r.patchMask, eroded, cv::Mat::ones(11, 11, CV_8U));
    const std::size_t n = r.centers.size();
    std::vector<cv::Vec3d> measured(n);
    for (std::size_t k = 0; k < n; ++k) {
        const int label = labels.at<int>(static_cast<int>(std::lround(r.centers[k].y)),
                                         static_cast<int>(std::lround(r.centers[k].x)));
        cv::Vec3d sum(0, 0, 0);
        double count = 0.0;
        for (int y = 0; y < labels.rows; ++y) {
            const int* l = labels.ptr<int>(y);
            const uchar* m = eroded.ptr<uchar>(y);
            const cv::Vec3f* p = r.photo.ptr<cv::Vec3f>(y);
            const cv::Vec3f* w = white.ptr<cv::Vec3f>(y);
            for (int x = 0; x < labels.cols; ++x) {
                if (l[x] != label || m[x] == 0) continue;
                for (int c = 0; c < 3; ++c) sum[c] += p[x][c] * w0[c] / w[x][c];
                count += 1.0;
            }
        }
        measured[k] = count > 0.0 ? sum / count : sum;
    }
    double total = 0.0;
    for (std::size_t out = 0; out < n; ++out) {
        cv::Mat a(static_cast<int>(n - 1), 4, CV_64F);
        cv::Mat b(static_cast<int>(n - 1), 3, CV_64F);
        int row = 0;
        for (std::size_t k = 0; k < n; ++k) {
            if (k == out) continue;
            const ChartSynth::Rgb& ref =
                o.referenceRgb[static_cast<std::size_t>(r.referenceIndex[k])];
            for (int c = 0; c < 3; ++c) {
                a.at<double>(row, c) = measured[k][c];
                b.at<double>(row, c) = ref[static_cast<std::size_t>(2 - c)];  // BGR
            }
            a.at<double>(row, 3) = 1.0;
            ++row;
        }
        cv::Mat m;
        cv::solve(a, b, m, cv::DECOMP_SVD);
        std::array<double, 3> rgb{};
        for (int c = 0; c < 3; ++c) {
            double v = m.at<double>(3, c);
            for (int j = 0; j < 3; ++j) v += m.at<double>(j, c) * measured[out][j];
            rgb[static_cast<std::size_t>(2 - c)] = v;
        }
        const ChartSynth::Rgb& ref =
            o.referenceRgb[static_cast<std::size_t>(r.referenceIndex[out])];
        const std::array<double, 3> refRgb{ref[0], ref[1], ref[2]};
        total += DataLayer::Color::deltaE2000(DataLayer::Color::rgbToLab(rgb, true),
                                              DataLayer::Color::rgbToLab(refRgb, true));
    }
    return total / static_cast<double>(n);
}

struct Cell {
    int photos = 0;
    int failed = 0;
    double median = 0.0, p95 = 0.0, worstP95 = 0.0, deltaE = 0.0;
    int ridge = 0;
};

/// The realistic options of `seed` with the card margin set to `marginSides`
/// patch sides and the card kept inside the photo.
ChartSynth::RenderOptions optionsWithMargin(EChart chart, std::uint64_t seed, double marginSides) {
    ChartSynth::RenderOptions o =
        ChartSynth::realisticOptions(chart, ChartSynth::Encoding::eLinear, seed);
    const double side = ChartSynth::chartSideLength(chart);
    const double pitch = ChartSynth::chartPitch(chart);
    o.cardMargin = marginSides * side / pitch;
    const double halfW =
        0.5 * (ChartSynth::chartCols(chart) - 1) * pitch + 0.5 * side + o.cardMargin * pitch;
    const double halfH =
        0.5 * (ChartSynth::chartRows(chart) - 1) * pitch + 0.5 * side + o.cardMargin * pitch;
    const double spareX = std::max(0.0, 0.5 * o.photoWidth - halfW * 1.25 - o.regionMargin - 12.0);
    const double spareY = std::max(0.0, 0.5 * o.photoHeight - halfH * 1.25 - o.regionMargin - 12.0);
    o.offsetX = std::clamp(o.offsetX, -spareX, spareX);
    o.offsetY = std::clamp(o.offsetY, -spareY, spareY);
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    int photos = 4;
    std::uint64_t firstSeed = 1;
    bool all = false;
    std::string onlyChart;
    double onlyMargin = 0.0;
    Estimator afterEstimator = Estimator::eAuto;
    bool verbose = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const std::string value = argv[i + 1];
        if (arg == "--photos") {
            photos = std::max(1, std::atoi(value.c_str()));
        } else if (arg == "--seed") {
            firstSeed = std::strtoull(value.c_str(), nullptr, 10);
        } else if (arg == "--types") {
            all = value == "all";
        } else if (arg == "--chart") {
            onlyChart = value;
        } else if (arg == "--margin") {
            onlyMargin = std::atof(value.c_str());
        } else if (arg == "--verbose") {
            verbose = value == "1";
        } else if (arg == "--after") {
            afterEstimator = value == "ridge" ? Estimator::eRidge : Estimator::eAuto;
        } else {
            std::fprintf(stderr,
                         "usage: WhiteAccuracy [--photos N] [--seed S] [--types print|all] "
                         "[--chart NAME] [--margin SIDES] [--after auto|ridge] [--verbose 1]\n");
            return 2;
        }
    }
    std::vector<std::pair<EChart, const char*>> charts = {
        {EChart::eCCTPrint, "cct-print"},
        {EChart::eQCCPrint, "qcc-print"},
        {EChart::eQCCPrintSmall, "qcc-print-small"},
    };
    if (all || !onlyChart.empty()) {
        charts.push_back({EChart::eCCTXRite, "cct-xrite"});
        charts.push_back({EChart::eQCCXRite, "qcc-xrite"});
    }
    if (!onlyChart.empty()) {
        charts.erase(std::remove_if(charts.begin(), charts.end(),
                                    [&](const auto& c) { return onlyChart != c.second; }),
                     charts.end());
    }
    std::vector<double> margins = {0.5, 0.75, 1.0, 1.5};
    if (onlyMargin > 0.0) margins = {onlyMargin};
    std::printf(
        "%d photos per cell; white error median / p95 (worst p95) in %%; mean held-out "
        "CIEDE2000\n\n",
        photos);
    std::printf(
        "| type | margin | before: white error | before: dE | after: white error | "
        "after: dE | true white: dE | after: ridge fits | failed before/after |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const auto& [chart, name] : charts) {
        for (const double margin : margins) {
            Cell before, after, truth;
            for (int p = 0; p < photos; ++p) {
                const std::uint64_t seed = firstSeed + static_cast<std::uint64_t>(p);
                const ChartSynth::RenderOptions o = optionsWithMargin(chart, seed, margin);
                const ChartSynth::RenderedChart r = ChartSynth::renderChart(o);
                cv::Mat excluded;
                cv::bitwise_not(r.cardMask, excluded);
                excluded |= r.patchMask;
                cv::Point2d centre(0, 0);
                for (const cv::Point2d& c : r.cardCorners) centre += 0.25 * c;
                truth.deltaE += heldOutDeltaE(r, o, r.whiteField, centre);
                ++truth.photos;
                for (const bool automatic : {false, true}) {
                    Cell& cell = automatic ? after : before;
                    ++cell.photos;
                    cv::Mat white;
                    DataLayer::CRBFInpainting::FitDiagnostics diagnostics;
                    int dilations = 0;
                    if (!DataLayer::estimateWhiteImage(
                            r.photo, excluded, r.patchMask,
                            automatic ? afterEstimator : Estimator::eSurround, white, diagnostics,
                            dilations)) {
                        ++cell.failed;
                        continue;
                    }
                    if (std::string(diagnostics.method) == "rbf-ridge-quadratic") ++cell.ridge;
                    const WhiteError e = whiteError(white, r.whiteField, r.cardMask, centre);
                    if (verbose) {
                        std::printf(
                            "  seed %llu %s: %s, %lld centres, %lld samples, %d dilations, "
                            "%.2f / %.2f %%\n",
                            static_cast<unsigned long long>(seed), automatic ? "after" : "before",
                            diagnostics.method, static_cast<long long>(diagnostics.centres),
                            static_cast<long long>(diagnostics.samples), dilations,
                            100.0 * e.median, 100.0 * e.p95);
                    }
                    cell.median += e.median;
                    cell.p95 += e.p95;
                    cell.worstP95 = std::max(cell.worstP95, e.p95);
                    cell.deltaE += heldOutDeltaE(r, o, white, centre);
                }
            }
            auto fmt = [](const Cell& c, char* buf, std::size_t size) {
                const int ok = c.photos - c.failed;
                if (ok == 0) {
                    std::snprintf(buf, size, "- | -");
                } else {
                    std::snprintf(buf, size, "%.2f / %.2f (%.2f) | %.2f", 100.0 * c.median / ok,
                                  100.0 * c.p95 / ok, 100.0 * c.worstP95, c.deltaE / ok);
                }
            };
            char b[96], a[96];
            fmt(before, b, sizeof(b));
            fmt(after, a, sizeof(a));
            std::printf("| %s | %.2f | %s | %s | %.2f | %d of %d | %d / %d |\n", name, margin, b, a,
                        truth.deltaE / truth.photos, after.ridge, after.photos - after.failed,
                        before.failed, after.failed);
            std::fflush(stdout);
        }
    }
    return 0;
}
