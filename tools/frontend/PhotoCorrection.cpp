#include "PhotoCorrection.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "FrontendError.h"

namespace ColorCalFrontend {

namespace {

using DataLayer::Color::srgbDecode;
using DataLayer::Color::srgbEncode;

/// Entries per unit of working value in the table of 8-bit code guesses: the
/// sRGB code rises by at most 12.92 per unit, so by less than one per entry.
constexpr int kGuessesPerUnit = 64;

constexpr float kFloatMax = std::numeric_limits<float>::max();

/// `value` in single precision; NaN where it is not finite or beyond the
/// float range (as the library's flat-field treats a real white).
float toFloatOrNaN(double value) {
    if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    return static_cast<float>(value);
}

/// The 8-bit code the tool writes for a working value: encoded in double,
/// stored as float, rounded and saturated as OpenCV converts float to 8 bits.
std::uint8_t srgbCode(float value) {
    return cv::saturate_cast<std::uint8_t>(static_cast<float>(srgbEncode(value)));
}

float floatOfBits(std::uint32_t bits) {
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::uint32_t bitsOfFloat(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

/// The least non-negative float whose code is `code` or higher (the code
/// rises monotonically with the value; non-negative floats order as their bits).
float leastValueWithCode(int code) {
    std::uint32_t lo = bitsOfFloat(0.0f);
    std::uint32_t hi = bitsOfFloat(255.0f);
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (srgbCode(floatOfBits(mid)) >= code) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return floatOfBits(lo);
}

std::string sizeText(const cv::Mat& image) {
    return std::to_string(image.cols) + " x " + std::to_string(image.rows);
}

/// Rows per task: at least about 16k pixels each, so small photos run on one thread.
int rowGrain(int cols) { return std::max(1, 16384 / std::max(1, cols)); }

}  // namespace

CorrectionModel::CorrectionModel(const CalibrationData& calibration)
    : m_calibration(calibration), m_encode8Guess(255 * kGuessesPerUnit + 1) {
    const std::array<double, 12>& m = calibration.matrixBgr;
    for (int k = 0; k < 3; ++k) {
        for (int j = 0; j < 4; ++j) {
            m_matrix(k, j) = static_cast<float>(m[4 * k + j]);
        }
    }
    const std::array<double, 3> white = calibration.realWhiteWorking();
    for (int c = 0; c < 3; ++c) {
        m_realWhite[c] = toFloatOrNaN(white[c]);
    }
    const bool srgb = calibration.encoding == Encoding::eSrgb;
    for (int code = 0; code < 256; ++code) {
        m_decode8[code] = static_cast<float>(srgb ? srgbDecode(code) : code);
    }
    if (srgb) {
        m_encode8Threshold[0] = 0.0f;
        for (int code = 1; code < 256; ++code) {
            m_encode8Threshold[code] = leastValueWithCode(code);
        }
        m_encode8Threshold[256] = std::numeric_limits<float>::infinity();
        for (std::size_t i = 0; i < m_encode8Guess.size(); ++i) {
            m_encode8Guess[i] = srgbCode(static_cast<float>(i) / kGuessesPerUnit);
        }
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
    cv::Mat out(photo.size(), CV_MAKETYPE(depth, outChannels));
    const bool srgb = m_calibration.encoding == Encoding::eSrgb;
    const bool rgb = order == ChannelOrder::eRgb;
    const cv::Matx34f& m = m_matrix;
    const std::array<float, 3>& target = m_realWhite;
    const int cols = photo.cols;

    tbb::parallel_for(
        tbb::blocked_range<int>(0, photo.rows, rowGrain(cols)),
        [&](const tbb::blocked_range<int>& rows) {
            // Per-task scratch: one row of working values (B, G, R) and, for
            // 16-bit and float photos, one row on the float scale.
            std::vector<float> work(3 * static_cast<std::size_t>(cols));
            // The real white repeated along the row, so the flat-field's pass
            // has no per-channel index to compute.
            std::vector<float> targetRow(flatField ? 3 * static_cast<std::size_t>(cols) : 0);
            for (std::size_t i = 0; i < targetRow.size(); ++i) targetRow[i] = target[i % 3];
            cv::Mat rowFloat;
            cv::Mat rowOut;
            for (int y = rows.begin(); y != rows.end(); ++y) {
                // 1. The row in working values, blue-green-red.
                const auto channelOf = [&](int c) { return channels == 1 ? 0 : (rgb ? 2 - c : c); };
                if (depth == CV_8U) {
                    const std::uint8_t* in = photo.ptr<std::uint8_t>(y);
                    for (int x = 0; x < cols; ++x) {
                        for (int c = 0; c < 3; ++c) {
                            work[3 * x + c] = m_decode8[in[channels * x + channelOf(c)]];
                        }
                    }
                } else {
                    // The depth conversion OpenCV's convertTo does, as the tool's loader.
                    photo.row(y).convertTo(rowFloat, CV_32F, inScale);
                    const float* in = rowFloat.ptr<float>(0);
                    for (int x = 0; x < cols; ++x) {
                        for (int c = 0; c < 3; ++c) {
                            const float v = in[channels * x + channelOf(c)];
                            work[3 * x + c] = srgb ? static_cast<float>(srgbDecode(v)) : v;
                        }
                    }
                }
                // 2. Flat-field and matrix, as the library's applyColorCorrection,
                // in passes over the row that the compiler vectorises. The
                // comparisons stand for the library's tests: a white that is not
                // positive and finite, or a gain that is not finite, gives gain 1;
                // a matrix result that is NaN or infinite gives 0.
                if (flatField) {
                    const float* w = white.ptr<float>(y);
                    for (int i = 0; i < 3 * cols; ++i) {
                        const float wc = w[i];
                        const float q = targetRow[i] / wc;
                        const bool usable = wc > 0.0f && wc <= kFloatMax && q <= kFloatMax;
                        const float v = work[i] * (usable ? q : 1.0f);
                        work[i] = v > 255.0f ? 255.0f : v;
                    }
                }
                for (int x = 0; x < cols; ++x) {
                    const float f0 = work[3 * x];
                    const float f1 = work[3 * x + 1];
                    const float f2 = work[3 * x + 2];
                    for (int k = 0; k < 3; ++k) {
                        const float v = m(k, 0) * f0 + m(k, 1) * f1 + m(k, 2) * f2 + m(k, 3);
                        work[3 * x + k] =
                            v > 0.0f ? (v < 255.0f ? v : (v <= kFloatMax ? 255.0f : 0.0f)) : 0.0f;
                    }
                }
                // 3. Encoded again, in the photo's depth, order and channels.
                if (depth == CV_8U) {
                    const std::uint8_t* in = photo.ptr<std::uint8_t>(y);
                    std::uint8_t* o = out.ptr<std::uint8_t>(y);
                    for (int x = 0; x < cols; ++x) {
                        for (int c = 0; c < 3; ++c) {
                            const float v = work[3 * x + c];
                            int code = 0;
                            if (srgb) {
                                // The guess at the grid point below v is the code or
                                // one less: the code rises by less than one per cell.
                                code = m_encode8Guess[static_cast<int>(v * kGuessesPerUnit)];
                                code += v >= m_encode8Threshold[code + 1] ? 1 : 0;
                            } else {
                                code = cv::saturate_cast<std::uint8_t>(v);
                            }
                            o[outChannels * x + (rgb ? 2 - c : c)] =
                                static_cast<std::uint8_t>(code);
                        }
                        if (outChannels == 4) {
                            o[4 * x + 3] = in[4 * x + 3];
                        }
                    }
                } else {
                    if (srgb) {
                        for (float& v : work) {
                            v = static_cast<float>(srgbEncode(v));
                        }
                    }
                    const cv::Mat encoded(1, cols, CV_32FC3, work.data());
                    encoded.convertTo(rowOut, depth, outScale);
                    const std::size_t size = CV_ELEM_SIZE1(depth);
                    const auto* from = rowOut.ptr<unsigned char>(0);
                    const auto* alpha = photo.ptr<unsigned char>(y);
                    auto* o = out.ptr<unsigned char>(y);
                    for (int x = 0; x < cols; ++x) {
                        for (int c = 0; c < 3; ++c) {
                            std::memcpy(o + size * (outChannels * x + (rgb ? 2 - c : c)),
                                        from + size * (3 * x + c), size);
                        }
                        if (outChannels == 4) {
                            std::memcpy(o + size * (4 * x + 3), alpha + size * (4 * x + 3), size);
                        }
                    }
                }
            }
        });
    return out;
}

}  // namespace ColorCalFrontend
