// The chart search stage: one region segmented, and the merge of the patches
// found in a sequence of frames of one chart.
#include "DataLayer/ShadeAnalysis/Segmentation/SegmentationStage.h"

#include <string>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/ChartConstants.h"
#include "DataLayer/ShadeAnalysis/Segmentation/CWatershedSegmentation.h"

namespace DataLayer {

namespace {

bool insideImage(const std::array<int, 2>& point, const cv::Mat& image) {
    return point[0] >= 0 && point[1] >= 0 && point[0] < image.cols && point[1] < image.rows;
}

// A failure of `segmentChart` with `what` and the search's reason (plain
// ASCII, widened byte by byte).
CalibrationError searchFailure(CalibrationFailure code, const std::string& what,
                               const std::string& reason) {
    const std::string text = "segmentChart(): " + what + (reason.empty() ? "" : ": " + reason);
    CalibrationError error;
    error.code = code;
    error.message.reserve(text.size());
    for (const char c : text) {
        error.message.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return error;
}

}  // namespace

SegmentationResult segmentChart(const SegmentationInput& input) {
    CWatershedSegmentation segmentation(input.parameterSet);
    segmentation.setInputImage(input.region);
    SegmentationResult result;
    const bool segmented = segmentation.segment();
    result.diagnostics = segmentation.getDiagnostics();
    if (input.region.empty() || input.region.channels() != 3) {
        result.failure = searchFailure(CalibrationFailure::eSegmentationInputUnusable,
                                       "region " + std::to_string(input.region.cols) + " x " +
                                           std::to_string(input.region.rows) + " with " +
                                           std::to_string(input.region.channels()) + " channels",
                                       result.diagnostics.reason);
        return result;
    }
    if (!segmented) {
        result.failure = searchFailure(CalibrationFailure::eChartNotFound, "no chart found",
                                       result.diagnostics.reason);
        return result;
    }
    cv::Mat labels = segmentation.getLabels();
    if (labels.size() != input.region.size() || labels.type() != CV_32SC1) {
        // Not a label image of this region: nothing downstream could use it safely.
        result.failure = searchFailure(CalibrationFailure::eChartNotFound,
                                       "no label image of the region's size", "");
        return result;
    }
    result.found = true;
    result.labels = labels;
    result.seeds = segmentation.getPatchCenters();
    result.pickedWhite = segmentation.getWhiteColor();
    return result;
}

void excludePatches(cv::Mat& whiteAreaMask, const cv::Mat& labels) {
    whiteAreaMask.setTo(0, labels > 1.0);
}

MergedLayout mergeFrameLayout(const std::vector<std::array<int, 2>>& oldSeeds,
                              const std::vector<std::array<int, 2>>& newSeeds,
                              const cv::Mat& whiteAreaMask) {
    // Claim each patch once: a seed counts when it lies on patch pixels that no
    // earlier seed has flooded yet. Old seeds go first, so they keep their order.
    cv::Mat fill = whiteAreaMask.clone();
    int nextLabel = 2;
    MergedLayout merged;
    const auto claim = [&](const std::array<int, 2>& seed) {
        if (merged.seeds.size() > static_cast<std::size_t>(kChartPatchCount) ||
            !insideImage(seed, fill) || fill.at<unsigned char>(seed[1], seed[0]) != 0) {
            return;
        }
        merged.seeds.push_back(seed);
        cv::floodFill(fill, cv::Point(seed[0], seed[1]), cv::Scalar(nextLabel), nullptr,
                      cv::Scalar(0), cv::Scalar(0), 4);
        ++nextLabel;
    };
    for (const auto& seed : oldSeeds) {
        claim(seed);
    }
    for (const auto& seed : newSeeds) {
        claim(seed);
    }
    fill.convertTo(merged.labels, CV_32S);
    return merged;
}

}  // namespace DataLayer
