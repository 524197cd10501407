#pragma once

// A rendered chart photo turned by a quarter or half turn with cv::rotate, as
// a camera held in portrait or upside down delivers it, with its ground truth
// turned along.

#include <array>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include <opencv2/core.hpp>

#include "synth/SyntheticChart.h"

namespace TestPhotos {

/// `point` (pixel-index coordinates of an image of `size`) after `cv::rotate(.., turn)`.
inline cv::Point2d turnedPoint(const cv::Point2d& point, cv::Size size, cv::RotateFlags turn) {
    switch (turn) {
        case cv::ROTATE_90_CLOCKWISE:
            return {size.height - 1 - point.y, point.x};
        case cv::ROTATE_180:
            return {size.width - 1 - point.x, size.height - 1 - point.y};
        case cv::ROTATE_90_COUNTERCLOCKWISE:
            return {point.y, size.width - 1 - point.x};
    }
    throw std::invalid_argument("turnedPoint(): unknown turn");
}

/// `rect` inside an image of `size` after `cv::rotate(.., turn)`.
inline cv::Rect turnedRect(const cv::Rect& rect, cv::Size size, cv::RotateFlags turn) {
    switch (turn) {
        case cv::ROTATE_90_CLOCKWISE:
            return {size.height - rect.y - rect.height, rect.x, rect.height, rect.width};
        case cv::ROTATE_180:
            return {size.width - rect.x - rect.width, size.height - rect.y - rect.height,
                    rect.width, rect.height};
        case cv::ROTATE_90_COUNTERCLOCKWISE:
            return {rect.y, size.width - rect.x - rect.width, rect.height, rect.width};
    }
    throw std::invalid_argument("turnedRect(): unknown turn");
}

/// `r` (rendered within 45 degrees of upright, so that its centres run row by
/// row over the upright chart) turned by `turn`: the images, regions and
/// corners turned, the centres and their reference positions re-ordered into
/// the found order of the turned photo (rows top to bottom, each left to
/// right), `rows` and `cols` those of the turned grid.
inline ChartSynth::RenderedChart turnPhoto(const ChartSynth::RenderedChart& r,
                                           cv::RotateFlags turn) {
    ChartSynth::RenderedChart t;
    const cv::Size size = r.photo.size();
    cv::rotate(r.photo, t.photo, turn);
    cv::rotate(r.photo8u, t.photo8u, turn);
    cv::rotate(r.whiteField, t.whiteField, turn);
    cv::rotate(r.cardMask, t.cardMask, turn);
    cv::rotate(r.patchMask, t.patchMask, turn);
    t.chartRegion = turnedRect(r.chartRegion, size, turn);
    t.hostRegion = turnedRect(r.hostRegion, size, turn);
    for (std::size_t k = 0; k < 4; ++k) {
        t.cardCorners[k] = turnedPoint(r.cardCorners[k], size, turn);
    }
    const bool quarter = turn != cv::ROTATE_180;
    t.rows = quarter ? r.cols : r.rows;
    t.cols = quarter ? r.rows : r.cols;
    t.centers.resize(r.centers.size());
    t.referenceIndex.resize(r.referenceIndex.size());
    for (int k = 0; k < static_cast<int>(r.centers.size()); ++k) {
        // Upright cell (row, col) and where the turn puts it in the turned grid.
        const int row = k / r.cols;
        const int col = k % r.cols;
        int turnedRow = r.rows - 1 - row;
        int turnedCol = r.cols - 1 - col;
        if (turn == cv::ROTATE_90_CLOCKWISE) {
            turnedRow = col;
            turnedCol = r.rows - 1 - row;
        } else if (turn == cv::ROTATE_90_COUNTERCLOCKWISE) {
            turnedRow = r.cols - 1 - col;
            turnedCol = row;
        }
        const auto i = static_cast<std::size_t>(turnedRow * t.cols + turnedCol);
        t.centers[i] = turnedPoint(r.centers[static_cast<std::size_t>(k)], size, turn);
        t.referenceIndex[i] = r.referenceIndex[static_cast<std::size_t>(k)];
    }
    return t;
}

}  // namespace TestPhotos
