#pragma once

// The chart search's marker-controlled flood. Internal, not exported.

#include <opencv2/core.hpp>

namespace DataLayer {

/// Marker-controlled flood of `markers` (CV_32SC1, the size of `image`) over
/// the colour differences of `image` (CV_8UC3): the same labels as
/// `cv::watershed(image, markers)`, pixel for pixel: -1 on the boundaries
/// between basins and on the one-pixel frame of the image. Pixels are flooded
/// in rising order of their colour difference to the basin that reaches them
/// (the largest channel difference to that 4-neighbour), first come first
/// served within a level. Throws `cv::Exception` on a wrong type or size, as
/// the OpenCV call does.
void floodFromMarkers(const cv::Mat& image, cv::Mat& markers);

}  // namespace DataLayer
