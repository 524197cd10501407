// The separable masked Gaussian of CRBFInpainting against a direct window sum.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "RBFReference.h"

namespace {

using DataLayer::CRBFInpainting;

cv::Mat randomImage(int rows, int cols, int type, cv::RNG& rng) {
    cv::Mat m(rows, cols, type);
    rng.fill(m, cv::RNG::UNIFORM, 0.0, 255.0);
    return m;
}

/// Random 0/1 weights with a large all-zero rectangle.
cv::Mat randomWeights(int rows, int cols, cv::RNG& rng, double density) {
    cv::Mat u(rows, cols, CV_32F);
    rng.fill(u, cv::RNG::UNIFORM, 0.0, 1.0);
    cv::Mat w = (u < density) / 255;
    w(cv::Rect(cols / 5, rows / 4, cols / 2, rows / 2)).setTo(0);
    return w;
}

/// Same value within 1e-3 and NaN at exactly the same pixels.
void expectMatches(const cv::Mat& fast, const cv::Mat& direct) {
    ASSERT_EQ(fast.size(), direct.size());
    ASSERT_EQ(fast.type(), direct.type());
    const int cn = fast.channels();
    for (int y = 0; y < fast.rows; ++y) {
        for (int i = 0; i < fast.cols * cn; ++i) {
            const float a = fast.ptr<float>(y)[i];
            const float r = direct.ptr<float>(y)[i];
            if (std::isnan(r) || std::isnan(a)) {
                ASSERT_TRUE(std::isnan(r) && std::isnan(a))
                    << "at " << y << "," << i / cn << ": ref " << r << ", got " << a;
            } else {
                ASSERT_NEAR(a, r, 1e-3) << "at " << y << "," << i / cn << " channel " << i % cn;
            }
        }
    }
}

TEST(CRBFInpaintingMaskedGaussian, MatchesDirectWindowSum) {
    cv::RNG rng(20240611);
    struct Size {
        int rows;
        int cols;
        double density;
    };
    // Odd sizes, images smaller than the kernel, sparse and dense weights.
    const Size sizes[] = {{37, 23, 0.5}, {64, 97, 0.05}, {1, 1, 1.0}, {1, 7, 0.6}, {18, 2, 0.3}};
    CRBFInpainting inpainting;
    for (const Size& s : sizes) {
        SCOPED_TRACE(testing::Message() << s.rows << " x " << s.cols);
        const cv::Mat src = randomImage(s.rows, s.cols, CV_32FC3, rng);
        cv::Mat w = randomWeights(s.rows, s.cols, rng, s.density);
        if (s.rows == 1 && s.cols == 1) w.setTo(1);
        cv::Mat fast;
        inpainting.maskedGaussian(src, fast, w);
        expectMatches(fast, rbftest::directMaskedGaussian(src, w));
    }
}

TEST(CRBFInpaintingMaskedGaussian, LargeZeroAreasBecomeNaNExactly) {
    cv::RNG rng(7);
    const cv::Mat src = randomImage(90, 120, CV_32FC3, rng);
    cv::Mat w = cv::Mat::zeros(90, 120, CV_8UC1);
    w(cv::Rect(0, 0, 120, 10)).setTo(1);
    w.at<uchar>(60, 100) = 3;  // a lone heavier weight
    CRBFInpainting inpainting;
    cv::Mat fast;
    inpainting.maskedGaussian(src, fast, w);
    expectMatches(fast, rbftest::directMaskedGaussian(src, w));

    // Weights confined to an interior block, near an edge and in a corner.
    for (const cv::Rect block :
         {cv::Rect(50, 40, 6, 5), cv::Rect(3, 70, 9, 20), cv::Rect(115, 0, 5, 2)}) {
        w.setTo(0);
        w(block).setTo(1);
        inpainting.maskedGaussian(src, fast, w);
        expectMatches(fast, rbftest::directMaskedGaussian(src, w));
    }
}

TEST(CRBFInpaintingMaskedGaussian, RejectsMismatchedInputs) {
    CRBFInpainting inpainting;
    cv::Mat dst;
    const cv::Mat src(10, 10, CV_32FC3, cv::Scalar::all(1));
    EXPECT_THROW(inpainting.maskedGaussian(src, dst, cv::Mat::ones(10, 9, CV_8UC1)), cv::Exception);
    EXPECT_THROW(inpainting.maskedGaussian(src, dst, cv::Mat::ones(10, 10, CV_32FC1)),
                 cv::Exception);
    EXPECT_THROW(inpainting.maskedGaussian(cv::Mat::ones(10, 10, CV_32FC1), dst,
                                           cv::Mat::ones(10, 10, CV_8UC1)),
                 cv::Exception);
}

TEST(CRBFInpaintingMaskedGaussian, ValuesOfZeroWeightAreNeverRead) {
    cv::RNG rng(17);
    const cv::Mat clean = randomImage(40, 44, CV_32FC3, rng);
    const cv::Mat w = randomWeights(40, 44, rng, 0.5);
    // Poison every pixel of weight 0: the result must not change.
    cv::Mat poisoned = clean.clone();
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    for (int y = 0; y < w.rows; ++y) {
        for (int x = 0; x < w.cols; ++x) {
            if (w.at<uchar>(y, x) == 0)
                poisoned.at<cv::Vec3f>(y, x) = cv::Vec3f::all(bad[(x + y) % 3]);
        }
    }
    CRBFInpainting inpainting;
    cv::Mat fromClean;
    cv::Mat fromPoisoned;
    inpainting.maskedGaussian(clean, fromClean, w);
    inpainting.maskedGaussian(poisoned, fromPoisoned, w);
    expectMatches(fromPoisoned, fromClean);

    // dst may be src.
    cv::Mat inPlace = clean.clone();
    inpainting.maskedGaussian(inPlace, inPlace, w);
    expectMatches(inPlace, fromClean);
}

}  // namespace
