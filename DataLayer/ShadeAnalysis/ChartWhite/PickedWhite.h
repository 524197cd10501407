#pragma once

#include <opencv2/core.hpp>

namespace DataLayer {

/// The picked white: the mean colour of the chart's white ground, measured by
/// `measureStencilWhite` (WhiteStencil.h) over `whiteAreaMask` inside the
/// centred stencil circle of `stencilRadius` pixels. Every place that measures
/// the chart's white calls this function.
///
/// A pixel of a CV_32F or CV_64F `image` with a component that is not finite
/// does not count as white ground, so it cannot turn the mean into NaN; the
/// mask is then cleared there on a copy. `whiteAreaMask` is CV_8UC1 and
/// non-zero on white ground; a mask of another size or type than the image's
/// is passed on unchanged (and then gives (0, 0, 0, 0)).
cv::Scalar measurePickedWhite(const cv::Mat& image, const cv::Mat& whiteAreaMask,
                              unsigned int stencilRadius);

}  // namespace DataLayer
