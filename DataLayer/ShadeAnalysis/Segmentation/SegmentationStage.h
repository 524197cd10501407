#pragma once

// The chart search stage: where a chart's patches lie in a region image and
// what surrounds them, and the merge of the patches found in a sequence of
// frames of one chart. Points are (x = column, y = row) in the region's
// pixels; label images are CV_32SC1 of the region's size with 1 on the white
// ground and k + 2 on patch k.

#include <array>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"
#include "DataLayer/ShadeAnalysis/SegmentationDiagnostics.h"

namespace DataLayer {

/// What the chart search reads.
struct SegmentationInput {
    /// The region holding the chart: CV_32FC3 on 0..255 (shared, not copied).
    cv::Mat region;
    /// The chart's geometry (patch side, pitch, grid, clustering sizes);
    /// shared, read-only.
    std::shared_ptr<Base::IParameterSetColorCalibrationTarget> parameterSet;
};

/// One region segmented: where the patches are and what surrounds them.
struct SegmentationResult {
    /// True when the search found a chart and gave a label image of the
    /// region's size; the fields below are set only then (the diagnostics
    /// always). A chart the regular search found only part of counts too
    /// (fewer seeds, the reason in the diagnostics): a host that collects
    /// patches over several frames merges them.
    bool found = false;
    /// CV_32SC1 of the region's size: 1 on white ground, > 1 on patches.
    cv::Mat labels;
    /// Seed points (x, y) of the found patches in grid order.
    std::vector<std::array<int, 2>> seeds;
    /// The picked white (B, G, R, 0) measured on the white ground.
    cv::Scalar pickedWhite;
    /// What the search found and, when it failed, why.
    SegmentationDiagnostics diagnostics;
    /// Why no chart was found (`eSegmentationInputUnusable`,
    /// `eChartNotFound`), with the diagnostics' reason in the message;
    /// `eNone` when `found`.
    CalibrationError failure;

    /// Whether the search failed (`found` is then false).
    bool failed() const { return failure.failed(); }
};

/// Searches the chart in `input.region` with the geometry of
/// `input.parameterSet`. Throws `OrvException` for a null parameter set,
/// before any work; every other problem is a failure in the result.
SegmentationResult segmentChart(const SegmentationInput& input);

/// whiteAreaMask := 0 wherever `labels` > 1 (patch pixels); the rest is kept,
/// so that the mask accumulates the patches of several frames.
/// `whiteAreaMask` is CV_8UC1 and `labels` CV_32SC1 of the same size.
void excludePatches(cv::Mat& whiteAreaMask, const cv::Mat& labels);

/// The patches of a sequence of frames merged into one layout.
struct MergedLayout {
    /// Old seeds first, in their order, then the new frame's: each seed that
    /// lies on a patch not yet claimed by an earlier one. Holds at most one
    /// seed more than the chart's patches: the extra one only says that the
    /// frames brought too many.
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
