#include "DataLayer/ShadeAnalysis/Workflow/ChartRun.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Base/CImageData2D.h"
#include "Base/StringConversion.h"
#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/Calibration/CalibrationStage.h"
#include "DataLayer/ShadeAnalysis/ChartConstants.h"
#include "DataLayer/ShadeAnalysis/ChartWhite/PickedWhite.h"
#include "DataLayer/ShadeAnalysis/Inpainting/InpaintingStage.h"
#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"
#include "DataLayer/ShadeAnalysis/Segmentation/SegmentationStage.h"
#include "DataLayer/ShadeAnalysis/Workflow/CalibrationSteps.h"
#include "DataLayer/ShadeAnalysis/Workflow/WorkflowText.h"

namespace DataLayer {

namespace {

using Clock = std::chrono::steady_clock;
using Estimator = CRBFInpainting::Config::Estimator;

constexpr std::size_t kPatchCount = kChartPatchCount;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Fails `result` with `error` and the user's text `text`.
PhotoCalibrationResult& fail(PhotoCalibrationResult& result, CalibrationError error,
                             std::string text) {
    result.failure = std::move(error);
    result.error = std::move(text);
    return result;
}

/// `white` := `values` (B, G, R) as the engine keeps a white set through its
/// float interface (`CColorCalibration::setRealWhite`): rounded to float.
/// Each float goes through a volatile: GCC 12 at -O3 vectorises the two
/// conversions of a pair of channels into nothing, leaving them unrounded.
void setThroughFloat(cv::Scalar& white, const std::array<double, 3>& values) {
    for (std::size_t c = 0; c < 3; ++c) {
        const volatile float rounded = static_cast<float>(values[c]);
        white[static_cast<int>(c)] = static_cast<double>(rounded);
    }
}

/// The run itself; exceptions reach `runChart`.
void runStages(const ChartRunInput& input, PhotoCalibrationResult& result) {
    const auto parameters = std::make_shared<CParameterSetColorCalibrationTarget>(input.chart);
    // The references as the engine keeps them: (B, G, R) floats.
    std::array<std::array<float, 3>, kPatchCount> referencesBgr{};
    for (std::size_t k = 0; k < kPatchCount; ++k) {
        for (std::size_t c = 0; c < 3; ++c) {
            referencesBgr[k][c] = static_cast<float>(input.referenceRgb[k][2 - c]);
        }
    }
    const cv::Mat full = clonePhotoBuffer(input.photo);
    const cv::Mat working = input.roi.empty() ? cv::Mat() : clonePhotoBuffer(full(input.roi));
    const cv::Mat support = input.support.isContinuous() ? input.support : input.support.clone();
    std::unique_ptr<Base::CImageData2D> externalHost;
    if (!input.externalWhite.empty()) {
        const cv::Mat white =
            input.externalWhite.isContinuous() ? input.externalWhite : input.externalWhite.clone();
        externalHost = std::make_unique<Base::CImageData2D>(white.cols, white.rows, 12, white.data);
    }

    // Segmentation: display values where they are given, else the working ones.
    Clock::time_point start = Clock::now();
    const cv::Mat& display = input.segmentationRegion;
    const bool displaySegmentation =
        !display.empty() && display.type() == CV_32FC3 && display.size() == working.size();
    SegmentationResult layout;
    if (!working.empty()) {
        layout =
            segmentChart({displaySegmentation ? clonePhotoBuffer(display) : working, parameters});
    }
    result.segmentation = layout.diagnostics;
    result.timingsMs.emplace_back("segmentation", millisecondsSince(start));
    if (!layout.found || layout.seeds.size() != kPatchCount) {
        std::string text =
            "segmentation failed: the chart's 20 patches were not found in the region";
        if (!layout.diagnostics.reason.empty()) {
            text += " (" + layout.diagnostics.reason + ")";
        }
        const CalibrationFailure code = CalibrationFailure::eChartNotFound;
        fail(result, workflowFailure(code, text), withHint(text, failureReport(code).hint));
        return;
    }
    cv::Mat whiteAreaMask = cv::Mat::ones(working.size(), CV_8UC1);
    excludePatches(whiteAreaMask, layout.labels);

    // The white field of the whole image from the support's ground.
    start = Clock::now();
    InpaintingResult estimate;
    if (layout.labels.size() == working.size()) {
        estimate = estimateWhite({full, support, layout.labels, input.roi,
                                  input.ridgeWhite ? Estimator::eRidge : Estimator::eAuto});
    } else {
        estimate.failure = workflowFailure(CalibrationFailure::eWhiteEstimateFailed,
                                           "the labels do not cover the chart's region");
    }
    result.timingsMs.emplace_back("white_estimation", millisecondsSince(start));
    if (estimate.failure.failed()) {
        const std::string text =
            "white estimation failed: too little usable white ground around the patches";
        fail(result, estimate.failure, withHint(text, failureReport(estimate.failure.code).hint));
        return;
    }
    cv::Mat& white = estimate.white;
    const CRBFInpainting::FitDiagnostics& fit = estimate.diagnostics;
    result.whiteEstimate.available = true;
    result.whiteEstimate.method = fit.method;
    result.whiteEstimate.centres = fit.centres;
    result.whiteEstimate.samples = fit.samples;
    result.whiteEstimate.residualRms = fit.residualRms;

    // The picked white: measured on the working values where the display
    // values were segmented (the segmentation's own is of those); the real
    // white is the picked one, as the engine's float interface keeps it.
    const unsigned int stencilRadius = parameters->GetWhiteAreaStencilRadius();
    cv::Scalar picked = layout.pickedWhite;
    cv::Scalar real = layout.pickedWhite;
    if (displaySegmentation) {
        picked = measurePickedWhite(working, whiteAreaMask, stencilRadius);
        setThroughFloat(real, {picked[0], picked[1], picked[2]});
    }
    if (input.externalWhite.empty()) {
        // A white fitted to more than the card's ground (a region's scene,
        // the table at its corners) misses its own samples by far more than
        // the ground's noise and shading: such a white is refused (an
        // external white image takes its place where one is given).
        const double level = (picked[0] + picked[1] + picked[2]) / 3.0;
        const double residual = result.whiteEstimate.residualRms;
        if (!(level > 0.0) || !(residual <= kMaxWhiteResidualShare * level)) {
            char text[240];
            std::snprintf(text, sizeof text,
                          "white estimation failed: the white field misses its support by "
                          "%.1f %% of the white (at most %.0f %%): the support holds more "
                          "than the card's white ground",
                          level > 0.0 ? 100.0 * residual / level : 100.0,
                          100.0 * kMaxWhiteResidualShare);
            fail(result, workflowFailure(CalibrationFailure::eWhiteSupportTooWide, text),
                 withHint(text, failureReport(CalibrationFailure::eWhiteSupportTooWide).hint));
            return;
        }
    }
    if (input.realWhiteBgr) {
        setThroughFloat(real, *input.realWhiteBgr);
    }

    // The calibration stage, with the engine's checks and logging around it.
    start = Clock::now();
    CalibrationError failure = checkReferenceColours(referencesBgr);
    if (!failure.failed()) {
        failure = takeExternalWhite(*parameters, externalHost.get(), white, false);
    }
    CalibrationResult fitted;
    if (!failure.failed()) {
        std::vector<float> reference;
        for (const auto& colour : referencesBgr)
            reference.insert(reference.end(), colour.begin(), colour.end());
        const CalibrationInput stage{working,
                                     white,
                                     input.roi.tl(),
                                     layout.labels,
                                     layout.seeds,
                                     parameters->GetColorIndexLut(),
                                     parameters->GetNumberOfClusters(),
                                     reference,
                                     real,
                                     parameters->GetGridRows(),
                                     parameters->GetGridColumns(),
                                     layout.diagnostics.gridRows,
                                     layout.diagnostics.gridColumns};
        fitted = calibrateChart(stage, CColorCalibration::sc_dMaxResidualRatio);
        failure = fitted.failure;
    }
    result.timingsMs.emplace_back("calibration", millisecondsSince(start));
    if (failure.failed()) {
        logCalibrationFailure(failure);
        const std::string why = Base::WideToNarrow(failure.message);
        const char* hint = failureReport(failure.code).hint;
        fail(result, failure,
             withHint("calibration failed" + (why.empty() ? std::string() : ": " + why), hint));
        return;
    }
    logPairingWarning(fitted.orientation);

    for (std::size_t k = 0; k < 12; ++k) result.matrix[k] = fitted.matrix[k];
    picked = measurePickedWhite(working, whiteAreaMask, stencilRadius);
    for (std::size_t c = 0; c < 3; ++c) {
        result.realWhiteBgr[c] = real[static_cast<int>(c)];
        result.pickedWhiteBgr[c] = picked[static_cast<int>(c)];
    }
    result.orientation = fitted.orientation;
    for (std::size_t i = 0; i < layout.seeds.size(); ++i) {
        result.centers.emplace_back(layout.seeds[i][0] + input.roi.x,
                                    layout.seeds[i][1] + input.roi.y);
        // The pairing the calibration used (reversed for a chart upside down,
        // turned for one a quarter turn from its layout).
        result.referenceIndex.push_back(i < fitted.positions.size() ? fitted.positions[i] : -1);
    }
    for (std::size_t p = 0; p < kPatchCount; ++p) {
        const cv::Vec3f& colour = fitted.measured.at<cv::Vec3f>(static_cast<int>(p), 0);
        for (std::size_t c = 0; c < 3; ++c)
            result.measuredRgb[p][c] = colour[static_cast<int>(2 - c)];
    }
    result.labels = layout.labels;
    result.whiteImage = white;
}

}  // namespace

PhotoCalibrationResult runChart(const ChartRunInput& input) {
    PhotoCalibrationResult result;
    try {
        runStages(input, result);
    } catch (...) {
        const std::string text =
            describeRunException("the calibration of a " + std::to_string(input.photo.cols) +
                                 " x " + std::to_string(input.photo.rows) + " photo");
        fail(result, workflowFailure(CalibrationFailure::eRunAborted, text), text);
    }
    return result;
}

}  // namespace DataLayer
