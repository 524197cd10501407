#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/Calibration/FlatField.h"
#include "DataLayer/ShadeAnalysis/Calibration/PatchMeasurement.h"
#include "DataLayer/ShadeAnalysis/ChartWhite/PickedWhite.h"

namespace {

using DataLayer::CColorCalibration;
using EParameterSet = Base::IParameterSetColorCalibrationTarget::EParameterSet;

// ---- Trimmed mean ---------------------------------------------------------

/// Three planes of `size`; channel c at the k-th masked pixel holds
/// values[k] * (c + 1). The mask marks the first values.size() pixels in scan order.
void makePatch(const std::vector<float>& values, cv::Size size, std::vector<cv::Mat>& planes,
               cv::Mat& mask) {
    planes.assign(3, cv::Mat());
    for (int c = 0; c < 3; ++c) planes[c] = cv::Mat(size, CV_32F, cv::Scalar(1000.0f));
    mask = cv::Mat::zeros(size, CV_8U);
    for (std::size_t k = 0; k < values.size(); ++k) {
        const int r = static_cast<int>(k) / size.width;
        const int x = static_cast<int>(k) % size.width;
        mask.at<uchar>(r, x) = 255;
        for (int c = 0; c < 3; ++c) planes[c].at<float>(r, x) = values[k] * (c + 1);
    }
}

TEST(CColorCalibration, TrimmedMeanDropsTheOuterFifthsAndOrdersNotANumberLast) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        std::vector<float> values;
        double mean;  // of channel 0; channel c holds (c + 1) times the values
    };
    const Case cases[] = {
        {{42.0f}, 42.0},                                         // n = 1: the pixel itself
        {{nan, 10, 3, 7, 1, 9, 2, 8, 4, 6, 5, nan}, 42.0 / 7.0}  // NaN sorts high and is cut
    };
    std::vector<cv::Mat> planes;
    cv::Mat mask;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.values.size());
        makePatch(c.values, {5, 3}, planes, mask);
        cv::Vec3d mean;
        ASSERT_TRUE(DataLayer::trimmedMeanColor(planes, mask, mean));
        for (int k = 0; k < 3; ++k) EXPECT_DOUBLE_EQ(mean[k], c.mean * (k + 1));
    }
    // An empty mask is refused and leaves the mean alone.
    cv::Vec3d mean(-1.0, -1.0, -1.0);
    makePatch({}, {4, 4}, planes, mask);
    EXPECT_FALSE(DataLayer::trimmedMeanColor(planes, mask, mean));
    EXPECT_EQ(mean, cv::Vec3d(-1.0, -1.0, -1.0));
}

// ---- White gain ---------------------------------------------------------------

TEST(CColorCalibration, UnusableWhiteLeavesPixelsUncorrected) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    cv::Mat white(1, 5, CV_32FC3, cv::Scalar::all(100.0));
    white.at<cv::Vec3f>(0, 0) = cv::Vec3f(0.0f, -0.0f, -5.0f);
    white.at<cv::Vec3f>(0, 1) = cv::Vec3f(inf, nan, -inf);
    white.at<cv::Vec3f>(0, 2) = cv::Vec3f(1e-40f, 100.0f, 100.0f);  // quotient overflows
    const double real[3] = {200.0, 200.0, 200.0};
    cv::Mat gain;
    DataLayer::computeWhiteGain(white, real, gain);
    EXPECT_EQ(gain.at<cv::Vec3f>(0, 0), cv::Vec3f(1.0f, 1.0f, 1.0f));
    EXPECT_EQ(gain.at<cv::Vec3f>(0, 1), cv::Vec3f(1.0f, 1.0f, 1.0f));
    EXPECT_EQ(gain.at<cv::Vec3f>(0, 2), cv::Vec3f(1.0f, 2.0f, 2.0f));
    EXPECT_EQ(gain.at<cv::Vec3f>(0, 3), cv::Vec3f(2.0f, 2.0f, 2.0f));

    // Zero and positive input under a zero white: no NaN, no infinity.
    cv::Mat image(1, 5, CV_32FC3, cv::Scalar(0.0, 50.0, 255.0));
    cv::Mat result = image.clone();
    DataLayer::applyWhiteGain(image, gain, result);
    EXPECT_TRUE(cv::checkRange(result));
    EXPECT_EQ(result.at<cv::Vec3f>(0, 0), cv::Vec3f(0.0f, 50.0f, 255.0f));

    // A real white that is not finite or beyond float range also gives gain 1.
    const double badReal[3] = {std::nan(""), 1e300, -std::numeric_limits<double>::infinity()};
    DataLayer::computeWhiteGain(white, badReal, gain);
    EXPECT_EQ(cv::norm(gain, cv::Mat(white.size(), CV_32FC3, cv::Scalar::all(1.0)), cv::NORM_INF),
              0.0);
}

// ---- Picked white --------------------------------------------------------------

TEST(CColorCalibration, PickedWhiteAveragesTheCircleGroundOrFallsBackToTheImageGround) {
    // White ground with a grey patch band across the centre; the circle of
    // radius 85 holds ground above and below the band, wide enough to survive
    // the 13 x 13 x 2 erosion. Brighter ground outside the circle must not count.
    cv::Mat image(300, 300, CV_32FC3, cv::Scalar(200.0, 201.0, 202.0));
    cv::Mat ground = cv::Mat::ones(300, 300, CV_8U);
    image.rowRange(130, 170).setTo(cv::Scalar(50.0, 60.0, 70.0));
    ground.rowRange(130, 170).setTo(0);
    image.colRange(0, 40).setTo(cv::Scalar::all(250.0));
    EXPECT_EQ(DataLayer::measurePickedWhite(image, ground, 85), cv::Scalar(200, 201, 202, 0));

    // The centre circle lies wholly on patch pixels: the measurement falls back
    // to the ground of the whole image eroded by one 3 x 3 step (the border).
    image.setTo(cv::Scalar::all(240.0));
    ground.setTo(1);
    image(cv::Rect(40, 40, 220, 220)).setTo(cv::Scalar(30.0, 90.0, 150.0));
    ground(cv::Rect(40, 40, 220, 220)).setTo(0);
    EXPECT_EQ(DataLayer::measurePickedWhite(image, ground, 85), cv::Scalar(240, 240, 240, 0));

    // No ground anywhere, or a mask of another size: zero.
    EXPECT_EQ(DataLayer::measurePickedWhite(image, cv::Mat::zeros(300, 300, CV_8U), 85),
              cv::Scalar::all(0.0));
    EXPECT_EQ(DataLayer::measurePickedWhite(image, cv::Mat::ones(200, 300, CV_8U), 85),
              cv::Scalar::all(0.0));
    CColorCalibration engine(EParameterSet::eCCTPrint);
    engine.computePickedWhite(image);  // no white-area mask yet
    EXPECT_EQ(engine.GetPickedWhite(), cv::Scalar::all(0.0));
    CColorCalibration noSet(std::shared_ptr<Base::IParameterSetColorCalibrationTarget>{});
    noSet.computePickedWhite(image);
    EXPECT_EQ(noSet.GetPickedWhite(), cv::Scalar::all(0.0));
}

}  // namespace
