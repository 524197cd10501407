#pragma once

#include <array>
#include <string>

#include <opencv2/core.hpp>

#include "Base/Export.h"

namespace DataLayer {

/// Corrects a photo with a calibration's result, as the engine corrects its
/// input before it measures the patches: the flat-field gain real white /
/// white image (single precision, gain 1 where the white is zero, negative or
/// not finite), the product clamped above at 255, then the 3 x 4 colour
/// matrix. Corrected channel k := clamp(M[k][0]·f0 + M[k][1]·f1 + M[k][2]·f2
/// + M[k][3], 0, 255) with f the flat-field corrected (B, G, R); a channel
/// that comes out not finite (a pixel holding NaN or -inf) becomes 0.
///
/// `photo` and `whiteImage` are CV_32FC3 of one size, channels (B, G, R) on
/// the 0..255 scale in the space the calibration ran in; `realWhite` is the
/// white the photo is corrected to (B, G, R), positive and within the float
/// range; `matrix` is finite. `corrected` receives a CV_32FC3 image of the photo's size (it
/// may be `photo` itself).
///
/// Returns false, leaving `corrected` untouched and writing the reason to
/// `error` when given, for an empty photo, a type or size that differs from
/// the above, a real white or a matrix that is not usable; such faults never
/// throw (a failed allocation throws as in OpenCV).
COLORCAL_EXPORT bool applyColorCorrection(const cv::Mat& photo, const cv::Mat& whiteImage,
                                          const std::array<double, 3>& realWhite,
                                          const cv::Matx34f& matrix, cv::Mat& corrected,
                                          std::string* error = nullptr);

}  // namespace DataLayer
