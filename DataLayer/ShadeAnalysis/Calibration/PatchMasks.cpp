#include "DataLayer/ShadeAnalysis/Calibration/PatchMasks.h"

#include <algorithm>
#include <climits>
#include <cstdint>

#include <opencv2/imgproc.hpp>

namespace DataLayer {

namespace {

constexpr int kKernelSide = 5;
constexpr int kOpenIterations = 2;
constexpr int kErodeIterations = 3;
// How far the result at one pixel looks: the opening erodes and dilates
// kOpenIterations times each, then kErodeIterations erosions follow, each
// reaching half a kernel side.
constexpr int kReach = (kKernelSide / 2) * (2 * kOpenIterations + kErodeIterations);
// Label ranges up to this size are looked up in a table in one pass.
constexpr std::int64_t kMaxTableSpan = 1 << 16;

struct Extent {
    int x0 = INT_MAX;
    int y0 = INT_MAX;
    int x1 = -1;
    int y1 = -1;
};

std::vector<cv::Rect> boundingBoxes(const cv::Mat& labels, const std::vector<int>& values) {
    std::vector<cv::Rect> boxes(values.size());
    if (values.empty() || labels.empty()) {
        return boxes;
    }
    const auto range = std::minmax_element(values.begin(), values.end());
    const std::int64_t lo = *range.first;
    const std::int64_t span = std::int64_t{*range.second} - lo + 1;
    if (span > kMaxTableSpan) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            boxes[i] = cv::boundingRect(labels == values[i]);
        }
        return boxes;
    }

    // One pass over the labels: slot[v - lo] is the extent of value v, or -1.
    std::vector<int> slot(static_cast<std::size_t>(span), -1);
    std::vector<Extent> extents;
    for (const int v : values) {
        int& s = slot[static_cast<std::size_t>(v - lo)];
        if (s < 0) {
            s = static_cast<int>(extents.size());
            extents.emplace_back();
        }
    }
    for (int r = 0; r < labels.rows; ++r) {
        const int* row = labels.ptr<int>(r);
        for (int c = 0; c < labels.cols; ++c) {
            const std::int64_t k = std::int64_t{row[c]} - lo;
            if (k < 0 || k >= span) {
                continue;
            }
            const int s = slot[static_cast<std::size_t>(k)];
            if (s < 0) {
                continue;
            }
            Extent& e = extents[static_cast<std::size_t>(s)];
            e.x0 = std::min(e.x0, c);
            e.x1 = std::max(e.x1, c);
            e.y0 = std::min(e.y0, r);
            e.y1 = r;
        }
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Extent& e =
            extents[static_cast<std::size_t>(slot[static_cast<std::size_t>(values[i] - lo)])];
        if (e.x1 >= 0) {
            boxes[i] = cv::Rect(e.x0, e.y0, e.x1 - e.x0 + 1, e.y1 - e.y0 + 1);
        }
    }
    return boxes;
}

}  // namespace

std::vector<PatchMask> computePatchMasks(const cv::Mat& labels,
                                         const std::vector<int>& labelValues) {
    CV_Assert(labels.empty() || labels.type() == CV_32SC1);
    const std::vector<cv::Rect> boxes = boundingBoxes(labels, labelValues);
    const cv::Mat kernel = cv::Mat::ones(kKernelSide, kKernelSide, CV_8U);
    const cv::Rect image(0, 0, labels.cols, labels.rows);

    std::vector<PatchMask> masks(labelValues.size());
    for (std::size_t i = 0; i < labelValues.size(); ++i) {
        if (boxes[i].empty()) {
            continue;
        }
        const auto same = std::find(labelValues.begin(), labelValues.begin() + i, labelValues[i]);
        if (same != labelValues.begin() + i) {
            masks[i] = masks[static_cast<std::size_t>(same - labelValues.begin())];
            continue;
        }
        // Outside the box the label is absent; growing the box by the reach
        // keeps every pixel that can influence the box inside the crop, and
        // where the crop meets the image edge both see the same neutral border.
        const cv::Rect crop = cv::Rect(boxes[i].x - kReach, boxes[i].y - kReach,
                                       boxes[i].width + 2 * kReach, boxes[i].height + 2 * kReach) &
                              image;
        // A new matrix (not a view), so the filters cannot read past the crop.
        const cv::Mat mask = labels(crop) == labelValues[i];
        cv::Mat opened;
        cv::morphologyEx(mask, opened, cv::MORPH_OPEN, kernel, cv::Point(-1, -1), kOpenIterations,
                         cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
        cv::Mat eroded;
        cv::erode(opened, eroded, kernel, cv::Point(-1, -1), kErodeIterations, cv::BORDER_CONSTANT,
                  cv::morphologyDefaultBorderValue());
        masks[i] = PatchMask{crop, eroded};
    }
    return masks;
}

}  // namespace DataLayer
