#pragma once

// The 9 x 9 median filter of the segmentation's input: the same bytes as
// cv::medianBlur(src, dst, 9), computed by a network of byte minima and
// maxima that runs over whole rows with SIMD instructions.
//
// Each row's 81-pixel windows are taken apart the same way for every pixel:
// the 9 rows of each column are sorted; pairs of adjacent sorted columns,
// then pairs of pairs, are merged; two blocks of four columns give the ranks
// of eight columns that can still hold the median; and the ninth column, on
// the left or the right, picks the median of the 81 from those. A block of
// eight columns is shared by two neighbouring pixels, so the merges run at
// every second pixel only. Minima and maxima of bytes are exact, so every
// instruction set gives the same bytes.
//
// The network's inner loops come in one set per instruction set: the portable
// set (OpenCV's 128-bit universal intrinsics) and, on x86, an AVX2 set
// compiled from its own source. `medianKernels()` picks one, once per process.

#include <cstddef>
#include <cstdint>

// Only declared here, so that the AVX2 kernels' source, compiled with other
// instructions, includes no inline OpenCV code.
namespace cv {
class Mat;
}  // namespace cv

namespace DataLayer {

/// `dst` = cv::medianBlur(`src`, `dst`, 9), byte for byte, borders included
/// (the image's edge pixels are replicated outwards). 8-bit images of 1, 3 or
/// 4 channels, continuous or not, with rows of up to about 900 000 bytes
/// (width x channels; a strip's working rows then stay below 64 MB), take the
/// fast path; any other
/// input is handed to cv::medianBlur itself, with its results and its
/// exceptions (cv::medianBlur throws cv::Exception for an empty image, other
/// depths and 2 channels at this kernel size).
/// `dst` may be `src` (the filter then works on a copy). Rows run in parallel
/// (oneTBB) for images of more than a few thousand pixels.
void medianBlur9x9(const cv::Mat& src, cv::Mat& dst);

namespace MedianFilter {

/// One step of the median network over a run of bytes: for i < n, with
/// x = arena[a + i] and y = arena[b + i], arena[lo + i] = min(x, y) and
/// arena[hi + i] = max(x, y); an offset of -1 means that output is not
/// written. Every read happens before the writes of the same i, so an output
/// may overwrite its own input.
struct MinMaxStep {
    std::int32_t a;
    std::int32_t b;
    std::int32_t lo;
    std::int32_t hi;
};

/// The inner loop of the filter for one instruction set.
struct MedianKernels {
    /// Name for diagnostics: "portable" or "avx2".
    const char* name;
    /// Runs `count` steps in order, each over bytes [begin, end) of its
    /// offsets. A kernel may process up to kMedianSlack bytes past `end` (the
    /// arena is that much longer than any run).
    void (*run)(std::uint8_t* arena, const MinMaxStep* steps, std::size_t count, std::size_t begin,
                std::size_t end);
};

/// Bytes past the end of a run that a kernel may read and write.
constexpr std::size_t kMedianSlack = 64;

/// The kernels every build has.
const MedianKernels& portableMedianKernels();

/// The AVX2 kernels when this build has them and the processor runs them;
/// null otherwise.
const MedianKernels* avx2MedianKernels();

/// The kernels the filter uses: the AVX2 set where available, unless the
/// build forces the portable set (COLORCAL_PORTABLE_KERNELS). Chosen on the
/// first call.
const MedianKernels& medianKernels();

/// medianBlur9x9 with the given kernel set (to compare the sets).
void medianBlur9x9(const cv::Mat& src, cv::Mat& dst, const MedianKernels& kernels);

}  // namespace MedianFilter
}  // namespace DataLayer
