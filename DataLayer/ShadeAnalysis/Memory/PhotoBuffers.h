#pragma once

#include <cstddef>

#include <opencv2/core.hpp>

namespace DataLayer {

/// Buffers of a photo's size (the copy of the host's photo, the white image,
/// the masks over the whole photo) are written once right after they are
/// made, and on Linux the first write of every 4 KiB page traps into the
/// kernel: for a fresh 60 MB image that costs several times the writing
/// itself. These buffers are therefore mapped on 2 MiB boundaries and marked
/// for transparent huge pages, which the kernel backs with 2 MiB pages where
/// the system allows it (`/sys/kernel/mm/transparent_hugepage/enabled` set to
/// `madvise` or `always`); elsewhere they are ordinary pages. A host turns
/// this off with the environment variable `COLORCAL_HUGE_PAGES=0`. Smaller
/// buffers, and every buffer in builds with the address sanitizer (which
/// checks heap bounds only), come from OpenCV's usual allocator.

/// Bytes from which a buffer is mapped as described above.
constexpr std::size_t kPhotoBufferMinBytes = std::size_t{4} << 20;

/// Makes `image` a matrix of `size` and `type` whose pixels come from the
/// photo-buffer allocator; the contents are undefined. A matrix that already
/// has this size and type and owns its pixels alone is kept as it is.
void createPhotoBuffer(cv::Mat& image, cv::Size size, int type);

/// A new matrix of `size` and `type` from the photo-buffer allocator.
cv::Mat newPhotoBuffer(cv::Size size, int type);

/// A copy of `image` (continuous) in a matrix from the photo-buffer allocator.
cv::Mat clonePhotoBuffer(const cv::Mat& image);

/// Whether `image`'s pixels came from the photo-buffer allocator.
bool isPhotoBuffer(const cv::Mat& image);

}  // namespace DataLayer
