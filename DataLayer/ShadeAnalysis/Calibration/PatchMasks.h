#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace DataLayer {

/// The measuring mask of one label, limited to a box of the label image.
struct PatchMask {
    /// Where `mask` lies in the label image; empty when the label does not occur.
    cv::Rect box;
    /// CV_8UC1 of the box's size, 255 on the pixels to measure. Every pixel of
    /// the label image outside the box is unmeasured.
    cv::Mat mask;
};

/// For every value in `labelValues`: (labels == value) opened with a 5 x 5
/// square (2 iterations), then eroded with it (3 iterations), with constant
/// borders that neither erode nor dilate. The opening and the erosion only
/// remove pixels, so the result lies within the label's bounding box; it is
/// computed on that box grown by the operations' reach (clipped to the image),
/// which gives exactly the masks of the whole-image computation.
/// `labels` is CV_32SC1; the result has one entry per value, in order.
std::vector<PatchMask> computePatchMasks(const cv::Mat& labels,
                                         const std::vector<int>& labelValues);

}  // namespace DataLayer
