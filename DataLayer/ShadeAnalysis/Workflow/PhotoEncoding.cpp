#include "DataLayer/ShadeAnalysis/Workflow/PhotoEncoding.h"

#include <array>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace DataLayer::Color {

namespace {

/// `f` applied to every value of a CV_32FC3 image, in double precision, into
/// a new image; rows in parallel, each written by one task.
template <typename Function>
cv::Mat mapValues(const cv::Mat& src, Function f) {
    CV_Assert(src.type() == CV_32FC3);
    cv::Mat dst(src.size(), CV_32FC3);
    tbb::parallel_for(tbb::blocked_range<int>(0, src.rows, 16),
                      [&](const tbb::blocked_range<int>& r) {
                          for (int y = r.begin(); y != r.end(); ++y) {
                              const float* in = src.ptr<float>(y);
                              float* out = dst.ptr<float>(y);
                              for (int i = 0; i < 3 * src.cols; ++i) {
                                  out[i] = static_cast<float>(f(static_cast<double>(in[i])));
                              }
                          }
                      });
    return dst;
}

}  // namespace

Encoding resolveEncoding(std::optional<Encoding> encoding, int sourceDepth) {
    if (encoding) {
        return *encoding;
    }
    return sourceDepth != CV_8U ? Encoding::eLinear : Encoding::eSrgb;
}

cv::Mat srgbDecodeImage(const cv::Mat& encoded) {
    // 8-bit photos hold whole codes only: a table of the 256 codes answers
    // them exactly and spares a power per value.
    std::array<double, 256> table{};
    for (std::size_t code = 0; code < table.size(); ++code) {
        table[code] = srgbDecode(static_cast<double>(code));
    }
    return mapValues(encoded, [&table](double v) {
        if (v >= 0.0 && v <= 255.0) {
            const auto code = static_cast<int>(v);
            if (code == v) {
                return table[static_cast<std::size_t>(code)];
            }
        }
        return srgbDecode(v);
    });
}

cv::Mat srgbEncodeImage(const cv::Mat& linear) {
    return mapValues(linear, [](double v) { return srgbEncode(v); });
}

cv::Mat toWorkingImage(const cv::Mat& image, Encoding encoding) {
    return encoding == Encoding::eSrgb ? srgbDecodeImage(image) : image;
}

cv::Mat toPhotoEncoding(const cv::Mat& image, Encoding encoding) {
    return encoding == Encoding::eSrgb ? srgbEncodeImage(image) : image;
}

double toWorkingValue(double encodedValue, Encoding encoding) {
    return encoding == Encoding::eSrgb ? srgbDecode(encodedValue) : encodedValue;
}

double toEncodedValue(double workingValue, Encoding encoding) {
    return encoding == Encoding::eSrgb ? srgbEncode(workingValue) : workingValue;
}

}  // namespace DataLayer::Color
