#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

/// The pixel size an image file declares in its header, read without decoding
/// the image, so that a photo too large to decode is refused before memory is
/// spent on it.
namespace ColorCalCli {

/// Reads up to `count` bytes at `offset` into `out`; returns how many it read
/// (fewer at the end of the file or on an error).
using ReadAt =
    std::function<std::size_t(std::uint64_t offset, unsigned char* out, std::size_t count)>;

/// Width and height in pixels as a header declares them.
struct ImageDimensions {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
};

/// The dimensions declared by the header of a PNG, JPEG (baseline, progressive
/// or lossless frame), TIFF (classic or BigTIFF, first image), BMP, PNM
/// (P1-P6, PAM, PFM), WebP or Sun raster file. Empty for another format, and
/// for a header that is truncated, inconsistent or declares a zero size: the
/// caller then leaves the decision to the decoder. Reads only through `read`
/// and only a bounded number of bytes (JPEG: at most 4096 segment headers).
std::optional<ImageDimensions> probeImageDimensions(const ReadAt& read);

}  // namespace ColorCalCli
