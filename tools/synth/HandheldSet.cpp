#include "HandheldSet.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "RealisticSet.h"

namespace ChartSynth {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMinScale = 0.4;
constexpr double kMaxScale = 3.0;
constexpr double kMaxTiltDeg = 35.0;
constexpr double kMaxInPlaneDeg = 15.0;
constexpr int kSizes[4][2] = {{1600, 1200}, {2592, 1944}, {4000, 3000}, {6000, 4000}};

/// A 64-bit mix of `x` (splitmix64's finaliser): nearby seeds give unrelated
/// generator states, so the first draws of neighbouring photos and chart
/// types do not follow each other.
std::uint64_t mixSeed(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

/// Uniform draws from one seeded generator.
class Draws {
  public:
    explicit Draws(std::uint64_t seed) : m_rng(mixSeed(seed)) {}
    double unit() { return m_unit(m_rng); }
    double uniform(double lo, double hi) { return lo + (hi - lo) * unit(); }
    bool chance(double p) { return unit() < p; }
    int index(int n) { return std::min(n - 1, static_cast<int>(unit() * n)); }

  private:
    std::mt19937_64 m_rng;
    std::uniform_real_distribution<double> m_unit{0.0, 1.0};
};

/// Half the card's width and height in card coordinates.
cv::Size2d halfCard(const RenderOptions& o) {
    const int rows = o.transposedLayout ? chartCols(o.chart) : chartRows(o.chart);
    const int cols = o.transposedLayout ? chartRows(o.chart) : chartCols(o.chart);
    const double side = chartSideLength(o.chart);
    const double pitch = chartPitch(o.chart);
    return {0.5 * (cols - 1) * pitch + 0.5 * side + o.cardMargin * pitch,
            0.5 * (rows - 1) * pitch + 0.5 * side + o.cardMargin * pitch};
}

/// The bounding box of the projected card.
cv::Rect2d projectedBox(const cv::Matx33d& h, cv::Size2d half) {
    double left = std::numeric_limits<double>::infinity();
    double top = left;
    double right = -left;
    double bottom = -left;
    for (const auto& [su, sv] : {std::pair<int, int>{-1, -1}, {1, -1}, {1, 1}, {-1, 1}}) {
        const cv::Vec3d p = h * cv::Vec3d(su * half.width, sv * half.height, 1.0);
        left = std::min(left, p[0] / p[2]);
        right = std::max(right, p[0] / p[2]);
        top = std::min(top, p[1] / p[2]);
        bottom = std::max(bottom, p[1] / p[2]);
    }
    return {left, top, right - left, bottom - top};
}

/// Room kept between the card and the photo's edges.
double roomAround(cv::Size photo, double scale, EChart chart) {
    return std::max(0.04 * std::min(photo.width, photo.height), 0.5 * chartPitch(chart) * scale);
}

/// Whether the card of `o` posed as `card` lies in `photo` with room around it.
bool fitsInside(const RenderOptions& o, const PinholeCard& card, cv::Size photo) {
    const cv::Rect2d box = projectedBox(pinholeCardToImage(card, photo), halfCard(o));
    const double room = roomAround(photo, card.scale, o.chart);
    return box.x >= room && box.y >= room && box.x + box.width <= photo.width - 1 - room &&
           box.y + box.height <= photo.height - 1 - room;
}

/// Backgrounds: the light kinds, the dark desk and the textured desk.
void drawBackground(Background background, const RenderOptions& base, Draws& d, RenderOptions& o) {
    const double white = o.whiteLevel;
    if (background == Background::eDark) {
        o.surroundLevel = static_cast<float>(d.uniform(6.0, 45.0));
        o.surroundTexture = static_cast<float>(d.uniform(0.03, 0.12));
        o.clutterCount = d.index(5);
        return;
    }
    if (background == Background::eTextured) {
        o.surroundLevel = base.surroundLevel;
        o.surroundTexture = static_cast<float>(d.uniform(0.25, 0.5));
        o.clutterCount = 6 + d.index(11);
        return;
    }
    const double kind = d.unit();
    auto faintTint = [&](std::array<double, 3>& tint) {
        if (d.chance(0.5)) {
            tint = {d.uniform(0.97, 1.03), 1.0, d.uniform(0.97, 1.03)};
        }
    };
    o.clutterCount = d.index(6);
    if (kind < 0.5) {
        // A light desk: of exactly the card's white (its edge vanishes), a few
        // per cent off it, or anywhere from 0.8 to 1.05 of it.
        const double edge = d.unit();
        double level = 1.0;
        if (edge < 0.25) {
            o.surroundTexture = 0.0f;
        } else {
            level = edge < 0.5 ? 1.0 + (d.chance(0.5) ? -1.0 : 1.0) * d.uniform(0.02, 0.05)
                               : d.uniform(0.8, 1.05);
            faintTint(o.surroundTint);
            o.surroundTexture =
                static_cast<float>(d.chance(0.5) ? d.uniform(0.0, 0.01) : d.uniform(0.02, 0.06));
        }
        o.surroundLevel = static_cast<float>(level * white);
    } else if (kind < 0.75) {
        // White paper under or beside the card on an ordinary desk.
        o.surroundLevel = base.surroundLevel;
        o.surroundTexture = base.surroundTexture;
        o.cardPaper = d.chance(0.5) ? CardPaper::eUnder : CardPaper::eBeside;
        if (d.chance(0.25)) {
            o.cardPaperLevel = 1.0;
        } else {
            o.cardPaperLevel = d.uniform(0.88, 1.03);
            faintTint(o.cardPaperTint);
        }
    } else {
        // A bright wall behind a lighter desk.
        o.surroundLevel = static_cast<float>(d.uniform(0.35, 0.75) * white);
        o.surroundTexture = static_cast<float>(d.uniform(0.03, 0.1));
        o.brightWallLevel = d.uniform(0.85, 1.05);
    }
}

/// One to `most` different grid distractors.
std::vector<GridDistractor> drawGrids(Draws& d, int most) {
    std::vector<GridDistractor> kinds = {
        GridDistractor::eChessboard, GridDistractor::eTiles,  GridDistractor::eCalibrationBoard,
        GridDistractor::eColourGrid, GridDistractor::eSudoku, GridDistractor::eFacade};
    const int count = 1 + d.index(most);
    std::vector<GridDistractor> grids;
    for (int k = 0; k < count; ++k) {
        const int pick = d.index(static_cast<int>(kinds.size()));
        grids.push_back(kinds[static_cast<std::size_t>(pick)]);
        kinds.erase(kinds.begin() + pick);
    }
    return grids;
}

/// What a caller may force on the draws (the chart-free variant).
struct Forced {
    bool noCard = false;
};

HandheldPhoto makeHandheld(EChart chart, Encoding encoding, std::uint64_t seed, long long maxPixels,
                           const Forced& forced) {
    HandheldPhoto photo;
    const RenderOptions base = realisticOptions(chart, encoding, seed);
    RenderOptions& o = photo.options;
    o = base;
    Draws d(seed * 0xBF58476D1CE4E5B9ULL + static_cast<std::uint64_t>(chart) * 1009 +
            (encoding == Encoding::eSrgb ? 17 : 29));

    // Every draw is made in a fixed order, whatever the photo sizes allowed.
    double scale = std::exp(d.uniform(std::log(kMinScale), std::log(kMaxScale)));
    PinholeCard& card = photo.pose;
    card.tiltDeg = d.uniform(0.0, kMaxTiltDeg);
    card.tiltAxisDeg = d.uniform(0.0, 180.0);
    photo.inPlaneDeg = d.uniform(-kMaxInPlaneDeg, kMaxInPlaneDeg);
    photo.quarterTurns = d.chance(0.25) ? 1 + d.index(3) : 0;
    card.turnDeg = photo.inPlaneDeg + 90.0 * photo.quarterTurns;
    const double focalFactor = d.uniform(0.8, 1.6);
    const bool portrait = d.chance(1.0 / 3.0);
    const double sizeDraw = d.unit();
    const double offsetDrawX = d.uniform(-1.0, 1.0);
    const double offsetDrawY = d.uniform(-1.0, 1.0);
    photo.transposed = chart == EChart::eQCCXRite && d.chance(0.5);
    const double backgroundDraw = d.unit();
    photo.background = backgroundDraw < 1.0 / 3.0   ? Background::eLight
                       : backgroundDraw < 2.0 / 3.0 ? Background::eDark
                                                    : Background::eTextured;
    photo.distractors = d.chance(0.5);
    o.transposedLayout = photo.transposed;
    drawBackground(photo.background, base, d, o);
    if (photo.distractors) {
        o.paperSheet = d.chance(0.6);
        o.brightObject = d.chance(0.5);
        o.hand = d.chance(0.4);
        o.whiteWall = d.chance(0.25);
        if (d.chance(0.7)) {
            o.gridDistractors = drawGrids(d, 2);
        }
        if (!o.paperSheet && !o.brightObject && !o.hand && !o.whiteWall &&
            o.gridDistractors.empty()) {
            o.paperSheet = true;
        }
    }
    if (forced.noCard) {
        // No card needs the realistic falloff: the light stays bright over
        // the whole scene, so far surfaces are as tempting as near ones.
        o.noCard = true;
        o.falloff = d.uniform(0.03, 0.1);
        o.hand = false;
        o.paperSheet = true;
        o.brightObject = d.chance(0.5);
        o.whiteWall = d.chance(0.3);
        o.gridDistractors = drawGrids(d, 3);
        if (o.cardPaper == CardPaper::eNone && d.chance(1.0 / 3.0)) {
            o.cardPaper = d.chance(0.5) ? CardPaper::eUnder : CardPaper::eBeside;
            o.cardPaperLevel = d.uniform(0.88, 1.03);
        }
        photo.distractors = true;
    }

    // The photo size: one of those allowed that holds the card with room.
    int allowed = 4;
    while (allowed > 1 && maxPixels > 0 &&
           static_cast<long long>(kSizes[allowed - 1][0]) * kSizes[allowed - 1][1] > maxPixels) {
        --allowed;
    }
    auto sizeOf = [&](int k) {
        return portrait ? cv::Size(kSizes[k][1], kSizes[k][0])
                        : cv::Size(kSizes[k][0], kSizes[k][1]);
    };
    auto centred = [&](cv::Size size, double s) {
        PinholeCard posed = card;
        posed.scale = s;
        posed.focalLength = focalFactor * size.width;
        posed.centre = cv::Point2d(0.5 * (size.width - 1), 0.5 * (size.height - 1));
        return posed;
    };
    std::vector<int> fitting;
    for (int k = 0; k < allowed; ++k) {
        if (fitsInside(o, centred(sizeOf(k), scale), sizeOf(k))) fitting.push_back(k);
    }
    if (fitting.empty()) {
        const cv::Size largest = sizeOf(allowed - 1);
        while (scale > kMinScale && !fitsInside(o, centred(largest, scale), largest)) {
            scale = std::max(kMinScale, 0.95 * scale);
        }
        fitting.push_back(allowed - 1);
    }
    const cv::Size size =
        sizeOf(fitting[static_cast<std::size_t>(sizeDraw * static_cast<double>(fitting.size())) %
                       fitting.size()]);
    o.photoWidth = size.width;
    o.photoHeight = size.height;

    // The card's centre anywhere the card still fits, moved inwards until it does.
    card = centred(size, scale);
    const cv::Rect2d box = projectedBox(pinholeCardToImage(card, size), halfCard(o));
    const double room = roomAround(size, scale, chart);
    const double spareX = std::max(0.0, 0.5 * (size.width - 1 - box.width) - room);
    const double spareY = std::max(0.0, 0.5 * (size.height - 1 - box.height) - room);
    const cv::Point2d middle = card.centre;
    for (double shrink = 1.0; shrink > 0.01; shrink *= 0.5) {
        card.centre =
            middle + cv::Point2d(shrink * offsetDrawX * spareX, shrink * offsetDrawY * spareY);
        if (fitsInside(o, card, size)) break;
        card.centre = middle;
    }
    o.cardToImage = pinholeCardToImage(card, size);
    o.focalLength = card.focalLength;

    // Light and region follow the card's scale; the lamp keeps its place
    // relative to the card.
    o.hotSpotX = base.hotSpotX * scale;
    o.hotSpotY = base.hotSpotY * scale;
    o.hotSpotHeight = base.hotSpotHeight * scale;
    o.regionMargin = static_cast<int>(base.regionMargin * scale);
    o.supersample = scale > 1.5 ? 2 : 3;
    return photo;
}

}  // namespace

cv::Matx33d pinholeCardToImage(const PinholeCard& card, cv::Size photo) {
    const double values[] = {card.focalLength, card.scale,    card.tiltDeg, card.tiltAxisDeg,
                             card.turnDeg,     card.centre.x, card.centre.y};
    if (!std::all_of(std::begin(values), std::end(values),
                     [](double v) { return std::isfinite(v); }) ||
        !(card.focalLength > 0.0) || !(card.scale > 0.0) || card.tiltDeg < 0.0 ||
        card.tiltDeg > 89.0 || photo.width <= 0 || photo.height <= 0) {
        throw std::invalid_argument(
            "pinholeCardToImage(): focal length, scale or tilt out of range");
    }
    // Tilt about an axis in the card's plane, then turn about the camera's
    // axis (x right, y down, z forward: a negative angle about z turns
    // counter-clockwise in the image).
    const double axis = card.tiltAxisDeg * kPi / 180.0;
    const double ax = std::cos(axis);
    const double ay = std::sin(axis);
    const double c = std::cos(card.tiltDeg * kPi / 180.0);
    const double s = std::sin(card.tiltDeg * kPi / 180.0);
    // Rotation by the tilt about the unit axis (ax, ay, 0).
    const cv::Matx33d tilt(c + ax * ax * (1.0 - c), ax * ay * (1.0 - c), ay * s,
                           ax * ay * (1.0 - c), c + ay * ay * (1.0 - c), -ax * s,  //
                           -ay * s, ax * s, c);
    const double turn = -card.turnDeg * kPi / 180.0;
    const cv::Matx33d spin(std::cos(turn), -std::sin(turn), 0.0, std::sin(turn), std::cos(turn),
                           0.0, 0.0, 0.0, 1.0);
    const cv::Matx33d r = spin * tilt;
    // The card's centre lies on the ray through `centre`, at the depth that
    // gives the wanted scale there.
    const double f = card.focalLength;
    const double px = 0.5 * (photo.width - 1);
    const double py = 0.5 * (photo.height - 1);
    const double dx = (card.centre.x - px) / f;
    const double dy = (card.centre.y - py) / f;
    const double m00 = r(0, 0) - dx * r(2, 0);
    const double m01 = r(0, 1) - dx * r(2, 1);
    const double m10 = r(1, 0) - dy * r(2, 0);
    const double m11 = r(1, 1) - dy * r(2, 1);
    const double depth = f * std::sqrt(std::fabs(m00 * m11 - m01 * m10)) / card.scale;
    const cv::Matx33d k(f, 0.0, px, 0.0, f, py, 0.0, 0.0, 1.0);
    const cv::Matx33d columns(r(0, 0), r(0, 1), depth * dx, r(1, 0), r(1, 1), depth * dy, r(2, 0),
                              r(2, 1), depth);
    const cv::Matx33d h = k * columns;
    return h * (1.0 / h(2, 2));
}

const char* backgroundName(Background background) {
    switch (background) {
        case Background::eLight:
            return "light";
        case Background::eDark:
            return "dark";
        case Background::eTextured:
            return "textured";
    }
    return "unknown";
}

HandheldPhoto handheldOptions(EChart chart, Encoding encoding, std::uint64_t seed,
                              long long maxPixels) {
    return makeHandheld(chart, encoding, seed, maxPixels, Forced{});
}

RenderOptions handheldTwinOptions(const HandheldPhoto& photo) {
    const RenderOptions& handheld = photo.options;
    const RenderOptions base = realisticOptions(handheld.chart, handheld.encoding, handheld.seed);
    RenderOptions o = handheld;
    o.cardToImage.reset();
    o.focalLength = 0.0;
    o.rotationDeg = base.rotationDeg;
    o.hotSpotX = base.hotSpotX;
    o.hotSpotY = base.hotSpotY;
    o.hotSpotHeight = base.hotSpotHeight;
    o.regionMargin = base.regionMargin;
    o.supersample = base.supersample;
    // The card's centre where the hand-held card's is, moved inwards so that
    // the card and its region keep 12 px inside the photo.
    const cv::Size2d half = halfCard(o);
    const double angle = o.rotationDeg * kPi / 180.0;
    const double extentX =
        half.width * std::fabs(std::cos(angle)) + half.height * std::fabs(std::sin(angle));
    const double extentY =
        half.width * std::fabs(std::sin(angle)) + half.height * std::fabs(std::cos(angle));
    const double spareX = std::max(0.0, 0.5 * o.photoWidth - extentX - o.regionMargin - 12.0);
    const double spareY = std::max(0.0, 0.5 * o.photoHeight - extentY - o.regionMargin - 12.0);
    o.offsetX = std::clamp(photo.pose.centre.x - 0.5 * (o.photoWidth - 1), -spareX, spareX);
    o.offsetY = std::clamp(photo.pose.centre.y - 0.5 * (o.photoHeight - 1), -spareY, spareY);
    return o;
}

HandheldPhoto chartFreeOptions(Encoding encoding, std::uint64_t seed, long long maxPixels) {
    constexpr EChart kCharts[] = {EChart::eCCTPrint, EChart::eQCCPrint, EChart::eCCTXRite,
                                  EChart::eQCCXRite, EChart::eQCCPrintSmall};
    std::mt19937_64 rng(mixSeed(seed * 0x94D049BB133111EBULL + 5));
    const EChart chart = kCharts[rng() % 5];
    // Mostly light surfaces: the seeds are drawn until seven in ten are light.
    const std::uint64_t mixed = seed * 0x2545F4914F6CDD1DULL + 0x5ca1ab1eULL;
    const bool wantLight = (rng() % 10) < 7;
    HandheldPhoto photo = makeHandheld(chart, encoding, mixed, maxPixels, Forced{true});
    for (std::uint64_t k = 1; k < 64 && (photo.background == Background::eLight) != wantLight;
         ++k) {
        photo = makeHandheld(chart, encoding, mixed + k * 0x9E3779B97F4A7C15ULL, maxPixels,
                             Forced{true});
    }
    return photo;
}

}  // namespace ChartSynth
