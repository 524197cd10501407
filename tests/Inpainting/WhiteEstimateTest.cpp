// The white image written band by band: the fill read a range of rows at a
// time and blurred per band equals the whole fill blurred at once. And the
// white estimate stage's entry: the white over a chart's labelled patches, or
// a failure with its values.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <opencv2/imgproc.hpp>

#include "Base/CImageData2D.h"
#include "Base/StringConversion.h"
#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/Inpainting/InpaintingStage.h"
#include "DataLayer/ShadeAnalysis/Inpainting/WhiteEstimate.h"

using DataLayer::CRBFInpainting;
using Estimator = CRBFInpainting::Config::Estimator;

namespace {

// Taller than several bands of rows and not a multiple of one.
constexpr int kRows = 1100;
constexpr int kCols = 300;
const cv::Rect kPatches(60, 380, 180, 300);

/// The light falling on the ground at (x, y), in its brightest channel.
double lightAt(int x, int y) {
    const double u = (x - 0.5 * kCols) / kCols;
    const double v = (y - 0.4 * kRows) / kRows;
    return 225.0 - 20.0 * u + 15.0 * v - 30.0 * (u * u + v * v);
}

/// A lit white ground with a little noise (so that no two rows are alike)
/// and dark patches over kPatches.
cv::Mat groundPhoto() {
    cv::Mat photo(kRows, kCols, CV_32FC3);
    cv::RNG rng(7);
    for (int y = 0; y < kRows; ++y) {
        for (int x = 0; x < kCols; ++x) {
            const double light = lightAt(x, y);
            const float n = static_cast<float>(rng.gaussian(0.7));
            photo.at<cv::Vec3f>(y, x) =
                cv::Vec3f(static_cast<float>(light) + n, static_cast<float>(0.96 * light) + n,
                          static_cast<float>(0.92 * light) + n);
        }
    }
    photo(kPatches).setTo(cv::Scalar(60, 90, 120));
    return photo;
}

cv::Mat patchMask() {
    cv::Mat mask(kRows, kCols, CV_8UC1, cv::Scalar(0));
    mask(kPatches).setTo(255);
    return mask;
}

/// The white as one fill of the whole image blurred at once, on the support
/// the white estimate fits on (the patches dilated `dilations` times).
cv::Mat wholeFillBlurred(const cv::Mat& photo, Estimator estimator, int dilations) {
    cv::Mat support;
    cv::dilate(patchMask(), support, cv::Mat::ones(11, 11, CV_8U), cv::Point(-1, -1), dilations,
               cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
    CRBFInpainting::Config config;
    config.estimator = estimator;
    CRBFInpainting inpainting{config};
    inpainting.setInputImage(photo);
    inpainting.setInputSupportMask(support);
    inpainting.setFillArea(patchMask());
    cv::Mat fill;
    inpainting.fillValues(cv::Mat(), fill);
    if (fill.empty()) return fill;
    cv::GaussianBlur(fill, fill, cv::Size(19, 19), 9.0, 0.0, cv::BORDER_REFLECT_101);
    return fill;
}

}  // namespace

TEST(WhiteEstimateBands, TheWhiteOfEveryEstimatorIsTheWholeFillBlurred) {
    const cv::Mat photo = groundPhoto();
    for (const auto& [estimator, dilations] :
         {std::pair{Estimator::eRidge, 1}, std::pair{Estimator::eSurround, 2}}) {
        SCOPED_TRACE(static_cast<int>(estimator));
        cv::Mat white;
        CRBFInpainting::FitDiagnostics diagnostics;
        int used = 0;
        ASSERT_TRUE(DataLayer::estimateWhiteImage(photo, patchMask(), patchMask(), estimator, white,
                                                  diagnostics, used));
        ASSERT_EQ(used, dilations);
        const cv::Mat expected = wholeFillBlurred(photo, estimator, dilations);
        ASSERT_EQ(expected.size(), white.size());
        EXPECT_EQ(cv::norm(white, expected, cv::NORM_INF), 0.0);
    }
}

TEST(WhiteEstimateBands, RowRangesOfTheFillAreTheWholeFillsRows) {
    const cv::Mat photo = groundPhoto();
    for (const Estimator estimator : {Estimator::eRidge, Estimator::eSurround}) {
        SCOPED_TRACE(static_cast<int>(estimator));
        CRBFInpainting::Config config;
        config.estimator = estimator;
        CRBFInpainting inpainting{config};
        inpainting.setInputImage(photo);
        cv::Mat support;
        cv::dilate(patchMask(), support, cv::Mat::ones(11, 11, CV_8U), cv::Point(-1, -1), 2);
        inpainting.setInputSupportMask(support);
        inpainting.setFillArea(patchMask());

        cv::Mat band(10, kCols, CV_32FC3, cv::Scalar::all(-1));
        EXPECT_FALSE(inpainting.fillRowRange(0, band)) << "no fit yet";
        ASSERT_TRUE(inpainting.approximate());
        cv::Mat whole;
        inpainting.fillValues(cv::Mat(), whole);
        // Bands that start and end anywhere, the first and the last row included.
        for (const auto& [first, count] : {std::pair{0, 1}, std::pair{0, 300}, std::pair{377, 9},
                                           std::pair{kRows - 1, 1}, std::pair{kRows - 256, 256}}) {
            cv::Mat rows(count, kCols, CV_32FC3);
            ASSERT_TRUE(inpainting.fillRowRange(first, rows)) << first;
            EXPECT_EQ(cv::norm(rows, whole.rowRange(first, first + count), cv::NORM_INF), 0.0)
                << first << " + " << count;
        }
        // Rows beyond the image, another width or type: refused, untouched.
        cv::Mat narrow(4, kCols - 1, CV_32FC3, cv::Scalar::all(-1));
        cv::Mat grey(4, kCols, CV_32FC1, cv::Scalar::all(-1));
        EXPECT_FALSE(inpainting.fillRowRange(kRows - 9, band));
        EXPECT_FALSE(inpainting.fillRowRange(-1, band));
        EXPECT_FALSE(inpainting.fillRowRange(0, narrow));
        EXPECT_FALSE(inpainting.fillRowRange(0, grey));
        EXPECT_EQ(
            cv::norm(band, cv::Mat(band.size(), band.type(), cv::Scalar::all(-1)), cv::NORM_INF),
            0.0);
    }
}

namespace {

/// The labels of the region `kLabelled` around the patches: 2 on kPatches, 1
/// (ground) elsewhere.
const cv::Rect kLabelled(40, 360, 220, 340);

cv::Mat chartLabels() {
    cv::Mat labels(kLabelled.size(), CV_32SC1, cv::Scalar(1));
    labels(kPatches - kLabelled.tl()).setTo(2);
    return labels;
}

}  // namespace

TEST(InpaintingStage, EstimatesTheLightOverTheLabelledPatchesAsTheEngineDoes) {
    const cv::Mat photo = groundPhoto();
    const cv::Mat labels = chartLabels();
    // The host leaves a strip along the left edge unusable.
    cv::Mat support(kRows, kCols, CV_8UC1, cv::Scalar(0));
    support.colRange(0, 30).setTo(255);
    const DataLayer::InpaintingResult result =
        DataLayer::estimateWhite({photo, support, labels, kLabelled});
    ASSERT_FALSE(result.failure.failed()) << Base::WideToNarrow(result.failure.message);
    ASSERT_EQ(result.white.size(), photo.size());
    ASSERT_EQ(result.white.type(), CV_32FC3);
    EXPECT_GE(result.patchDilations, 1);
    EXPECT_GT(result.diagnostics.samples, 0);
    // Over the patches the white is the light on the ground, not the patches.
    for (const cv::Point p : {cv::Point(150, 530), cv::Point(70, 390), cv::Point(230, 670)}) {
        const double light = lightAt(p.x, p.y);
        EXPECT_NEAR(result.white.at<cv::Vec3f>(p)[0], light, 0.01 * light) << p;
    }
    // The engine's white for the same host support, value for value.
    const Base::CImageData2D host(kCols, kRows, 1, support.data);
    cv::Mat engineWhite;
    CRBFInpainting::FitDiagnostics engineFit;
    ASSERT_TRUE(
        DataLayer::estimateChartWhite(photo, kLabelled, labels, &host, engineWhite, engineFit));
    EXPECT_EQ(cv::norm(result.white, engineWhite, cv::NORM_INF), 0.0);
}

TEST(InpaintingStage, FailsWithTheCodeAndTheValuesNeverThrows) {
    const cv::Mat photo = groundPhoto();
    const cv::Mat labels = chartLabels();
    const cv::Mat usable(kRows, kCols, CV_8UC1, cv::Scalar(0));
    const cv::Mat nothingUsable(kRows, kCols, CV_8UC1, cv::Scalar(255));
    const cv::Mat grey(kRows, kCols, CV_32FC1, cv::Scalar(200));
    const cv::Mat smallSupport(kRows - 1, kCols, CV_8UC1, cv::Scalar(0));
    const cv::Mat floatLabels(kLabelled.size(), CV_32FC1, cv::Scalar(1));
    struct Case {
        DataLayer::InpaintingInput input;
        const char* expected;  ///< a part of the message
    };
    const Case cases[] = {
        {{photo, nothingUsable, labels, kLabelled}, "0 pixels of white ground"},
        {{grey, usable, labels, kLabelled}, "300 x 1100 of type 5"},
        {{photo, smallSupport, labels, kLabelled}, "300 x 1099"},
        {{photo, usable, floatLabels, kLabelled}, "type 5"},
        {{photo, usable, labels, kLabelled + cv::Point(100, 0)}, "at (140, 360) 220 x 340"},
        {{photo, usable, labels, cv::Rect()}, "0 x 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        const DataLayer::InpaintingResult result = DataLayer::estimateWhite(c.input);
        EXPECT_EQ(result.failure.code, DataLayer::CalibrationFailure::eWhiteEstimateFailed);
        const std::string message = Base::WideToNarrow(result.failure.message);
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
        EXPECT_TRUE(result.white.empty());
    }
}
