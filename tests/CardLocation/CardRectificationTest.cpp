#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CCardRectification.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"

namespace {

using DataLayer::CCardRectification;
using DataLayer::ChartCardLocation;
using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

/// A card of the printed CCT chart as the locator would report it: the
/// nominal frame mapped into the photo by `h`, its outline 40 nominal pixels
/// beyond the patches.
ChartCardLocation cardUnder(const cv::Matx33d& h) {
    const DataLayer::CParameterSetColorCalibrationTarget parameters(EChart::eCCTPrint);
    const double halfW =
        0.5 * (4 * parameters.GetGridLength() + parameters.GetSegmentSideLength()) + 40;
    const double halfH =
        0.5 * (3 * parameters.GetGridLength() + parameters.GetSegmentSideLength()) + 40;
    ChartCardLocation card;
    card.found = true;
    card.homography = h;
    card.gridRows = 4;
    card.gridColumns = 5;
    const cv::Point2d corners[4] = {
        {-halfW, -halfH}, {halfW, -halfH}, {halfW, halfH}, {-halfW, halfH}};
    for (std::size_t k = 0; k < 4; ++k) {
        const cv::Vec3d p = h * cv::Vec3d(corners[k].x, corners[k].y, 1.0);
        card.corners[k] =
            cv::Point2f(static_cast<float>(p[0] / p[2]), static_cast<float>(p[1] / p[2]));
    }
    return card;
}

/// A tilted view, 1.7 photo pixels per nominal one, centred in a 1600 x 1200 photo.
const cv::Matx33d kTilted(1.7, 0.25, 800, -0.2, 1.5, 600, 0.0002, -0.0001, 1);

const DataLayer::CParameterSetColorCalibrationTarget& parameters() {
    static const DataLayer::CParameterSetColorCalibrationTarget set(EChart::eCCTPrint);
    return set;
}

TEST(CCardRectification, MapsFrameAndPhotoPointsBothWays) {
    const CCardRectification frame(parameters(), cardUnder(kTilted), {1600, 1200});
    ASSERT_TRUE(frame.valid()) << frame.error();
    EXPECT_TRUE(cv::Rect(cv::Point(), frame.frameSize()).contains(frame.regionOfInterest().tl()));
    for (const cv::Point2d p : {cv::Point2d(0, 0), cv::Point2d(123.5, 77.25),
                                cv::Point2d(frame.frameSize().width - 1.0, 10.0)}) {
        const cv::Point2d back = frame.toFrame(frame.toPhoto(p));
        EXPECT_NEAR(back.x, p.x, 1e-6);
        EXPECT_NEAR(back.y, p.y, 1e-6);
    }
    // The grid's centre, the nominal frame's origin, lies where the homography puts it.
    const cv::Rect r = frame.regionOfInterest();
    EXPECT_TRUE(frame.photoRegion().contains(
        frame.toPhoto(cv::Point2d(r.x + r.width / 2.0, r.y + r.height / 2.0))));
}

TEST(CCardRectification, ResamplesWithoutAliasingAndKeepsPatternsInPlace) {
    // A checkerboard of single pixels, the finest pattern a photo holds,
    // shrinks to within 15 % of its mean: no moire.
    cv::Mat photo(1200, 1600, CV_32FC3);
    for (int y = 0; y < photo.rows; ++y) {
        for (int x = 0; x < photo.cols; ++x) {
            photo.at<cv::Vec3f>(y, x) = cv::Vec3f::all((x + y) % 2 == 0 ? 40.0f : 200.0f);
        }
    }
    const CCardRectification frame(parameters(), cardUnder(kTilted), photo.size());
    ASSERT_TRUE(frame.valid());
    const cv::Mat rectified = frame.rectifyImage(photo);
    ASSERT_EQ(rectified.size(), frame.frameSize());
    ASSERT_EQ(rectified.type(), CV_32FC3);
    double lo = 0.0;
    double hi = 0.0;
    cv::minMaxLoc(rectified.reshape(1), &lo, &hi);
    EXPECT_GT(lo, 120.0 - 12.0);
    EXPECT_LT(hi, 120.0 + 12.0);

    // A bright square drawn where the homography puts a nominal square lands
    // on that square in the frame; 8-bit images stay 8-bit.
    cv::Mat marked(1200, 1600, CV_8UC3, cv::Scalar::all(30));
    std::vector<cv::Point> square;
    for (const cv::Point2d q :
         {cv::Point2d(-20, -20), cv::Point2d(20, -20), cv::Point2d(20, 20), cv::Point2d(-20, 20)}) {
        const cv::Vec3d p = kTilted * cv::Vec3d(q.x, q.y, 1.0);
        square.emplace_back(cvRound(p[0] / p[2]), cvRound(p[1] / p[2]));
    }
    cv::fillConvexPoly(marked, square, cv::Scalar::all(220));
    const cv::Mat frameMarked = frame.rectifyImage(marked);
    ASSERT_EQ(frameMarked.type(), CV_8UC3);
    const cv::Point2d origin =
        frame.toFrame(frame.toPhoto(frame.toFrame(cv::Point2d(kTilted(0, 2), kTilted(1, 2)))));
    EXPECT_GT(frameMarked.at<cv::Vec3b>(cvRound(origin.y), cvRound(origin.x))[1], 200);
    EXPECT_LT(frameMarked.at<cv::Vec3b>(cvRound(origin.y), cvRound(origin.x + 30))[1], 50);
}

TEST(CCardRectification, AMaskExcludesWhereverAnyPhotoPixelUnderItIsExcluded) {
    const CCardRectification frame(parameters(), cardUnder(kTilted), {1600, 1200});
    cv::Mat mask = cv::Mat::zeros(1200, 1600, CV_8U);
    mask.at<uchar>(600, 800) = 7;  // one excluded pixel at the grid's centre
    const cv::Mat rectified = frame.rectifyMask(mask);
    ASSERT_EQ(rectified.size(), frame.frameSize());
    const cv::Point2d at = frame.toFrame({800, 600});
    EXPECT_EQ(rectified.at<uchar>(cvRound(at.y), cvRound(at.x)), 255);
    EXPECT_LT(cv::countNonZero(rectified), 20);
    // A card that reaches beyond the photo's edge: what lies beyond is excluded.
    const cv::Matx33d nearEdge(1.0, 0, 250, 0, 1.0, 600, 0, 0, 1);
    const CCardRectification edge(parameters(), cardUnder(nearEdge), {1600, 1200});
    ASSERT_TRUE(edge.valid());
    const cv::Mat outside = edge.rectifyMask(cv::Mat::zeros(1200, 1600, CV_8U));
    EXPECT_EQ(outside.at<uchar>(outside.rows / 2, 0), 255);
    EXPECT_EQ(outside.at<uchar>(outside.rows / 2, outside.cols / 2), 0);
}

TEST(CCardRectification, TheWhiteOfTheWholePhotoIsPositiveAndFiniteEverywhere) {
    const CCardRectification frame(parameters(), cardUnder(kTilted), {1600, 1200});
    // A frame white of 200 over the card's region that falls to zero and far
    // below towards the frame's border, as an extrapolation beyond the card
    // may, with a value that is not a number in a corner.
    const cv::Rect region = frame.regionOfInterest();
    cv::Mat white(frame.frameSize(), CV_32FC3);
    for (int y = 0; y < white.rows; ++y) {
        for (int x = 0; x < white.cols; ++x) {
            const double dx = std::max({0, region.x - x, x - (region.x + region.width - 1)});
            const double dy = std::max({0, region.y - y, y - (region.y + region.height - 1)});
            white.at<cv::Vec3f>(y, x) =
                cv::Vec3f::all(static_cast<float>(200.0 - 6.0 * (dx * dx + dy * dy)));
        }
    }
    white.at<cv::Vec3f>(0, 0) = cv::Vec3f::all(std::numeric_limits<float>::quiet_NaN());
    cv::Mat support(white.size(), CV_8U, cv::Scalar(255));
    support(region).setTo(0);
    const cv::Mat photoWhite = frame.whiteToPhoto(white, support);
    ASSERT_EQ(photoWhite.size(), cv::Size(1600, 1200));
    ASSERT_TRUE(cv::checkRange(photoWhite));
    double lo = 0.0;
    double hi = 0.0;
    cv::minMaxLoc(photoWhite.reshape(1), &lo, &hi);
    EXPECT_EQ(lo, 200.0);
    EXPECT_EQ(hi, 200.0);

    // The same rule for a white computed on the photo itself.
    cv::Mat own(1200, 1600, CV_32FC3, cv::Scalar::all(-5.0));
    own(cv::Rect(700, 500, 200, 200)).setTo(cv::Scalar::all(180.0));
    own.at<cv::Vec3f>(600, 800) = cv::Vec3f::all(std::numeric_limits<float>::infinity());
    cv::Mat ownSupport(1200, 1600, CV_8U, cv::Scalar(255));
    ownSupport(cv::Rect(720, 520, 160, 160)).setTo(0);
    const std::array<cv::Point2f, 4> card = {cv::Point2f(700, 500), cv::Point2f(899, 500),
                                             cv::Point2f(899, 699), cv::Point2f(700, 699)};
    ASSERT_TRUE(DataLayer::boundWhiteOutsideCard(own, card, ownSupport));
    ASSERT_TRUE(cv::checkRange(own));
    cv::minMaxLoc(own.reshape(1), &lo);
    EXPECT_EQ(lo, 180.0);
}

TEST(CCardRectification, TheWhiteOverTheCardIsTheFramesFieldThroughTheHomography) {
    // A smooth field (the illumination over a card varies over hundreds of
    // pixels) mapped back through a coarse grid matches the field mapped
    // pixel by pixel over the card to within 1e-4 of its value.
    const CCardRectification frame(parameters(), cardUnder(kTilted), {1600, 1200});
    cv::Mat white(frame.frameSize(), CV_32FC3);
    for (int y = 0; y < white.rows; ++y) {
        for (int x = 0; x < white.cols; ++x) {
            const double v = 150.0 + 40.0 * std::sin(x / 90.0) * std::cos(y / 80.0) + 0.05 * x;
            white.at<cv::Vec3f>(y, x) = cv::Vec3f(
                static_cast<float>(v), static_cast<float>(0.9 * v), static_cast<float>(1.1 * v));
        }
    }
    const cv::Mat mapped = frame.whiteToPhoto(white, cv::Mat());
    cv::Mat reference;
    cv::warpPerspective(white, reference, cv::Mat(frame.frameToPhoto()), mapped.size(),
                        cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    double worst = 0.0;
    const cv::Rect inside = frame.photoRegion();
    for (int y = inside.y + 8; y < inside.y + inside.height - 8; ++y) {
        for (int x = inside.x + 8; x < inside.x + inside.width - 8; ++x) {
            const cv::Point2d f = frame.toFrame({static_cast<double>(x), static_cast<double>(y)});
            if (!cv::Rect(2, 2, white.cols - 4, white.rows - 4).contains(cv::Point(f))) continue;
            for (int c = 0; c < 3; ++c) {
                const double r = reference.at<cv::Vec3f>(y, x)[c];
                worst = std::max(worst, std::fabs(mapped.at<cv::Vec3f>(y, x)[c] - r) / r);
            }
        }
    }
    EXPECT_LE(worst, 1e-4);
}

TEST(CCardRectification, RefusesWhatItCannotRectify) {
    ChartCardLocation missing;
    EXPECT_FALSE(CCardRectification(parameters(), missing, {1600, 1200}).valid());
    ChartCardLocation singular = cardUnder(kTilted);
    singular.homography = cv::Matx33d::zeros();
    EXPECT_FALSE(CCardRectification(parameters(), singular, {1600, 1200}).valid());
    ChartCardLocation notFinite = cardUnder(kTilted);
    notFinite.homography(0, 0) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(CCardRectification(parameters(), notFinite, {1600, 1200}).valid());
    // A frame that would reach beyond the horizon of the card's plane (the
    // plane's far side meets it just beyond the card's left edge).
    const CCardRectification refused(
        parameters(), cardUnder(cv::Matx33d(1, 0, 800, 0, 1, 600, 0.0045, 0, 1)), {1600, 1200});
    EXPECT_FALSE(refused.valid());
    EXPECT_FALSE(refused.error().empty());
    EXPECT_THROW(refused.rectifyImage(cv::Mat(1200, 1600, CV_8UC3)), std::invalid_argument);

    const CCardRectification frame(parameters(), cardUnder(kTilted), {1600, 1200});
    EXPECT_THROW(frame.rectifyImage(cv::Mat(1200, 1500, CV_8UC3)), std::invalid_argument);
    EXPECT_THROW(frame.rectifyImage(cv::Mat(1200, 1600, CV_16UC3)), std::invalid_argument);
    EXPECT_THROW(frame.rectifyMask(cv::Mat(1200, 1600, CV_8UC3)), std::invalid_argument);
    EXPECT_THROW(frame.whiteToPhoto(cv::Mat(10, 10, CV_32FC3), cv::Mat()), std::invalid_argument);
    cv::Mat empty;
    EXPECT_FALSE(DataLayer::boundWhiteOutsideCard(empty, {}, cv::Mat()));
    // Corners far beyond the image (a fuzzer's find: the fixed-point polygon
    // fill divided by zero) are handled by the rows' spans.
    cv::Mat white(20, 30, CV_32FC3, cv::Scalar::all(100.0));
    const float far = 3e30f;
    EXPECT_TRUE(DataLayer::boundWhiteOutsideCard(white,
                                                 {cv::Point2f(-far, -far), cv::Point2f(far, -far),
                                                  cv::Point2f(far, far), cv::Point2f(-far, 1.0f)},
                                                 cv::Mat(20, 30, CV_8U, cv::Scalar(255))));
}

}  // namespace
