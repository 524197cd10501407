#pragma once

#include <opencv2/core.hpp>

namespace DataLayer {

/// gain := realWhite[c] / whiteImage per pixel and channel (CV_32FC3), in single
/// precision. Where that factor would not be usable (a white value that is zero,
/// negative or not finite, a quotient that overflows, or a real white that is not
/// finite or beyond the float range) the gain is 1: the pixel is left
/// uncorrected, so no infinity or NaN reaches the corrected image or the fit.
/// `whiteImage` is CV_32FC3 or empty (`cv::Exception` otherwise).
void computeWhiteGain(const cv::Mat& whiteImage, const double realWhite[3], cv::Mat& gain);

/// result := image × gain, clamped above at 255 (no lower clamp). `image` and
/// `gain` are CV_32FC3 of one size (`cv::Exception` otherwise); `result` is
/// allocated to that size if it is not already.
void applyWhiteGain(const cv::Mat& image, const cv::Mat& gain, cv::Mat& result);

}  // namespace DataLayer
