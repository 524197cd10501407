// The chart layout stage: the segmentation of one photo, and the merge of the
// patches found in a sequence of frames of one chart.
#include "DataLayer/ShadeAnalysis/Segmentation/ChartLayoutStage.h"

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/Segmentation/CWatershedSegmentation.h"

namespace DataLayer {

namespace {

// Number of patches on every chart.
constexpr std::size_t kPatchCount = 20;

bool insideImage(const std::array<int, 2>& point, const cv::Mat& image) {
    return point[0] >= 0 && point[1] >= 0 && point[0] < image.cols && point[1] < image.rows;
}

}  // namespace

SegmentedChart segmentChartLayout(
    const cv::Mat& input,
    const std::shared_ptr<Base::IParameterSetColorCalibrationTarget>& parameterSet) {
    CWatershedSegmentation segmentation(parameterSet);
    segmentation.setInputImage(input);
    SegmentedChart layout;
    const bool segmented = segmentation.segment();
    layout.diagnostics = segmentation.getDiagnostics();
    if (!segmented) {
        return layout;
    }
    cv::Mat labels = segmentation.getLabels();
    if (labels.size() != input.size() || labels.type() != CV_32SC1) {
        // Not a label image of this input: nothing downstream could use it safely.
        return layout;
    }
    layout.found = true;
    layout.labels = labels;
    layout.seeds = segmentation.getPatchCenters();
    layout.pickedWhite = segmentation.getWhiteColor();
    return layout;
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
        if (merged.seeds.size() > kPatchCount || !insideImage(seed, fill) ||
            fill.at<unsigned char>(seed[1], seed[0]) != 0) {
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
