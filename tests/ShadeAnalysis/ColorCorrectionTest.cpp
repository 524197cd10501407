#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/Calibration/PatchMasks.h"
#include "DataLayer/ShadeAnalysis/ColorCorrection.h"
#include "Engine/EngineTestSupport.h"

namespace {

using DataLayer::applyColorCorrection;
using EngineTest::EChart;

const cv::Matx34f kIdentity(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0);

/// Trimmed mean of the values under `mask`: sorted, the lowest and highest
/// fifth dropped (bounds truncated from single-precision products, at least
/// one value kept), the rest summed in double in ascending order.
double trimmedMean(const cv::Mat& plane, const cv::Mat& mask) {
    std::vector<float> values;
    for (int y = 0; y < mask.rows; ++y) {
        for (int x = 0; x < mask.cols; ++x) {
            if (mask.at<uchar>(y, x) != 0) values.push_back(plane.at<float>(y, x));
        }
    }
    std::sort(values.begin(), values.end());
    const float n = static_cast<float>(values.size());
    const auto lo = static_cast<std::size_t>(n * 0.2f);
    const auto hi = std::max(lo + 1, static_cast<std::size_t>(n * 0.8f));
    double sum = 0.0;
    for (std::size_t i = lo; i < hi; ++i) sum += values[i];
    return sum / static_cast<double>(hi - lo);
}

struct EngineRun {
    DataLayer::CColorCalibration engine{EChart::eCCTPrint};
    EngineTest::Matrix matrix;
    std::vector<std::vector<float>> measured;
    std::array<double, 3> realWhite{};
};

const EngineRun& calibrated() {
    static EngineRun run = [] {
        EngineRun r;
        EngineTest::setPhoto(r.engine, EngineTest::photo(EChart::eCCTPrint));
        CbArray<float> whiteOut;
        EXPECT_TRUE(r.engine.startColorCalibration(whiteOut, r.matrix, &r.measured, nullptr));
        for (int c = 0; c < 3; ++c) r.realWhite[c] = r.engine.GetRealWhite()[c];
        return r;
    }();
    return run;
}

TEST(ColorCorrection, FlatFieldGivesTheEnginesMeasuredColoursExactly) {
    const EngineRun& run = calibrated();
    const DataLayer::CColorCalibration& engine = run.engine;
    ASSERT_EQ(run.measured.size(), 20u);
    cv::Mat flat;
    ASSERT_TRUE(applyColorCorrection(engine.GetFullImage(), engine.GetWhiteImage(), run.realWhite,
                                     kIdentity, flat));
    const CRect& roi = engine.GetRegionOfInterest();
    std::vector<cv::Mat> planes;
    cv::split(flat(cv::Rect(roi.left, roi.top, roi.right - roi.left, roi.bottom - roi.top)),
              planes);

    const cv::Mat& labels = engine.GetSegmentLabels();
    std::vector<int> seedLabels;
    for (const auto& seed : engine.GetSegmentSeeds()) {
        seedLabels.push_back(labels.at<int>(seed[1], seed[0]));
    }
    const std::vector<DataLayer::PatchMask> masks =
        DataLayer::computePatchMasks(labels, seedLabels);
    const std::vector<int>& positions = engine.GetSeedReferencePositions();
    ASSERT_EQ(positions.size(), 20u);
    for (std::size_t i = 0; i < 20; ++i) {
        const std::vector<float>& rgb = run.measured[static_cast<std::size_t>(positions[i])];
        for (int c = 0; c < 3; ++c) {
            const cv::Mat plane = planes[static_cast<std::size_t>(c)](masks[i].box);
            EXPECT_EQ(static_cast<float>(trimmedMean(plane, masks[i].mask)),
                      rgb[static_cast<std::size_t>(2 - c)])
                << "seed " << i << " channel " << c;
        }
    }
}

TEST(ColorCorrection, AppliesTheMatrixToTheFlatFieldAndClamps) {
    const EngineRun& run = calibrated();
    const cv::Mat& photo = run.engine.GetFullImage();
    const cv::Mat& white = run.engine.GetWhiteImage();
    const cv::Matx34f matrix(run.matrix.m);
    cv::Mat flat;
    cv::Mat corrected;
    ASSERT_TRUE(applyColorCorrection(photo, white, run.realWhite, kIdentity, flat));
    ASSERT_TRUE(applyColorCorrection(photo, white, run.realWhite, matrix, corrected));
    ASSERT_EQ(corrected.type(), CV_32FC3);
    ASSERT_EQ(corrected.size(), photo.size());
    int clampedLow = 0;
    int clampedHigh = 0;
    for (int y = 0; y < photo.rows; ++y) {
        for (int x = 0; x < photo.cols; ++x) {
            const cv::Vec3f f = flat.at<cv::Vec3f>(y, x);
            for (int k = 0; k < 3; ++k) {
                const double v = static_cast<double>(matrix(k, 0)) * f[0] +
                                 static_cast<double>(matrix(k, 1)) * f[1] +
                                 static_cast<double>(matrix(k, 2)) * f[2] + matrix(k, 3);
                clampedLow += v < 0.0;
                clampedHigh += v > 255.0;
                const double expected = std::clamp(v, 0.0, 255.0);
                const float got = corrected.at<cv::Vec3f>(y, x)[k];
                if (std::fabs(got - expected) > 1e-3) {
                    ADD_FAILURE() << "at " << y << "," << x << "," << k << ": ref " << expected
                                  << ", got " << got;
                    return;
                }
            }
        }
    }
    // The photo's dark surround and bright card drive values past both ends.
    EXPECT_GT(clampedLow + clampedHigh, 0);

    // A region of the photo (rows with padding) and the result written over
    // its own input give the same pixels.
    const cv::Rect box(31, 17, 203, 99);
    cv::Mat inPlace = photo(box).clone();
    ASSERT_TRUE(applyColorCorrection(inPlace, white(box), run.realWhite, matrix, inPlace));
    cv::Mat fromView;
    ASSERT_TRUE(applyColorCorrection(photo(box), white(box), run.realWhite, matrix, fromView));
    EXPECT_EQ(cv::norm(inPlace, corrected(box), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(fromView, corrected(box), cv::NORM_INF), 0.0);
}

TEST(ColorCorrection, UnusableWhiteKeepsTheValueAndNaNBecomesZero) {
    cv::Mat photo(1, 3, CV_32FC3, cv::Scalar(100, 100, 100));
    photo.at<cv::Vec3f>(0, 2) = cv::Vec3f(std::nanf(""), 50, 50);
    cv::Mat white(1, 3, CV_32FC3, cv::Scalar(200, 200, 200));
    white.at<cv::Vec3f>(0, 1) = cv::Vec3f(0, -4, std::numeric_limits<float>::infinity());
    cv::Mat out;
    ASSERT_TRUE(applyColorCorrection(photo, white, {220, 220, 220}, kIdentity, out));
    EXPECT_EQ(out.at<cv::Vec3f>(0, 0), cv::Vec3f(110, 110, 110));
    EXPECT_EQ(out.at<cv::Vec3f>(0, 1), cv::Vec3f(100, 100, 100));
    EXPECT_EQ(out.at<cv::Vec3f>(0, 2), cv::Vec3f(0, 55, 55));
}

TEST(ColorCorrection, RejectsBadArgumentsWithoutTouchingTheOutput) {
    const cv::Mat photo(4, 5, CV_32FC3, cv::Scalar(50, 60, 70));
    const cv::Mat white(4, 5, CV_32FC3, cv::Scalar(200, 200, 200));
    const std::array<double, 3> realWhite{230, 230, 230};
    const double nan = std::nan("");
    cv::Matx34f nanMatrix = kIdentity;
    nanMatrix(1, 3) = std::nanf("");
    struct Case {
        cv::Mat photo;
        cv::Mat white;
        std::array<double, 3> realWhite;
        cv::Matx34f matrix;
        const char* fault;
    };
    const Case cases[] = {
        {cv::Mat(), white, realWhite, kIdentity, "photo is empty"},
        {cv::Mat(4, 5, CV_8UC3), white, realWhite, kIdentity, "photo is not CV_32FC3"},
        {photo, cv::Mat(), realWhite, kIdentity, "white image is not CV_32FC3"},
        {photo, cv::Mat(4, 5, CV_32FC1), realWhite, kIdentity, "white image is not CV_32FC3"},
        {photo, white(cv::Rect(0, 0, 5, 3)), realWhite, kIdentity, "white image 5x3, photo 5x4"},
        {photo, white, {230, 0, 230}, kIdentity, "real white component 1"},
        {photo, white, {230, 230, nan}, kIdentity, "real white component 2"},
        {photo, white, {1e300, 230, 230}, kIdentity, "real white component 0"},
        {photo, white, realWhite, nanMatrix, "matrix element 7"},
    };
    for (const Case& c : cases) {
        cv::Mat out(2, 2, CV_8UC1, cv::Scalar(9));
        const uchar* before = out.data;
        std::string error;
        EXPECT_FALSE(applyColorCorrection(c.photo, c.white, c.realWhite, c.matrix, out, &error));
        EXPECT_EQ(error.rfind("applyColorCorrection(): ", 0), 0u) << error;
        EXPECT_NE(error.find(c.fault), std::string::npos) << error;
        EXPECT_EQ(out.data, before);
        EXPECT_EQ(cv::countNonZero(out != 9), 0);
    }
}

}  // namespace
