#pragma once

#include <opencv2/core.hpp>

namespace DataLayer {

/// Mean colour of the white ground around the image centre.
///
/// `backgroundMask` (CV_8UC1, the image's size) is non-zero on white-ground
/// pixels. The mask is restricted to a filled circle of `radius` pixels around
/// (cols / 2, rows / 2) and eroded twice with a 13 x 13 kernel, so that only
/// pixels at least 12 px from any patch or edge of the circle count; the
/// result is `cv::mean` of `image` over what remains (all four components).
///
/// Charts whose gaps between patches are narrower than the erosion leave
/// nothing there. A white of zero would then turn every gain into 0 and the
/// calibration into garbage, so the measurement falls back, in this order, to
/// the circle's ground eroded once with a 3 x 3 kernel (dropping only the
/// pixels next to a patch), then to the ground of the whole image eroded the
/// same way. Only when all three are empty is the result (0, 0, 0, 0).
cv::Scalar measureStencilWhite(const cv::Mat& image, const cv::Mat& backgroundMask,
                               unsigned int radius);

}  // namespace DataLayer
