// The calibration stage: flat-field correction, patch measurement, and the
// 3 x 4 colour fit of every candidate pairing, of which the residual rule
// must accept exactly one.
#include "DataLayer/ShadeAnalysis/Calibration/CalibrationStage.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "DataLayer/ShadeAnalysis/Calibration/ColorFit.h"
#include "DataLayer/ShadeAnalysis/Calibration/FlatField.h"
#include "DataLayer/ShadeAnalysis/Calibration/PatchMasks.h"
#include "DataLayer/ShadeAnalysis/Calibration/PatchMeasurement.h"
#include "DataLayer/ShadeAnalysis/ChartConstants.h"
#include "DataLayer/ShadeAnalysis/FailureMessage.h"

namespace DataLayer {

namespace {

/// A result that failed with `failure`; the message is formatted printf-style.
template <typename... Args>
CalibrationResult failed(CalibrationFailure failure, const wchar_t* format, Args... args) {
    CalibrationResult result;
    result.failure = failureWithMessage(failure, format, args...);
    return result;
}

/// One pairing of the measured patches with the reference positions, and its fit.
struct PairedFit {
    cv::Mat measured;       ///< 20 x 1 CV_32FC3, the measured colours by reference position
    cv::Mat coefficients;   ///< 12 x 1 CV_32F
    double residual = 0.0;  ///< `residualRatio` of the fit
    bool finite = false;    ///< whether the coefficients are 12 finite floats
};

/// The colours `found` (one per seed) placed at their seeds' reference
/// positions `positions` (a permutation of 0 .. 19): 20 x 1 CV_32FC3.
cv::Mat byPosition(const std::vector<cv::Vec3f>& found, const std::vector<int>& positions) {
    cv::Mat measured = cv::Mat::zeros(kChartPatchCount, 1, CV_32FC3);
    for (std::size_t i = 0; i < found.size(); ++i) {
        measured.at<cv::Vec3f>(positions[i], 0) = found[i];
    }
    return measured;
}

PairedFit fitPairing(const std::vector<cv::Vec3f>& found, const std::vector<int>& pairing,
                     const std::vector<float>& reference) {
    PairedFit fit;
    fit.measured = byPosition(found, pairing);
    fit.coefficients = cv::Mat(12, 1, CV_32F);
    fitColorCorrection(fit.measured, reference, fit.coefficients);
    fit.finite = fit.coefficients.rows * fit.coefficients.cols == 12 &&
                 fit.coefficients.type() == CV_32F && cv::checkRange(fit.coefficients);
    fit.residual = fit.finite ? residualRatio(fit.measured, reference, fit.coefficients)
                              : std::numeric_limits<double>::quiet_NaN();
    return fit;
}

/// A pairing to try: the turn of the chart it stands for and the reference
/// position of each seed.
struct Candidate {
    int orientation = 0;
    std::vector<int> positions;
    PairedFit fit;
};

/// The pairing's name in messages.
const wchar_t* pairingName(int orientation) {
    switch (orientation) {
        case 90:
            return L"turned a quarter clockwise";
        case 180:
            return L"upside down";
        case 270:
            return L"turned a quarter counter-clockwise";
        default:
            return L"as found";
    }
}

/// The pairings a quarter turn either way gives when the card is printed as
/// `printedRows` x `printedColumns` and its found grid shows it turned: found
/// position (r', c') (`printedColumns` rows of `printedRows`) shows the
/// printed patch (printedRows - 1 - c', r') when the card is turned clockwise
/// and (c', printedColumns - 1 - r') when turned counter-clockwise; `indexOf`
/// gives that printed patch's reference position.
template <typename IndexOf>
void addQuarterTurns(int printedRows, int printedColumns, IndexOf indexOf,
                     std::vector<Candidate>& candidates) {
    for (const int orientation : {90, 270}) {
        Candidate turned{orientation,
                         std::vector<int>(static_cast<std::size_t>(printedRows * printedColumns)),
                         {}};
        for (int r2 = 0; r2 < printedColumns; ++r2) {
            for (int c2 = 0; c2 < printedRows; ++c2) {
                const int r = orientation == 90 ? printedRows - 1 - c2 : c2;
                const int c = orientation == 90 ? r2 : printedColumns - 1 - r2;
                turned.positions[static_cast<std::size_t>(r2) *
                                     static_cast<std::size_t>(printedRows) +
                                 static_cast<std::size_t>(c2)] = indexOf(r, c);
            }
        }
        candidates.push_back(std::move(turned));
    }
}

/// The pairings to try for seeds whose found-order pairing is `positions`
/// (the colour index table's entries): that order and its reverse (the chart
/// upside down) and the two quarter turns where the found grid may show a
/// turned card: a grid of the layout's columns x rows (the card printed as
/// the layout says, turned), and, where the colour index table is the
/// identity and so fixes no layout, a grid of the layout's rows x columns
/// too (the card printed as columns x rows, read row by row, turned).
std::vector<Candidate> candidatePairings(const CalibrationInput& in,
                                         const std::vector<int>& positions) {
    std::vector<Candidate> candidates;
    candidates.push_back({0, positions, {}});
    candidates.push_back({180, std::vector<int>(positions.rbegin(), positions.rend()), {}});
    const int rows = in.layoutRows;
    const int cols = in.layoutColumns;
    if (rows <= 0 || cols <= 0 || rows == cols ||
        rows * cols != static_cast<int>(positions.size())) {
        return candidates;
    }
    if (in.gridRows == cols && in.gridColumns == rows) {
        addQuarterTurns(
            rows, cols,
            [&](int r, int c) {
                return positions[static_cast<std::size_t>(r) * static_cast<std::size_t>(cols) +
                                 static_cast<std::size_t>(c)];
            },
            candidates);
        return candidates;
    }
    bool identity = true;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        identity = identity && positions[i] == static_cast<int>(i);
    }
    if (identity && in.gridRows == rows && in.gridColumns == cols) {
        // Printed as `cols` rows of `rows`, shown turned as the layout's grid.
        addQuarterTurns(
            cols, rows, [&](int r, int c) { return r * rows + c; }, candidates);
    }
    return candidates;
}

/// The checks of the layout, before any pixel is read. On success `positions`
/// and `seedLabels` hold each seed's reference position and patch label.
CalibrationResult checkLayout(const CalibrationInput& in, std::vector<int>& positions,
                              std::vector<int>& seedLabels) {
    const cv::Mat& input = in.input;
    const cv::Mat& white = in.whiteImage;
    if (input.empty() || input.type() != CV_32FC3 || white.type() != CV_32FC3 || in.offset.x < 0 ||
        in.offset.y < 0 || std::int64_t{in.offset.x} + input.cols > std::int64_t{white.cols} ||
        std::int64_t{in.offset.y} + input.rows > std::int64_t{white.rows}) {
        return failed(
            CalibrationFailure::eRegionOutsideWhite,
            L"input image %i x %i at (%i, %i) does not lie inside the white image %i x %i",
            input.cols, input.rows, in.offset.x, in.offset.y, white.cols, white.rows);
    }
    if (in.labels.size() != input.size() || in.labels.type() != CV_32SC1) {
        return failed(CalibrationFailure::eLabelSize,
                      L"label image %i x %i does not match the input image %i x %i", in.labels.cols,
                      in.labels.rows, input.cols, input.rows);
    }
    // Exactly one seed per patch: the fit needs all 20 colours in reference order.
    const int seedCount = static_cast<int>(in.seeds.size());
    if (in.seeds.size() > static_cast<std::size_t>(kChartPatchCount)) {
        return failed(CalibrationFailure::eTooManySeeds, L"%i seed points, at most %i allowed",
                      seedCount, kChartPatchCount);
    }
    if (seedCount < kChartPatchCount) {
        return failed(CalibrationFailure::eTooFewSeeds, L"%i seed points, the chart has %i patches",
                      seedCount, kChartPatchCount);
    }
    const std::vector<int>& lut = in.colorIndexLut;
    positions.assign(in.seeds.size(), 0);
    seedLabels.assign(in.seeds.size(), 0);
    for (int i = 0; i < seedCount; ++i) {
        const std::array<int, 2>& seed = in.seeds[static_cast<std::size_t>(i)];
        if (seed[0] < 0 || seed[1] < 0 || seed[0] >= input.cols || seed[1] >= input.rows) {
            return failed(CalibrationFailure::eSeedOutside,
                          L"seed point %i (%i, %i) lies outside the image %i x %i", i, seed[0],
                          seed[1], input.cols, input.rows);
        }
        if (i < in.clusters) {
            const int p =
                static_cast<std::size_t>(i) < lut.size() ? lut[static_cast<std::size_t>(i)] : -1;
            if (p < 0 || p >= kChartPatchCount) {
                return failed(CalibrationFailure::eColorIndex,
                              L"colour index %i of patch %i lies outside 0 .. %i", p, i,
                              kChartPatchCount - 1);
            }
            positions[static_cast<std::size_t>(i)] = p;
        }
        const int label = in.labels.at<int>(seed[1], seed[0]);
        if (label <= 1) {
            return failed(CalibrationFailure::eSeedNotOnPatch,
                          L"seed point %i (%i, %i) does not lie on a patch (label %i)", i, seed[0],
                          seed[1], label);
        }
        seedLabels[static_cast<std::size_t>(i)] = label;
    }
    // Each reference position and each patch is taken by one seed only.
    for (std::size_t a = 0; a < in.seeds.size(); ++a) {
        for (std::size_t b = 0; b < a; ++b) {
            if (positions[a] == positions[b]) {
                return failed(CalibrationFailure::ePositionRepeated,
                              L"colour index %i of patch %i repeats that of patch %i", positions[a],
                              static_cast<int>(a), static_cast<int>(b));
            }
            if (seedLabels[a] == seedLabels[b]) {
                return failed(CalibrationFailure::eSeedsShareAPatch,
                              L"seed points %i and %i lie on one patch (label %i)",
                              static_cast<int>(b), static_cast<int>(a), seedLabels[a]);
            }
        }
    }
    // Sorting values that are not numbers has no defined order: such input
    // cannot be measured.
    if (!cv::checkRange(input)) {
        return failed(CalibrationFailure::eInputNotFinite,
                      L"input image holds values that are not finite");
    }
    return CalibrationResult{};
}

}  // namespace

CalibrationResult calibrateChart(const CalibrationInput& in, double maxResidualRatio) {
    std::vector<int> positions;
    std::vector<int> seedLabels;
    CalibrationResult checked = checkLayout(in, positions, seedLabels);
    if (checked.failure.failed()) {
        return checked;
    }
    const cv::Mat& input = in.input;

    // Flat-field correction of the input image by its part of the white image.
    const cv::Mat regionWhite =
        in.whiteImage(cv::Rect(in.offset.x, in.offset.y, input.cols, input.rows));
    cv::Mat gain;
    const double realWhite[3] = {in.realWhite[0], in.realWhite[1], in.realWhite[2]};
    computeWhiteGain(regionWhite, realWhite, gain);
    cv::Mat corrected = input.clone();
    applyWhiteGain(input, gain, corrected);
    std::vector<cv::Mat> planes;
    cv::split(corrected, planes);

    // Trimmed mean colour of each patch inside its opened and eroded mask. A
    // patch that keeps no pixel there is not measured: one seed pixel of the
    // uncorrected image cannot stand in for it.
    const std::vector<PatchMask> masks = computePatchMasks(in.labels, seedLabels);
    std::vector<cv::Vec3f> found(in.seeds.size());
    for (std::size_t k = 0; k < in.seeds.size(); ++k) {
        cv::Vec3d mean(0.0, 0.0, 0.0);
        bool measuredPatch = !masks[k].box.empty();
        if (measuredPatch) {
            const std::vector<cv::Mat> boxPlanes = {
                planes[0](masks[k].box), planes[1](masks[k].box), planes[2](masks[k].box)};
            measuredPatch = trimmedMeanColor(boxPlanes, masks[k].mask, mean);
        }
        if (!measuredPatch) {
            return failed(CalibrationFailure::ePatchNotMeasured,
                          L"patch %i (seed point (%i, %i)) keeps no pixel to measure after erosion",
                          static_cast<int>(k), in.seeds[k][0], in.seeds[k][1]);
        }
        found[k] = cv::Vec3f(static_cast<float>(mean[0]), static_cast<float>(mean[1]),
                             static_cast<float>(mean[2]));
    }
    if (!cv::checkRange(cv::Mat(found, false))) {
        return failed(CalibrationFailure::eMeasuredNotFinite,
                      L"measured patch colours are not finite");
    }

    // The pairings and their fits: the colours decide which one is right.
    std::vector<Candidate> candidates = candidatePairings(in, positions);
    CalibrationResult outcome;
    for (Candidate& candidate : candidates) {
        candidate.fit = fitPairing(found, candidate.positions, in.reference);
        outcome.pairings.push_back(
            {candidate.orientation, candidate.positions, candidate.fit.residual});
    }
    // The pairings only reorder the same measured colours: a fit that is not
    // finite means those colours cannot be fitted at all.
    const bool finite = std::all_of(candidates.begin(), candidates.end(),
                                    [](const Candidate& c) { return c.fit.finite; });
    std::vector<const Candidate*> passing;
    const Candidate* best = nullptr;
    for (const Candidate& candidate : candidates) {
        if (candidate.fit.residual <= maxResidualRatio) {
            passing.push_back(&candidate);
        }
        if (best == nullptr || candidate.fit.residual < best->fit.residual) {
            best = &candidate;
        }
    }
    if (!finite) {
        outcome.failure.code = CalibrationFailure::eMatrixNotFinite;
        outcome.failure.message = L"the fitted colour matrix is not finite";
    } else if (passing.empty()) {
        outcome.failure.code = CalibrationFailure::eResidualTooLarge;
        outcome.failure.message = wideMessage(
            L"the corrected colours miss the references: residual %.3f of the references' "
            L"spread (the best of %i pairings, %ls), at most %.2f allowed",
            best->fit.residual, static_cast<int>(candidates.size()), pairingName(best->orientation),
            maxResidualRatio);
    } else if (passing.size() > 1) {
        std::wstring named;
        for (const Candidate* candidate : passing) {
            named += (named.empty() ? L"" : L", ") +
                     wideMessage(L"%ls %.3f", pairingName(candidate->orientation),
                                 candidate->fit.residual);
        }
        outcome.failure.code = CalibrationFailure::ePairingAmbiguous;
        outcome.failure.message = wideMessage(
            L"the colours do not decide how the patches pair with the references: %i pairings "
            L"pass the residual rule (%ls; at most %.2f allowed)",
            static_cast<int>(passing.size()), named.c_str(), maxResidualRatio);
    }
    if (outcome.failure.failed()) {
        return outcome;
    }
    const Candidate& taken = *passing.front();
    for (int k = 0; k < 12; ++k) {
        outcome.matrix[static_cast<std::size_t>(k)] = taken.fit.coefficients.at<float>(k);
    }
    outcome.measured = taken.fit.measured;
    outcome.positions = taken.positions;
    outcome.orientation = taken.orientation;
    return outcome;
}

}  // namespace DataLayer
