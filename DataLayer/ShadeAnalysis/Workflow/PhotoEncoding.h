#pragma once

#include <optional>

#include <opencv2/core.hpp>

#include "Base/Export.h"
#include "DataLayer/ShadeAnalysis/ColorScience.h"

/// How a photo's values reach the calibration's working space and back.
///
/// Images are CV_32FC3 on the library's 0..255 scale. The working space of
/// `Encoding::eSrgb` is linear light (the values sRGB-decoded); for
/// `eLinear` and `eNone` the values are used as they are. Every function is
/// pure and may run on any number of threads at once; the image functions
/// return a new image (or, where nothing changes, the image itself).
namespace DataLayer::Color {

/// The encoding `encoding` stands for on a photo read at `sourceDepth`: the
/// given one, or, when none is given, sRGB for 8-bit photos (CV_8U) and
/// linear for 16-bit and float photos.
COLORCAL_EXPORT Encoding resolveEncoding(std::optional<Encoding> encoding, int sourceDepth);

/// Every value of `encoded` (CV_32FC3) sRGB-decoded, and every value of
/// `linear` sRGB-encoded, into a new image (`srgbDecode`, `srgbEncode` per
/// value; whole 8-bit codes are decoded from a table, with the same result).
/// Another type throws `cv::Exception`.
COLORCAL_EXPORT cv::Mat srgbDecodeImage(const cv::Mat& encoded);
COLORCAL_EXPORT cv::Mat srgbEncodeImage(const cv::Mat& linear);

/// `image` (CV_32FC3) in the working space of `encoding` (decoded for eSrgb,
/// otherwise `image` itself, not a copy), and back into the photo's encoding.
COLORCAL_EXPORT cv::Mat toWorkingImage(const cv::Mat& image, Encoding encoding);
COLORCAL_EXPORT cv::Mat toPhotoEncoding(const cv::Mat& image, Encoding encoding);

/// One value in the working space of `encoding`, and back into the photo's
/// encoding (the scalar versions of the two functions above).
COLORCAL_EXPORT double toWorkingValue(double encodedValue, Encoding encoding);
COLORCAL_EXPORT double toEncodedValue(double workingValue, Encoding encoding);

}  // namespace DataLayer::Color
