#pragma once

#include <opencv2/core.hpp>

#include "CalibrationSummary.h"

namespace ColorCalCli {

/// Inputs of the one-page report besides the summary.
struct ReportImages {
    cv::Mat photoDisplay;     ///< CV_8UC3, the photo as a person sees it (sRGB-encoded)
    cv::Mat labels;           ///< CV_32S of the region's size (> 1 on patches), may be empty
    cv::Mat whiteImage;       ///< CV_32FC3 of the photo's size, may be empty
    bool whiteLinear = true;  ///< whether the white image holds linear light
};

/// Renders the report: the photo with the detected patch outlines, centres
/// and reference indices; the white field as a false-colour map with its
/// relative falloff; reference and corrected swatches per patch with their
/// CIEDE2000, the five worst marked; the matrix and the error statistics
/// before and after correction. Returns a CV_8UC3 image.
cv::Mat renderReport(const CalibrationSummary& summary, const ReportImages& images);

/// Five reference indices of the patches with the largest CIEDE2000 after
/// correction, worst first (fewer when fewer patches exist).
std::vector<int> worstPatches(const CalibrationSummary& summary, std::size_t count = 5);

}  // namespace ColorCalCli
