#pragma once

#include <array>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/SegmentationDiagnostics.h"

namespace DataLayer {

/// One photo segmented: where the patches are and what surrounds them.
struct SegmentedChart {
    /// True when the segmentation found a chart and gave a label image of the
    /// input's size; the fields below are set only then (the diagnostics always).
    bool found = false;
    /// CV_32SC1 of the input's size: 1 on white ground, > 1 on patches.
    cv::Mat labels;
    /// Seed points (x, y) of the found patches in grid order; any count.
    std::vector<std::array<int, 2>> seeds;
    /// The picked white (B, G, R, 0) measured on the segmentation's white ground.
    cv::Scalar pickedWhite;
    /// What the segmentation found and, when it failed, why.
    SegmentationDiagnostics diagnostics;
};

/// Segments the chart in `input` (CV_32FC3, 0..255) with the geometry of
/// `parameterSet`. Throws `OrvException` for a null parameter set, before
/// any work.
SegmentedChart segmentChartLayout(
    const cv::Mat& input,
    const std::shared_ptr<Base::IParameterSetColorCalibrationTarget>& parameterSet);

/// whiteAreaMask := 0 wherever `labels` > 1 (patch pixels); the rest is kept,
/// so that the mask accumulates the patches of several frames.
/// `whiteAreaMask` is CV_8UC1 and `labels` CV_32SC1 of the same size.
void excludePatches(cv::Mat& whiteAreaMask, const cv::Mat& labels);

/// The patches of a sequence of frames merged into one layout.
struct MergedLayout {
    /// Old seeds first, in their order, then the new frame's: each seed that
    /// lies on a patch not yet claimed by an earlier one. Holds at most 21
    /// seeds: the 21st only says that the frames brought too many.
    std::vector<std::array<int, 2>> seeds;
    /// CV_32SC1 of the mask's size: each claimed patch (the 4-connected
    /// zero area of `whiteAreaMask` under its seed) labelled 2, 3, ... in seed
    /// order, 1 on white ground, 0 on patch pixels no seed claimed.
    cv::Mat labels;
};

/// Merges `newSeeds` into `oldSeeds` over the patch pixels of `whiteAreaMask`
/// (CV_8UC1, 0 on patches of every frame so far, see `excludePatches`). Seeds
/// outside the mask or on white ground are left out.
MergedLayout mergeFrameLayout(const std::vector<std::array<int, 2>>& oldSeeds,
                              const std::vector<std::array<int, 2>>& newSeeds,
                              const cv::Mat& whiteAreaMask);

}  // namespace DataLayer
