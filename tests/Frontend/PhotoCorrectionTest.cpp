// The fused photo correction against the library's correction and the tool's
// conversions, step by step on whole images.
#include <gtest/gtest.h>

#include <tbb/global_control.h>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "CalibrationFile.h"
#include "DataLayer/ShadeAnalysis/ColorCorrection.h"
#include "DataLayer/ShadeAnalysis/Workflow/PhotoEncoding.h"
#include "FrontendError.h"
#include "ImageConversion.h"
#include "PhotoCorrection.h"

namespace {

using namespace ColorCalFrontend;

CalibrationData calibrationOf(Encoding encoding) {
    CalibrationData c;
    c.chart = EChart::eQCCPrint;
    c.encoding = encoding;
    c.matrixBgr = {1.386,   -0.0758, -0.0253, -5.45,   -0.0669, 1.2126,
                   -0.0482, -3.75,   -0.0085, -0.0981, 1.1676,  2.94};
    c.realWhiteBgr = {224.31, 238.11, 241.82};
    c.imageSize = cv::Size(1, 1);
    return c;
}

// The plain path: the tool's loader, the library's correction with a white of
// the real white where no flat-field is asked for (gain exactly 1), the
// tool's encoding and depth conversion.
cv::Mat reference(const cv::Mat& photo, const cv::Mat& white, const CorrectionModel& model,
                  bool rgb) {
    const CalibrationData& c = model.calibration();
    cv::Mat bgr = photo;
    if (rgb && photo.channels() == 3) cv::cvtColor(photo, bgr, cv::COLOR_RGB2BGR);
    if (rgb && photo.channels() == 4) cv::cvtColor(photo, bgr, cv::COLOR_RGBA2BGRA);
    const ColorCalCli::LoadedImage loaded = ColorCalCli::toLibraryScale(bgr, "photo");
    double lo = 0.0;
    double hi = 0.0;
    cv::minMaxLoc(photo.reshape(1), &lo, &hi);
    const bool unit = photo.depth() == CV_32F && hi <= 1.0;
    const bool srgb = c.encoding == Encoding::eSrgb;
    const cv::Mat working = srgb ? DataLayer::Color::srgbDecodeImage(loaded.bgr) : loaded.bgr;
    const std::array<double, 3> real = c.realWhiteWorking();
    cv::Mat flat = white;
    if (flat.empty()) {
        flat = cv::Mat(photo.size(), CV_32FC3,
                       cv::Scalar(static_cast<float>(real[0]), static_cast<float>(real[1]),
                                  static_cast<float>(real[2])));
    }
    cv::Matx34f m;
    for (int k = 0; k < 12; ++k) m.val[k] = static_cast<float>(c.matrixBgr[k]);
    cv::Mat corrected;
    EXPECT_TRUE(DataLayer::applyColorCorrection(working, flat, real, m, corrected));
    const cv::Mat encoded = srgb ? DataLayer::Color::srgbEncodeImage(corrected) : corrected;
    cv::Mat out;
    const double scale = photo.depth() == CV_16U ? 65535.0 / 255.0 : (unit ? 1.0 / 255.0 : 1.0);
    encoded.convertTo(out, photo.depth(), scale);
    if (rgb) cv::cvtColor(out, out, cv::COLOR_BGR2RGB);
    if (photo.channels() == 4) {
        std::vector<cv::Mat> planes;
        cv::split(out, planes);
        cv::Mat alpha;
        cv::extractChannel(photo, alpha, 3);
        planes.push_back(alpha);
        cv::merge(planes, out);
    }
    return out;
}

// The first differing value, or "" when the images agree within `tolerance`.
std::string firstDifference(const cv::Mat& a, const cv::Mat& b, double tolerance) {
    if (a.size() != b.size() || a.type() != b.type()) return "type or size differs";
    cv::Mat da;
    cv::Mat db;
    a.convertTo(da, CV_64F);
    b.convertTo(db, CV_64F);
    for (int y = 0; y < a.rows; ++y) {
        for (int i = 0; i < a.cols * a.channels(); ++i) {
            const double x = da.ptr<double>(y)[i];
            const double r = db.ptr<double>(y)[i];
            if (std::abs(x - r) > tolerance) {
                return "at row " + std::to_string(y) + ", value " + std::to_string(i) + ": got " +
                       std::to_string(x) + ", reference " + std::to_string(r);
            }
        }
    }
    return "";
}

cv::Mat randomPhoto(int depth, int channels, cv::Size size, bool unitFloat, std::mt19937& rng) {
    cv::Mat photo(size, CV_MAKETYPE(depth, channels));
    cv::theRNG().state = rng();
    const double hi = depth == CV_8U ? 256 : depth == CV_16U ? 65536 : (unitFloat ? 1.0 : 255.0);
    cv::randu(photo, 0, hi);
    return photo;
}

TEST(CorrectionModel, EqualsTheLibrarysCorrectionAndTheToolsConversions) {
    std::mt19937 rng(7);
    for (const Encoding encoding : {Encoding::eSrgb, Encoding::eLinear, Encoding::eNone}) {
        const CorrectionModel model(calibrationOf(encoding));
        for (const int depth : {CV_8U, CV_16U, CV_32F}) {
            for (const int channels : {1, 3, 4}) {
                for (const bool rgb : {false, true}) {
                    // One pixel, an odd width, and rows that end just past a block.
                    for (const cv::Size size :
                         {cv::Size(1, 1), cv::Size(262, 17), cv::Size(513, 3)}) {
                        const cv::Mat photo =
                            randomPhoto(depth, channels, size, rng() % 2 == 0, rng);
                        // A white with unusable pixels (zero, negative) where the gain is 1.
                        cv::Mat white(size, CV_32FC3);
                        cv::randu(white, 60.0, 250.0);
                        white.at<cv::Vec3f>(0, 0) = cv::Vec3f(0.0f, -3.0f, 120.0f);
                        for (const bool flat : {false, true}) {
                            const cv::Mat w = flat ? model.workingWhite(white) : cv::Mat();
                            const cv::Mat got = model.correct(
                                photo, w, rgb ? ChannelOrder::eRgb : ChannelOrder::eBgr);
                            const std::string where = firstDifference(
                                got, reference(photo, w, model, rgb), depth == CV_32F ? 1e-4 : 0);
                            EXPECT_EQ(where, "")
                                << "encoding " << encodingTypeName(encoding) << ", depth " << depth
                                << ", " << channels << " channels, rgb " << rgb << ", "
                                << size.width << " x " << size.height << ", flat " << flat;
                        }
                    }
                }
            }
        }
    }
}

// The 8-bit code the tool writes for one working value.
int toolCode(float value, Encoding encoding) {
    const cv::Mat one(1, 1, CV_32FC3, cv::Scalar::all(value));
    const cv::Mat encoded = encoding == Encoding::eSrgb ? DataLayer::Color::srgbEncodeImage(one) : one;
    cv::Mat code;
    encoded.convertTo(code, CV_8U);
    return code.at<cv::Vec3b>(0, 0)[0];
}

// The least working value the tool writes as `code` or higher (the code rises
// with the value; non-negative floats order as their bits).
float leastValueOfCode(int code, Encoding encoding) {
    std::uint32_t lo = 0;
    std::uint32_t hi = 0x437F0000;  // 255
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        float v = 0.0f;
        std::memcpy(&v, &mid, sizeof v);
        if (toolCode(v, encoding) >= code) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    float v = 0.0f;
    std::memcpy(&v, &lo, sizeof v);
    return v;
}

// A black 8-bit pixel through a matrix of offsets alone comes out as the
// offsets: three chosen working values, encoded by the model and by the tool.
std::string encodingDifference(Encoding encoding, const std::array<float, 3>& values) {
    CalibrationData c = calibrationOf(encoding);
    c.matrixBgr = {0, 0, 0, values[0], 0, 0, 0, values[1], 0, 0, 0, values[2]};
    const CorrectionModel model(c);
    const cv::Mat black(1, 1, CV_8UC3, cv::Scalar::all(0));
    const std::string where = firstDifference(model.correct(black, cv::Mat()),
                                              reference(black, cv::Mat(), model, false), 0);
    if (where.empty()) return "";
    std::ostringstream text;
    text << where << " for working values " << std::setprecision(9) << values[0] << ", "
         << values[1] << ", " << values[2];
    return text.str();
}

TEST(CorrectionModel, EightBitCodesAroundEachStepAndCellEdgeEqualTheTools) {
    for (const Encoding encoding : {Encoding::eSrgb, Encoding::eLinear}) {
        // Each code's least value and its two float neighbours.
        for (int code = 1; code < 256; ++code) {
            const float least = leastValueOfCode(code, encoding);
            ASSERT_EQ(toolCode(least, encoding), code);
            ASSERT_EQ(toolCode(std::nextafter(least, 0.0f), encoding), code - 1);
            EXPECT_EQ(encodingDifference(encoding, {std::nextafter(least, 0.0f), least,
                                                    std::nextafter(least, 256.0f)}),
                      "")
                << encodingTypeName(encoding) << ", code " << code;
        }
    }
    // The encoding's cells (128 per octave from 2^-8 up): each one's least
    // value, the float below it and a value inside.
    for (int octave = -8; octave < 8; ++octave) {
        for (int step = 0; step < 128; ++step) {
            const float first = std::ldexp(1.0f + static_cast<float>(step) / 128.0f, octave);
            const float inside =
                std::ldexp(1.0f + (static_cast<float>(step) + 0.37f) / 128.0f, octave);
            EXPECT_EQ(
                encodingDifference(Encoding::eSrgb, {std::nextafter(first, 0.0f), first, inside}),
                "");
        }
    }
    // Zero, the smallest values, and values beyond the range, clamped.
    EXPECT_EQ(encodingDifference(Encoding::eSrgb, {0.0f, 1e-40f, 1e-20f}), "");
    EXPECT_EQ(encodingDifference(Encoding::eSrgb, {255.0f, 255.5f, 1e6f}), "");
    EXPECT_EQ(encodingDifference(Encoding::eSrgb, {-1e-40f, -0.5f, -1e6f}), "");
}

TEST(CorrectionModel, ExtremeMatricesPhotosAndWhitesAsTheLibrary) {
    // Factors that overflow float on bright pixels (+inf, -inf and NaN sums,
    // all written as 0), and factors of -0 that sum black to -0.
    std::mt19937 rng(11);
    const cv::Mat bright = randomPhoto(CV_8U, 3, cv::Size(40, 3), false, rng);
    for (const std::array<double, 12>& m : std::vector<std::array<double, 12>>{
             {3e38, 0, 0, 0, -3e38, 0, 0, 0, 3e38, -3e38, 0, 0},
             {-0.0, -0.0, -0.0, -0.0, -1, -1, -1, -0.0, 1e-30, 0, 0, 1e-30}}) {
        CalibrationData c = calibrationOf(Encoding::eSrgb);
        c.matrixBgr = m;
        const CorrectionModel model(c);
        EXPECT_EQ(firstDifference(model.correct(bright, cv::Mat()),
                                  reference(bright, cv::Mat(), model, false), 0),
                  "");
    }
    // Whites whose gain is 1 (zero, negative, infinite, NaN, or so small that
    // the gain overflows) or far below 1, on 8-bit and on float photos with
    // values far outside 0..255.
    const CorrectionModel model(calibrationOf(Encoding::eSrgb));
    cv::Mat white(3, 40, CV_32FC3);
    cv::randu(white, 60.0, 250.0);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float huge = std::numeric_limits<float>::max();
    white.at<cv::Vec3f>(0, 0) = cv::Vec3f(0.0f, -3.0f, inf);
    white.at<cv::Vec3f>(0, 1) = cv::Vec3f(nan, 1e-38f, huge);
    white.at<cv::Vec3f>(1, 5) = cv::Vec3f(-inf, 1e30f, 2.0f);
    cv::Mat wild = randomPhoto(CV_32F, 3, white.size(), false, rng);
    wild.at<cv::Vec3f>(0, 2) = cv::Vec3f(1e29f, -1e29f, -5.0f);
    wild.at<cv::Vec3f>(2, 3) = cv::Vec3f(300.0f, -0.0f, 1e-30f);
    for (const cv::Mat& photo : {bright, wild}) {
        EXPECT_EQ(firstDifference(model.correct(photo, white),
                                  reference(photo, white, model, false), 1e-4),
                  "")
            << "depth " << photo.depth();
    }
}

TEST(CorrectionModel, CorrectsIntoTheCallersBufferOrInPlace) {
    std::mt19937 rng(5);
    const CorrectionModel model(calibrationOf(Encoding::eSrgb));
    const cv::Mat photo = randomPhoto(CV_8U, 3, cv::Size(700, 9), false, rng);
    cv::Mat white(photo.size(), CV_32FC3);
    cv::randu(white, 100.0, 250.0);
    const cv::Mat w = model.workingWhite(white);
    const cv::Mat expected = model.correct(photo, w);

    // A buffer of the result's size and type is kept; another is replaced.
    cv::Mat out(photo.size(), CV_8UC3);
    const uchar* buffer = out.data;
    model.correct(photo, w, out);
    EXPECT_EQ(out.data, buffer);
    EXPECT_EQ(firstDifference(out, expected, 0), "");
    cv::Mat other(3, 3, CV_16UC3);
    model.correct(photo, w, other);
    EXPECT_EQ(firstDifference(other, expected, 0), "");

    // In place, where the result has the photo's type (alpha kept), and
    // where it has not (a grey photo gets three channels).
    for (const auto& [depth, channels] :
         {std::pair{CV_8U, 3}, std::pair{CV_16U, 4}, std::pair{CV_32F, 3}, std::pair{CV_8U, 1}}) {
        const cv::Mat original = randomPhoto(depth, channels, cv::Size(600, 5), false, rng);
        cv::Mat image = original.clone();
        model.correct(image, cv::Mat(), image, ChannelOrder::eRgb);
        EXPECT_EQ(firstDifference(image, model.correct(original, cv::Mat(), ChannelOrder::eRgb), 0),
                  "")
            << "depth " << depth << ", " << channels << " channels";
    }

    // A refused photo leaves the buffer as it was.
    cv::Mat kept = expected.clone();
    EXPECT_THROW(model.correct(cv::Mat(4, 4, CV_16SC3), cv::Mat(), kept), FrontendError);
    EXPECT_EQ(firstDifference(kept, expected, 0), "");
}

TEST(CorrectionModel, PaddedPhotosAndThreadCountsGiveTheSameImage) {
    std::mt19937 rng(3);
    const CorrectionModel model(calibrationOf(Encoding::eSrgb));
    const cv::Mat wide = randomPhoto(CV_8U, 3, cv::Size(700, 301), false, rng);
    const cv::Mat padded = wide(cv::Rect(3, 0, 641, 301));
    cv::Mat white(padded.size(), CV_32FC3);
    cv::randu(white, 100.0, 250.0);
    const cv::Mat w = model.workingWhite(white);
    const cv::Mat many = model.correct(padded, w);
    cv::Mat one;
    {
        const tbb::global_control single(tbb::global_control::max_allowed_parallelism, 1);
        one = model.correct(padded.clone(), w);
    }
    EXPECT_EQ(firstDifference(many, one, 0), "");
    EXPECT_EQ(firstDifference(many, reference(padded.clone(), w, model, false), 0), "");
}

TEST(CorrectionModel, RefusesWhatItCannotCorrect) {
    const CorrectionModel model(calibrationOf(Encoding::eSrgb));
    const auto errorOf = [&](const cv::Mat& photo, const cv::Mat& white) -> std::string {
        try {
            model.correct(photo, white);
        } catch (const FrontendError& error) {
            return error.what();
        }
        return "(accepted)";
    };
    const cv::Mat photo(10, 20, CV_8UC3, cv::Scalar::all(100));
    EXPECT_EQ(errorOf(cv::Mat(), cv::Mat()), "the photo holds no pixels");
    EXPECT_EQ(errorOf(cv::Mat(10, 20, CV_16SC3), cv::Mat()),
              "the photo has an unsupported pixel type (expected 8-bit, 16-bit or 32-bit float)");
    EXPECT_EQ(errorOf(cv::Mat(10, 20, CV_8UC2), cv::Mat()),
              "the photo has 2 channels (expected 1, 3 or 4)");
    EXPECT_EQ(errorOf(photo, cv::Mat(11, 20, CV_32FC3)),
              "the white image is 20 x 11, the photo 20 x 10 (the flat-field needs the photo's "
              "own size)");
    cv::Mat nan(10, 20, CV_32FC3, cv::Scalar::all(0.5));
    nan.at<cv::Vec3f>(3, 4)[1] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(errorOf(nan, cv::Mat()), "the photo holds values that are not finite");
    EXPECT_THROW(model.workingWhite(nan), FrontendError);
    EXPECT_THROW(model.workingWhite(photo), FrontendError);
}

}  // namespace
