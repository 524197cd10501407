// How far apart the residuals of right and wrong pairings lie on realistic
// photos of charts lying every way round.
//
// Usage: PairingMargin [--photos N] [--seed S] [--chart NAME] [--encoding srgb|linear]
//
// Every photo of the realistic render set (tools/synth/RealisticSet.h, N per
// chart type and encoding) is turned by cv::rotate a quarter clockwise, half
// around and a quarter counter-clockwise as well as kept upright; for the
// qcc-xrite type a card printed as 4 rows of 5 (reference k at row k / 5,
// column k % 5) is added, rendered as the 5 x 4 chart with its colours
// rearranged and turned so that the photo shows the 4 x 5 card upright or
// upside down. Each photo runs through the engine as the command-line tool
// runs it (the sRGB-encoded region segmented, the white estimated and the
// chart measured in linear light; the rendered white for the X-Rite types),
// and then through the calibration stage, whose every candidate pairing is
// compared with the render's truth.
//
// The table gives, per chart type: the photos whose grid was found with every
// centre on its patch in found order (the others are not counted), how many
// were calibrated with the right pairing, failed with none passing or with
// two or more passing, or were calibrated with a wrong pairing (must be 0),
// and the largest residual of a right pairing and the smallest of a wrong one.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/CImageData2D.h"
#include "BenchCharts.h"
#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/Calibration/CalibrationStage.h"
#include "DataLayer/ShadeAnalysis/ColorScience.h"
#include "DataLayer/ShadeAnalysis/Loggers.h"
#include "common/TurnedPhoto.h"
#include "tools/synth/RealisticSet.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;
using ChartSynth::Encoding;

struct Tally {
    int photos = 0;
    int located = 0;
    int right = 0;
    int nonePassing = 0;
    int ambiguous = 0;
    int wrong = 0;
    int otherFailure = 0;
    double worstRight = 0.0;
    double bestWrong = std::numeric_limits<double>::infinity();

    void add(const Tally& t) {
        photos += t.photos;
        located += t.located;
        right += t.right;
        nonePassing += t.nonePassing;
        ambiguous += t.ambiguous;
        wrong += t.wrong;
        otherFailure += t.otherFailure;
        worstRight = std::max(worstRight, t.worstRight);
        bestWrong = std::min(bestWrong, t.bestWrong);
    }
};

/// `image` with every value passed through `f`.
template <typename F>
cv::Mat mapped(const cv::Mat& image, F f) {
    cv::Mat out = image.clone();
    out.forEach<float>([&](float& v, const int*) { v = static_cast<float>(f(v)); });
    return out;
}

/// One photo through the engine and the stage; `truth[i]` is the reference
/// position of found patch i.
void judge(EChart chart, Encoding encoding, const ChartSynth::RenderedChart& r,
           const std::array<ChartSynth::Rgb, 20>& references, const std::vector<int>& truth,
           Tally& tally) {
    ++tally.photos;
    const bool srgb = encoding == Encoding::eSrgb;
    const auto decode = [](double v) { return DataLayer::Color::srgbDecode(v); };
    const auto encode = [](double v) { return DataLayer::Color::srgbEncode(v); };
    // Working values in linear light, the region segmented sRGB-encoded.
    const cv::Mat photo = srgb ? mapped(r.photo.reshape(1), decode).reshape(3) : r.photo.clone();
    const cv::Mat region = photo(r.hostRegion).clone();
    cv::Mat display =
        srgb ? r.photo(r.hostRegion).clone() : mapped(region.reshape(1), encode).reshape(3);
    DataLayer::CColorCalibration engine(chart);
    CRect roi(r.hostRegion.x, r.hostRegion.y, r.hostRegion.br().x, r.hostRegion.br().y);
    cv::Mat full = photo.clone();
    cv::Mat input = region.clone();
    engine.SetInputImage(input.ptr<float>(), roi, full.ptr<float>(), full.cols, full.rows);
    const cv::Mat support = 255 - r.cardMask;
    engine.SetColorImageRoi(
        std::make_shared<Base::CImageData2D>(support.cols, support.rows, 1, support.data));
    float picked[3];
    if (!engine.precomputeSegmentation(display.ptr<float>(), display.rows, display.cols, picked)) {
        return;
    }
    const auto& seeds = engine.GetSegmentSeeds();
    const double side = engine.GetParameterSet()->GetSegmentSideLength();
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        const cv::Point2d truthCentre = r.centers[i] - cv::Point2d(r.hostRegion.tl());
        if (std::hypot(seeds[i][0] - truthCentre.x, seeds[i][1] - truthCentre.y) > 0.25 * side) {
            return;
        }
    }
    ++tally.located;
    CbArray<float> whiteOut;
    if (!engine.precomputeInpainting(input.ptr<float>(), input.rows, input.cols, whiteOut)) {
        ++tally.otherFailure;
        return;
    }
    cv::Mat working = engine.GetInputImage();
    engine.computePickedWhite(working);
    const cv::Mat white =
        engine.GetParameterSet()->IsUseExternalWhiteImg()
            ? (srgb ? mapped(r.whiteField.reshape(1), decode).reshape(3) : r.whiteField)
            : engine.GetWhiteImage();
    std::vector<float> reference;
    for (const ChartSynth::Rgb& rgb : references) {
        for (int c = 2; c >= 0; --c) {
            reference.push_back(static_cast<float>(srgb ? decode(rgb[c]) : rgb[c]));
        }
    }
    const auto& diagnostics = engine.GetSegmentationDiagnostics();
    const DataLayer::CalibrationInput in{engine.GetInputImage(),
                                         white,
                                         cv::Point(roi.left, roi.top),
                                         engine.GetSegmentLabels(),
                                         seeds,
                                         engine.GetParameterSet()->GetColorIndexLut(),
                                         20,
                                         reference,
                                         engine.GetPickedWhite(),
                                         engine.GetParameterSet()->GetGridRows(),
                                         engine.GetParameterSet()->GetGridColumns(),
                                         diagnostics.gridRows,
                                         diagnostics.gridColumns};
    const DataLayer::CalibrationResult result =
        DataLayer::calibrateChart(in, DataLayer::CColorCalibration::sc_dMaxResidualRatio);
    for (const DataLayer::PairingFit& pairing : result.pairings) {
        if (pairing.positions == truth) {
            tally.worstRight = std::max(tally.worstRight, pairing.residual);
        } else {
            tally.bestWrong = std::min(tally.bestWrong, pairing.residual);
        }
    }
    switch (result.failure.code) {
        case DataLayer::CalibrationFailure::eNone:
            ++(result.positions == truth ? tally.right : tally.wrong);
            break;
        case DataLayer::CalibrationFailure::eResidualTooLarge:
            ++tally.nonePassing;
            break;
        case DataLayer::CalibrationFailure::ePairingAmbiguous:
            ++tally.ambiguous;
            break;
        default:
            ++tally.otherFailure;
            break;
    }
}

void printRow(const char* name, const Tally& t) {
    std::printf("%-16s %6d %7d %6d %6d %9d %6d %6d %11.3f %10.3f\n", name, t.photos, t.located,
                t.right, t.nonePassing, t.ambiguous, t.wrong, t.otherFailure, t.worstRight,
                t.bestWrong);
}

}  // namespace

int main(int argc, char** argv) {
    int photos = 10;
    std::uint64_t firstSeed = 1;
    std::string onlyChart;
    std::string onlyEncoding;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const std::string value = argv[i + 1];
        if (arg == "--photos") {
            photos = std::max(1, std::atoi(value.c_str()));
        } else if (arg == "--seed") {
            firstSeed = std::strtoull(value.c_str(), nullptr, 10);
        } else if (arg == "--chart") {
            onlyChart = value;
        } else if (arg == "--encoding") {
            onlyEncoding = value;
        } else {
            std::fprintf(stderr,
                         "usage: PairingMargin [--photos N] [--seed S] [--chart NAME] "
                         "[--encoding srgb|linear]\n");
            return 2;
        }
    }
    // The engine's own log lines are not what this program reports.
    DataLayer::ColorCalibrationLogger().SetSink([](const Logging::LogRecord&) {});

    const cv::RotateFlags turns[] = {cv::ROTATE_90_CLOCKWISE, cv::ROTATE_180,
                                     cv::ROTATE_90_COUNTERCLOCKWISE};
    std::printf("%-16s %6s %7s %6s %6s %9s %6s %6s %11s %10s\n", "chart", "photos", "located",
                "right", "none", "ambiguous", "wrong", "other", "worst right", "best wrong");
    Tally all;
    for (const auto& [chart, name] : ColorCalBench::kCharts) {
        if (!onlyChart.empty() && onlyChart != name) continue;
        Tally tally;
        Tally printedCard;
        for (const Encoding encoding : {Encoding::eSrgb, Encoding::eLinear}) {
            if (!onlyEncoding.empty() &&
                onlyEncoding != (encoding == Encoding::eSrgb ? "srgb" : "linear")) {
                continue;
            }
            for (int p = 0; p < photos; ++p) {
                const std::uint64_t seed = firstSeed + static_cast<std::uint64_t>(p);
                const ChartSynth::RenderOptions options =
                    ChartSynth::realisticOptions(chart, encoding, seed);
                const ChartSynth::RenderedChart r = ChartSynth::renderChart(options);
                const std::vector<int> upright(r.referenceIndex.begin(), r.referenceIndex.end());
                judge(chart, encoding, r, options.referenceRgb, upright, tally);
                for (const cv::RotateFlags turn : turns) {
                    const ChartSynth::RenderedChart t = TestPhotos::turnPhoto(r, turn);
                    judge(chart, encoding, t, options.referenceRgb,
                          std::vector<int>(t.referenceIndex.begin(), t.referenceIndex.end()),
                          tally);
                }
                if (chart != EChart::eQCCXRite) continue;
                // The card printed as 4 rows of 5: the 5 x 4 render turned a
                // quarter clockwise shows render slot referenceIndex[i] at found
                // position i; it must show colour i there.
                const std::vector<int> slots =
                    TestPhotos::turnPhoto(r, cv::ROTATE_90_CLOCKWISE).referenceIndex;
                ChartSynth::RenderOptions printed = options;
                for (std::size_t i = 0; i < 20; ++i) {
                    printed.referenceRgb[static_cast<std::size_t>(slots[i])] =
                        options.referenceRgb[i];
                }
                const ChartSynth::RenderedChart card = ChartSynth::renderChart(printed);
                for (const cv::RotateFlags turn :
                     {cv::ROTATE_90_CLOCKWISE, cv::ROTATE_90_COUNTERCLOCKWISE}) {
                    const ChartSynth::RenderedChart t = TestPhotos::turnPhoto(card, turn);
                    // Slot s shows colour i where slots[i] == s.
                    std::vector<int> truth;
                    for (int slot : t.referenceIndex) {
                        truth.push_back(static_cast<int>(
                            std::find(slots.begin(), slots.end(), slot) - slots.begin()));
                    }
                    judge(chart, encoding, t, options.referenceRgb, truth, printedCard);
                }
            }
        }
        printRow(name, tally);
        all.add(tally);
        if (printedCard.photos > 0) {
            printRow("  printed 4 x 5", printedCard);
            all.add(printedCard);
        }
    }
    printRow("all", all);
    return all.wrong == 0 ? 0 : 1;
}
