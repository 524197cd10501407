#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "Base/StringConversion.h"
#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CardLocation/CardLocationStage.h"
#include "DataLayer/ShadeAnalysis/CardLocation/CardSearch.h"
#include "common/ChartPhotos.h"
#include "synth/RealisticSet.h"
#include "synth/SyntheticChart.h"

namespace {

using ChartSynth::EChart;
using DataLayer::CChartCardLocator;
using DataLayer::ChartCardLocation;

using TestPhotos::handheld;
using TestPhotos::kAllCharts;

ChartCardLocation locate(EChart chart, const cv::Mat& photo, bool linear = false) {
    const DataLayer::CParameterSetColorCalibrationTarget parameters(chart);
    return CChartCardLocator(parameters, linear).locate(photo);
}

/// A realistic scene of `chart` in a photo of `width` x `height` with the card
/// off the centre; `distractors` adds the paper sheet, the bright object, the
/// white wall and the hand.
ChartSynth::RenderOptions sceneAt(EChart chart, std::uint64_t seed, int width, int height,
                                  bool distractors) {
    ChartSynth::RenderOptions options =
        ChartSynth::realisticOptions(chart, ChartSynth::Encoding::eSrgb, seed);
    options.photoWidth = width;
    options.photoHeight = height;
    options.offsetX = (seed % 2 == 0 ? -0.22 : 0.2) * width;
    options.offsetY = (seed % 3 == 0 ? 0.17 : -0.15) * height;
    options.supersample = 2;
    options.paperSheet = distractors;
    options.brightObject = distractors;
    options.whiteWall = distractors;
    options.hand = distractors;
    return options;
}

double cornerError(const ChartCardLocation& location, const ChartSynth::RenderedChart& truth) {
    double worst = 0.0;
    for (std::size_t k = 0; k < 4; ++k) {
        const cv::Point2d d = cv::Point2d(location.corners[k]) - truth.cardCorners[k];
        worst = std::max(worst, std::hypot(d.x, d.y));
    }
    return worst;
}

/// Checks what a found card promises: corners within 3 px, a region that
/// holds the whole card, and a support mask of the photo's size that frees
/// most of the visible card ground and nothing off the card or under the hand.
void expectCard(const ChartCardLocation& location, const ChartSynth::RenderedChart& truth) {
    ASSERT_TRUE(location.found) << location.reason;
    EXPECT_LE(cornerError(location, truth), 3.0)
        << location.corners[0] << " " << truth.cardCorners[0] << "; " << location.corners[2] << " "
        << truth.cardCorners[2];
    EXPECT_GT(location.score, 0.8);
    EXPECT_EQ(location.regionOfInterest & truth.chartRegion, truth.chartRegion);
    ASSERT_EQ(location.supportMask.size(), truth.photo.size());
    ASSERT_EQ(location.supportMask.type(), CV_8UC1);
    const cv::Mat free = location.supportMask == 0;
    cv::Mat ground;
    cv::bitwise_and(truth.cardMask, ~truth.patchMask, ground);
    // Where the hand crosses the card's edge, the outermost ring of reduced
    // pixels (card and scene mixed) is not tested for it: a few pixels there
    // stay free.
    EXPECT_LE(cv::countNonZero(free & ~truth.cardMask), 0.01 * cv::countNonZero(ground))
        << "support off the visible card";
    EXPECT_GT(cv::countNonZero(free & ground), 0.9 * cv::countNonZero(ground));
}

TEST(CChartCardLocator, FindsEveryChartTypeAnywhereInALargerPhoto) {
    for (const EChart chart : kAllCharts) {
        SCOPED_TRACE(static_cast<int>(chart));
        const ChartSynth::RenderedChart rendered =
            ChartSynth::renderChart(sceneAt(chart, 2, 1600, 1200, false));
        expectCard(locate(chart, rendered.photo8u), rendered);
        // The same photo as float values on the 0..255 scale.
        expectCard(locate(chart, rendered.photo), rendered);
    }
}

TEST(CChartCardLocator, TakesTheCardAmongPaperWallBrightObjectAndHand) {
    for (const EChart chart : kAllCharts) {
        SCOPED_TRACE(static_cast<int>(chart));
        const ChartSynth::RenderOptions options = sceneAt(chart, 5, 1600, 1200, true);
        const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
        expectCard(locate(chart, rendered.photo8u), rendered);
    }
}

TEST(CChartCardLocator, FindsTheCardInA24MegapixelScene) {
    ChartSynth::RenderOptions options = sceneAt(EChart::eCCTPrint, 9, 6000, 4000, true);
    options.supersample = 1;
    options.jpegQuality = 0;
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    expectCard(locate(EChart::eCCTPrint, rendered.photo8u), rendered);
}

/// A dark textured scene with a blank sheet exactly the card's size, tilted,
/// and optionally light-grey squares on it that do not lie on the chart's grid.
cv::Mat blankSheetScene(EChart chart, bool offGridSquares) {
    cv::RNG rng(11);
    cv::Mat photo(1200, 1600, CV_8UC3);
    rng.fill(photo, cv::RNG::UNIFORM, cv::Scalar(50, 50, 50), cv::Scalar(90, 90, 90));
    const double pitch = ChartSynth::chartPitch(chart);
    const double side = ChartSynth::chartSideLength(chart);
    const cv::Size2f card(
        static_cast<float>((ChartSynth::chartCols(chart) - 1) * pitch + side + 1.2 * pitch),
        static_cast<float>((ChartSynth::chartRows(chart) - 1) * pitch + side + 1.2 * pitch));
    const cv::RotatedRect sheet(cv::Point2f(700, 560), card, 6.0f);
    cv::Point2f corners[4];
    sheet.points(corners);
    std::vector<cv::Point> polygon(corners, corners + 4);
    cv::fillConvexPoly(photo, polygon, cv::Scalar(225, 228, 226), cv::LINE_AA);
    if (offGridSquares) {
        // Squares of patch size at twice the chart's pitch: a grid the chart does not have.
        for (int k = 0; k < 4; ++k) {
            const cv::Point c(560 + static_cast<int>(k * 1.3 * pitch), 520 + (k % 2) * 60);
            cv::rectangle(photo,
                          cv::Rect(c, cv::Size(static_cast<int>(side), static_cast<int>(side))),
                          cv::Scalar(40, 90, 200), cv::FILLED);
        }
    }
    cv::GaussianBlur(photo, photo, cv::Size(), 1.0);
    return photo;
}

TEST(CChartCardLocator, NeverTakesABlankOrWronglyPatternedSheetForTheCard) {
    for (const EChart chart : kAllCharts) {
        SCOPED_TRACE(static_cast<int>(chart));
        for (bool squares : {false, true}) {
            const ChartCardLocation location = locate(chart, blankSheetScene(chart, squares));
            EXPECT_FALSE(location.found);
            EXPECT_FALSE(location.reason.empty());
            EXPECT_TRUE(location.supportMask.empty());
            // The sheet is reported as the most card-like region turned down.
            ASSERT_FALSE(location.rejected.empty());
            EXPECT_NE(location.rejected.front().reason.find("patch"), std::string::npos)
                << location.rejected.front().reason;
        }
    }
}

TEST(CChartCardLocator, RefusesUnusableInputWithAReason) {
    const cv::Mat nan(900, 1200, CV_32FC3,
                      cv::Scalar::all(std::numeric_limits<float>::quiet_NaN()));
    cv::Mat mixed(900, 1200, CV_32FC3, cv::Scalar::all(200.0f));
    mixed(cv::Rect(0, 0, 600, 900)).setTo(cv::Scalar::all(std::numeric_limits<float>::infinity()));
    mixed(cv::Rect(300, 0, 600, 900))
        .setTo(cv::Scalar::all(-std::numeric_limits<float>::infinity()));
    const cv::Mat inputs[] = {
        cv::Mat(),
        cv::Mat(5, 7, CV_8UC3, cv::Scalar::all(255)),
        cv::Mat(600, 800, CV_8UC1, cv::Scalar::all(255)),
        cv::Mat(600, 800, CV_16UC3, cv::Scalar::all(255)),
        cv::Mat(1, 20000, CV_8UC3, cv::Scalar::all(255)),
        cv::Mat(20000, 3, CV_8UC3, cv::Scalar::all(255)),
        cv::Mat(700, 20000, CV_8UC3, cv::Scalar::all(255)),
        nan,
        mixed,
        cv::Mat(900, 1200, CV_8UC3, cv::Scalar::all(0)),
    };
    for (const EChart chart : kAllCharts) {
        for (std::size_t k = 0; k < std::size(inputs); ++k) {
            SCOPED_TRACE(k);
            const ChartCardLocation location = locate(chart, inputs[k]);
            EXPECT_FALSE(location.found);
            EXPECT_FALSE(location.reason.empty());
        }
    }
}

TEST(CChartCardLocator, FindsACardThatReachesThePhotosEdgeRegionClipped) {
    // The renderer's default photo: the card with a narrow surround.
    ChartSynth::RenderOptions options;
    options.chart = EChart::eQCCXRite;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    options.rotationDeg = -9.0;
    options.falloff = 0.3;
    options.noiseSigma = 2.0;
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    const ChartCardLocation location = locate(EChart::eQCCXRite, rendered.photo);
    expectCard(location, rendered);
    EXPECT_EQ(location.regionOfInterest & cv::Rect(cv::Point(), rendered.photo.size()),
              location.regionOfInterest);
}

/// Checks the homography a found card promises: each position of the found
/// grid maps onto the true centre of a different patch, within a tenth of the
/// patch side as the photo shows it; and the scale it implies.
void expectGridOnPatches(EChart chart, const ChartCardLocation& location,
                         const ChartSynth::RenderedChart& truth) {
    ASSERT_TRUE(location.found) << location.reason;
    ASSERT_EQ(location.gridRows * location.gridColumns, 20);
    const double pitch = ChartSynth::chartPitch(chart);
    const double tolerance = 0.1 * ChartSynth::chartSideLength(chart) * truth.scale;
    std::vector<bool> used(20, false);
    for (int r = 0; r < location.gridRows; ++r) {
        for (int c = 0; c < location.gridColumns; ++c) {
            const cv::Vec3d p =
                location.homography * cv::Vec3d((c - 0.5 * (location.gridColumns - 1)) * pitch,
                                                (r - 0.5 * (location.gridRows - 1)) * pitch, 1.0);
            const cv::Point2d q(p[0] / p[2], p[1] / p[2]);
            std::size_t nearest = 0;
            double distance = 1e9;
            for (std::size_t k = 0; k < 20; ++k) {
                const cv::Point2d d = truth.referenceCenters[k] - q;
                if (std::hypot(d.x, d.y) < distance) {
                    distance = std::hypot(d.x, d.y);
                    nearest = k;
                }
            }
            EXPECT_LE(distance, tolerance) << "grid position " << r << ", " << c;
            EXPECT_FALSE(used[nearest]);
            used[nearest] = true;
        }
    }
    EXPECT_NEAR(location.scale, truth.scale, 0.03 * truth.scale);
}

TEST(CChartCardLocator, FindsHandHeldCardsAtTheEndsOfTheRanges) {
    struct Case {
        EChart chart;
        double scale, tiltDeg, turnDeg;
        cv::Size size;
    };
    const Case cases[] = {
        {EChart::eCCTPrint, 0.4, 10.0, 5.0, {1600, 1200}},        // small and far
        {EChart::eQCCPrint, 2.6, 20.0, -10.0, {2592, 1944}},      // large and close
        {EChart::eCCTXRite, 1.0, 35.0, 12.0, {1600, 1200}},       // strongly tilted
        {EChart::eQCCPrintSmall, 1.3, 15.0, 93.0, {1600, 1200}},  // a quarter turn
        {EChart::eQCCXRite, 0.8, 25.0, -88.0, {1600, 1200}},      // the other way
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.chart));
        const ChartSynth::RenderedChart rendered =
            ChartSynth::renderChart(handheld(c.chart, c.scale, c.tiltDeg, c.turnDeg, c.size, 3));
        const ChartCardLocation location = locate(c.chart, rendered.photo8u);
        expectGridOnPatches(c.chart, location, rendered);
        EXPECT_FALSE(location.nominal);
        if (c.tiltDeg >= 15.0) {
            EXPECT_NEAR(location.tiltDeg, c.tiltDeg, 2.0);
        }
        // A quarter turn shows the parameter set's layout the other way round.
        const bool quarter = std::fabs(std::remainder(c.turnDeg, 180.0)) > 45.0;
        const DataLayer::CParameterSetColorCalibrationTarget parameters(c.chart);
        EXPECT_EQ(location.gridRows,
                  quarter ? parameters.GetGridColumns() : parameters.GetGridRows());
    }
}

TEST(CardLocationStage, ReportsACardFoundInARegionInWholePhotoPixelsWithItsFrame) {
    const EChart chart = EChart::eQCCPrint;
    const ChartSynth::RenderedChart rendered =
        ChartSynth::renderChart(handheld(chart, 0.9, 20.0, 15.0, {1600, 1200}, 3));
    const DataLayer::CParameterSetColorCalibrationTarget parameters(chart);
    std::vector<cv::Point2f> truth;
    for (const cv::Point2d& c : rendered.cardCorners) truth.emplace_back(c);
    const cv::Rect region = (cv::boundingRect(truth) + cv::Size(160, 160) - cv::Point(80, 80)) &
                            cv::Rect(cv::Point(), rendered.photo.size());
    ASSERT_GT(region.x, 0);
    ASSERT_GT(region.y, 0);
    DataLayer::CardLocationInput input{rendered.photo, parameters, false, std::nullopt};
    input.region = region;
    const DataLayer::CardLocationResult card = DataLayer::locateCard(input);
    ASSERT_FALSE(card.failure.failed()) << Base::WideToNarrow(card.failure.message);
    // Corners and homography in the whole photo's pixels.
    expectGridOnPatches(chart, DataLayer::toChartCardLocation(card), rendered);
    for (std::size_t k = 0; k < 4; ++k) {
        const cv::Point2d d = card.corners[k] - rendered.cardCorners[k];
        EXPECT_LE(std::hypot(d.x, d.y), 3.0) << k;
    }
    EXPECT_EQ(card.regionOfInterest & region, card.regionOfInterest);
    // The support of the whole photo: card ground inside the region only.
    ASSERT_EQ(card.supportMask.size(), rendered.photo.size());
    cv::Mat outside(rendered.photo.size(), CV_8UC1, cv::Scalar(255));
    outside(region).setTo(0);
    EXPECT_EQ(cv::countNonZero((card.supportMask == 0) & outside), 0);
    EXPECT_GT(cv::countNonZero(card.supportMask == 0), 0);
    // A card held at an angle needs its frame, which lies over the card.
    EXPECT_FALSE(card.nominal);
    ASSERT_NE(card.rectification, nullptr);
    ASSERT_TRUE(card.rectification->valid());
    const cv::Rect frameRoi = card.rectification->regionOfInterest();
    const cv::Point2d centre = card.rectification->toPhoto(
        cv::Point2d(frameRoi.x + 0.5 * frameRoi.width, frameRoi.y + 0.5 * frameRoi.height));
    EXPECT_GT(cv::pointPolygonTest(truth, cv::Point2f(centre), false), 0.0) << centre;
}

TEST(CardLocationStage, FailsWithTheCodeAndTheLocatorsReason) {
    const EChart chart = EChart::eCCTPrint;
    const DataLayer::CParameterSetColorCalibrationTarget parameters(chart);
    const cv::Mat sheet = blankSheetScene(chart, false);
    DataLayer::CardLocationInput input{sheet, parameters, false, std::nullopt};
    const DataLayer::CardLocationResult none = DataLayer::locateCard(input);
    EXPECT_EQ(none.failure.code, DataLayer::CalibrationFailure::eNoCardFound);
    const ChartCardLocation direct = locate(chart, sheet);
    EXPECT_NE(Base::WideToNarrow(none.failure.message).find(direct.reason), std::string::npos)
        << Base::WideToNarrow(none.failure.message);
    EXPECT_FALSE(none.found);
    EXPECT_EQ(none.rectification, nullptr);
    ASSERT_FALSE(none.rejected.empty());
    // Searched in a region, the sheet turned down is reported where it lies
    // in the photo.
    input.region = cv::Rect(200, 100, 1200, 1000);
    const DataLayer::CardLocationResult inRegion = DataLayer::locateCard(input);
    EXPECT_EQ(inRegion.failure.code, DataLayer::CalibrationFailure::eNoCardFound);
    ASSERT_FALSE(inRegion.rejected.empty());
    for (std::size_t k = 0; k < 4; ++k) {
        const cv::Point2d d =
            inRegion.rejected.front().corners[k] - none.rejected.front().corners[k];
        EXPECT_LE(std::hypot(d.x, d.y), 1.5) << k;
    }
    // A region that is empty or reaches beyond the photo: refused before any search.
    for (const cv::Rect& bad :
         {cv::Rect(-1, 0, 400, 400), cv::Rect(1400, 1000, 201, 100), cv::Rect(10, 10, 0, 50)}) {
        input.region = bad;
        const DataLayer::CardLocationResult refused = DataLayer::locateCard(input);
        EXPECT_EQ(refused.failure.code, DataLayer::CalibrationFailure::eCardRegionOutsidePhoto)
            << bad;
        EXPECT_NE(Base::WideToNarrow(refused.failure.message).find("1600 x 1200"),
                  std::string::npos);
    }
}

TEST(CChartCardLocator, KeepsTheBrightRegionsOutlineForANominalCard) {
    // A card at its nominal scale facing the camera: calibrated on the photo
    // as it is, with exactly the outline and support the bright-region
    // search measures.
    const EChart chart = EChart::eQCCPrint;
    const ChartSynth::RenderedChart rendered =
        ChartSynth::renderChart(sceneAt(chart, 4, 1600, 1200, true));
    const ChartCardLocation location = locate(chart, rendered.photo8u);
    ASSERT_TRUE(location.found);
    EXPECT_TRUE(location.nominal);
    EXPECT_NEAR(location.scale, 1.0, 0.01);
    const DataLayer::CParameterSetColorCalibrationTarget parameters(chart);
    const DataLayer::CardLocation::ChartGeometry geometry{
        parameters.GetSegmentSideLength(), parameters.GetGridLength(), parameters.GetGridRows(),
        parameters.GetGridColumns(), false};
    const ChartCardLocation bright =
        DataLayer::CardLocation::searchBrightCard(rendered.photo8u, geometry);
    ASSERT_TRUE(bright.found);
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(location.corners[k], bright.corners[k]);
    EXPECT_EQ(location.regionOfInterest, bright.regionOfInterest);
    EXPECT_EQ(cv::norm(location.supportMask, bright.supportMask, cv::NORM_INF), 0.0);
}

TEST(CChartCardLocator, FindsACardOnADeskOfItsOwnWhiteAndFreesOnlyTheCard) {
    // A white card on a desk of exactly its white: no edge to measure. The
    // card is its grid plus the smallest margin, and the support holds none
    // of the desk that merely looks like card ground.
    ChartSynth::RenderOptions options =
        handheld(EChart::eCCTPrint, 0.9, 20.0, -6.0, {1600, 1200}, 6);
    options.surroundLevel = options.whiteLevel;
    options.surroundTexture = 0.0f;
    options.clutterCount = 0;
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    const ChartCardLocation location = locate(EChart::eCCTPrint, rendered.photo8u);
    expectGridOnPatches(EChart::eCCTPrint, location, rendered);
    const cv::Mat free = location.supportMask == 0;
    cv::Mat ground;
    cv::bitwise_and(rendered.cardMask, ~rendered.patchMask, ground);
    EXPECT_EQ(cv::countNonZero(free & ~rendered.cardMask), 0) << "support on the desk";
    EXPECT_GT(cv::countNonZero(free & ground), 0.4 * cv::countNonZero(ground));
}

/// A light photo holding a regular pattern of squares of the chart's patch
/// side and pitch: `rows` x `cols` of them, coloured by `colourOf(r, c)`, on a
/// white sheet.
cv::Mat patternPhoto(EChart chart, int rows, int cols,
                     const std::function<cv::Scalar(int, int)>& colourOf) {
    const double pitch = ChartSynth::chartPitch(chart);
    const int side = static_cast<int>(ChartSynth::chartSideLength(chart));
    cv::Mat photo(1200, 1600, CV_8UC3, cv::Scalar(70, 75, 72));
    const cv::Point origin(300, 200);
    cv::rectangle(photo,
                  cv::Rect(origin - cv::Point(side, side),
                           cv::Size(static_cast<int>((cols - 1) * pitch) + 3 * side,
                                    static_cast<int>((rows - 1) * pitch) + 3 * side)),
                  cv::Scalar(228, 230, 229), cv::FILLED);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const cv::Point p =
                origin + cv::Point(static_cast<int>(c * pitch), static_cast<int>(r * pitch));
            cv::rectangle(photo, cv::Rect(p, cv::Size(side, side)), colourOf(r, c), cv::FILLED);
        }
    }
    cv::GaussianBlur(photo, photo, cv::Size(), 1.0);
    return photo;
}

TEST(CChartCardLocator, NeverTakesChessboardsPrintedGridsOrWindows) {
    const EChart chart = EChart::eCCTPrint;
    const auto dark = [](int, int) { return cv::Scalar(40, 42, 45); };
    const auto twoTone = [](int r, int c) {
        return (r + c) % 2 == 0 ? cv::Scalar(40, 60, 170) : cv::Scalar(170, 90, 40);
    };
    const auto many = [](int r, int c) {
        return cv::Scalar(40 + 23 * ((r * 7 + c) % 8), 40 + 31 * ((r * 3 + c) % 6),
                          40 + 19 * ((r + 5 * c) % 9));
    };
    // The chart's very grid of equal squares (windows of a facade, a printed
    // grid), two colours alternating, and a larger grid of many colours.
    const cv::Mat photos[] = {patternPhoto(chart, 4, 5, dark), patternPhoto(chart, 5, 4, dark),
                              patternPhoto(chart, 4, 5, twoTone), patternPhoto(chart, 7, 8, many)};
    for (std::size_t k = 0; k < std::size(photos); ++k) {
        SCOPED_TRACE(k);
        EXPECT_FALSE(locate(chart, photos[k]).found);
    }
    // A chessboard of the patch side, and one with a white border.
    for (int border : {0, 1}) {
        const int side = static_cast<int>(ChartSynth::chartSideLength(chart));
        cv::Mat board(1200, 1600, CV_8UC3, cv::Scalar(90, 95, 92));
        const cv::Point origin(400, 250);
        if (border != 0) {
            cv::rectangle(board,
                          cv::Rect(origin - cv::Point(side, side), cv::Size(10 * side, 9 * side)),
                          cv::Scalar(235, 235, 235), cv::FILLED);
        }
        for (int r = 0; r < 7; ++r) {
            for (int c = 0; c < 8; ++c) {
                cv::rectangle(
                    board, cv::Rect(origin + cv::Point(c * side, r * side), cv::Size(side, side)),
                    (r + c) % 2 == 0 ? cv::Scalar(25, 25, 25) : cv::Scalar(235, 235, 235),
                    cv::FILLED);
            }
        }
        cv::GaussianBlur(board, board, cv::Size(), 1.0);
        for (const EChart any : kAllCharts) {
            SCOPED_TRACE(static_cast<int>(any));
            EXPECT_FALSE(locate(any, board).found);
        }
    }
}

}  // namespace
