// Life cycle, configuration, sampling grid, basis values and filling of
// CRBFInpainting.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include <cstring>
#include <functional>
#include <iterator>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "RBFReference.h"

namespace {

using DataLayer::CRBFInpainting;
using rbftest::Engine;

/// A smooth near-white field with dark square holes; the support mask marks the
/// squares grown by 3 pixels.
struct Scene {
    cv::Mat image;
    cv::Mat mask;
};

Scene makeScene(int rows, int cols) {
    Scene s;
    s.image.create(rows, cols, CV_32FC3);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) {
            const double u = static_cast<double>(x) / cols;
            const double v = static_cast<double>(y) / rows;
            s.image.at<cv::Vec3f>(y, x) =
                cv::Vec3f(static_cast<float>(210 + 20 * u - 10 * v),
                          static_cast<float>(220 - 15 * u * v), static_cast<float>(200 + 25 * v));
        }
    }
    s.mask = cv::Mat::zeros(rows, cols, CV_8UC1);
    for (int y = 30; y + 20 < rows - 20; y += 50) {
        for (int x = 30; x + 20 < cols - 20; x += 50) {
            const cv::Rect square(x, y, 20, 20);
            s.image(square).setTo(cv::Scalar(60, 90, 120));
            s.mask(cv::Rect(x - 3, y - 3, 26, 26)).setTo(255);
        }
    }
    return s;
}

/// Either the public class or the engine behind it.
template <typename Inpainting>
void setInputs(Inpainting& o, const Scene& s) {
    o.setInputImage(s.image);
    o.setInputSupportMask(s.mask);
}

CRBFInpainting::Config withThreads(int threads) {
    CRBFInpainting::Config c;
    c.threadCount = threads;
    return c;
}

TEST(CRBFInpainting, UnknownBasisRaisesBadFunctionCallThroughTheWait) {
    CRBFInpainting::Config config;
    config.basisFunction = 3;
    CRBFInpainting inpainting(config);
    const Scene s = makeScene(120, 140);
    setInputs(inpainting, s);
    EXPECT_THROW(inpainting.approximate(), std::bad_function_call);
    cv::Mat out;
    EXPECT_THROW(inpainting.fillValues(cv::Mat(), out), std::bad_function_call);
    EXPECT_TRUE(out.empty());
}

TEST(CRBFInpainting, FitStateMachine) {
    Engine inpainting;
    EXPECT_FALSE(inpainting.approximate());

    const Scene s = makeScene(150, 170);
    inpainting.setInputImage(s.image);
    EXPECT_FALSE(inpainting.approximate()) << "no support mask yet";
    inpainting.setInputSupportMask(s.mask);
    ASSERT_TRUE(inpainting.approximate());
    const double* w0 = inpainting.m_weights[0].get();
    const std::vector<double> before(w0, w0 + inpainting.m_centres.size());
    EXPECT_FALSE(inpainting.approximate());  // already fitted
    EXPECT_EQ(std::vector<double>(w0, w0 + before.size()), before);

    inpainting.reset();
    EXPECT_EQ(inpainting.m_weights[0].get(), nullptr);
    ASSERT_TRUE(inpainting.approximate());
    const double* w1 = inpainting.m_weights[0].get();
    EXPECT_EQ(std::vector<double>(w1, w1 + before.size()), before);

    // New inputs of another size: the next fill fits again, not on the old cache.
    const Scene t = makeScene(110, 260);
    setInputs(inpainting, t);
    cv::Mat out;
    inpainting.fillValues(cv::Mat(), out);
    EXPECT_EQ(out.size(), t.image.size());
    EXPECT_EQ(out.type(), CV_32FC3);
}

TEST(CRBFInpainting, FillMasksSelectTheReplacedPixels) {
    const Scene s = makeScene(160, 190);
    Engine inpainting;
    setInputs(inpainting, s);

    // An all-zero fill mask returns the smoothed image unchanged.
    cv::Mat out;
    inpainting.fillValues(cv::Mat::zeros(s.image.size(), CV_8UC1), out);
    EXPECT_TRUE(rbftest::identical(out, inpainting.smoothedImage()));

    // An empty fill mask fills exactly the exclusion mask, border band included
    // (with the field: CRBFRidgeFit.TheFillFromTheNodeGridIsTheFieldAtEveryPixel).
    inpainting.fillValues(cv::Mat(), out);
    const cv::Mat& excl = inpainting.m_exclusionMask;
    const cv::Mat& smooth = inpainting.smoothedImage();
    for (const cv::Rect band :
         {cv::Rect(0, 0, 12, excl.rows), cv::Rect(0, excl.rows - 12, excl.cols, 12),
          cv::Rect(excl.cols - 12, 0, 12, excl.rows)}) {
        EXPECT_EQ(cv::countNonZero(excl(band)), band.area()) << band;
    }
    EXPECT_GT(cv::countNonZero(excl), 0);
    cv::Mat outsideKept = out.clone();
    smooth.copyTo(outsideKept, excl == 0);
    EXPECT_TRUE(rbftest::identical(out, outsideKept));
    EXPECT_FALSE(rbftest::identical(out, smooth));
    EXPECT_EQ(cv::countNonZero(out.reshape(1) != out.reshape(1)), 0)
        << "no NaN with the default mask";

    // A caller's mask replaces only its own pixels.
    cv::Mat mine = cv::Mat::zeros(s.image.size(), CV_8UC1);
    mine(cv::Rect(50, 40, 30, 20)).setTo(7);
    inpainting.fillValues(mine, out);
    outsideKept = smooth.clone();
    out.copyTo(outsideKept, mine);
    EXPECT_TRUE(rbftest::identical(out, outsideKept));
    EXPECT_FALSE(
        rbftest::identical(out(cv::Rect(50, 40, 30, 20)), smooth(cv::Rect(50, 40, 30, 20))));
}

TEST(CRBFInpainting, FillNeverWritesIntoSharedPixels) {
    const Scene s = makeScene(120, 140);
    CRBFInpainting inpainting;
    setInputs(inpainting, s);
    cv::Mat expected;
    inpainting.fillValues(cv::Mat(), expected);
    ASSERT_FALSE(expected.empty());

    // The input image itself as output: the caller's image stays as it was.
    const cv::Mat before = s.image.clone();
    cv::Mat out = s.image;
    inpainting.fillValues(cv::Mat(), out);
    EXPECT_TRUE(rbftest::identical(s.image, before));
    EXPECT_TRUE(rbftest::identical(out, expected));

    // An output buffer shared with another header is replaced, not overwritten.
    cv::Mat shared(s.image.size(), CV_32FC3, cv::Scalar::all(-1));
    const cv::Mat other = shared;
    inpainting.fillValues(cv::Mat(), shared);
    EXPECT_EQ(other.at<cv::Vec3f>(0, 0), cv::Vec3f::all(-1));
    EXPECT_TRUE(rbftest::identical(shared, expected));

    // An unshared buffer of the right size and type is written in place.
    cv::Mat own(s.image.size(), CV_32FC3, cv::Scalar::all(-1));
    const uchar* data = own.data;
    inpainting.fillValues(cv::Mat(), own);
    EXPECT_EQ(own.data, data);
    EXPECT_TRUE(rbftest::identical(own, expected));
}

TEST(CRBFInpainting, NoCentreLeavesOutputUntouched) {
    Scene s = makeScene(150, 150);
    // Only a block between the centre grid lines (24, 72, 120) stays free:
    // samples exist there after the dilation, centres do not.
    s.mask.setTo(255);
    s.mask(cv::Rect(30, 30, 31, 31)).setTo(0);
    Engine inpainting;
    setInputs(inpainting, s);
    EXPECT_FALSE(inpainting.approximate());
    EXPECT_EQ(inpainting.m_weights[0].get(), nullptr);
    EXPECT_TRUE(inpainting.m_centres.empty());
    Engine::PointList samples;
    Engine::resampCoords(inpainting.m_exclusionMask, samples, 12, false);
    EXPECT_FALSE(samples.empty());

    cv::Mat out(4, 4, CV_32FC3, cv::Scalar(1, 2, 3));
    const cv::Mat before = out.clone();
    inpainting.fillValues(cv::Mat(), out);
    EXPECT_TRUE(rbftest::identical(out, before));
}

TEST(CRBFInpainting, FillValuesAVXFitsButLeavesOutputUnchanged) {
    const Scene s = makeScene(120, 120);
    Engine inpainting;
    setInputs(inpainting, s);
    cv::Mat out(3, 5, CV_32FC3, cv::Scalar(9, 8, 7));
    const cv::Mat before = out.clone();
    inpainting.fillValuesAVX(cv::Mat(), out);
    EXPECT_TRUE(rbftest::identical(out, before));
    EXPECT_NE(inpainting.m_weights[0].get(), nullptr);
    EXPECT_FALSE(inpainting.approximate());
}

TEST(CRBFInpainting, ResultDoesNotDependOnTheThreadCount) {
    const Scene s = makeScene(60, 230);  // fewer rows than the largest thread count
    cv::Mat reference;
    for (const int threads : {1, 3, 1000, 0, -1}) {  // below 1: one per hardware thread
        CRBFInpainting inpainting(withThreads(threads));
        setInputs(inpainting, s);
        cv::Mat out;
        inpainting.fillValues(cv::Mat(), out);
        ASSERT_FALSE(out.empty()) << threads << " threads";
        if (reference.empty()) {
            reference = out;
        } else {
            EXPECT_TRUE(rbftest::identical(out, reference)) << threads << " threads";
        }
    }
}

TEST(CRBFInpainting, InvalidInputsThrowOpenCVErrorsWithoutTouchingOutput) {
    const Scene s = makeScene(100, 100);
    cv::Mat bytes;
    s.image.convertTo(bytes, CV_8UC3);
    const std::pair<cv::Mat, cv::Mat> badInputs[] = {{bytes, s.mask},
                                                     {s.image, s.mask(cv::Rect(0, 0, 60, 100))},
                                                     {s.image, cv::Mat::zeros(100, 100, CV_16UC1)}};
    for (const auto& [image, mask] : badInputs) {
        CRBFInpainting inpainting;
        inpainting.setInputImage(image);
        inpainting.setInputSupportMask(mask);
        EXPECT_THROW(inpainting.approximate(), cv::Exception);
    }
    CRBFInpainting inpainting;
    setInputs(inpainting, s);
    cv::Mat out(2, 2, CV_32FC3, cv::Scalar::all(5));
    const cv::Mat before = out.clone();
    EXPECT_THROW(inpainting.fillValues(cv::Mat::zeros(99, 100, CV_8UC1), out), cv::Exception);
    EXPECT_THROW(inpainting.fillValues(cv::Mat::zeros(100, 100, CV_32FC1), out), cv::Exception);
    EXPECT_TRUE(rbftest::identical(out, before));
}

TEST(CRBFInpainting, ExtremeConfigurationsStaySafe) {
    const Scene s = makeScene(64, 80);
    struct Case {
        int border;
        int sampleStep;
        int centerStep;
        bool fits;
    };
    // Steps of 1 make every pixel a sample and a centre: 5120 unknowns, more
    // than a fit accepts; the grids are coarsened instead of a dense solve of
    // that size.
    const Case cases[] = {{-5, 12, 48, true},       {1000, 12, 48, false}, {12, 0, 48, false},
                          {12, 12, -3, false},      {0, 2, 8, true},       {12, INT_MAX, 48, false},
                          {INT_MAX, 12, 48, false}, {0, 1, 1, true},       {INT_MIN, 1, 1, true}};
    for (const Case& c : cases) {
        CRBFInpainting::Config config;
        config.borderWidth = c.border;
        config.sampleStep = c.sampleStep;
        config.centerStep = c.centerStep;
        CRBFInpainting inpainting(config);
        setInputs(inpainting, s);
        EXPECT_EQ(inpainting.approximate(), c.fits)
            << c.border << " " << c.sampleStep << " " << c.centerStep;
    }

    // Overflow-prone products are refused, not wrapped.
    EXPECT_FALSE(Engine::fitSizeSupported(INT64_MAX, 2));
    EXPECT_FALSE(Engine::fitSizeSupported(INT64_MAX, INT64_MAX));
    EXPECT_FALSE(Engine::fitSizeSupported(0, 10));
}

TEST(CRBFInpainting, PixelsThatAreNotFiniteNeverBecomeSupport) {
    const Scene s = makeScene(150, 170);
    CRBFInpainting clean;
    setInputs(clean, s);
    cv::Mat expected;
    clean.fillValues(cv::Mat(), expected);
    ASSERT_FALSE(expected.empty());

    // Scattered NaN and infinite pixels, some on sample and centre positions
    // (6, 6) and (24, 24), inside the support.
    cv::Mat image = s.image.clone();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const cv::Point bad[] = {{6, 6}, {24, 24}, {100, 20}, {140, 130}, {18, 90}};
    for (std::size_t i = 0; i < std::size(bad); ++i) {
        image.at<cv::Vec3f>(bad[i]) =
            i % 2 == 0 ? cv::Vec3f(nan, 200, 200) : cv::Vec3f(200, -inf, inf);
    }
    Engine inpainting;
    inpainting.setInputImage(image);
    inpainting.setInputSupportMask(s.mask);
    ASSERT_TRUE(inpainting.approximate());
    for (const cv::Point& p : bad) {
        EXPECT_NE(inpainting.m_exclusionMask.at<uchar>(p), 0) << p;
    }
    cv::Mat out;
    inpainting.fillValues(cv::Mat(), out);
    ASSERT_EQ(out.size(), s.image.size());
    EXPECT_EQ(cv::countNonZero(out.reshape(1) != out.reshape(1)), 0) << "no NaN";
    EXPECT_TRUE(cv::checkRange(out, true, nullptr, 0.0, 255.0));
    // Losing a few support pixels changes the smooth field only slightly.
    EXPECT_LT(cv::norm(out, expected, cv::NORM_INF), 2.0);
}

TEST(CRBFInpainting, SupportExcludesColoursFarFromWhiteOnTheRealLabScale) {
    // A saturated blue is farther from white than the default threshold.
    Scene s = makeScene(150, 150);
    s.mask.setTo(0);
    s.image(cv::Rect(60, 60, 30, 30)).setTo(cv::Scalar(180, 10, 10));
    Engine inpainting;
    setInputs(inpainting, s);
    ASSERT_TRUE(inpainting.approximate());
    EXPECT_EQ(cv::countNonZero(inpainting.m_exclusionMask(cv::Rect(60, 60, 30, 30))), 900);
    EXPECT_EQ(inpainting.m_exclusionMask.at<uchar>(40, 40), 0);
}

}  // namespace

// Fits on further supports of one image reuse the Lab test of the earlier
// ones: the exclusion mask of each equals that of a fresh engine, for a free
// box inside, around, beside and overlapping the earlier ones; a new image
// is tested afresh.
TEST(CRBFInpainting, LaterSupportsReuseTheLabTestOfTheImageExactly) {
    Scene s = makeScene(170, 230);
    s.image(cv::Rect(150, 20, 60, 40)).setTo(cv::Scalar(255, 0, 0));  // blue: far from white
    s.image.at<cv::Vec3f>(100, 200) = cv::Vec3f(std::nanf(""), 1.0f, 1.0f);
    const auto supportFreeIn = [&](const cv::Rect& free) {
        cv::Mat support(s.image.size(), CV_8UC1, cv::Scalar(255));
        support(free).setTo(0);
        s.mask.copyTo(support, s.mask);
        return support;
    };
    Engine reused;
    reused.setInputImage(s.image);
    for (const cv::Rect free :
         {cv::Rect(40, 40, 60, 50), cv::Rect(50, 50, 20, 20), cv::Rect(10, 10, 150, 120),
          cv::Rect(140, 5, 85, 160), cv::Rect(0, 0, 230, 170)}) {
        SCOPED_TRACE(free);
        const cv::Mat support = supportFreeIn(free);
        reused.setInputSupportMask(support);
        reused.approximate();
        Engine fresh;
        fresh.setInputImage(s.image);
        fresh.setInputSupportMask(support);
        fresh.approximate();
        EXPECT_TRUE(rbftest::identical(reused.m_exclusionMask, fresh.m_exclusionMask));
    }
    const cv::Mat before = reused.m_exclusionMask.clone();
    cv::Mat other = s.image.clone();
    other.setTo(cv::Scalar(255, 0, 0));
    reused.setInputImage(other);
    reused.approximate();
    EXPECT_FALSE(rbftest::identical(reused.m_exclusionMask, before));
    EXPECT_EQ(cv::countNonZero(reused.m_exclusionMask), reused.m_exclusionMask.total());
}
