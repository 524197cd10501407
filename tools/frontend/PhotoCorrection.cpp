#include "PhotoCorrection.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "FrontendError.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace ColorCalFrontend {

namespace {

using DataLayer::Color::srgbDecode;
using DataLayer::Color::srgbEncode;

/// The 8-bit encoding goes by cells of working values: a value's cell is its
/// float's bits 16..30 (128 cells per octave) less those of 2^-8, and 0 where
/// that is negative. For the values encoded, +0..255, the cells so cover
/// 2^-8..256, cell 0 also every value below. The floats of any other cell
/// share their bits from 16 on and order as their low 16 bits. The code
/// rises by at most one within a cell, and not at all in cell 0 (both
/// checked as the table is built), so a cell's entry holds its code at its
/// least value (bits 17 on) and the low bits of the least value of the next
/// code where that lies within the cell, else 0x10000, more than any value's
/// low bits (bits 0..16).
constexpr std::int32_t kFirstCellBits = 0x3B80;  // 2^-8 >> 16
constexpr std::int32_t kLastCell = 2047;
constexpr std::int32_t kNoStepInCell = 0x10000;

constexpr float kFloatMax = std::numeric_limits<float>::max();

/// `value` in single precision; NaN where it is not finite or beyond the
/// float range (as the library's flat-field treats a real white).
float toFloatOrNaN(double value) {
    if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    return static_cast<float>(value);
}

/// The 8-bit code the tool writes for a working value in 0..255: sRGB-encoded
/// in double and stored as float when `srgb`, then rounded and saturated as
/// OpenCV converts float to 8 bits.
std::uint8_t code8(float value, bool srgb) {
    return cv::saturate_cast<std::uint8_t>(srgb ? static_cast<float>(srgbEncode(value)) : value);
}

inline float floatOfBits(std::uint32_t bits) {
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline std::uint32_t bitsOfFloat(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

/// The least non-negative float whose code is `code` or higher (the code
/// rises monotonically with the value; non-negative floats order as their bits).
float leastValueWithCode(int code, bool srgb) {
    std::uint32_t lo = bitsOfFloat(0.0f);
    std::uint32_t hi = bitsOfFloat(255.0f);
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (code8(floatOfBits(mid), srgb) >= code) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return floatOfBits(lo);
}

/// The cell of a working value in +0..255 (see kFirstCellBits), computed
/// unsigned, so that an index needs no sign extension.
inline std::uint32_t cellOf(std::uint32_t bits) {
    constexpr auto kFirst = static_cast<std::uint32_t>(kFirstCellBits);
    const std::uint32_t high = bits >> 16;
    return high > kFirst ? high - kFirst : 0u;
}

std::string sizeText(const cv::Mat& image) {
    return std::to_string(image.cols) + " x " + std::to_string(image.rows);
}

/// A new image for a result. On Linux a large one asks the kernel for huge
/// pages before any of it is touched: a 12 MP photo's result then costs
/// about 20 page faults instead of some 9000, which took a third of the
/// correction's time. Elsewhere, or where the kernel declines, pages are as
/// usual.
cv::Mat newResult(cv::Size size, int type) {
    cv::Mat image(size, type);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(image.data);
    const std::uintptr_t end = begin + image.total() * image.elemSize();
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = end & ~(kHugePage - 1);
    if (last > first) {
        // A hint only: the result is the same whatever the kernel answers.
        static_cast<void>(::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE));
    }
#endif
    return image;
}

/// Rows per task: at least about 16k pixels each, so small photos run on one thread.
int rowGrain(int cols) { return std::max(1, 16384 / std::max(1, cols)); }

/// Pixels per block of a row. A block's working values (6 KB) stay in the
/// first-level cache from decoding to encoding.
constexpr int kBlock = 512;

// The kernels below are compiled twice where the toolchain can pick a clone
// at load time (GCC or Clang on x86-64 ELF): for processors with AVX2 and for
// any other. AVX2 without FMA, so the arithmetic stays as written (no fused
// multiply-add) and both clones give the same values. Their pointers never
// overlap (`__restrict`): only so does the compiler vectorise the table
// look-ups.
// COLORCAL_PORTABLE_KERNELS builds the plain clone only, so that it is
// checked too on a machine that would otherwise run the AVX2 one.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__ELF__) && \
    !defined(COLORCAL_PORTABLE_KERNELS)
#define COLORCAL_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define COLORCAL_KERNEL
#endif

/// Per-task scratch: one block's working values, interleaved blue-green-red;
/// the flat-field's gains and the real white repeated along a block; the
/// block's 8-bit codes; for 16-bit and float photos the block on the float
/// scale and in the photo's depth.
struct Scratch {
    alignas(64) std::array<float, 3 * kBlock> work;
    alignas(64) std::array<float, 3 * kBlock> gain;
    alignas(64) std::array<float, 3 * kBlock> target;
    alignas(64) std::array<std::uint8_t, 3 * kBlock> codes;
    alignas(64) std::array<float, 4 * kBlock> values;
    alignas(64) std::array<unsigned char, 3 * kBlock * sizeof(float)> bytes;
};

/// The library's flat-field on `n3` working values, `white` theirs, `target`
/// the real white along them: gain target / white, or 1 where the white is
/// not positive and finite or the gain is not finite; the product clamped
/// above at 255. The gains are a loop of their own and each test is
/// evaluated (no short circuit): only so does the compiler vectorise both.
COLORCAL_KERNEL void applyFlatField(const float* __restrict white, const float* __restrict target,
                                    int n3, float* __restrict gain, float* __restrict work) {
    for (int j = 0; j < n3; ++j) {
        const float w = white[j];
        const float q = target[j] / w;
        const bool usable = (w > 0.0f) & (w <= kFloatMax) & (std::fabs(q) <= kFloatMax);
        gain[j] = usable ? q : 1.0f;
    }
    for (int j = 0; j < n3; ++j) {
        const float v = work[j] * gain[j];
        work[j] = v > 255.0f ? 255.0f : v;
    }
}

/// A matrix result clamped to 0..255 (NaN and -inf give 0, +inf 255; -0
/// gives 0, the same value). Each selection is one instruction where
/// vectorised (maximum, minimum).
inline float clamped(float v) {
    const float atLeast0 = v > 0.0f ? v : 0.0f;
    return atLeast0 < 255.0f ? atLeast0 : 255.0f;
}

/// The library's clamp of a matrix result: to 0..255, and 0 where not finite.
inline float clampedOrZero(float v) { return v <= kFloatMax ? clamped(v) : 0.0f; }

/// The matrix on `n` pixels of working values, summed in the library's
/// order, then clamped by `clamp`.
template <typename Clamp>
inline void matrixPass(const cv::Matx34f& m, int n, float* __restrict work, Clamp clamp) {
    const float m00 = m(0, 0), m01 = m(0, 1), m02 = m(0, 2), m03 = m(0, 3);
    const float m10 = m(1, 0), m11 = m(1, 1), m12 = m(1, 2), m13 = m(1, 3);
    const float m20 = m(2, 0), m21 = m(2, 1), m22 = m(2, 2), m23 = m(2, 3);
    for (int i = 0; i < n; ++i) {
        const float f0 = work[3 * i];
        const float f1 = work[3 * i + 1];
        const float f2 = work[3 * i + 2];
        work[3 * i] = clamp(m00 * f0 + m01 * f1 + m02 * f2 + m03);
        work[3 * i + 1] = clamp(m10 * f0 + m11 * f1 + m12 * f2 + m13);
        work[3 * i + 2] = clamp(m20 * f0 + m21 * f1 + m22 * f2 + m23);
    }
}

/// The matrix and the library's clamp, for any finite working values.
COLORCAL_KERNEL void applyMatrix(const cv::Matx34f& m, int n, float* __restrict work) {
    matrixPass(m, n, work, clampedOrZero);
}

/// The matrix where every working value lies within 0..256 and no sum can
/// overflow (see `CorrectionModel::m_boundedMatrix`): no result is then
/// infinite or NaN, and the plain clamp is the library's.
COLORCAL_KERNEL void applyMatrixBounded(const cv::Matx34f& m, int n, float* __restrict work) {
    matrixPass(m, n, work, clamped);
}

/// `n3` 8-bit values as working values through the table of the 256 codes.
COLORCAL_KERNEL void decode8(const std::uint8_t* __restrict in, int n3,
                             const float* __restrict table, float* __restrict work) {
    for (int j = 0; j < n3; ++j) {
        work[j] = table[in[j]];
    }
}

/// `n` pixels of `channels` 8-bit values each, the blue, green and red at
/// offsets `b`, `g`, `r`, as working values through the table of the 256 codes.
COLORCAL_KERNEL void decode8Pixels(const std::uint8_t* __restrict in, int n, int channels, int b,
                                   int g, int r, const float* __restrict table,
                                   float* __restrict work) {
    for (int i = 0; i < n; ++i) {
        const std::uint8_t* px = in + static_cast<std::ptrdiff_t>(channels) * i;
        work[3 * i] = table[px[b]];
        work[3 * i + 1] = table[px[g]];
        work[3 * i + 2] = table[px[r]];
    }
}

/// `n3` working values in +0..255 as 8-bit codes: the code at the least value
/// of the value's cell, one more where its low bits reach the cell's step.
COLORCAL_KERNEL void encode8(const float* __restrict work, int n3,
                             const std::int32_t* __restrict cells, std::uint8_t* __restrict out) {
    for (int j = 0; j < n3; ++j) {
        const std::uint32_t bits = bitsOfFloat(work[j]);
        const std::int32_t entry = cells[cellOf(bits)];
        const auto low = static_cast<std::int32_t>(bits & 0xffffu);
        out[j] = static_cast<std::uint8_t>((entry >> 17) + (low >= (entry & 0x1ffff) ? 1 : 0));
    }
}

}  // namespace

CorrectionModel::CorrectionModel(const CalibrationData& calibration) : m_calibration(calibration) {
    const std::array<double, 12>& m = calibration.matrixBgr;
    for (int k = 0; k < 3; ++k) {
        for (int j = 0; j < 4; ++j) {
            m_matrix(k, j) = static_cast<float>(m[4 * k + j]);
        }
    }
    // With every working value within 0..256, no row's sum can overflow.
    m_boundedMatrix = true;
    for (int k = 0; k < 3; ++k) {
        double bound = std::fabs(static_cast<double>(m_matrix(k, 3)));
        for (int j = 0; j < 3; ++j) {
            bound += 256.0 * std::fabs(static_cast<double>(m_matrix(k, j)));
        }
        m_boundedMatrix = m_boundedMatrix && bound <= 1e30;
    }
    const std::array<double, 3> white = calibration.realWhiteWorking();
    for (int c = 0; c < 3; ++c) {
        m_realWhite[c] = toFloatOrNaN(white[c]);
    }
    const bool srgb = calibration.encoding == Encoding::eSrgb;
    for (int code = 0; code < 256; ++code) {
        m_decode8[code] = static_cast<float>(srgb ? srgbDecode(code) : code);
    }
    // The least working value of each code (infinite past 255), then each
    // cell's code at its least value and where in the cell the next begins.
    static_assert(kEncodeCells == kLastCell + 1, "one table entry per cell");
    std::array<float, 257> least{};
    for (int code = 1; code < 256; ++code) {
        least[code] = leastValueWithCode(code, srgb);
    }
    least[256] = std::numeric_limits<float>::infinity();
    for (std::int32_t cell = 0; cell <= kLastCell; ++cell) {
        const std::uint32_t high = static_cast<std::uint32_t>(kFirstCellBits + cell) << 16;
        const float first = cell == 0 ? 0.0f : floatOfBits(high);
        const float last = std::min(floatOfBits(high | 0xffffu), 255.0f);
        const int code = code8(first, srgb);
        const std::uint32_t next = bitsOfFloat(least[code + 1]);
        const bool stepInCell = (next >> 16) == (high >> 16);
        // The code rises by at most one within a cell, and cell 0, which also
        // holds the values below it, has no step.
        CV_Assert(code8(last, srgb) <= code + 1 && !(cell == 0 && stepInCell));
        m_encode8Cell[cell] =
            (code << 17) | (stepInCell ? static_cast<std::int32_t>(next & 0xffffu) : kNoStepInCell);
    }
}

cv::Mat CorrectionModel::workingWhite(const cv::Mat& white, ChannelOrder order) const {
    if (white.empty() || white.type() != CV_32FC3) {
        throw FrontendError(
            "the white image must be 3-channel 32-bit float (as --white-out "
            "writes it)");
    }
    if (!cv::checkRange(white, true, nullptr, -std::numeric_limits<float>::max(),
                        std::numeric_limits<float>::max())) {
        throw FrontendError("the white image holds values that are not finite");
    }
    const bool srgb = m_calibration.encoding == Encoding::eSrgb;
    cv::Mat out(white.size(), CV_32FC3);
    tbb::parallel_for(tbb::blocked_range<int>(0, white.rows, rowGrain(white.cols)),
                      [&](const tbb::blocked_range<int>& rows) {
                          for (int y = rows.begin(); y != rows.end(); ++y) {
                              const float* in = white.ptr<float>(y);
                              float* o = out.ptr<float>(y);
                              for (int x = 0; x < white.cols; ++x) {
                                  for (int c = 0; c < 3; ++c) {
                                      const float v =
                                          in[3 * x + (order == ChannelOrder::eBgr ? c : 2 - c)];
                                      o[3 * x + c] = srgb ? static_cast<float>(srgbDecode(v)) : v;
                                  }
                              }
                          }
                      });
    return out;
}

std::array<double, 3> CorrectionModel::correctColor(const std::array<double, 3>& bgr) const {
    const bool srgb = m_calibration.encoding == Encoding::eSrgb;
    std::array<double, 3> f{};
    for (int c = 0; c < 3; ++c) {
        f[c] = srgb ? srgbDecode(bgr[c]) : bgr[c];
    }
    const std::array<double, 12>& m = m_calibration.matrixBgr;
    std::array<double, 3> out{};
    for (int k = 0; k < 3; ++k) {
        const double v = m[4 * k] * f[0] + m[4 * k + 1] * f[1] + m[4 * k + 2] * f[2] + m[4 * k + 3];
        const double clamped = std::isfinite(v) ? std::clamp(v, 0.0, 255.0) : 0.0;
        out[k] = srgb ? srgbEncode(clamped) : clamped;
    }
    return out;
}

cv::Mat CorrectionModel::correct(const cv::Mat& photo, const cv::Mat& white,
                                 ChannelOrder order) const {
    cv::Mat out;
    correct(photo, white, out, order);
    return out;
}

void CorrectionModel::correct(const cv::Mat& photo, const cv::Mat& white, cv::Mat& out,
                              ChannelOrder order) const {
    const int depth = photo.depth();
    const int channels = photo.channels();
    if (photo.empty() || photo.dims != 2) {
        throw FrontendError("the photo holds no pixels");
    }
    if (depth != CV_8U && depth != CV_16U && depth != CV_32F) {
        throw FrontendError(
            "the photo has an unsupported pixel type (expected 8-bit, 16-bit or "
            "32-bit float)");
    }
    if (channels != 1 && channels != 3 && channels != 4) {
        throw FrontendError("the photo has " + std::to_string(channels) +
                            " channels (expected 1, 3 or 4)");
    }
    const bool flatField = !white.empty();
    if (flatField && (white.type() != CV_32FC3 || white.size() != photo.size())) {
        throw FrontendError("the white image is " + sizeText(white) + ", the photo " +
                            sizeText(photo) + " (the flat-field needs the photo's own size)");
    }
    // Float photos are taken on the 0..1 scale when all their values lie there.
    double inScale = depth == CV_16U ? 255.0 / 65535.0 : 1.0;
    double outScale = depth == CV_16U ? 65535.0 / 255.0 : 1.0;
    if (depth == CV_32F) {
        if (!cv::checkRange(photo, true, nullptr, -std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::max())) {
            throw FrontendError("the photo holds values that are not finite");
        }
        double lo = 0.0;
        double hi = 0.0;
        cv::minMaxLoc(photo.reshape(1), &lo, &hi);
        if (hi <= 1.0) {
            inScale = 255.0;
            outScale = 1.0 / 255.0;
        }
    }
    const int outChannels = channels == 4 ? 4 : 3;
    // The caller's buffer when it fits (it may be the photo's own: each block
    // is read whole before its results are written); else a new one, handed
    // over only at the end, as `out` may be the photo.
    cv::Mat result = out;
    if (result.size() != photo.size() || result.type() != CV_MAKETYPE(depth, outChannels)) {
        result = newResult(photo.size(), CV_MAKETYPE(depth, outChannels));
    }
    const bool srgb = m_calibration.encoding == Encoding::eSrgb;
    const bool rgb = order == ChannelOrder::eRgb;
    const int cols = photo.cols;
    // 16-bit and float photos: a block brought to the float scale by OpenCV's
    // convertTo, as the tool's loader does, then decoded value by value ...
    const auto loadConverted = [&](int y, int x0, int n, Scratch& s) {
        cv::Mat values(1, n, CV_MAKETYPE(CV_32F, channels), s.values.data());
        photo.row(y).colRange(x0, x0 + n).convertTo(values, CV_32F, inScale);
        const int cb = channels == 1 ? 0 : (rgb ? 2 : 0);
        const int cg = channels == 1 ? 0 : 1;
        const int cr = channels == 1 ? 0 : (rgb ? 0 : 2);
        for (int i = 0; i < n; ++i) {
            const float* px = s.values.data() + static_cast<std::ptrdiff_t>(channels) * i;
            float* w = s.work.data() + 3 * static_cast<std::ptrdiff_t>(i);
            for (const auto& [c, from] : {std::pair{0, cb}, std::pair{1, cg}, std::pair{2, cr}}) {
                w[c] = srgb ? static_cast<float>(srgbDecode(px[from])) : px[from];
            }
        }
    };
    // ... and encoded value by value, brought back to the photo's depth by
    // convertTo as the tool's writer does; alpha copied unchanged.
    const auto storeConverted = [&](int y, int x0, int n, Scratch& s) {
        for (int i = 0; i < n; ++i) {
            const float* w = s.work.data() + 3 * static_cast<std::ptrdiff_t>(i);
            float* px = s.values.data() + 3 * static_cast<std::ptrdiff_t>(i);
            for (int c = 0; c < 3; ++c) {
                px[rgb ? 2 - c : c] = srgb ? static_cast<float>(srgbEncode(w[c])) : w[c];
            }
        }
        const cv::Mat values(1, n, CV_32FC3, s.values.data());
        if (outChannels == 3) {
            cv::Mat target = result.row(y).colRange(x0, x0 + n);
            values.convertTo(target, depth, outScale);
            return;
        }
        cv::Mat converted(1, n, CV_MAKETYPE(depth, 3), s.bytes.data());
        values.convertTo(converted, depth, outScale);
        const std::size_t size = CV_ELEM_SIZE1(depth);
        const unsigned char* alpha = photo.ptr<unsigned char>(y, x0);
        unsigned char* o = result.ptr<unsigned char>(y, x0);
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
            std::memcpy(o + 4 * size * i, s.bytes.data() + 3 * size * i, 3 * size);
            std::memcpy(o + size * (4 * i + 3), alpha + size * (4 * i + 3), size);
        }
    };

    // 8-bit and 16-bit photos decode to 0..255 (16-bit to a hair above at
    // most), and a positive real white keeps the flat-field's results there.
    const bool bounded = m_boundedMatrix && depth != CV_32F &&
                         (!flatField || std::all_of(m_realWhite.begin(), m_realWhite.end(),
                                                    [](float t) { return t > 0.0f; }));
    // 8-bit photos: the blue, green and red's offsets in a pixel, and whether
    // the photo's rows and the result's are blue-green-red throughout.
    const int offsetB = channels == 1 ? 0 : (rgb ? 2 : 0);
    const int offsetG = channels == 1 ? 0 : 1;
    const int offsetR = channels == 1 ? 0 : (rgb ? 0 : 2);
    const bool plainIn = channels == 3 && !rgb;
    const bool plainOut = outChannels == 3 && !rgb;
    const auto load8 = [&](int y, int x0, int n, Scratch& s) {
        const std::uint8_t* in = photo.ptr<std::uint8_t>(y, x0);
        if (plainIn) {
            decode8(in, 3 * n, m_decode8.data(), s.work.data());
        } else {
            decode8Pixels(in, n, channels, offsetB, offsetG, offsetR, m_decode8.data(),
                          s.work.data());
        }
    };
    const auto store8 = [&](int y, int x0, int n, Scratch& s) {
        std::uint8_t* o = result.ptr<std::uint8_t>(y, x0);
        if (plainOut) {
            encode8(s.work.data(), 3 * n, m_encode8Cell.data(), o);
            return;
        }
        encode8(s.work.data(), 3 * n, m_encode8Cell.data(), s.codes.data());
        const std::uint8_t* alpha = photo.ptr<std::uint8_t>(y, x0);
        for (int i = 0; i < n; ++i) {
            std::uint8_t* px = o + static_cast<std::ptrdiff_t>(outChannels) * i;
            const std::uint8_t* code = s.codes.data() + 3 * static_cast<std::ptrdiff_t>(i);
            px[rgb ? 2 : 0] = code[0];
            px[1] = code[1];
            px[rgb ? 0 : 2] = code[2];
            if (outChannels == 4) {
                px[3] = alpha[4 * static_cast<std::ptrdiff_t>(i) + 3];
            }
        }
    };
    // A block in one pass from the photo's values to the result's.
    const auto correctBlock = [&](int y, int x0, int n, Scratch& s) {
        if (depth == CV_8U) {
            load8(y, x0, n, s);
        } else {
            loadConverted(y, x0, n, s);
        }
        if (flatField) {
            applyFlatField(white.ptr<float>(y, x0), s.target.data(), 3 * n, s.gain.data(),
                           s.work.data());
        }
        if (bounded) {
            applyMatrixBounded(m_matrix, n, s.work.data());
        } else {
            applyMatrix(m_matrix, n, s.work.data());
        }
        if (depth == CV_8U) {
            store8(y, x0, n, s);
        } else {
            storeConverted(y, x0, n, s);
        }
    };
    tbb::parallel_for(tbb::blocked_range<int>(0, photo.rows, rowGrain(cols)),
                      [&](const tbb::blocked_range<int>& rows) {
                          Scratch s;  // every value is written before it is read
                          for (int j = 0; j < 3 * kBlock; ++j) {
                              s.target[j] = m_realWhite[j % 3];
                          }
                          for (int y = rows.begin(); y != rows.end(); ++y) {
                              for (int x0 = 0; x0 < cols; x0 += kBlock) {
                                  correctBlock(y, x0, std::min(kBlock, cols - x0), s);
                              }
                          }
                      });
    out = result;
}

}  // namespace ColorCalFrontend
