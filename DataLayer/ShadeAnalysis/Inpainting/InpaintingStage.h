#pragma once

// The white estimate stage: the white image of a photo from the white ground
// around and between a chart's patches (`estimateWhiteImage` with the
// engine's automatic choice of fit). Stateless; internal to the library.

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"

namespace DataLayer {

/// Everything the white estimate stage reads.
struct InpaintingInput {
    /// The whole image, CV_32FC3 on a 0..255 scale.
    const cv::Mat& image;
    /// CV_8UC1 of the image's size: non-zero on every pixel that is not usable
    /// white ground (the host's support mask, or the located card's).
    const cv::Mat& support;
    /// The chart's label image (CV_32SC1, > 1 on patches) over `region`.
    const cv::Mat& labels;
    /// Where `labels` lie in the image: non-empty, inside it, of their size.
    cv::Rect region;
    /// The fit (`estimateWhiteImage`); the engine's choice is `eAuto`.
    CRBFInpainting::Config::Estimator estimator = CRBFInpainting::Config::Estimator::eAuto;
};

/// The white image, or why there is none.
struct InpaintingResult {
    /// `eNone` for a white image; otherwise `eWhiteEstimateFailed`, with the
    /// sizes or types that do not fit, or with the usable ground and the last
    /// fit tried when no fit could be made.
    CalibrationError failure;
    /// CV_32FC3 of the image's size (empty on failure).
    cv::Mat white;
    /// How the last fit was solved (also on a failed fit).
    CRBFInpainting::FitDiagnostics diagnostics;
    /// How often the excluded pixels were dilated for the fit kept (or last tried).
    int patchDilations = 0;
};

/// The white estimate stage: checks the inputs' types and sizes (before any
/// pixel is read), excludes the chart's patches from the white ground inside
/// `region`, and estimates the white image over the patches as
/// `estimateWhiteImage` describes. The engine's white
/// (`estimateChartWhite`) for a host support of the image's size, value for
/// value.
InpaintingResult estimateWhite(const InpaintingInput& in);

}  // namespace DataLayer
