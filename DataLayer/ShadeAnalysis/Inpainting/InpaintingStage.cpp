// The white estimate stage's entry: input checks, the chart's patches taken
// out of the white ground, and the fit.
#include "DataLayer/ShadeAnalysis/Inpainting/InpaintingStage.h"

#include "DataLayer/ShadeAnalysis/FailureMessage.h"
#include "DataLayer/ShadeAnalysis/Inpainting/WhiteEstimate.h"
#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"

namespace DataLayer {

namespace {

/// `result` failed with `eWhiteEstimateFailed`; the message is formatted printf-style.
template <typename... Args>
void fail(InpaintingResult& result, const wchar_t* format, Args... args) {
    result.failure = failureWithMessage(CalibrationFailure::eWhiteEstimateFailed, format, args...);
}

}  // namespace

InpaintingResult estimateWhite(const InpaintingInput& in) {
    InpaintingResult result;
    const cv::Mat& image = in.image;
    if (image.empty() || image.type() != CV_32FC3) {
        fail(result, L"estimateWhite(): the image is %i x %i of type %i, CV_32FC3 expected",
             image.cols, image.rows, image.type());
        return result;
    }
    if (in.support.type() != CV_8UC1 || in.support.size() != image.size()) {
        fail(result,
             L"estimateWhite(): the support mask is %i x %i of type %i, CV_8UC1 of %i x %i "
             L"expected",
             in.support.cols, in.support.rows, in.support.type(), image.cols, image.rows);
        return result;
    }
    const cv::Rect& region = in.region;
    if (region.empty() || (region & cv::Rect(0, 0, image.cols, image.rows)) != region ||
        in.labels.type() != CV_32SC1 || in.labels.size() != region.size()) {
        fail(result,
             L"estimateWhite(): labels %i x %i of type %i at (%i, %i) %i x %i do not fit the "
             L"%i x %i image (CV_32SC1 of a region inside it expected)",
             in.labels.cols, in.labels.rows, in.labels.type(), region.x, region.y, region.width,
             region.height, image.cols, image.rows);
        return result;
    }
    cv::Mat excluded = clonePhotoBuffer(in.support);
    const cv::Mat patchArea = excludeChartPatches(excluded, region, in.labels);
    cv::Mat white;
    if (!estimateWhiteImage(image, excluded, patchArea, in.estimator, white, result.diagnostics,
                            result.patchDilations)) {
        const int ground = static_cast<int>(excluded.total()) - cv::countNonZero(excluded);
        const char* method =
            result.diagnostics.method[0] != '\0' ? result.diagnostics.method : "no fit";
        fail(result,
             L"the white image could not be estimated: %i pixels of white ground around %i patch "
             L"pixels; last attempt %s with %lld centres and %lld samples after %i dilations",
             ground, cv::countNonZero(patchArea), method,
             static_cast<long long>(result.diagnostics.centres),
             static_cast<long long>(result.diagnostics.samples), result.patchDilations);
        return result;
    }
    result.white = white;
    return result;
}

}  // namespace DataLayer
