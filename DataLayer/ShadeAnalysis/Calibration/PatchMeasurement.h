#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace DataLayer {

/// Trimmed mean (20 % cut at each end) per channel of the pixels of three
/// CV_32F planes where the CV_8UC1 `mask` is non-zero, into `meanColor`.
/// The bounds are truncated single-precision products of the count and at
/// least one value is kept; values that are not numbers sort last. False when
/// a channel has no masked pixel, or when fewer than three planes are given
/// or a plane is not CV_32F of the mask's size.
bool trimmedMeanColor(const std::vector<cv::Mat>& channels, const cv::Mat& mask,
                      cv::Vec3d& meanColor);

}  // namespace DataLayer
