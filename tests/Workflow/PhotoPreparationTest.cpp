// The preparation of a photo calibration: where the card is looked for,
// which region and support the stages get, and the encodings of the values.
#include <gtest/gtest.h>

#include <optional>

#include "DataLayer/ShadeAnalysis/Workflow/PhotoEncoding.h"
#include "DataLayer/ShadeAnalysis/Workflow/PhotoPreparation.h"
#include "synth/SyntheticChart.h"

namespace {

using namespace DataLayer;
using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

TEST(PhotoEncoding, SrgbImageConversionMatchesTheScalarCurve) {
    cv::Mat codes(16, 16, CV_32FC3);
    for (int i = 0; i < 256; ++i) {
        codes.at<cv::Vec3f>(i / 16, i % 16) = cv::Vec3f(static_cast<float>(i), 0.0f, 255.0f);
    }
    const cv::Mat linear = DataLayer::Color::srgbDecodeImage(codes);
    const cv::Mat back = DataLayer::Color::srgbEncodeImage(linear);
    for (int i = 0; i < 256; ++i) {
        EXPECT_NEAR(linear.at<cv::Vec3f>(i / 16, i % 16)[0], DataLayer::Color::srgbDecode(i), 1e-3);
        EXPECT_NEAR(back.at<cv::Vec3f>(i / 16, i % 16)[0], i, 1e-3);
    }
}

PhotoCalibrationRequest photoRequest(cv::Size size) {
    PhotoCalibrationRequest request;
    request.chart = EChart::eQCCPrint;
    request.photo = cv::Mat(size, CV_32FC3, cv::Scalar::all(128.0f));
    request.referencesRgb = ChartSynth::defaultReferenceColors();
    return request;
}

TEST(PhotoPreparation, LocatesTheCardUnlessRegionAndMaskAreGivenAndTakesItsGroundAsSupport) {
    int calls = 0;
    std::optional<cv::Rect> searched;
    CardLocationResult card;
    card.found = true;
    card.nominal = true;
    card.regionOfInterest = cv::Rect(40, 30, 200, 150);
    card.corners = {cv::Point2d(40, 30), cv::Point2d(240, 30), cv::Point2d(240, 180),
                    cv::Point2d(40, 180)};
    card.supportMask = cv::Mat(240, 320, CV_8U, cv::Scalar(255));
    card.supportMask(cv::Rect(60, 50, 100, 80)).setTo(0);
    const CardLocator locate = [&](const CardLocationInput& in) {
        ++calls;
        searched = in.region;
        EXPECT_TRUE(in.linearInput);  // a float photo defaults to linear values
        return card;
    };
    PhotoCalibrationRequest request = photoRequest({320, 240});
    request.sourceDepth = CV_32F;

    // No region, no mask: both from the card, which is looked for in the whole photo.
    PreparedPhoto prepared = preparePhoto(request, locate);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(searched.has_value());
    EXPECT_TRUE(prepared.ready);
    EXPECT_TRUE(prepared.card.searched);
    EXPECT_EQ(prepared.input.roi, card.regionOfInterest);
    EXPECT_EQ(cv::norm(prepared.input.support, card.supportMask, cv::NORM_INF), 0.0);
    EXPECT_EQ(prepared.input.segmentationRegion.size(), card.regionOfInterest.size());

    // A given mask is kept; the region still comes from the card.
    request.support = cv::Mat(240, 320, CV_8U, cv::Scalar(7));
    prepared = preparePhoto(request, locate);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(prepared.input.roi, card.regionOfInterest);
    EXPECT_EQ(cv::countNonZero(prepared.input.support != 7), 0);

    // A region without a mask: the card is looked for inside the region.
    request.support.release();
    request.roi = cv::Rect(10, 20, 300, 200);
    prepared = preparePhoto(request, locate);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(searched, request.roi);
    EXPECT_EQ(prepared.input.roi, card.regionOfInterest);

    // ... and no card there: the calibration fails with the stage's failure.
    const CardLocator none = [&](const CardLocationInput&) {
        CardLocationResult nothing;
        nothing.failure = {CalibrationFailure::eNoCardFound, L"no chart card found in the region"};
        return nothing;
    };
    prepared = preparePhoto(request, none);
    EXPECT_FALSE(prepared.ready);
    EXPECT_EQ(prepared.failure.code, CalibrationFailure::eNoCardFound);
    EXPECT_EQ(prepared.failure.message, L"no chart card found in the region");
    EXPECT_EQ(prepared.input.roi, *request.roi);

    // A region and a mask: the host's own; the card is not looked for.
    request.support = cv::Mat(240, 320, CV_8U, cv::Scalar(0));
    request.roi = cv::Rect(10, 10, 100, 50);
    prepared = preparePhoto(request, locate);
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(prepared.card.searched);
    EXPECT_EQ(prepared.input.roi, *request.roi);
    EXPECT_EQ(cv::countNonZero(prepared.input.support), 0);
}

}  // namespace
