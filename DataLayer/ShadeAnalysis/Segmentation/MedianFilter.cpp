// The 9 x 9 median filter: the network of minima and maxima, built once per
// call for the image's width and channel count, run row by row over strips of
// rows in parallel; and the portable kernels and the choice of kernel set.
//
// Layout. Each source row is copied, its edge pixels replicated four times
// outwards, into a row of W + 8 padded pixels split by parity: the even
// padded pixels first, then the odd ones, each pixel's channels together.
// The network's values are such rows ("buffers" of one arena): a byte at
// offset k·cn + c of a buffer belongs to the k-th (even or odd) pixel and
// channel c, so a step of the network treats every channel and pixel at once,
// and moving along the row by one column of the same parity is an offset of
// cn bytes.
//
// Levels, for the padded pixel t = 2k + 1 (k = 0, 1, ...):
//   sorted columns  C_r(t), r < 9, the nine rows of column t sorted;
//   pairs           P_r(t), r < 18, columns t, t + 1 merged;
//   quads           Q_r(t), r < 36, pairs t, t + 2 merged;
//   eights          E_r(t), 31 <= r <= 40, ranks of quads t, t + 4 merged;
// the output pixel x = 2k has the window of padded columns 2k .. 2k + 8, that
// is E(2k + 1) and column 2k; the pixel x = 2k + 1 has E(2k + 1) and column
// 2k + 9. Of the 72 values of E, those below rank 31 are below the median of
// 81 and those above rank 40 above it, so the median is the 10th smallest of
// E_31..E_40 and the nine values of the ninth column: the smallest, over
// i + j = 10, of max(E_{30+i}, C_{j-1}).
//
// The sorting and merging networks are Batcher's odd-even merges, padded to
// powers of two with +inf; comparisons with +inf and those whose results no
// wanted rank uses are dropped when the network is built.

#include "DataLayer/ShadeAnalysis/Segmentation/MedianFilter.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/cache_aligned_allocator.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>
#include <opencv2/core.hpp>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

namespace DataLayer {
namespace MedianFilter {

#if defined(COLORCAL_HAVE_AVX2_KERNELS)
/// Defined in MedianFilterAvx2.cpp, which only x86 builds compile.
const MedianKernels& avx2MedianKernelSet();
#endif

namespace {

constexpr int kRadius = 4;
constexpr int kSide = 2 * kRadius + 1;
// Ranks of the eight shared columns' 72 values that can hold the median.
constexpr int kFirstEightRank = 31;
constexpr int kEightRanks = 10;
// Pixels a strip of rows should hold at least, so that small images run on
// the calling thread.
constexpr int kMinPixelsPerTask = 16384;
// Largest arena a task allocates; wider rows go to cv::medianBlur.
constexpr std::int64_t kMaxArenaBytes = std::int64_t{64} << 20;

// Where a value of the network lives: a buffer of the arena and a byte
// offset in it.
struct Location {
    int buffer;
    int offset;
};

struct NetworkStep {
    Location a;
    Location b;
    Location lo;
    Location hi;
    bool writesLo;
    bool writesHi;
};

// Steps over the pixels [0, count) of their buffers.
struct Level {
    std::vector<NetworkStep> steps;
    int count = 0;
};

using Comparators = std::vector<std::pair<int, int>>;

// Batcher's odd-even merge of wires lo .. hi (inclusive; a power of two of
// them) whose two halves are sorted; each comparator puts the smaller value on
// its first wire.
void oddEvenMerge(int lo, int hi, int r, Comparators& out) {
    const int step = r * 2;
    if (step < hi - lo) {
        oddEvenMerge(lo, hi, step, out);
        oddEvenMerge(lo + r, hi, step, out);
        for (int i = lo + r; i < hi - r; i += step) out.emplace_back(i, i + r);
    } else {
        out.emplace_back(lo, lo + r);
    }
}

void oddEvenMergeSort(int lo, int hi, Comparators& out) {
    if (hi - lo >= 1) {
        const int mid = lo + (hi - lo) / 2;
        oddEvenMergeSort(lo, mid, out);
        oddEvenMergeSort(mid + 1, hi, out);
        oddEvenMerge(lo, hi, 1, out);
    }
}

int powerOfTwoAtLeast(int n) {
    int p = 1;
    while (p < n) p *= 2;
    return p;
}

// The whole network of one image width and channel count, as levels of steps
// over buffers; buffers are recycled between and within levels.
class NetworkBuilder {
  public:
    int takeBuffer() {
        if (!m_free.empty()) {
            const int buffer = m_free.back();
            m_free.pop_back();
            return buffer;
        }
        return m_buffers++;
    }
    void release(int buffer) { m_free.push_back(buffer); }
    int buffers() const { return m_buffers; }

    // Runs `comparators` over wires that start with `inputs` (a buffer below
    // 0 is +inf), and returns where the values of the wires `wanted` end up.
    // Inputs are only read; every other result lives at offset 0 of its own
    // buffer.
    std::vector<Location> run(const std::vector<Location>& inputs, const Comparators& comparators,
                              const std::vector<int>& wanted, Level& level) {
        // The network on value numbers: each input that is not +inf is a
        // value, and each comparison of two values makes two new ones (-1 is
        // +inf). Every value is consumed by at most one comparison.
        struct Compare {
            int in1, in2, lo, hi;
        };
        std::vector<int> onWire(inputs.size(), -1);
        std::vector<Location> at;
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (inputs[i].buffer >= 0) {
                onWire[i] = static_cast<int>(at.size());
                at.push_back(inputs[i]);
            }
        }
        const std::size_t inputValues = at.size();
        std::vector<Compare> compares;
        int values = static_cast<int>(inputValues);
        for (const auto& [i, j] : comparators) {
            int& vi = onWire[static_cast<std::size_t>(i)];
            int& vj = onWire[static_cast<std::size_t>(j)];
            if (vj < 0) continue;  // min(v, inf) = v stays, inf stays above it
            if (vi < 0) {          // the value moves down, +inf up
                std::swap(vi, vj);
                continue;
            }
            compares.push_back(Compare{vi, vj, values, values + 1});
            vi = values;
            vj = values + 1;
            values += 2;
        }
        // Values that the wanted wires depend on.
        const auto index = [](int v) { return static_cast<std::size_t>(v); };
        std::vector<char> needed(index(values), 0);
        for (int w : wanted) needed[index(onWire[index(w)])] = 1;
        for (auto it = compares.rbegin(); it != compares.rend(); ++it) {
            if (needed[index(it->lo)] != 0 || needed[index(it->hi)] != 0) {
                needed[index(it->in1)] = 1;
                needed[index(it->in2)] = 1;
            }
        }
        // Buffers: a step frees the buffers of the values it consumes before
        // its results take one, so steps work in place where they can.
        at.resize(index(values), Location{-1, 0});
        const auto owned = [&](int v) { return index(v) >= inputValues; };
        for (const Compare& c : compares) {
            const bool lo = needed[index(c.lo)] != 0;
            const bool hi = needed[index(c.hi)] != 0;
            if (!lo && !hi) continue;
            NetworkStep step{
                at[index(c.in1)], at[index(c.in2)], Location{-1, 0}, Location{-1, 0}, lo, hi};
            for (int in : {c.in1, c.in2}) {
                if (owned(in)) release(at[index(in)].buffer);
            }
            if (lo) {
                step.lo = Location{takeBuffer(), 0};
                at[index(c.lo)] = step.lo;
            }
            if (hi) {
                step.hi = Location{takeBuffer(), 0};
                at[index(c.hi)] = step.hi;
            }
            level.steps.push_back(step);
        }
        std::vector<Location> result;
        for (int w : wanted) result.push_back(at[index(onWire[index(w)])]);
        return result;
    }

  private:
    int m_buffers = 0;
    std::vector<int> m_free;
};

constexpr Location kInfinity{-1, 0};

std::vector<Location> shifted(const std::vector<Location>& values, int bytes) {
    std::vector<Location> out;
    out.reserve(values.size());
    for (const Location& v : values) out.push_back(Location{v.buffer, v.offset + bytes});
    return out;
}

// Merges the sorted runs `a` and `b` and returns where the merged ranks
// first .. first + count - 1 are.
std::vector<Location> mergeRanks(NetworkBuilder& builder, const std::vector<Location>& a,
                                 const std::vector<Location>& b, int first, int count,
                                 Level& level) {
    const std::size_t half =
        static_cast<std::size_t>(powerOfTwoAtLeast(static_cast<int>(std::max(a.size(), b.size()))));
    // Each run is followed by +inf up to its half, so both halves are sorted
    // and the merged ranks sit on the first a.size() + b.size() wires.
    std::vector<Location> wires(2 * half, kInfinity);
    std::copy(a.begin(), a.end(), wires.begin());
    std::copy(b.begin(), b.end(), wires.begin() + static_cast<std::ptrdiff_t>(half));
    Comparators merge;
    oddEvenMerge(0, static_cast<int>(2 * half) - 1, 1, merge);
    std::vector<int> wanted;
    for (int r = first; r < first + count; ++r) wanted.push_back(r);
    return builder.run(wires, merge, wanted, level);
}

// The median of the window whose eight shared columns have the ranks
// `eights` (31 .. 40) and whose ninth column is `column` (sorted): the
// smallest, over i + j = 10, of the larger of eights' i-th and column's j-th
// value.
Location selectMedian(NetworkBuilder& builder, const std::vector<Location>& eights,
                      const std::vector<Location>& column, Level& level) {
    const Location median{builder.takeBuffer(), 0};
    const Location larger{builder.takeBuffer(), 0};
    for (int i = 1; i < kEightRanks; ++i) {
        const std::size_t fromEights = static_cast<std::size_t>(i - 1);
        const std::size_t fromColumn = static_cast<std::size_t>(kSide - i);
        level.steps.push_back(
            NetworkStep{eights[fromEights], column[fromColumn], kInfinity, larger, false, true});
        const Location smaller =
            i == 1 ? eights[static_cast<std::size_t>(kEightRanks - 1)] : median;
        level.steps.push_back(NetworkStep{smaller, larger, median, kInfinity, true, false});
    }
    builder.release(larger.buffer);
    return median;
}

// The network of one width and channel count, with absolute offsets into an
// arena of `buffers` buffers of `stride` bytes.
struct Network {
    struct Pass {
        std::vector<MinMaxStep> steps;
        std::size_t bytes;
    };
    std::vector<Pass> passes;
    int stride = 0;
    int buffers = 0;
    // Buffer of each of the nine source rows; byte offset of the odd
    // pixels' plane in a row.
    std::vector<int> sourceRows;
    int oddPlane = 0;
    int medianOfEven = 0;  // buffers of the even and odd pixels' medians
    int medianOfOdd = 0;
};

// Builds the network; false when the arena would be larger than
// kMaxArenaBytes.
bool buildNetwork(int width, int cn, Network& network) {
    const int padded = width + 2 * kRadius;
    const int evenPixels = (padded + 1) / 2;
    const int oddPixels = padded / 2;
    const int evenOutputs = (width + 1) / 2;
    const int oddOutputs = width / 2;
    const int eights = evenOutputs;
    const int quads = eights + 2;
    const int pairs = quads + 1;
    const int oddPlane = evenPixels * cn;

    NetworkBuilder builder;
    // Sorted columns, pairs, quads, eights, the medians of the even and of
    // the odd pixels.
    std::vector<Level> levels(6);
    std::vector<Location> sorting(16, kInfinity);
    for (int r = 0; r < kSide; ++r) {
        network.sourceRows.push_back(builder.takeBuffer());
        sorting[static_cast<std::size_t>(r)] = Location{network.sourceRows.back(), 0};
    }
    Comparators sort;
    oddEvenMergeSort(0, 15, sort);
    std::vector<int> ranks;
    for (int r = 0; r < kSide; ++r) ranks.push_back(r);
    const std::vector<Location> columns = builder.run(sorting, sort, ranks, levels[0]);
    levels[0].count = evenPixels + oddPixels;  // both planes
    // Pair at t = 2k + 1: odd pixel k and even pixel k + 1.
    const std::vector<Location> pair = mergeRanks(builder, shifted(columns, oddPlane),
                                                  shifted(columns, cn), 0, 2 * kSide, levels[1]);
    levels[1].count = pairs;
    const std::vector<Location> quad =
        mergeRanks(builder, pair, shifted(pair, cn), 0, 4 * kSide, levels[2]);
    levels[2].count = quads;
    for (const Location& v : pair) builder.release(v.buffer);
    const std::vector<Location> eight =
        mergeRanks(builder, quad, shifted(quad, 2 * cn), kFirstEightRank, kEightRanks, levels[3]);
    levels[3].count = eights;
    for (const Location& v : quad) builder.release(v.buffer);
    network.medianOfEven = selectMedian(builder, eight, columns, levels[4]).buffer;
    levels[4].count = evenOutputs;
    network.medianOfOdd =
        selectMedian(builder, eight, shifted(columns, oddPlane + kRadius * cn), levels[5]).buffer;
    levels[5].count = oddOutputs;
    network.oddPlane = oddPlane;
    network.buffers = builder.buffers();

    // Every run stays inside its buffer, slack included; the stride is an odd
    // number of cache lines, so that the buffers a step touches fall on
    // different sets of the data caches.
    std::int64_t extent = 0;
    for (const Level& level : levels) {
        const std::int64_t end = static_cast<std::int64_t>(level.count) * cn;
        for (const NetworkStep& s : level.steps) {
            for (const Location& l : {s.a, s.b, s.lo, s.hi}) {
                extent = std::max(extent, l.offset + end);
            }
        }
    }
    std::int64_t stride = (extent + static_cast<std::int64_t>(kMedianSlack) + 63) / 64 * 64;
    if ((stride / 64) % 2 == 0) stride += 64;
    if (stride * network.buffers > kMaxArenaBytes) return false;
    network.stride = static_cast<int>(stride);
    const auto absolute = [&](const Location& l, bool written) {
        return written ? static_cast<std::int32_t>(l.buffer * stride + l.offset) : -1;
    };
    for (const Level& level : levels) {
        if (level.count <= 0 || level.steps.empty()) continue;
        Network::Pass pass{{},
                           static_cast<std::size_t>(level.count) * static_cast<std::size_t>(cn)};
        for (const NetworkStep& s : level.steps) {
            pass.steps.push_back(MinMaxStep{absolute(s.a, true), absolute(s.b, true),
                                            absolute(s.lo, s.writesLo),
                                            absolute(s.hi, s.writesHi)});
        }
        network.passes.push_back(std::move(pass));
    }
    return true;
}

// Copies a source row into a source buffer: padded pixel t (the row's pixel
// t - 4, clamped to the row) goes to the even or odd plane by the parity of t.
template <int kChannels>
void fillSourceRow(const std::uint8_t* row, int width, std::uint8_t* even, std::uint8_t* odd) {
    const int padded = width + 2 * kRadius;
    for (int t = 0; t < padded; ++t) {
        const int x = std::min(std::max(t - kRadius, 0), width - 1);
        std::uint8_t* to = ((t & 1) != 0 ? odd : even) + (t >> 1) * kChannels;
        std::memcpy(to, row + x * kChannels, kChannels);
    }
}

// Interleaves the medians of the even and the odd pixels into a row.
template <int kChannels>
void storeRow(const std::uint8_t* even, const std::uint8_t* odd, int width, std::uint8_t* row) {
    for (int x = 0; x < width; ++x) {
        const std::uint8_t* from = ((x & 1) != 0 ? odd : even) + (x >> 1) * kChannels;
        std::memcpy(row + x * kChannels, from, kChannels);
    }
}

struct RowCopies {
    void (*fill)(const std::uint8_t*, int, std::uint8_t*, std::uint8_t*);
    void (*store)(const std::uint8_t*, const std::uint8_t*, int, std::uint8_t*);
};

RowCopies rowCopies(int cn) {
    switch (cn) {
        case 1:
            return RowCopies{fillSourceRow<1>, storeRow<1>};
        case 3:
            return RowCopies{fillSourceRow<3>, storeRow<3>};
        default:
            return RowCopies{fillSourceRow<4>, storeRow<4>};
    }
}

// Filters rows [y0, y1) of `src` into `dst` with its own arena.
void filterRows(const cv::Mat& src, cv::Mat& dst, const Network& network,
                const MedianKernels& kernels, int y0, int y1) {
    const int width = src.cols;
    const int last = src.rows - 1;
    const RowCopies copies = rowCopies(src.channels());
    std::vector<std::uint8_t, tbb::cache_aligned_allocator<std::uint8_t>> arena(
        static_cast<std::size_t>(network.stride) * static_cast<std::size_t>(network.buffers), 0);
    std::uint8_t* const base = arena.data();
    const auto buffer = [&](int b) {
        return base + static_cast<std::ptrdiff_t>(b) * network.stride;
    };
    // Source row y + k (clamped to the image) sits in the buffer of slot
    // (y + k) mod 9, so moving down one row replaces only the top row's slot.
    const auto load = [&](int y) {
        const int slot = ((y % kSide) + kSide) % kSide;
        std::uint8_t* row = buffer(network.sourceRows[static_cast<std::size_t>(slot)]);
        copies.fill(src.ptr<std::uint8_t>(std::min(std::max(y, 0), last)), width, row,
                    row + network.oddPlane);
    };
    for (int k = -kRadius; k < kRadius; ++k) load(y0 + k);
    for (int y = y0; y < y1; ++y) {
        load(y + kRadius);
        for (const Network::Pass& pass : network.passes) {
            kernels.run(base, pass.steps.data(), pass.steps.size(), 0, pass.bytes);
        }
        copies.store(buffer(network.medianOfEven), buffer(network.medianOfOdd), width,
                     dst.ptr<std::uint8_t>(y));
    }
}

void runPortable(std::uint8_t* arena, const MinMaxStep* steps, std::size_t count, std::size_t begin,
                 std::size_t end) {
    constexpr std::size_t kLanes = cv::v_uint8x16::nlanes;
    for (std::size_t s = 0; s < count; ++s) {
        const std::uint8_t* a = arena + steps[s].a;
        const std::uint8_t* b = arena + steps[s].b;
        std::uint8_t* lo = arena + steps[s].lo;
        std::uint8_t* hi = arena + steps[s].hi;
        if (steps[s].lo >= 0 && steps[s].hi >= 0) {
            for (std::size_t i = begin; i < end; i += kLanes) {
                const cv::v_uint8x16 x = cv::v_load(a + i);
                const cv::v_uint8x16 y = cv::v_load(b + i);
                cv::v_store(lo + i, cv::v_min(x, y));
                cv::v_store(hi + i, cv::v_max(x, y));
            }
        } else if (steps[s].lo >= 0) {
            for (std::size_t i = begin; i < end; i += kLanes) {
                cv::v_store(lo + i, cv::v_min(cv::v_load(a + i), cv::v_load(b + i)));
            }
        } else {
            for (std::size_t i = begin; i < end; i += kLanes) {
                cv::v_store(hi + i, cv::v_max(cv::v_load(a + i), cv::v_load(b + i)));
            }
        }
    }
}

}  // namespace

const MedianKernels& portableMedianKernels() {
    static const MedianKernels kernels{"portable", runPortable};
    return kernels;
}

const MedianKernels* avx2MedianKernels() {
#if defined(COLORCAL_HAVE_AVX2_KERNELS)
    static const bool runs = __builtin_cpu_supports("avx2");
    return runs ? &avx2MedianKernelSet() : nullptr;
#else
    return nullptr;
#endif
}

const MedianKernels& medianKernels() {
#if defined(COLORCAL_PORTABLE_KERNELS)
    return portableMedianKernels();
#else
    static const MedianKernels& chosen =
        avx2MedianKernels() != nullptr ? *avx2MedianKernels() : portableMedianKernels();
    return chosen;
#endif
}

void medianBlur9x9(const cv::Mat& src, cv::Mat& dst, const MedianKernels& kernels) {
    const int cn = src.channels();
    Network network;
    if (src.empty() || src.dims != 2 || src.depth() != CV_8U || (cn != 1 && cn != 3 && cn != 4) ||
        !buildNetwork(src.cols, cn, network)) {
        cv::medianBlur(src, dst, kSide);
        return;
    }
    cv::Mat input = src;  // keeps the source alive if dst is src
    dst.create(src.size(), src.type());
    if (input.datastart < dst.dataend && dst.datastart < input.dataend) input = input.clone();
    // Strips of at least kMinPixelsPerTask pixels, up to four per thread, so
    // that a thread the system delays holds up only a small part of the image
    // while each strip's set-up (its arena, eight extra source rows) stays
    // small beside its work.
    const std::int64_t pixels = static_cast<std::int64_t>(src.rows) * src.cols;
    const int strips = static_cast<int>(std::max<std::int64_t>(
        1, std::min<std::int64_t>({pixels / kMinPixelsPerTask, src.rows,
                                   4 * tbb::this_task_arena::max_concurrency()})));
    const int grain = (src.rows + strips - 1) / strips;
    tbb::parallel_for(
        tbb::blocked_range<int>(0, src.rows, grain),
        [&](const tbb::blocked_range<int>& rows) {
            filterRows(input, dst, network, kernels, rows.begin(), rows.end());
        },
        tbb::simple_partitioner());
}

}  // namespace MedianFilter

void medianBlur9x9(const cv::Mat& src, cv::Mat& dst) {
    MedianFilter::medianBlur9x9(src, dst, MedianFilter::medianKernels());
}

}  // namespace DataLayer
