#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/Calibration/PatchMasks.h"
#include "DataLayer/ShadeAnalysis/ColorCorrection.h"
#include "ShadeAnalysis/EngineTestSupport.h"

namespace {

using DataLayer::applyColorCorrection;

const cv::Matx34f kIdentity(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0);

/// The plain trimmed mean of the values under `mask`.
float trimmedMean(const cv::Mat& plane, const cv::Mat& mask) {
    std::vector<float> values;
    for (int y = 0; y < mask.rows; ++y) {
        for (int x = 0; x < mask.cols; ++x) {
            if (mask.at<uchar>(y, x) != 0) values.push_back(plane.at<float>(y, x));
        }
    }
    return EngineTest::trimmedMean(std::move(values));
}

// The engine's own run on a rendered photo: its measured colours are exactly
// the trimmed means of the function's flat-field image over the patch masks,
// and the corrected photo is the matrix applied to that image, clamped.
TEST(ColorCorrection, MatchesTheEnginesFlatFieldAndAppliesItsMatrix) {
    DataLayer::CColorCalibration engine(EngineTest::EChart::eCCTPrint);
    EngineTest::setPhoto(engine, EngineTest::photo(EngineTest::EChart::eCCTPrint));
    CbArray<float> whiteOut;
    EngineTest::Matrix m;
    std::vector<std::vector<float>> measured;
    ASSERT_TRUE(engine.startColorCalibration(whiteOut, m, &measured, nullptr));
    const cv::Scalar real = engine.GetRealWhite();
    const std::array<double, 3> realWhite{real[0], real[1], real[2]};
    const cv::Mat& photo = engine.GetFullImage();
    const cv::Mat& white = engine.GetWhiteImage();
    cv::Mat flat;
    ASSERT_TRUE(applyColorCorrection(photo, white, realWhite, kIdentity, flat));

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
        const std::vector<float>& rgb = measured.at(static_cast<std::size_t>(positions[i]));
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(trimmedMean(planes[static_cast<std::size_t>(c)](masks[i].box), masks[i].mask),
                      rgb[static_cast<std::size_t>(2 - c)])
                << "seed " << i << " channel " << c;
        }
    }

    // The engine's matrix, and one that drives values past both ends.
    cv::Matx34f matrix(m.m);
    cv::Matx34f strong = matrix * 1.8f;
    for (int k = 0; k < 3; ++k) strong(k, 3) -= 90.0f;
    cv::Mat corrected;
    int clamped = 0;
    for (const cv::Matx34f& mx : {strong, matrix}) {
        ASSERT_TRUE(applyColorCorrection(photo, white, realWhite, mx, corrected));
        ASSERT_EQ(corrected.type(), CV_32FC3);
        // Plain reference: the affine map in double, then clamped.
        cv::Mat reference;
        flat.convertTo(reference, CV_64F);
        cv::transform(reference, reference, cv::Matx34d(mx));
        clamped += cv::countNonZero((reference.reshape(1) < 0.0) | (reference.reshape(1) > 255.0));
        reference = cv::max(cv::min(reference, 255.0), 0.0);
        reference.convertTo(reference, CV_32F);
        EXPECT_LE(cv::norm(corrected, reference, cv::NORM_INF), 1e-3);
    }
    EXPECT_GT(clamped, 1000);

    // A view with padded rows, and a result written over its own input, give the same pixels.
    const cv::Rect box(31, 17, 203, 99);
    cv::Mat view;
    ASSERT_TRUE(applyColorCorrection(photo(box), white(box), realWhite, matrix, view));
    cv::Mat inPlace = photo(box).clone();
    ASSERT_TRUE(applyColorCorrection(inPlace, white(box), realWhite, matrix, inPlace));
    EXPECT_EQ(cv::norm(view, corrected(box), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(inPlace, corrected(box), cv::NORM_INF), 0.0);
}

TEST(ColorCorrection, RejectsBadArgumentsWithoutTouchingTheOutputAndZeroesNaN) {
    const cv::Mat photo(4, 5, CV_32FC3, cv::Scalar(50, 60, 70));
    const cv::Mat white(4, 5, CV_32FC3, cv::Scalar(200, 200, 200));
    const std::array<double, 3> realWhite{250, 250, 250};
    cv::Matx34f nanMatrix = kIdentity;
    nanMatrix(1, 3) = std::nanf("");
    const auto expectFault = [&](const cv::Mat& p, const cv::Mat& w, std::array<double, 3> rw,
                                 const cv::Matx34f& mx, const char* fault) {
        cv::Mat out(2, 2, CV_8UC1, cv::Scalar(9));
        std::string error;
        EXPECT_FALSE(applyColorCorrection(p, w, rw, mx, out, &error));
        EXPECT_EQ(error.rfind("applyColorCorrection(): ", 0), 0u) << error;
        EXPECT_NE(error.find(fault), std::string::npos) << error;
        EXPECT_TRUE(out.type() == CV_8UC1 && cv::countNonZero(out != 9) == 0) << fault;
    };
    expectFault(cv::Mat(), white, realWhite, kIdentity, "photo is empty");
    expectFault(cv::Mat(4, 5, CV_8UC3), white, realWhite, kIdentity, "photo is not CV_32FC3");
    expectFault(photo, cv::Mat(), realWhite, kIdentity, "white image is not CV_32FC3");
    expectFault(photo, white(cv::Rect(0, 0, 5, 3)), realWhite, kIdentity,
                "white image 5x3, photo 5x4");
    expectFault(photo, white, {250, 0, 250}, kIdentity, "real white component 1");
    expectFault(photo, white, {250, 250, std::nan("")}, kIdentity, "real white component 2");
    expectFault(photo, white, realWhite, nanMatrix, "matrix element 7");
    // A pixel holding a value that is not a number gives 0, never NaN.
    cv::Mat nanPhoto = photo.clone();
    nanPhoto.at<cv::Vec3f>(2, 3)[1] = std::nanf("");
    cv::Mat out;
    ASSERT_TRUE(applyColorCorrection(nanPhoto, white, realWhite, kIdentity, out));
    EXPECT_EQ(out.at<cv::Vec3f>(2, 2), cv::Vec3f(62.5f, 75.0f, 87.5f));
    EXPECT_EQ(out.at<cv::Vec3f>(2, 3), cv::Vec3f(0.0f, 0.0f, 0.0f));
}

}  // namespace
