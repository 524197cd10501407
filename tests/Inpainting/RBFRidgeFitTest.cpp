// The choice between the surround fit and the ridge fit, the ridge fit itself,
// and the coarser grids of supports too large for the default ones.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernels.h"
#include "Inpainting/RBFReference.h"

using DataLayer::CRBFInpainting;
using rbftest::Engine;
using Estimator = CRBFInpainting::Config::Estimator;

namespace {

/// A smooth white field: a gentle tilt and a bump, close to white everywhere.
cv::Mat smoothWhite(int rows, int cols) {
    cv::Mat image(rows, cols, CV_32FC3);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) {
            const double u = (x - 0.55 * cols) / cols;
            const double v = (y - 0.45 * rows) / rows;
            const double light = 230.0 - 25.0 * u + 10.0 * v - 40.0 * (u * u + v * v);
            image.at<cv::Vec3f>(y, x) =
                cv::Vec3f(static_cast<float>(light), static_cast<float>(0.97 * light),
                          static_cast<float>(0.93 * light));
        }
    }
    return image;
}

constexpr int kSide = 480;
const cv::Rect kArea(100, 100, 280, 280);  // the "patches"

/// Support: everything outside kArea, plus `gaps` free 25 x 25 squares inside
/// it around 48-px grid points (each leaves exactly one surround centre).
cv::Mat supportWithGaps(int gaps) {
    cv::Mat support(kSide, kSide, CV_8UC1, cv::Scalar(0));
    support(kArea).setTo(255);
    int placed = 0;
    for (int y = 24; y < kSide && placed < gaps; y += 48) {
        for (int x = 24; x < kSide && placed < gaps; x += 48) {
            if (!kArea.contains({x - 12, y - 12}) || !kArea.contains({x + 12, y + 12})) continue;
            support(cv::Rect(x - 12, y - 12, 25, 25)).setTo(0);
            ++placed;
        }
    }
    return support;
}

cv::Mat areaMask() {
    cv::Mat area(kSide, kSide, CV_8UC1, cv::Scalar(0));
    area(kArea).setTo(255);
    return area;
}

std::string fittedMethod(const cv::Mat& image, const cv::Mat& support, const cv::Mat& area) {
    CRBFInpainting inpainting;
    inpainting.setInputImage(image);
    inpainting.setInputSupportMask(support);
    inpainting.setFillArea(area);
    if (!inpainting.approximate()) return "failed";
    return inpainting.getFitDiagnostics().method;
}

double worstRelativeError(const cv::Mat& a, const cv::Mat& b, const cv::Rect& box) {
    double worst = 0.0;
    for (int y = box.y; y < box.y + box.height; ++y) {
        for (int x = box.x; x < box.x + box.width; ++x) {
            for (int c = 0; c < 3; ++c) {
                const double t = b.at<cv::Vec3f>(y, x)[c];
                worst = std::max(worst, std::abs(a.at<cv::Vec3f>(y, x)[c] - t) / t);
            }
        }
    }
    return worst;
}

}  // namespace

TEST(CRBFRidgeFit, SurroundFitOnlyWithEnoughCentresInsideTheFillArea) {
    const cv::Mat image = smoothWhite(kSide, kSide);
    const cv::Mat area = areaMask();
    const int threshold = CRBFInpainting::kMinCentresInsideHull;
    EXPECT_EQ(fittedMethod(image, supportWithGaps(threshold - 1), area),
              CRBFInpainting::kRidgeMethod);
    EXPECT_EQ(fittedMethod(image, supportWithGaps(threshold), area),
              CRBFInpainting::kSurroundMethod);
    // Only judging: no fit where the surround fit is not kept.
    CRBFInpainting::Config judging;
    judging.estimator = Estimator::eSurroundWhereSurrounded;
    CRBFInpainting judge{judging};
    judge.setInputImage(image);
    judge.setInputSupportMask(supportWithGaps(threshold - 1));
    judge.setFillArea(area);
    EXPECT_FALSE(judge.approximate());
    EXPECT_EQ(std::string(judge.getFitDiagnostics().method), "");
    judge.setInputSupportMask(supportWithGaps(threshold));
    EXPECT_TRUE(judge.approximate());
    EXPECT_EQ(std::string(judge.getFitDiagnostics().method), CRBFInpainting::kSurroundMethod);
    // Without a fill area nothing is judged: the surround fit runs.
    EXPECT_EQ(fittedMethod(image, supportWithGaps(0), cv::Mat()), CRBFInpainting::kSurroundMethod);

    // Fewer than kMinSurroundCentres centres in all: the ridge fit, even
    // when every one of them lies inside the area.
    cv::Mat few(kSide, kSide, CV_8UC1, cv::Scalar(255));
    for (int k = 0; k < CRBFInpainting::kMinSurroundCentres - 1; ++k) {
        const int x = 120 + 48 * (k % 5);
        const int y = 120 + 48 * (k / 5);
        few(cv::Rect(x - 12, y - 12, 25, 25)).setTo(0);
    }
    cv::Mat among(kSide, kSide, CV_8UC1, cv::Scalar(0));
    among(cv::Rect(110, 110, 210, 210)).setTo(255);
    EXPECT_EQ(fittedMethod(image, few, among), CRBFInpainting::kRidgeMethod);
    // A fill area reaching far beyond the ground: the ridge fit refuses to
    // extrapolate, and nothing else can be fitted.
    cv::Mat everywhere(kSide, kSide, CV_8UC1, cv::Scalar(255));
    EXPECT_EQ(fittedMethod(image, few, everywhere), "failed");
}

TEST(CRBFRidgeFit, KeptSurroundFitIsTheSurroundFitBitForBit) {
    const cv::Mat image = smoothWhite(kSide, kSide);
    const cv::Mat support = supportWithGaps(36);
    CRBFInpainting automatic;
    automatic.setInputImage(image);
    automatic.setInputSupportMask(support);
    automatic.setFillArea(areaMask());
    cv::Mat a;
    automatic.fillValues(cv::Mat(), a);
    ASSERT_EQ(std::string(automatic.getFitDiagnostics().method), CRBFInpainting::kSurroundMethod);

    CRBFInpainting::Config config;
    config.estimator = Estimator::eSurround;
    CRBFInpainting plain{config};
    plain.setInputImage(image);
    plain.setInputSupportMask(support);
    cv::Mat b;
    plain.fillValues(cv::Mat(), b);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);
    EXPECT_GT(automatic.getFitDiagnostics().residualRms, 0.0);
}

TEST(CRBFRidgeFit, FollowsASmoothFieldAcrossTheAreaFromAThinBand) {
    // A band of 30 px around the area and no ground inside it: the surround
    // fit has a handful of centres; the ridge fit holds within 0.3 %.
    const cv::Mat image = smoothWhite(kSide, kSide);
    cv::Mat support(kSide, kSide, CV_8UC1, cv::Scalar(255));
    support(cv::Rect(kArea.x - 30, kArea.y - 30, kArea.width + 60, kArea.height + 60)).setTo(0);
    support(kArea).setTo(255);
    CRBFInpainting inpainting;
    inpainting.setInputImage(image);
    inpainting.setInputSupportMask(support);
    inpainting.setFillArea(areaMask());
    cv::Mat out;
    inpainting.fillValues(cv::Mat(), out);
    ASSERT_FALSE(out.empty());
    const CRBFInpainting::FitDiagnostics& d = inpainting.getFitDiagnostics();
    EXPECT_EQ(std::string(d.method), CRBFInpainting::kRidgeMethod);
    EXPECT_GT(d.centres, 0);
    EXPECT_GT(d.samples, d.centres);
    EXPECT_LT(d.residualRms, 0.5);
    EXPECT_LT(worstRelativeError(out, image, kArea), 0.003);

    // The quadratic alone when not one centre is free: still a fit.
    cv::Mat sparse(kSide, kSide, CV_8UC1, cv::Scalar(255));
    for (int k = 0; k < 8; ++k) {
        sparse(cv::Rect(30 + 50 * k, 30 + 40 * (k % 3), 13, 13)).setTo(0);
    }
    CRBFInpainting::Config config;
    config.estimator = Estimator::eRidge;
    CRBFInpainting ridge{config};
    ridge.setInputImage(image);
    ridge.setInputSupportMask(sparse);
    // Samples on the 12-px grid exist, centres on the 24-px grid may not.
    EXPECT_TRUE(!ridge.approximate() || ridge.getFitDiagnostics().samples >= 6);
}

TEST(CRBFRidgeFit, TheFillFromTheNodeGridIsTheFieldAtEveryPixel) {
    // The field of either fit is evaluated on an 8-px node grid and
    // interpolated: it must equal the fitted field at every filled pixel
    // within 1e-4 of its value (where it is at least 10; within 5e-3 on the
    // 0..255 scale where the extrapolation falls towards 0), the last partial
    // cells of a width and height that are no multiple of the node step
    // included. The lit ground bends strongly (a lamp close to the card), so
    // an interpolant that missed quadratics would show.
    constexpr int rows = 301;
    constexpr int cols = 459;
    cv::Mat image(rows, cols, CV_32FC3);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) {
            const double d2 = ((x - 200.0) * (x - 200.0) + (y - 120.0) * (y - 120.0)) / 1.0e4;
            const double light = 120.0 + 110.0 / (1.0 + d2);
            image.at<cv::Vec3f>(y, x) =
                cv::Vec3f(static_cast<float>(light), static_cast<float>(0.95 * light),
                          static_cast<float>(0.9 * light));
        }
    }
    cv::Mat support(rows, cols, CV_8UC1, cv::Scalar(255));
    support(cv::Rect(110, 70, 240, 170)).setTo(0);
    support(cv::Rect(140, 100, 180, 110)).setTo(255);
    for (const Estimator estimator : {Estimator::eRidge, Estimator::eSurround}) {
        SCOPED_TRACE(estimator == Estimator::eRidge ? "ridge" : "surround");
        Engine::Config config;
        config.estimator = estimator;
        Engine inpainting(config);
        inpainting.setInputImage(image);
        inpainting.setInputSupportMask(support);
        ASSERT_TRUE(inpainting.approximate());
        cv::Mat out;
        inpainting.fillValues(cv::Mat(), out);
        ASSERT_EQ(out.size(), image.size());

        const bool ridge = estimator == Estimator::eRidge;
        const auto& fit = inpainting.m_ridge;
        const auto& centres = ridge ? fit.centres : inpainting.m_centres;
        const std::size_t m = centres.size();
        double worst = 0.0;  // relative, where the field is at least 10
        double worstAbsolute = 0.0;  // where it is below
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < cols; ++x) {
                if (inpainting.m_exclusionMask.at<uchar>(y, x) == 0) continue;
                const double u = (x - fit.cx) / fit.sx;
                const double v = (y - fit.cy) / fit.sy;
                const double terms[6] = {1.0, u, v, u * u, u * v, v * v};
                for (int c = 0; c < 3; ++c) {
                    const double* w = ridge
                                          ? fit.weights[static_cast<std::size_t>(c)].data()
                                          : inpainting.m_weights[static_cast<std::size_t>(c)].get();
                    double field = 0.0;
                    for (std::size_t k = 0; k < m; ++k) {
                        const double dx = x - centres[k][0];
                        const double dy = y - centres[k][1];
                        field += w[k] * std::sqrt(dx * dx + dy * dy +
                                                  DataLayer::Inpainting::kMultiquadricShapeSq);
                    }
                    if (ridge) {
                        for (std::size_t t = 0; t < 6; ++t) field += w[m + t] * terms[t];
                    }
                    field = std::clamp(field, 0.0, 255.0);
                    const double got = out.at<cv::Vec3f>(y, x)[c];
                    const double error = std::abs(got - field);
                    if (field >= 10.0) {
                        worst = std::max(worst, error / field);
                    } else {
                        worstAbsolute = std::max(worstAbsolute, error);
                    }
                }
            }
        }
        EXPECT_LT(worst, 1e-4);
        EXPECT_LT(worstAbsolute, 5e-3);
    }
}

TEST(CRBFRidgeFit, TooFewSamplesFailWithoutTouchingTheOutput) {
    const cv::Mat image = smoothWhite(120, 120);
    cv::Mat support(120, 120, CV_8UC1, cv::Scalar(255));
    support(cv::Rect(12, 12, 13, 13)).setTo(0);  // one sample, no centre
    CRBFInpainting::Config config;
    config.estimator = Estimator::eRidge;
    CRBFInpainting inpainting{config};
    inpainting.setInputImage(image);
    inpainting.setInputSupportMask(support);
    EXPECT_FALSE(inpainting.approximate());
    cv::Mat out(3, 3, CV_32FC3, cv::Scalar::all(1));
    inpainting.fillValues(cv::Mat(), out);
    EXPECT_EQ(out.rows, 3);
    // A fill area of the wrong size is refused.
    CRBFInpainting other;
    other.setInputImage(image);
    other.setInputSupportMask(support);
    other.setFillArea(cv::Mat(10, 10, CV_8UC1, cv::Scalar(0)));
    EXPECT_THROW(other.approximate(), cv::Exception);
}

TEST(CRBFRidgeFit, LargeSupportsGetCoarserGridsWithinTheBound) {
    // Grid counts of an all-free support of a 24 MP and a 50 MP photo.
    for (const std::pair<std::int64_t, std::int64_t>& size :
         {std::pair<std::int64_t, std::int64_t>{4000, 6000},
          std::pair<std::int64_t, std::int64_t>{5800, 8700}}) {
        const auto countAt = [size](int step) {
            return (size.first / step) * (size.second / step);
        };
        int centreStep = 48;
        int sampleStep = 12;
        ASSERT_FALSE(Engine::fitSizeSupported(countAt(sampleStep), countAt(centreStep)));
        Engine::chooseSurroundSteps(countAt, centreStep, sampleStep);
        EXPECT_TRUE(Engine::fitSizeSupported(countAt(sampleStep), countAt(centreStep)));
        // The smallest steps that fit: one centre step or one sample step
        // less would exceed the bound.
        EXPECT_GT(countAt(centreStep / 2), CRBFInpainting::kMaxCentres);
        if (sampleStep > 12) {
            EXPECT_FALSE(Engine::fitSizeSupported(countAt(sampleStep - 12), countAt(centreStep)));
        }
    }
    // Within the bounds the steps stay.
    const auto small = [](int step) { return std::int64_t{2000000} / (step * step); };
    int centreStep = 48;
    int sampleStep = 12;
    Engine::chooseSurroundSteps(small, centreStep, sampleStep);
    EXPECT_EQ(centreStep, 48);
    EXPECT_EQ(sampleStep, 12);
}

TEST(CRBFRidgeFit, SupportBeyondTheCentreBoundStillFits) {
    // Centre step 2 on 150 x 150 free pixels asks for more than kMaxCentres
    // centres: the fit runs on a coarser centre grid and follows the field.
    const cv::Mat image = smoothWhite(150, 150);
    cv::Mat support(150, 150, CV_8UC1, cv::Scalar(0));
    support(cv::Rect(60, 60, 30, 30)).setTo(255);
    CRBFInpainting::Config config;
    config.centerStep = 2;
    config.sampleStep = 6;
    config.borderWidth = 2;
    CRBFInpainting inpainting{config};
    inpainting.setInputImage(image);
    inpainting.setInputSupportMask(support);
    ASSERT_TRUE(inpainting.approximate());
    const CRBFInpainting::FitDiagnostics& d = inpainting.getFitDiagnostics();
    EXPECT_GT(d.centreStep, 2);
    EXPECT_LE(d.centres, CRBFInpainting::kMaxCentres);
    cv::Mat out;
    inpainting.fillValues(cv::Mat(), out);
    EXPECT_LT(worstRelativeError(out, image, cv::Rect(60, 60, 30, 30)), 0.01);
}
