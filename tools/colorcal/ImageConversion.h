#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace ColorCalCli {

/// A photo read from disk, on the library's scale.
struct LoadedImage {
    cv::Mat bgr;  ///< CV_32FC3, blue-green-red, 0..255 scale, in the file's own encoding
    int sourceDepth = CV_8U;  ///< depth of the file: CV_8U, CV_16U or CV_32F
};

/// Brings a decoded image to CV_32FC3 on the 0..255 scale without losing
/// precision: 8-bit values are kept, 16-bit values scaled by 255/65535, float
/// images whose values all lie within 0..1 are scaled by 255 and other float
/// images are taken as 0..255. Grey images are replicated to three channels,
/// an alpha channel is dropped. Throws `UsageError` (naming `what`) for other
/// depths or channel counts, and for float images holding NaN or infinity.
LoadedImage toLibraryScale(const cv::Mat& raw, const std::string& what);

/// Reads and decodes an image file as `loadColorImage` describes, without
/// converting it (OpenCV's depth and channels, EXIF orientation not applied).
/// With `captureDecoderMessages` the codecs' messages are kept off standard
/// error and a warning is printed when they complained; that swaps the
/// process's standard error for a while, so callers on several threads at
/// once pass false.
cv::Mat readImageFile(const std::string& path, const std::string& what, double maxMegapixels,
                      bool captureDecoderMessages);

/// Reads an image file with OpenCV's imgcodecs and converts it with
/// `toLibraryScale`. Only a regular file is read, and only when its header
/// declares at most `maxMegapixels` million pixels (checked before decoding
/// for PNG, JPEG, TIFF, BMP, PNM, WebP and Sun raster files, after decoding
/// for other formats, which OpenCV's own limits bound). Throws `UsageError`
/// naming the file and the reason when it is missing, no regular file, too
/// large, not decodable or too large for the memory.
LoadedImage loadColorImage(const std::string& path, const std::string& what, double maxMegapixels);

/// Reads an 8-bit mask (one channel, or several merged: non-zero where any
/// channel is), on the terms of `loadColorImage`; also throws when it is not 8-bit.
cv::Mat loadMask(const std::string& path, const std::string& what, double maxMegapixels);

/// Throws `UsageError` ("<option> 'name': ...") when OpenCV has no image
/// writer for the extension of `path`; an empty path passes.
void requireImageFormat(const std::string& option, const std::string& path);

/// Writes a CV_32FC3 image as a 3-channel 32-bit float TIFF, losslessly (LZW);
/// false on failure.
bool writeFloatTiff(const std::string& path, const cv::Mat& image);

/// Writes an image with imgcodecs: float TIFF for .tif/.tiff paths, otherwise
/// rounded to 8 bits (16 bits when `sixteenBit` and the format keeps them).
/// False when OpenCV cannot write the file.
bool writeImage(const std::string& path, const cv::Mat& image, bool sixteenBit);

}  // namespace ColorCalCli
