// The fused photo correction against the library's correction and the tool's
// conversions, step by step on whole images.
#include <gtest/gtest.h>

#include <tbb/global_control.h>
#include <opencv2/imgproc.hpp>

#include <random>
#include <string>

#include "CalibrationFile.h"
#include "DataLayer/ShadeAnalysis/ColorCorrection.h"
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
    const cv::Mat working = srgb ? ColorCalCli::srgbDecodeImage(loaded.bgr) : loaded.bgr;
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
    const cv::Mat encoded = srgb ? ColorCalCli::srgbEncodeImage(corrected) : corrected;
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
                    for (const cv::Size size : {cv::Size(1, 1), cv::Size(262, 17)}) {
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
