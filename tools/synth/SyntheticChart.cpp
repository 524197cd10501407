#include "SyntheticChart.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#if defined(COLORCAL_HAVE_IMGCODECS)
#include <opencv2/imgcodecs.hpp>
#endif
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/ChartConstants.h"
#include "DataLayer/ShadeAnalysis/ColorScience.h"

namespace ChartSynth {

namespace {

using DataLayer::Color::Lab;
using DataLayer::Color::labToSrgb;
using DataLayer::Color::srgbDecode;

constexpr double kPi = 3.14159265358979323846;
constexpr int kPatches = DataLayer::kChartPatchCount;
constexpr int kMaxPhotoSide = 16384;
/// The surround texture varies on these scales (pixels): a coarse one and,
/// for a rougher surround, a fine one.
constexpr int kTextureCell = 24;
constexpr int kFineTextureCell = 6;

bool isKnownChart(EChart chart) {
    const int value = static_cast<int>(chart);
    return value >= 0 && value <= 4;
}

void requireKnownChart(EChart chart) {
    if (!isKnownChart(chart)) {
        throw std::invalid_argument("renderChart(): unknown chart type " +
                                    std::to_string(static_cast<int>(chart)));
    }
}

/// Where the chart lies in the photo and what each grid cell holds.
struct Layout {
    int rows = 0;
    int cols = 0;
    double side = 0.0;
    double pitch = 0.0;
    double halfCardW = 0.0;  ///< card half extents in chart coordinates
    double halfCardH = 0.0;
    double cosA = 1.0;  ///< rotation
    double sinA = 0.0;
    double cx = 0.0;  ///< chart centre in pixel-index coordinates
    double cy = 0.0;
    /// Half extents of the card's bounding box in the image around (cx, cy)
    /// (the larger side's for a projected card, whose box is not centred).
    double extentX = 0.0;
    double extentY = 0.0;
    /// The card's bounding box in the image.
    double boxLeft = 0.0;
    double boxTop = 0.0;
    double boxRight = 0.0;
    double boxBottom = 0.0;
    /// Projection: `toImageH` maps chart coordinates to the image, `toCardH`
    /// back (its third component positive in front of the camera).
    bool projected = false;
    cv::Matx33d toImageH = cv::Matx33d::eye();
    cv::Matx33d toCardH = cv::Matx33d::eye();
    /// Image pixels per chart unit at the card's centre.
    double scale = 1.0;
    /// In-plane turn of the card's u axis, degrees counter-clockwise in the image.
    double turnDeg = 0.0;

    /// Chart coordinates (u right, v down on the upright chart) of image point (x, y).
    void toChart(double x, double y, double& u, double& v) const {
        if (projected) {
            const double w = toCardH(2, 0) * x + toCardH(2, 1) * y + toCardH(2, 2);
            if (!(w > 0.0)) {  // beyond the card plane's horizon
                u = std::numeric_limits<double>::infinity();
                v = u;
                return;
            }
            u = (toCardH(0, 0) * x + toCardH(0, 1) * y + toCardH(0, 2)) / w;
            v = (toCardH(1, 0) * x + toCardH(1, 1) * y + toCardH(1, 2)) / w;
            return;
        }
        const double dx = x - cx;
        const double dy = y - cy;
        u = dx * cosA - dy * sinA;
        v = dx * sinA + dy * cosA;
    }

    /// Image point of chart coordinates (u, v).
    cv::Point2d toImage(double u, double v) const {
        if (projected) {
            const double w = toImageH(2, 0) * u + toImageH(2, 1) * v + toImageH(2, 2);
            return {(toImageH(0, 0) * u + toImageH(0, 1) * v + toImageH(0, 2)) / w,
                    (toImageH(1, 0) * u + toImageH(1, 1) * v + toImageH(1, 2)) / w};
        }
        return {cx + u * cosA + v * sinA, cy - u * sinA + v * cosA};
    }

    /// Patch pitch and side in image pixels at the card's centre.
    double imagePitch() const { return pitch * scale; }
    double imageSide() const { return side * scale; }

    /// Grid cell index (row * cols + col) of the patch containing (u, v), -1 for
    /// the card's white ground, -2 outside the card.
    int classify(double u, double v) const {
        if (std::fabs(u) > halfCardW || std::fabs(v) > halfCardH) {
            return -2;
        }
        const double cu = u / pitch + 0.5 * (cols - 1);
        const double cv_ = v / pitch + 0.5 * (rows - 1);
        const double col = std::floor(cu + 0.5);
        const double row = std::floor(cv_ + 0.5);
        if (col < 0 || col >= cols || row < 0 || row >= rows) {
            return -1;
        }
        const double halfSideInPitches = 0.5 * side / pitch;
        if (std::fabs(cu - col) > halfSideInPitches || std::fabs(cv_ - row) > halfSideInPitches) {
            return -1;
        }
        return static_cast<int>(row) * cols + static_cast<int>(col);
    }

    /// Half of the card's diagonal in image pixels.
    double halfDiagonal() const { return std::hypot(halfCardW, halfCardH) * scale; }

    /// The card's bounding box grown by `gap` on every side.
    cv::Rect2d grownBox(double gap) const {
        if (projected) {
            return {boxLeft - gap, boxTop - gap, boxRight - boxLeft + 2.0 * gap,
                    boxBottom - boxTop + 2.0 * gap};
        }
        return {cx - extentX - gap, cy - extentY - gap, 2.0 * (extentX + gap),
                2.0 * (extentY + gap)};
    }
};

/// Colour of a sample point: a patch, the white ground or the surround.
struct Palette {
    std::array<cv::Vec3f, kPatches> patch;
    cv::Vec3f white;
};

/// Checks the projection, the light surroundings and the grid distractors.
void validateAdditions(const RenderOptions& o) {
    std::vector<double> finite = {o.focalLength, o.cardPaperLevel, o.brightWallLevel};
    finite.insert(finite.end(), o.surroundTint.begin(), o.surroundTint.end());
    finite.insert(finite.end(), o.cardPaperTint.begin(), o.cardPaperTint.end());
    if (o.cardToImage) {
        finite.insert(finite.end(), o.cardToImage->val, o.cardToImage->val + 9);
    }
    for (double value : finite) {
        if (!std::isfinite(value)) {
            throw std::invalid_argument("renderChart(): non-finite projection or surround");
        }
    }
    if (o.cardToImage && (o.photoWidth == 0 || o.photoHeight == 0)) {
        throw std::invalid_argument("renderChart(): a projected card needs the photo size");
    }
    const auto inRange = [](double value, double hi) { return value >= 0.0 && value <= hi; };
    const bool tintsOk = std::all_of(o.surroundTint.begin(), o.surroundTint.end(),
                                     [&](double t) { return inRange(t, 4.0); }) &&
                         std::all_of(o.cardPaperTint.begin(), o.cardPaperTint.end(),
                                     [&](double t) { return inRange(t, 4.0); });
    const int paper = static_cast<int>(o.cardPaper);
    const bool gridsOk =
        o.gridDistractors.size() <= 16 &&
        std::all_of(o.gridDistractors.begin(), o.gridDistractors.end(), [](GridDistractor d) {
            const int kind = static_cast<int>(d);
            return kind >= 0 && kind <= 5;
        });
    if (!tintsOk || !gridsOk || paper < 0 || paper > 2 || o.focalLength < 0.0 ||
        !inRange(o.cardPaperLevel, 2.0) || !inRange(o.brightWallLevel, 2.0)) {
        throw std::invalid_argument("renderChart(): surround parameter out of range");
    }
}

void validate(const RenderOptions& o) {
    requireKnownChart(o.chart);
    if (o.photoWidth < 0 || o.photoWidth > kMaxPhotoSide || o.photoHeight < 0 ||
        o.photoHeight > kMaxPhotoSide) {
        throw std::invalid_argument("renderChart(): photo size outside 0.." +
                                    std::to_string(kMaxPhotoSide));
    }
    if (o.supersample < 1 || o.supersample > 16) {
        throw std::invalid_argument("renderChart(): supersample outside 1..16");
    }
    if (o.encoding != Encoding::eLinear && o.encoding != Encoding::eSrgb) {
        throw std::invalid_argument("renderChart(): the encoding must be linear or sRGB");
    }
    const double finiteChecks[] = {o.cardMargin,
                                   o.rotationDeg,
                                   o.offsetX,
                                   o.offsetY,
                                   o.falloff,
                                   o.gradientShare,
                                   o.gradientAngleDeg,
                                   o.blurSigma,
                                   o.noiseSigma,
                                   static_cast<double>(o.whiteLevel),
                                   o.hotSpotGain,
                                   o.hotSpotX,
                                   o.hotSpotY,
                                   o.hotSpotHeight,
                                   o.channelShading[0],
                                   o.channelShading[1],
                                   o.channelShading[2],
                                   o.exposureTarget,
                                   o.shotNoise,
                                   o.readNoise,
                                   static_cast<double>(o.surroundLevel),
                                   static_cast<double>(o.surroundTexture)};
    for (double value : finiteChecks) {
        if (!std::isfinite(value)) {
            throw std::invalid_argument("renderChart(): non-finite parameter");
        }
    }
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) {
            if (!std::isfinite(o.cameraTransform(r, c))) {
                throw std::invalid_argument("renderChart(): non-finite camera transform");
            }
        }
    }
    for (const Rgb& rgb : o.referenceRgb) {
        for (float value : rgb) {
            if (!std::isfinite(value)) {
                throw std::invalid_argument("renderChart(): non-finite reference colour");
            }
        }
    }
    if (o.cardMargin < 0.0 || o.cardMargin > 10.0 || std::fabs(o.offsetX) > kMaxPhotoSide ||
        std::fabs(o.offsetY) > kMaxPhotoSide || o.blurSigma < 0.0 || o.blurSigma > 100.0 ||
        o.noiseSigma < 0.0 || o.hotSpotGain < 0.0 || !(o.hotSpotHeight > 0.0) ||
        o.exposureTarget < 0.0 || o.exposureTarget > 255.0 || o.shotNoise < 0.0 ||
        o.readNoise < 0.0 || o.jpegQuality < 0 || o.jpegQuality > 100 || o.clutterCount < 0 ||
        o.clutterCount > 1000 || o.regionMargin < 0 || o.regionMargin > kMaxPhotoSide ||
        o.surroundLevel < 0.0f || o.surroundTexture < 0.0f) {
        throw std::invalid_argument("renderChart(): parameter out of range");
    }
    validateAdditions(o);
}

/// Sets the projection of `g` from `cardToImage`; throws when it is not usable.
void projectLayout(const cv::Matx33d& cardToImage, Layout& g) {
    cv::Matx33d h = cardToImage;
    if (h(2, 2) < 0.0) {
        h = -h;  // the same projection, with positive depth at the card's centre
    }
    const double corners[4][2] = {{-g.halfCardW, -g.halfCardH},
                                  {g.halfCardW, -g.halfCardH},
                                  {g.halfCardW, g.halfCardH},
                                  {-g.halfCardW, g.halfCardH}};
    const double det = cv::determinant(h);
    if (!(h(2, 2) > 0.0) || !std::isfinite(det) || std::fabs(det) < 1e-12) {
        throw std::invalid_argument("renderChart(): cardToImage is singular");
    }
    for (const auto& c : corners) {
        if (!(h(2, 0) * c[0] + h(2, 1) * c[1] + h(2, 2) > 0.0)) {
            throw std::invalid_argument("renderChart(): a card corner lies behind the camera");
        }
    }
    g.projected = true;
    g.toImageH = h;
    g.toCardH = h.inv();
    const cv::Point2d centre = g.toImage(0.0, 0.0);
    const cv::Vec3d back = g.toCardH * cv::Vec3d(centre.x, centre.y, 1.0);
    if (back[2] < 0.0) {
        g.toCardH = -g.toCardH;
    }
    g.cx = centre.x;
    g.cy = centre.y;
    g.boxLeft = g.boxTop = std::numeric_limits<double>::infinity();
    g.boxRight = g.boxBottom = -std::numeric_limits<double>::infinity();
    for (const auto& c : corners) {
        const cv::Point2d p = g.toImage(c[0], c[1]);
        g.boxLeft = std::min(g.boxLeft, p.x);
        g.boxRight = std::max(g.boxRight, p.x);
        g.boxTop = std::min(g.boxTop, p.y);
        g.boxBottom = std::max(g.boxBottom, p.y);
    }
    g.extentX = std::max(g.cx - g.boxLeft, g.boxRight - g.cx);
    g.extentY = std::max(g.cy - g.boxTop, g.boxBottom - g.cy);
    // Jacobian of the projection at the card's centre: d(x, y) / d(u, v).
    const double w = h(2, 2);
    const double j00 = (h(0, 0) * w - h(0, 2) * h(2, 0)) / (w * w);
    const double j01 = (h(0, 1) * w - h(0, 2) * h(2, 1)) / (w * w);
    const double j10 = (h(1, 0) * w - h(1, 2) * h(2, 0)) / (w * w);
    const double j11 = (h(1, 1) * w - h(1, 2) * h(2, 1)) / (w * w);
    g.scale = std::sqrt(std::fabs(j00 * j11 - j01 * j10));
    if (!std::isfinite(g.scale) || g.scale < 1e-6 || !std::isfinite(g.extentX) ||
        !std::isfinite(g.extentY) || g.extentX > 4.0 * kMaxPhotoSide ||
        g.extentY > 4.0 * kMaxPhotoSide) {
        throw std::invalid_argument("renderChart(): cardToImage projects the card degenerately");
    }
    g.turnDeg = std::atan2(-j10, j00) * 180.0 / kPi;
    g.cosA = std::cos(g.turnDeg * kPi / 180.0);
    g.sinA = std::sin(g.turnDeg * kPi / 180.0);
}

Layout makeLayout(const RenderOptions& o, int& width, int& height) {
    Layout g;
    g.rows = o.transposedLayout ? chartCols(o.chart) : chartRows(o.chart);
    g.cols = o.transposedLayout ? chartRows(o.chart) : chartCols(o.chart);
    g.side = chartSideLength(o.chart);
    g.pitch = chartPitch(o.chart);
    g.halfCardW = 0.5 * (g.cols - 1) * g.pitch + 0.5 * g.side + o.cardMargin * g.pitch;
    g.halfCardH = 0.5 * (g.rows - 1) * g.pitch + 0.5 * g.side + o.cardMargin * g.pitch;
    if (o.cardToImage) {
        width = o.photoWidth;
        height = o.photoHeight;
        projectLayout(*o.cardToImage, g);
        return g;
    }
    const double angle = o.rotationDeg * kPi / 180.0;
    g.cosA = std::cos(angle);
    g.sinA = std::sin(angle);
    g.extentX = g.halfCardW * std::fabs(g.cosA) + g.halfCardH * std::fabs(g.sinA);
    g.extentY = g.halfCardW * std::fabs(g.sinA) + g.halfCardH * std::fabs(g.cosA);
    constexpr int kDefaultMargin = 60;
    width = o.photoWidth > 0
                ? o.photoWidth
                : static_cast<int>(std::ceil(2.0 * g.extentX)) + 1 + 2 * kDefaultMargin;
    height = o.photoHeight > 0
                 ? o.photoHeight
                 : static_cast<int>(std::ceil(2.0 * g.extentY)) + 1 + 2 * kDefaultMargin;
    g.cx = 0.5 * (width - 1) + o.offsetX;
    g.cy = 0.5 * (height - 1) + o.offsetY;
    g.boxLeft = g.cx - g.extentX;
    g.boxTop = g.cy - g.extentY;
    g.boxRight = g.cx + g.extentX;
    g.boxBottom = g.cy + g.extentY;
    g.turnDeg = o.rotationDeg;
    return g;
}

/// Pixels whose area touches the card's bounding box, clipped to the photo.
cv::Rect cardBox(const Layout& g, int width, int height) {
    const double left = std::floor(g.boxLeft + 0.5);
    const double top = std::floor(g.boxTop + 0.5);
    const double right = std::floor(g.boxRight + 0.5) + 1.0;
    const double bottom = std::floor(g.boxBottom + 0.5) + 1.0;
    const int x0 = static_cast<int>(std::clamp(left, 0.0, static_cast<double>(width)));
    const int y0 = static_cast<int>(std::clamp(top, 0.0, static_cast<double>(height)));
    const int x1 = static_cast<int>(std::clamp(right, 0.0, static_cast<double>(width)));
    const int y1 = static_cast<int>(std::clamp(bottom, 0.0, static_cast<double>(height)));
    return {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
}

/// A rotated rectangle of `size` placed from `rng` inside the photo and at
/// least one grid step away from the card's bounding box; false when 40
/// draws find no such place.
bool placeAwayFromCard(const Layout& g, cv::Size photo, cv::Size2f size, cv::RNG& rng,
                       cv::RotatedRect& placed) {
    const cv::Rect2d card = g.grownBox(g.imagePitch());
    for (int attempt = 0; attempt < 40; ++attempt) {
        const cv::RotatedRect box(
            cv::Point2f(static_cast<float>(rng.uniform(0.0, static_cast<double>(photo.width))),
                        static_cast<float>(rng.uniform(0.0, static_cast<double>(photo.height)))),
            size, static_cast<float>(rng.uniform(-20.0, 20.0)));
        const cv::Rect2f bounds = box.boundingRect2f();
        const bool insidePhoto = bounds.x >= 0.0f && bounds.y >= 0.0f &&
                                 bounds.x + bounds.width <= static_cast<float>(photo.width) &&
                                 bounds.y + bounds.height <= static_cast<float>(photo.height);
        if (insidePhoto && (cv::Rect2d(bounds) & card).area() <= 0.0) {
            placed = box;
            return true;
        }
    }
    return false;
}

void fillRotatedRect(cv::Mat& image, const cv::RotatedRect& box, const cv::Scalar& colour) {
    cv::Point2f corners[4];
    box.points(corners);
    std::vector<cv::Point> polygon;
    for (const cv::Point2f& c : corners) polygon.emplace_back(cv::Point(c));
    cv::fillConvexPoly(image, polygon, colour, cv::LINE_AA);
}

/// The paper sheet, the white wall and the bright object of `o`, drawn into
/// the surround (linear light, before the illumination).
void addDistractors(const RenderOptions& o, const Layout& g, cv::RNG& rng, cv::Mat& surround) {
    const cv::Size photo = surround.size();
    const double white = o.whiteLevel;
    if (o.whiteWall) {
        // A band along the photo's side farthest from the card, ending a grid
        // step before the card's box.
        const double gap = g.imagePitch();
        const double gaps[4] = {g.boxLeft - gap, photo.width - (g.boxRight + gap), g.boxTop - gap,
                                photo.height - (g.boxBottom + gap)};
        const int side = static_cast<int>(std::max_element(gaps, gaps + 4) - gaps);
        const double depth = std::min(gaps[side], 0.4 * (side < 2 ? photo.width : photo.height));
        if (depth > 20.0) {
            const int d = static_cast<int>(depth);
            const cv::Rect band = side == 0   ? cv::Rect(0, 0, d, photo.height)
                                  : side == 1 ? cv::Rect(photo.width - d, 0, d, photo.height)
                                  : side == 2 ? cv::Rect(0, 0, photo.width, d)
                                              : cv::Rect(0, photo.height - d, photo.width, d);
            const double level = white * rng.uniform(0.8, 1.0);
            surround(band).setTo(cv::Scalar(level, level * rng.uniform(0.97, 1.03), level));
        }
    }
    const double cardW = 2.0 * g.halfCardW * g.scale;
    const double cardH = 2.0 * g.halfCardH * g.scale;
    if (o.paperSheet) {
        const double scale = rng.uniform(0.8, 1.4);
        cv::RotatedRect box;
        if (placeAwayFromCard(
                g, photo,
                cv::Size2f(static_cast<float>(cardW * scale), static_cast<float>(cardH * scale)),
                rng, box)) {
            const double level = white * rng.uniform(0.85, 1.0);
            fillRotatedRect(surround, box,
                            cv::Scalar(level, level, level * rng.uniform(0.97, 1.03)));
        }
    }
    if (o.brightObject) {
        cv::RotatedRect box;
        if (placeAwayFromCard(g, photo,
                              cv::Size2f(static_cast<float>(cardW * rng.uniform(0.4, 1.0)),
                                         static_cast<float>(cardH * rng.uniform(0.4, 1.0))),
                              rng, box)) {
            // Pale and slightly tinted: a box, a cup, a book's pages.
            const cv::Scalar colour(white * rng.uniform(0.6, 0.95), white * rng.uniform(0.6, 0.95),
                                    white * rng.uniform(0.6, 0.95));
            if (rng.uniform(0, 2) == 0) {
                cv::ellipse(surround, box, colour, -1, cv::LINE_AA);
            } else {
                fillRotatedRect(surround, box, colour);
            }
        }
    }
}

/// CV_8UC1, photo size: 255 under the hand of `o` (empty when it has none).
/// The fingers reach from outside across one edge of the card into its margin.
cv::Mat handMask(const RenderOptions& o, const Layout& g, int width, int height) {
    if (!o.hand) {
        return {};
    }
    cv::RNG rng(o.seed ^ 0x4a4e44ULL);
    cv::Mat mask = cv::Mat::zeros(height, width, CV_8U);
    const int edge = rng.uniform(0, 4);
    // Edge frame in chart coordinates: `along` runs along the edge, `out` points away from the
    // card.
    const bool horizontal = edge < 2;
    const double half = horizontal ? g.halfCardW : g.halfCardH;
    const double outward = horizontal ? g.halfCardH : g.halfCardW;
    const double sign = edge % 2 == 0 ? -1.0 : 1.0;
    const double margin = o.cardMargin * g.pitch;
    const double at = half * rng.uniform(-0.5, 0.5);
    auto toImage = [&](double along, double out) {
        const double u = horizontal ? along : sign * (outward + out);
        const double v = horizontal ? sign * (outward + out) : along;
        return cv::Point2f(g.toImage(u, v));
    };
    const double angleDeg =
        std::atan2(g.toImage(horizontal ? 0 : sign, horizontal ? sign : 0).y - g.cy,
                   g.toImage(horizontal ? 0 : sign, horizontal ? sign : 0).x - g.cx) *
        180.0 / kPi;
    const double fingerLength = 1.6 * g.side;
    const double fingerWidth = 0.4 * g.side;
    for (int finger = 0; finger < 4; ++finger) {
        const double depth = margin * rng.uniform(0.3, 0.75);
        const double along = at + (finger - 1.5) * 0.5 * g.side;
        const cv::Point2f centre = toImage(along, -depth + 0.5 * fingerLength);
        cv::ellipse(mask,
                    cv::RotatedRect(centre,
                                    cv::Size2f(static_cast<float>(fingerLength * g.scale),
                                               static_cast<float>(fingerWidth * g.scale)),
                                    static_cast<float>(angleDeg)),
                    cv::Scalar(255), -1, cv::LINE_8);
    }
    const double palmLength = 2.4 * g.side;
    const cv::Point2f palm = toImage(at, 0.8 * fingerLength + 0.5 * palmLength - 0.2 * margin);
    cv::ellipse(mask,
                cv::RotatedRect(palm,
                                cv::Size2f(static_cast<float>(palmLength * g.scale),
                                           static_cast<float>(2.2 * g.side * g.scale)),
                                static_cast<float>(angleDeg)),
                cv::Scalar(255), -1, cv::LINE_8);
    return mask;
}

/// Fills the convex polygon `corners` (image coordinates, sub-pixel) with
/// `colour`, anti-aliased.
void fillPolygon(cv::Mat& image, const std::vector<cv::Point2d>& corners,
                 const cv::Scalar& colour) {
    constexpr int kShift = 4;
    std::vector<cv::Point> polygon;
    for (const cv::Point2d& c : corners) {
        polygon.emplace_back(static_cast<int>(std::lround(c.x * (1 << kShift))),
                             static_cast<int>(std::lround(c.y * (1 << kShift))));
    }
    cv::fillConvexPoly(image, polygon, colour, cv::LINE_AA, kShift);
}

/// A bright, smooth wall above a nearly horizontal line: above the card when
/// there is room, otherwise through the card's upper half (behind it).
void drawBrightWall(const RenderOptions& o, const Layout& g, cv::Mat& surround) {
    cv::RNG rng(o.seed ^ 0x77a11ULL);
    const int width = surround.cols;
    const int height = surround.rows;
    const double slope = std::tan(rng.uniform(-4.0, 4.0) * kPi / 180.0);
    const double sag = std::fabs(slope) * 0.5 * width;
    const double roomTop = g.boxTop - g.imagePitch() - sag;
    const double lineAtCentre = roomTop > 0.12 * height
                                    ? rng.uniform(0.08 * height, roomTop)
                                    : rng.uniform(std::max(0.0, g.boxTop), std::max(1.0, g.cy));
    const double level = o.brightWallLevel * o.whiteLevel;
    const cv::Vec3f tint(static_cast<float>(rng.uniform(0.98, 1.02)), 1.0f,
                         static_cast<float>(rng.uniform(0.98, 1.02)));
    const double gradient = rng.uniform(-0.04, 0.04);  // brighter or darker towards the ceiling
    tbb::parallel_for(
        tbb::blocked_range<int>(0, height, 16), [&](const tbb::blocked_range<int>& r) {
            for (int y = r.begin(); y != r.end(); ++y) {
                auto* row = surround.ptr<cv::Vec3f>(y);
                const float value = static_cast<float>(
                    level * (1.0 + gradient * (lineAtCentre - y) / std::max(1.0, lineAtCentre)));
                for (int x = 0; x < width; ++x) {
                    const double line = lineAtCentre + slope * (x - 0.5 * width);
                    const float cover = static_cast<float>(std::clamp(line - y + 0.5, 0.0, 1.0));
                    if (cover > 0.0f) {
                        row[x] = row[x] * (1.0f - cover) + tint * (value * cover);
                    }
                }
            }
        });
}

/// A sheet of white paper in the card's plane, under the card (one or two of
/// the card's edges on the sheet) or beside it (touching one edge).
void drawCardPaper(const RenderOptions& o, const Layout& g, cv::Mat& surround) {
    cv::RNG rng(o.seed ^ 0x9a9e5ULL);
    const double hw = g.halfCardW;
    const double hh = g.halfCardH;
    double sheetW = 0.0;
    double sheetH = 0.0;
    double centreU = 0.0;
    double centreV = 0.0;
    double angle = 0.0;
    if (o.cardPaper == CardPaper::eUnder) {
        sheetW = hw * rng.uniform(1.15, 1.7);
        sheetH = hh * rng.uniform(1.15, 1.7);
        // The sheet's edge crosses the card: the card hangs over it by 20-80 %
        // of its half width (and, on every other sheet, of its half height).
        const double signU = rng.uniform(0, 2) == 0 ? -1.0 : 1.0;
        centreU = signU * (hw * rng.uniform(0.2, 0.8) - sheetW);
        const bool twoEdges = rng.uniform(0, 2) == 0;
        const double signV = rng.uniform(0, 2) == 0 ? -1.0 : 1.0;
        centreV =
            twoEdges ? signV * (hh * rng.uniform(0.2, 0.8) - sheetH) : hh * rng.uniform(-0.1, 0.1);
        angle = rng.uniform(-6.0, 6.0) * kPi / 180.0;
    } else {
        sheetW = hw * rng.uniform(0.8, 1.4);
        sheetH = hh * rng.uniform(0.8, 1.4);
        const int edge = rng.uniform(0, 4);
        const double slide = rng.uniform(-0.5, 0.5);
        if (edge < 2) {
            centreU = (edge == 0 ? -1.0 : 1.0) * (hw + sheetW);
            centreV = slide * hh;
        } else {
            centreU = slide * hw;
            centreV = (edge == 2 ? -1.0 : 1.0) * (hh + sheetH);
        }
    }
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    std::vector<cv::Point2d> corners;
    for (const auto& [du, dv] : {std::pair<double, double>{-sheetW, -sheetH},
                                 {sheetW, -sheetH},
                                 {sheetW, sheetH},
                                 {-sheetW, sheetH}}) {
        corners.push_back(g.toImage(centreU + du * c - dv * s, centreV + du * s + dv * c));
    }
    const double level = o.cardPaperLevel * o.whiteLevel;
    fillPolygon(surround, corners,
                cv::Scalar(level * o.cardPaperTint[0], level * o.cardPaperTint[1],
                           level * o.cardPaperTint[2]));
}

/// Linear colour of a random chart-like colour from `rng`, as reflectance times `white`.
cv::Scalar randomColour(cv::RNG& rng, double white) {
    const ChartSynth::Rgb rgb = randomReferenceColors(rng.next())[0];
    return cv::Scalar(srgbDecode(rgb[2]), srgbDecode(rgb[1]), srgbDecode(rgb[0])) *
           (0.95 * white / 255.0);
}

/// The flat picture of a grid distractor, CV_32FC3, linear light; `cell` is
/// its grid step in photo pixels.
cv::Mat gridPicture(GridDistractor kind, double cell, double white, cv::RNG& rng) {
    const double paper = white * rng.uniform(0.82, 0.95);
    const double ink = white * rng.uniform(0.02, 0.06);
    const cv::Scalar paperColour(paper, paper, paper * rng.uniform(0.97, 1.03));
    const cv::Scalar inkColour(ink, ink, ink);
    auto rect = [](cv::Mat& m, double x, double y, double w, double h, const cv::Scalar& c) {
        cv::rectangle(m,
                      cv::Rect(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)),
                               std::max(1, static_cast<int>(std::lround(w))),
                               std::max(1, static_cast<int>(std::lround(h)))),
                      c, cv::FILLED);
    };
    switch (kind) {
        case GridDistractor::eChessboard:
        case GridDistractor::eCalibrationBoard: {
            const int rows = rng.uniform(5, 9);
            const int cols = rng.uniform(6, 10);
            const int border = kind == GridDistractor::eCalibrationBoard ? 1 : 0;
            cv::Mat m(static_cast<int>((rows + 2 * border) * cell),
                      static_cast<int>((cols + 2 * border) * cell), CV_32FC3, paperColour);
            for (int r = 0; r < rows; ++r) {
                for (int c = 0; c < cols; ++c) {
                    if ((r + c) % 2 == 0) {
                        rect(m, (c + border) * cell, (r + border) * cell, cell, cell, inkColour);
                    }
                }
            }
            return m;
        }
        case GridDistractor::eTiles: {
            const int rows = rng.uniform(4, 9);
            const int cols = rng.uniform(4, 9);
            const bool pale = rng.uniform(0, 2) == 0;
            const cv::Scalar tile = pale ? cv::Scalar(paper * rng.uniform(0.95, 1.05), paper,
                                                      paper * rng.uniform(0.95, 1.05))
                                         : randomColour(rng, white);
            const double groutLevel = white * (rng.uniform(0, 2) == 0 ? 0.7 : 0.25);
            cv::Mat m(static_cast<int>(rows * cell), static_cast<int>(cols * cell), CV_32FC3,
                      cv::Scalar(groutLevel, groutLevel, groutLevel));
            const double grout = cell * rng.uniform(0.06, 0.12);
            for (int r = 0; r < rows; ++r) {
                for (int c = 0; c < cols; ++c) {
                    rect(m, c * cell + 0.5 * grout, r * cell + 0.5 * grout, cell - grout,
                         cell - grout, tile);
                }
            }
            return m;
        }
        case GridDistractor::eColourGrid: {
            // Never 4 x 5 or 5 x 4: a grid of the chart's shape on white would be a chart.
            constexpr int kShapes[][2] = {{3, 3}, {3, 6}, {4, 4}, {6, 6}, {4, 7}, {6, 8}, {2, 5}};
            const int pick = rng.uniform(0, 7);
            const int rows = kShapes[pick][0];
            const int cols = kShapes[pick][1];
            const double square = cell * rng.uniform(0.55, 0.8);
            cv::Mat m(static_cast<int>((rows + 1) * cell), static_cast<int>((cols + 1) * cell),
                      CV_32FC3, paperColour);
            for (int r = 0; r < rows; ++r) {
                for (int c = 0; c < cols; ++c) {
                    rect(m, (c + 1) * cell - 0.5 * square, (r + 1) * cell - 0.5 * square, square,
                         square, randomColour(rng, white));
                }
            }
            return m;
        }
        case GridDistractor::eSudoku: {
            const double border = 0.5 * cell;
            const int side = static_cast<int>(9 * cell + 2 * border);
            cv::Mat m(side, side, CV_32FC3, paperColour);
            for (int k = 0; k <= 9; ++k) {
                const double thickness = std::max(1.0, cell * (k % 3 == 0 ? 0.09 : 0.035));
                rect(m, border + k * cell - 0.5 * thickness, border, thickness, 9 * cell,
                     inkColour);
                rect(m, border, border + k * cell - 0.5 * thickness, 9 * cell, thickness,
                     inkColour);
            }
            for (int r = 0; r < 9; ++r) {
                for (int c = 0; c < 9; ++c) {
                    if (rng.uniform(0.0, 1.0) > 0.35) continue;
                    const std::string digit(1, static_cast<char>('1' + rng.uniform(0, 9)));
                    const double fontScale = cell / 40.0;
                    const int thickness = std::max(1, static_cast<int>(cell / 14.0));
                    cv::putText(m, digit,
                                cv::Point(static_cast<int>(border + (c + 0.28) * cell),
                                          static_cast<int>(border + (r + 0.8) * cell)),
                                cv::FONT_HERSHEY_SIMPLEX, fontScale, inkColour, thickness,
                                cv::LINE_8);
                }
            }
            return m;
        }
        case GridDistractor::eFacade: {
            const int rows = rng.uniform(3, 7);
            const int cols = rng.uniform(4, 9);
            const double cellW = cell * rng.uniform(0.8, 1.3);
            const double cellH = cell * rng.uniform(1.0, 1.6);
            const double wall = white * rng.uniform(0.6, 0.9);
            cv::Mat m(static_cast<int>(rows * cellH), static_cast<int>(cols * cellW), CV_32FC3,
                      cv::Scalar(wall * rng.uniform(0.9, 1.0), wall, wall * rng.uniform(1.0, 1.1)));
            const double windowW = cellW * rng.uniform(0.45, 0.7);
            const double windowH = cellH * rng.uniform(0.5, 0.8);
            const double glass = white * rng.uniform(0.04, 0.2);
            for (int r = 0; r < rows; ++r) {
                for (int c = 0; c < cols; ++c) {
                    rect(m, (c + 0.5) * cellW - 0.5 * windowW, (r + 0.5) * cellH - 0.5 * windowH,
                         windowW, windowH, cv::Scalar(glass, glass * 1.05, glass * 1.1));
                }
            }
            return m;
        }
    }
    return {};
}

/// Grid distractors at least one grid step away from the card, each warped
/// into a placed rectangle whose corners are pulled in by up to 8 % (a mild
/// perspective).
void drawGridDistractors(const RenderOptions& o, const Layout& g, cv::Mat& surround) {
    cv::RNG rng(o.seed ^ 0x6e1dULL);
    const cv::Rect photo(0, 0, surround.cols, surround.rows);
    for (GridDistractor kind : o.gridDistractors) {
        const double cell =
            g.imagePitch() *
            (kind == GridDistractor::eSudoku ? rng.uniform(0.3, 0.5) : rng.uniform(0.45, 1.0));
        const cv::Mat picture = gridPicture(kind, std::max(4.0, cell), o.whiteLevel, rng);
        cv::RotatedRect box;
        if (picture.empty() || !placeAwayFromCard(g, surround.size(),
                                                  cv::Size2f(static_cast<float>(picture.cols),
                                                             static_cast<float>(picture.rows)),
                                                  rng, box)) {
            continue;
        }
        cv::Point2f placed[4];
        box.points(placed);  // bottom left, top left, top right, bottom right
        const cv::Point2f centre = box.center;
        cv::Point2f quad[4];
        for (int k = 0; k < 4; ++k) {
            quad[k] = placed[k] + (centre - placed[k]) * static_cast<float>(rng.uniform(0.0, 0.08));
        }
        const float w = static_cast<float>(picture.cols);
        const float h = static_cast<float>(picture.rows);
        const cv::Point2f source[4] = {{0.0f, h}, {0.0f, 0.0f}, {w, 0.0f}, {w, h}};
        const cv::Rect roi = cv::boundingRect(std::vector<cv::Point2f>(quad, quad + 4)) & photo;
        if (roi.empty()) continue;
        cv::Matx33d warp(cv::getPerspectiveTransform(source, quad));
        warp = cv::Matx33d(1, 0, -roi.x, 0, 1, -roi.y, 0, 0, 1) * warp;
        cv::Mat warped;
        cv::Mat cover;
        cv::warpPerspective(picture, warped, warp, roi.size(), cv::INTER_LINEAR,
                            cv::BORDER_CONSTANT, cv::Scalar::all(0));
        cv::warpPerspective(cv::Mat(picture.size(), CV_32F, cv::Scalar(1.0f)), cover, warp,
                            roi.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
        cv::Mat target = surround(roi);
        for (int y = 0; y < roi.height; ++y) {
            auto* out = target.ptr<cv::Vec3f>(y);
            const auto* in = warped.ptr<cv::Vec3f>(y);
            const float* a = cover.ptr<float>(y);
            for (int x = 0; x < roi.width; ++x) {
                out[x] = out[x] * (1.0f - a[x]) + in[x];
            }
        }
    }
}

/// The surround: a neutral texture around `o.surroundLevel` (coarse, plus a
/// fine grain when `fine`), with `o.clutterCount` coloured objects lying around
/// the card; linear light, CV_32FC3. Deterministic in `o.seed`.
cv::Mat surroundImage(const RenderOptions& o, const Layout& g, int width, int height, bool fine) {
    cv::RNG rng(o.seed ^ 0x5eedf00dULL);
    const float amplitude = o.surroundTexture * o.surroundLevel;
    cv::Mat coarse(height / kTextureCell + 2, width / kTextureCell + 2, CV_32F);
    rng.fill(coarse, cv::RNG::UNIFORM, -amplitude, amplitude);
    cv::Mat texture;
    cv::resize(coarse, texture, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    texture += o.surroundLevel;
    if (fine) {
        cv::Mat grain(height / kFineTextureCell + 2, width / kFineTextureCell + 2, CV_32F);
        rng.fill(grain, cv::RNG::UNIFORM, -0.5f * amplitude, 0.5f * amplitude);
        cv::Mat grainFull;
        cv::resize(grain, grainFull, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
        texture += grainFull;
        cv::max(texture, 0.0f, texture);
    }
    cv::Mat surround;
    cv::merge(std::vector<cv::Mat>{texture, texture, texture}, surround);
    if (o.surroundTint != std::array<double, 3>{{1.0, 1.0, 1.0}}) {
        cv::multiply(surround, cv::Scalar(o.surroundTint[0], o.surroundTint[1], o.surroundTint[2]),
                     surround);
    }
    if (o.brightWallLevel > 0.0) {
        drawBrightWall(o, g, surround);
    }
    if (o.cardPaper != CardPaper::eNone) {
        drawCardPaper(o, g, surround);
    }
    // Objects of about patch size around the card, some of them close enough
    // to fall inside a region drawn generously around it.
    for (int i = 0; i < o.clutterCount; ++i) {
        const double angle = rng.uniform(0.0, 2.0 * kPi);
        const double distance = g.halfDiagonal() * rng.uniform(0.75, 1.6);
        const cv::Point2d centre(g.cx + distance * std::cos(angle),
                                 g.cy + distance * std::sin(angle));
        const cv::Size2f size(static_cast<float>(2.0 * g.imageSide() * rng.uniform(0.25, 1.1)),
                              static_cast<float>(2.0 * g.imageSide() * rng.uniform(0.25, 1.1)));
        const cv::Scalar colour(rng.uniform(5.0, 200.0), rng.uniform(5.0, 200.0),
                                rng.uniform(5.0, 200.0));
        const double tilt = rng.uniform(0.0, 180.0);
        if (rng.uniform(0, 2) == 0) {
            cv::ellipse(surround,
                        cv::RotatedRect(cv::Point2f(centre), size, static_cast<float>(tilt)),
                        colour, -1, cv::LINE_8);
        } else {
            const cv::RotatedRect box(cv::Point2f(centre), size, static_cast<float>(tilt));
            cv::Point2f corners[4];
            box.points(corners);
            std::vector<cv::Point> polygon;
            for (const cv::Point2f& c : corners) polygon.emplace_back(cv::Point(c));
            cv::fillConvexPoly(surround, polygon, colour, cv::LINE_8);
        }
    }
    addDistractors(o, g, rng, surround);
    if (!o.gridDistractors.empty()) {
        drawGridDistractors(o, g, surround);
    }
    return surround;
}

/// Relative illumination along one image row.
class IlluminationModel {
  public:
    IlluminationModel(const RenderOptions& o, const Layout& g)
        : m_falloff(o.falloff),
          m_share(std::clamp(o.gradientShare, 0.0, 1.0)),
          m_cx(g.cx),
          m_cy(g.cy),
          m_rmax2(std::max(1.0, g.extentX * g.extentX + g.extentY * g.extentY)) {
        const double angle = o.gradientAngleDeg * kPi / 180.0;
        m_dirX = std::cos(angle);
        m_dirY = std::sin(angle);
        m_dmax = std::max(1e-9, g.extentX * std::fabs(m_dirX) + g.extentY * std::fabs(m_dirY));
    }

    void row(int y, int width, float* light) const {
        if (m_falloff == 0.0) {
            std::fill(light, light + width, 1.0f);
            return;
        }
        const double dy = y - m_cy;
        for (int x = 0; x < width; ++x) {
            const double dx = x - m_cx;
            const double t = 0.5 * ((dx * m_dirX + dy * m_dirY) / m_dmax + 1.0);
            const double loss =
                m_falloff * ((1.0 - m_share) * (dx * dx + dy * dy) / m_rmax2 + m_share * t);
            light[x] = static_cast<float>(std::max(0.05, 1.0 - loss));
        }
    }

  private:
    double m_falloff;
    double m_share;
    double m_cx;
    double m_cy;
    double m_rmax2;
    double m_dirX = 1.0;
    double m_dirY = 0.0;
    double m_dmax = 1.0;
};

/// Mean colour of the chart's supersamples over pixel (x, y); samples off the
/// card take `surround`.
cv::Vec3f cardPixel(const Layout& g, const Palette& palette, int x, int y, int n,
                    const cv::Vec3f& surround) {
    cv::Vec3d sum(0, 0, 0);
    for (int sy = 0; sy < n; ++sy) {
        const double py = y + (sy + 0.5) / n - 0.5;
        for (int sx = 0; sx < n; ++sx) {
            const double px = x + (sx + 0.5) / n - 0.5;
            double u = 0.0;
            double v = 0.0;
            g.toChart(px, py, u, v);
            const int cell = g.classify(u, v);
            if (cell >= 0) {
                sum += cv::Vec3d(palette.patch[cell]);
            } else if (cell == -1) {
                sum += cv::Vec3d(palette.white);
            } else {
                sum += cv::Vec3d(surround);
            }
        }
    }
    return cv::Vec3f(sum * (1.0 / (n * n)));
}

/// Camera transform of linear BGR, clamped at zero.
cv::Vec3f camera(const cv::Matx34f& m, const cv::Vec3f& bgr) {
    cv::Vec3f out;
    for (int k = 0; k < 3; ++k) {
        const float value = m(k, 0) * bgr[0] + m(k, 1) * bgr[1] + m(k, 2) * bgr[2] + m(k, 3);
        out[k] = std::max(value, 0.0f);
    }
    return out;
}

/// sRGB-encodes `n` non-negative linear values in place; `scratch` holds n floats.
void encodeRow(float* values, int n, std::vector<float>& scratch) {
    constexpr float kLinearLimit = 0.0031308f * 255.0f;
    scratch.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        scratch[i] = std::max(values[i], 0.0f) / 255.0f;
    }
    cv::Mat row(1, n, CV_32F, scratch.data());
    cv::pow(row, 1.0 / 2.4, row);  // vectorised; a per-value std::pow would dominate
    for (int i = 0; i < n; ++i) {
        values[i] = values[i] <= kLinearLimit ? 12.92f * values[i]
                                              : (1.055f * scratch[i] - 0.055f) * 255.0f;
    }
}

/// `degrees` in (-180, 180].
double normalizedTurn(double degrees) {
    double turn = std::fmod(degrees, 360.0);
    if (turn <= -180.0) turn += 360.0;
    if (turn > 180.0) turn -= 360.0;
    return turn;
}

/// Angle between the card's normal and the camera's axis in degrees: 0 for
/// an unprojected card, NaN when the focal length is not known.
double cardTilt(const RenderOptions& o, const Layout& g, int width, int height) {
    if (!g.projected) {
        return 0.0;
    }
    if (!(o.focalLength > 0.0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    // The columns of K^-1 H are the card's axes in camera coordinates (up to scale).
    const double f = o.focalLength;
    const double px = 0.5 * (width - 1);
    const double py = 0.5 * (height - 1);
    const cv::Matx33d inverseK(1.0 / f, 0.0, -px / f, 0.0, 1.0 / f, -py / f, 0.0, 0.0, 1.0);
    const cv::Matx33d axes = inverseK * g.toImageH;
    const cv::Vec3d r1(axes(0, 0), axes(1, 0), axes(2, 0));
    const cv::Vec3d r2(axes(0, 1), axes(1, 1), axes(2, 1));
    const cv::Vec3d normal = r1.cross(r2);
    const double cosine = std::fabs(normal[2]) / cv::norm(normal);
    return std::acos(std::min(1.0, cosine)) * 180.0 / kPi;
}

}  // namespace

int chartRows(EChart chart) {
    return (chart == EChart::eCCTPrint || chart == EChart::eCCTXRite) ? 4 : 5;
}

int chartCols(EChart chart) {
    return (chart == EChart::eCCTPrint || chart == EChart::eCCTXRite) ? 5 : 4;
}

double chartSideLength(EChart chart) {
    switch (chart) {
        case EChart::eCCTPrint:
            return 56.0;
        case EChart::eQCCPrint:
            return 76.0;
        case EChart::eCCTXRite:
        case EChart::eQCCXRite:
        case EChart::eQCCPrintSmall:
            return 60.0;
    }
    requireKnownChart(chart);
    return 0.0;
}

double chartPitch(EChart chart) {
    switch (chart) {
        case EChart::eCCTXRite:
            return 107.0;
        case EChart::eQCCXRite:
            return 105.0;
        case EChart::eCCTPrint:
        case EChart::eQCCPrint:
        case EChart::eQCCPrintSmall:
            // The printed charts space their patches by the patch diagonal.
            return static_cast<double>(static_cast<float>(chartSideLength(chart) * std::sqrt(2.0)));
    }
    requireKnownChart(chart);
    return 0.0;
}

std::array<int, 20> chartColorIndexLut(EChart chart) {
    requireKnownChart(chart);
    std::array<int, 20> lut{};
    const bool columnMajor = chart == EChart::eQCCPrint || chart == EChart::eQCCPrintSmall;
    for (int i = 0; i < kPatches; ++i) {
        lut[i] = columnMajor ? (i % 4) * 5 + i / 4 : i;
    }
    return lut;
}

RenderedChart renderChart(const RenderOptions& options) {
    validate(options);
    int width = 0;
    int height = 0;
    const Layout g = makeLayout(options, width, height);

    RenderedChart out;
    out.rows = g.rows;
    out.cols = g.cols;
    out.chartRegion = cardBox(g, width, height);

    // Every grid cell keeps the colour it carries on the upright chart; the
    // found order is then read off the rotated image, rows top to bottom.
    const std::array<int, 20> lut = chartColorIndexLut(options.chart);
    std::vector<int> cellOrder(kPatches);
    std::vector<cv::Point2d> cellCenter(kPatches);
    std::vector<cv::Point2d> residual(kPatches);
    const double quarterTurns = std::round(g.turnDeg / 90.0);
    const double residualAngle = (g.turnDeg - 90.0 * quarterTurns) * kPi / 180.0;
    for (int r = 0; r < g.rows; ++r) {
        for (int c = 0; c < g.cols; ++c) {
            const int cell = r * g.cols + c;
            const double u = (c - 0.5 * (g.cols - 1)) * g.pitch;
            const double v = (r - 0.5 * (g.rows - 1)) * g.pitch;
            cellCenter[cell] = g.toImage(u, v);
            out.referenceCenters[static_cast<std::size_t>(lut[cell])] = cellCenter[cell];
            // Undo only the rotation beyond the nearest quarter turn: the grid
            // becomes axis-aligned as the image sees it.
            const double dx = cellCenter[cell].x - g.cx;
            const double dy = cellCenter[cell].y - g.cy;
            residual[cell] = {dx * std::cos(residualAngle) - dy * std::sin(residualAngle),
                              dx * std::sin(residualAngle) + dy * std::cos(residualAngle)};
            cellOrder[cell] = cell;
        }
    }
    std::sort(cellOrder.begin(), cellOrder.end(),
              [&](int a, int b) { return residual[a].y < residual[b].y; });
    for (std::size_t start = 0; start < cellOrder.size();) {
        std::size_t end = start + 1;
        while (end < cellOrder.size() &&
               residual[cellOrder[end]].y - residual[cellOrder[start]].y < 0.5 * g.imagePitch()) {
            ++end;
        }
        std::sort(cellOrder.begin() + static_cast<std::ptrdiff_t>(start),
                  cellOrder.begin() + static_cast<std::ptrdiff_t>(end),
                  [&](int a, int b) { return residual[a].x < residual[b].x; });
        start = end;
    }
    for (int cell : cellOrder) {
        out.centers.push_back(cellCenter[cell]);
        out.referenceIndex.push_back(lut[cell]);
    }

    const bool srgb = options.encoding == Encoding::eSrgb;
    Palette palette;
    for (int cell = 0; cell < kPatches; ++cell) {
        const Rgb& rgb = options.referenceRgb[lut[cell]];
        for (int k = 0; k < 3; ++k) {
            const double value = rgb[2 - k];
            palette.patch[cell][k] = static_cast<float>(srgb ? srgbDecode(value) : value);
        }
    }
    palette.white = cv::Vec3f(options.whiteLevel, options.whiteLevel, options.whiteLevel);

    const bool realistic = options.clutterCount > 0 || options.shotNoise > 0.0 ||
                           options.readNoise > 0.0 || options.jpegQuality > 0;
    const cv::Mat surround = surroundImage(options, g, width, height, realistic);
    const IlluminationModel illumination(options, g);
    const cv::Matx34f cameraMatrix(options.cameraTransform);
    const cv::Rect& box = out.chartRegion;
    const int n = options.supersample;
    const bool shaded = options.channelShading[0] != 0.0 || options.channelShading[1] != 0.0 ||
                        options.channelShading[2] != 0.0;
    const double lampHeightSq = options.hotSpotHeight * options.hotSpotHeight;
    const double lampX = g.cx + options.hotSpotX;
    const double lampY = g.cy + options.hotSpotY;

    // The light of every pixel and channel, the card and patch masks, and the
    // white field in linear light: the white ground under the same light
    // through the camera.
    cv::Mat light3(height, width, CV_32FC3);
    out.cardMask = cv::Mat::zeros(height, width, CV_8U);
    out.patchMask = cv::Mat::zeros(height, width, CV_8U);
    out.whiteField.create(height, width, CV_32FC3);
    auto computeWhite = [&](int y0, int y1, float scale) {
        for (int y = y0; y < y1; ++y) {
            const auto* lit = light3.ptr<cv::Vec3f>(y);
            auto* white = out.whiteField.ptr<cv::Vec3f>(y);
            for (int x = 0; x < width; ++x) {
                white[x] = camera(cameraMatrix, lit[x] * (options.whiteLevel * scale));
            }
        }
    };
    tbb::parallel_for(
        tbb::blocked_range<int>(0, height, 8), [&](const tbb::blocked_range<int>& range) {
            std::vector<float> light(static_cast<std::size_t>(width));
            for (int y = range.begin(); y != range.end(); ++y) {
                illumination.row(y, width, light.data());
                auto* lit = light3.ptr<cv::Vec3f>(y);
                for (int x = 0; x < width; ++x) {
                    float l = light[x];
                    if (options.hotSpotGain > 0.0) {
                        const double dx = x - lampX;
                        const double dy = y - lampY;
                        const double cosine = lampHeightSq / (dx * dx + dy * dy + lampHeightSq);
                        l = static_cast<float>(
                            l * (1.0 + options.hotSpotGain * cosine * std::sqrt(cosine)));
                    }
                    lit[x] = cv::Vec3f(l, l, l);
                    if (shaded) {
                        for (int k = 0; k < 3; ++k) {
                            lit[x][k] = static_cast<float>(
                                std::pow(static_cast<double>(l), 1.0 + options.channelShading[k]));
                        }
                    }
                }
                if (y >= box.y && y < box.y + box.height) {
                    uchar* card = out.cardMask.ptr<uchar>(y);
                    uchar* patch = out.patchMask.ptr<uchar>(y);
                    for (int x = box.x; x < box.x + box.width; ++x) {
                        double u = 0.0;
                        double v = 0.0;
                        g.toChart(x, y, u, v);
                        const int cell = g.classify(u, v);
                        card[x] = cell >= -1 ? 255 : 0;
                        patch[x] = cell >= 0 ? 255 : 0;
                    }
                }
            }
            computeWhite(range.begin(), range.end(), 1.0f);
        });
    if (options.exposureTarget > 0.0) {
        // Exposure: the brightest white of the card's ground reaches the target.
        float brightest = 0.0f;
        for (int y = box.y; y < box.y + box.height; ++y) {
            const auto* white = out.whiteField.ptr<cv::Vec3f>(y);
            const uchar* card = out.cardMask.ptr<uchar>(y);
            const uchar* patch = out.patchMask.ptr<uchar>(y);
            for (int x = box.x; x < box.x + box.width; ++x) {
                if (card[x] != 0 && patch[x] == 0) {
                    brightest = std::max({brightest, white[x][0], white[x][1], white[x][2]});
                }
            }
        }
        const double target = srgb ? srgbDecode(options.exposureTarget) : options.exposureTarget;
        if (brightest > 0.0f) {
            const float scale = static_cast<float>(target / brightest);
            light3 *= scale;
            tbb::parallel_for(tbb::blocked_range<int>(0, height, 8),
                              [&](const tbb::blocked_range<int>& range) {
                                  computeWhite(range.begin(), range.end(), 1.0f);
                              });
        }
    }
    if (srgb) {
        tbb::parallel_for(tbb::blocked_range<int>(0, height, 8),
                          [&](const tbb::blocked_range<int>& range) {
                              std::vector<float> scratch;
                              for (int y = range.begin(); y != range.end(); ++y) {
                                  encodeRow(out.whiteField.ptr<float>(y), 3 * width, scratch);
                              }
                          });
    }

    // A hand over the card's margin hides the card there.
    const cv::Mat hand = handMask(options, g, width, height);
    const cv::Vec3f skin(80.0f, 105.0f, 185.0f);  // linear BGR of a light skin
    if (!hand.empty()) {
        out.cardMask.setTo(0, hand);
    }

    // Lit radiance of the scene.
    cv::Mat radiance(height, width, CV_32FC3);
    tbb::parallel_for(
        tbb::blocked_range<int>(0, height, 8), [&](const tbb::blocked_range<int>& range) {
            for (int y = range.begin(); y != range.end(); ++y) {
                const auto* light = light3.ptr<cv::Vec3f>(y);
                const auto* scene = surround.ptr<cv::Vec3f>(y);
                auto* lit = radiance.ptr<cv::Vec3f>(y);
                const bool cardRow = y >= box.y && y < box.y + box.height;
                for (int x = 0; x < width; ++x) {
                    const bool onCard =
                        cardRow && x >= box.x && x < box.x + box.width && !options.noCard;
                    const bool underHand = !hand.empty() && hand.at<uchar>(y, x) != 0;
                    const cv::Vec3f reflected =
                        underHand ? skin
                                  : (onCard ? cardPixel(g, palette, x, y, n, scene[x]) : scene[x]);
                    lit[x] = reflected.mul(light[x]);
                }
            }
        });
    if (options.blurSigma > 0.0) {
        cv::GaussianBlur(radiance, radiance, cv::Size(), options.blurSigma, options.blurSigma,
                         cv::BORDER_REPLICATE);
    }

    // Camera, sensor noise, encoding, noise (one generator per row, so the
    // result does not depend on how the rows are shared among threads) and
    // quantisation.
    const bool sensorNoise = options.shotNoise > 0.0 || options.readNoise > 0.0;
    out.photo.create(height, width, CV_32FC3);
    out.photo8u.create(height, width, CV_8UC3);
    tbb::parallel_for(
        tbb::blocked_range<int>(0, height, 8), [&](const tbb::blocked_range<int>& range) {
            std::vector<float> scratch;
            for (int y = range.begin(); y != range.end(); ++y) {
                const auto* lit = radiance.ptr<cv::Vec3f>(y);
                auto* photo = out.photo.ptr<cv::Vec3f>(y);
                for (int x = 0; x < width; ++x) {
                    photo[x] = camera(cameraMatrix, lit[x]);
                }
                float* values = out.photo.ptr<float>(y);
                if (sensorNoise) {
                    cv::RNG rng(options.seed * 0xD1B54A32D192ED03ULL +
                                static_cast<std::uint64_t>(y) + 1);
                    const double readVariance = options.readNoise * options.readNoise;
                    for (int i = 0; i < 3 * width; ++i) {
                        const double variance =
                            options.shotNoise * std::max(0.0, static_cast<double>(values[i])) +
                            readVariance;
                        values[i] += static_cast<float>(std::sqrt(variance) * rng.gaussian(1.0));
                    }
                }
                if (srgb) {
                    encodeRow(values, 3 * width, scratch);
                }
                if (options.noiseSigma > 0.0) {
                    cv::RNG rng(options.seed * 0x9E3779B97F4A7C15ULL +
                                static_cast<std::uint64_t>(y) + 1);
                    const float sigma = static_cast<float>(options.noiseSigma);
                    for (int i = 0; i < 3 * width; ++i) {
                        values[i] += sigma * static_cast<float>(rng.gaussian(1.0));
                    }
                }
                std::uint8_t* bytes = out.photo8u.ptr<std::uint8_t>(y);
                for (int i = 0; i < 3 * width; ++i) {
                    bytes[i] = cv::saturate_cast<std::uint8_t>(values[i]);
                    values[i] =
                        options.quantize ? static_cast<float>(bytes[i]) : std::max(values[i], 0.0f);
                }
            }
        });
    if (options.jpegQuality > 0) {
#if defined(COLORCAL_HAVE_IMGCODECS)
        std::vector<uchar> compressed;
        cv::imencode(".jpg", out.photo8u, compressed,
                     {cv::IMWRITE_JPEG_QUALITY, options.jpegQuality});
        out.photo8u = cv::imdecode(compressed, cv::IMREAD_COLOR);
        out.photo8u.convertTo(out.photo, CV_32FC3);
#else
        throw std::invalid_argument("renderChart(): JPEG needs OpenCV's imgcodecs");
#endif
    }

    const cv::Point2d corners[4] = {
        g.toImage(-g.halfCardW, -g.halfCardH), g.toImage(g.halfCardW, -g.halfCardH),
        g.toImage(g.halfCardW, g.halfCardH), g.toImage(-g.halfCardW, g.halfCardH)};
    std::copy(std::begin(corners), std::end(corners), out.cardCorners.begin());
    const int m = options.regionMargin;
    out.hostRegion = cv::Rect(box.x - m, box.y - m, box.width + 2 * m, box.height + 2 * m) &
                     cv::Rect(0, 0, width, height);
    if (options.noCard) {
        out.cardMask.setTo(0);
        out.patchMask.setTo(0);
    }
    out.scale = g.scale;
    out.turnDeg = normalizedTurn(g.turnDeg);
    out.tiltDeg = cardTilt(options, g, width, height);
    return out;
}

std::array<Rgb, 20> defaultReferenceColors() {
    // Skin tones, natural colours, primaries and secondaries and four greys,
    // sRGB-encoded.
    return {{{{112, 80, 66}},   {{198, 148, 126}}, {{92, 120, 160}},  {{84, 106, 62}},
             {{128, 126, 180}}, {{96, 186, 168}},  {{218, 122, 40}},  {{74, 88, 170}},
             {{196, 86, 96}},   {{90, 58, 104}},   {{152, 190, 60}},  {{228, 160, 44}},
             {{50, 58, 146}},   {{66, 146, 70}},   {{178, 50, 56}},   {{226, 196, 36}},
             {{184, 82, 152}},  {{20, 130, 164}},  {{168, 168, 166}}, {{82, 82, 84}}}};
}

std::array<Rgb, 20> randomReferenceColors(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };
    std::array<Rgb, 20> colors{};
    auto store = [](const std::array<double, 3>& rgb) {
        return Rgb{static_cast<float>(std::round(rgb[0])), static_cast<float>(std::round(rgb[1])),
                   static_cast<float>(std::round(rgb[2]))};
    };
    auto inGamut = [](const std::array<double, 3>& rgb) {
        return std::all_of(rgb.begin(), rgb.end(), [](double v) { return v >= 8.0 && v <= 247.0; });
    };
    int count = 0;
    // Three pairs of similar near-neutral greys.
    for (int pair = 0; pair < 3; ++pair) {
        const double lightness = uniform(28.0, 74.0);
        const double step = uniform(4.0, 8.0);
        for (int k = 0; k < 2; ++k) {
            const Lab lab{lightness + k * step, uniform(-2.0, 2.0), uniform(-2.0, 2.0)};
            colors[count++] = store(labToSrgb(lab));
        }
    }
    // Chromatic colours of mid-range lightness and saturation.
    while (count < kPatches) {
        const double hue = uniform(0.0, 2.0 * kPi);
        const double chroma = uniform(20.0, 65.0);
        const Lab lab{uniform(28.0, 82.0), chroma * std::cos(hue), chroma * std::sin(hue)};
        const std::array<double, 3> rgb = labToSrgb(lab);
        if (inGamut(rgb)) {
            colors[count++] = store(rgb);
        }
    }
    std::shuffle(colors.begin(), colors.end(), rng);
    return colors;
}

}  // namespace ChartSynth
