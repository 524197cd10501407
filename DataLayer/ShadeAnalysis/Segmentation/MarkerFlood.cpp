// The flood is what cv::watershed computes, reorganised for speed: the colour
// differences between 4-neighbours are computed once, 16 pixels at a time,
// into two byte maps; each level's queue is an array read in order rather
// than a linked list whose every pop waits for the load of its successor; and
// the neighbourhood of the next pixel to pop is fetched ahead.
#include "DataLayer/ShadeAnalysis/Segmentation/MarkerFlood.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <opencv2/core/hal/intrin.hpp>

namespace DataLayer {

namespace {

constexpr int kQueued = -2;
constexpr int kBoundary = -1;
constexpr int kLevels = 256;

// Largest channel difference of two BGR pixels.
inline std::uint8_t colourDifference(const uchar* a, const uchar* b) {
    const int d0 = std::abs(a[0] - b[0]);
    const int d1 = std::abs(a[1] - b[1]);
    const int d2 = std::abs(a[2] - b[2]);
    return static_cast<std::uint8_t>(std::max(std::max(d0, d1), d2));
}

#if CV_SIMD128
// colourDifference of 16 pixel pairs, given as their channels.
inline cv::v_uint8x16 largestDifference(const cv::v_uint8x16& b0, const cv::v_uint8x16& g0,
                                        const cv::v_uint8x16& r0, const cv::v_uint8x16& b1,
                                        const cv::v_uint8x16& g1, const cv::v_uint8x16& r1) {
    return cv::v_max(cv::v_max(cv::v_absdiff(b0, b1), cv::v_absdiff(g0, g1)),
                     cv::v_absdiff(r0, r1));
}
#endif

// FIFO queues of pixel indices, one per level, and a bit mask of the levels
// whose queue holds something. A queue read to its end is emptied for reuse.
class LevelQueues {
  public:
    bool empty(int level) const {
        return (m_filled[static_cast<std::size_t>(level) / 64] >> (level % 64) & 1U) == 0;
    }
    // The lowest level from `level` on whose queue is not empty; kLevels when
    // there is none.
    int firstFilled(int level) const {
        for (int word = level / 64; word < kLevels / 64; ++word) {
            std::uint64_t bits = m_filled[static_cast<std::size_t>(word)];
            if (word == level / 64) {
                bits &= ~std::uint64_t{0} << (level % 64);
            }
            if (bits != 0) {
                return word * 64 + __builtin_ctzll(bits);
            }
        }
        return kLevels;
    }
    void push(int level, int pixel) {
        const auto l = static_cast<std::size_t>(level);
        m_queues[l].push_back(pixel);
        m_filled[l / 64] |= std::uint64_t{1} << (l % 64);
    }
    // The pixel queued after the one `pop(level)` returns next, or -1.
    int afterNext(int level) const {
        const auto l = static_cast<std::size_t>(level);
        return m_read[l] + 1 < m_queues[l].size() ? m_queues[l][m_read[l] + 1] : -1;
    }
    int pop(int level) {
        const auto l = static_cast<std::size_t>(level);
        std::vector<int>& queue = m_queues[l];
        const int pixel = queue[m_read[l]++];
        if (m_read[l] == queue.size()) {
            queue.clear();
            m_read[l] = 0;
            m_filled[l / 64] &= ~(std::uint64_t{1} << (l % 64));
        }
        return pixel;
    }

  private:
    std::array<std::vector<int>, kLevels> m_queues;
    std::array<std::size_t, kLevels> m_read{};
    std::array<std::uint64_t, kLevels / 64> m_filled{};
};

// The flood on continuous buffers, the frame already marked as boundary and
// every other pixel either not reached (0) or labelled; see floodFromMarkers.
void floodContinuous(const uchar* img, int* mask, int width, int height) {
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (height < 3 || width < 3) {
        return;  // every pixel is on the frame
    }
    // toRight[i]: the difference of pixel i to its right neighbour;
    // toDown[i]: to the one below. The last column's and row's entries are
    // never read.
    std::vector<std::uint8_t> rightDifferences(count, 0);
    std::vector<std::uint8_t> downDifferences(count, 0);
    for (int y = 0; y < height; ++y) {
        const uchar* row = img + static_cast<std::ptrdiff_t>(y) * width * 3;
        std::uint8_t* r = rightDifferences.data() + static_cast<std::ptrdiff_t>(y) * width;
        int x = 0;
#if CV_SIMD128
        for (; x + 17 <= width; x += 16) {
            cv::v_uint8x16 b0, g0, r0, b1, g1, r1;
            cv::v_load_deinterleave(row + 3 * x, b0, g0, r0);
            cv::v_load_deinterleave(row + 3 * x + 3, b1, g1, r1);
            cv::v_store(r + x, largestDifference(b0, g0, r0, b1, g1, r1));
        }
#endif
        for (; x + 1 < width; ++x) {
            r[x] = colourDifference(row + 3 * x, row + 3 * x + 3);
        }
        if (y + 1 < height) {
            std::uint8_t* d = downDifferences.data() + static_cast<std::ptrdiff_t>(y) * width;
            const uchar* below = row + static_cast<std::ptrdiff_t>(width) * 3;
            x = 0;
#if CV_SIMD128
            for (; x + 16 <= width; x += 16) {
                cv::v_uint8x16 b0, g0, r0, b1, g1, r1;
                cv::v_load_deinterleave(row + 3 * x, b0, g0, r0);
                cv::v_load_deinterleave(below + 3 * x, b1, g1, r1);
                cv::v_store(d + x, largestDifference(b0, g0, r0, b1, g1, r1));
            }
#endif
            for (; x < width; ++x) {
                d[x] = colourDifference(row + 3 * x, below + 3 * x);
            }
        }
    }
    const std::uint8_t* toRight = rightDifferences.data();
    const std::uint8_t* toDown = downDifferences.data();

    LevelQueues queues;
    // Every unlabelled pixel next to a marker is queued at its smallest
    // difference to a marked neighbour.
    for (int y = 1; y < height - 1; ++y) {
        const int rowStart = y * width;
        int* row = mask + rowStart;
        for (int x = 1; x < width - 1; ++x) {
            const int* m = row + x;
            if (m[0] != 0 || !(m[-1] > 0 || m[1] > 0 || m[-width] > 0 || m[width] > 0)) {
                continue;
            }
            const int i = rowStart + x;
            int level = kLevels;
            if (m[-1] > 0) {
                level = toRight[i - 1];
            }
            if (m[1] > 0) {
                level = std::min<int>(level, toRight[i]);
            }
            if (m[-width] > 0) {
                level = std::min<int>(level, toDown[i - width]);
            }
            if (m[width] > 0) {
                level = std::min<int>(level, toDown[i]);
            }
            queues.push(level, i);
            row[x] = kQueued;
        }
    }
    int active = queues.firstFilled(0);
    while (active < kLevels) {
        if (queues.empty(active)) {
            active = queues.firstFilled(active + 1);
            continue;
        }
        // The next pixel of this level lies elsewhere on the flood's front:
        // its neighbourhood is fetched while this one is labelled.
        const int ahead = queues.afterNext(active);
        if (ahead >= 0) {
            __builtin_prefetch(mask + ahead - width);
            __builtin_prefetch(mask + ahead);
            __builtin_prefetch(mask + ahead + width);
        }
        const int i = queues.pop(active);
        int* m = mask + i;
        // The pixel joins the basin of its labelled neighbours, or becomes a
        // boundary where two basins meet (two different labels among them).
        const int left = m[-1];
        const int right = m[1];
        const int up = m[-width];
        const int down = m[width];
        const auto orAll = [](int t) { return t > 0 ? t : INT_MAX; };
        const int largest = std::max(std::max(left, right), std::max(up, down));
        const int smallest =
            std::min(std::min(orAll(left), orAll(right)), std::min(orAll(up), orAll(down)));
        if (largest != smallest) {
            m[0] = kBoundary;
            continue;
        }
        m[0] = largest;
        // Neighbours not yet reached are queued at their difference to this
        // pixel, and the flood goes on from the lowest level queued.
        const auto reach = [&](int neighbour, int level) {
            if (mask[neighbour] == 0) {
                queues.push(level, neighbour);
                active = std::min(active, level);
                mask[neighbour] = kQueued;
            }
        };
        reach(i - 1, toRight[i - 1]);
        reach(i + 1, toRight[i]);
        reach(i - width, toDown[i - width]);
        reach(i + width, toDown[i]);
    }
}

}  // namespace

void floodFromMarkers(const cv::Mat& image, cv::Mat& markers) {
    CV_Assert(image.type() == CV_8UC3 && markers.type() == CV_32SC1);
    CV_Assert(image.size() == markers.size());
    if (image.empty()) {
        return;
    }
    const cv::Mat img = image.isContinuous() ? image : image.clone();
    cv::Mat labels = markers.isContinuous() ? markers : markers.clone();
    // The frame is boundary; inside it, what is not a label is not reached.
    const int width = labels.cols;
    const int height = labels.rows;
    for (int y = 0; y < height; ++y) {
        int* row = labels.ptr<int>(y);
        if (y == 0 || y == height - 1) {
            std::fill(row, row + width, kBoundary);
            continue;
        }
        for (int x = 1; x < width - 1; ++x) {
            row[x] = std::max(row[x], 0);
        }
        row[0] = kBoundary;
        row[width - 1] = kBoundary;
    }
    floodContinuous(img.ptr<uchar>(), labels.ptr<int>(), width, height);
    if (labels.data != markers.data) {
        labels.copyTo(markers);
    }
}

}  // namespace DataLayer
