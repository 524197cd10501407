// The card locator: the lattice search finds the chart at any scale,
// perspective and turn; the card's outline is measured on the photo; a card
// at the nominal scale facing the camera keeps the bright-region search's
// result where that search finds it too.
#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"

#include <algorithm>
#include <cmath>

#include "DataLayer/ShadeAnalysis/CardLocation/CardOutline.h"
#include "DataLayer/ShadeAnalysis/CardLocation/CardSearch.h"

namespace DataLayer {

namespace {

using CardLocation::applyHomography;
using CardLocation::ChartGeometry;

constexpr double kPi = 3.14159265358979323846;
/// The card's white margin around its outer patches: at least 0.3 patch
/// side, at most one and a half grid steps; the edge search starts 0.2 patch
/// side beyond the patches.
constexpr double kMinMarginSides = 0.3;
constexpr double kMaxMarginSteps = 1.5;
constexpr double kEdgeStartSides = 0.2;
/// Opposite margins of a card differ by at most this many grid steps.
constexpr double kMarginSpreadSteps = 0.25;
/// A card within these bounds is calibrated on the photo as it is. The tilt
/// estimate of a card that faces the camera scatters up to about 4 degrees
/// (the stretch it reads is 1 - cos(tilt), a quarter per mille at 4 degrees),
/// and the engine's affine grid takes such a stretch in its stride.
constexpr double kNominalScaleTolerance = 0.05;
constexpr double kNominalTiltDeg = 5.0;
constexpr double kSupportInset = 1.0;
constexpr std::size_t kMaxRejectedKept = 5;

/// A point of the nominal frame in the photo; the frame's origin when the
/// homography sends it to infinity (never for a found card).
cv::Point2d mapPoint(const cv::Matx33d& h, const cv::Point2d& p) {
    cv::Point2d out(h(0, 2), h(1, 2));
    applyHomography(h, p, out);
    return out;
}

/// Scale, tilt and rotation of the homography at the nominal frame's origin.
void describePose(const cv::Matx33d& h, ChartCardLocation& location) {
    const cv::Point2d o = mapPoint(h, {0, 0});
    const cv::Point2d dx = (mapPoint(h, {1, 0}) - mapPoint(h, {-1, 0})) * 0.5;
    const cv::Point2d dy = (mapPoint(h, {0, 1}) - mapPoint(h, {0, -1})) * 0.5;
    (void)o;
    const cv::Matx22d jacobian(dx.x, dy.x, dx.y, dy.y);
    cv::Matx21d singular;
    cv::SVD::compute(jacobian, singular);
    const double s1 = singular(0);
    const double s2 = singular(1);
    location.scale = std::sqrt(std::fabs(cv::determinant(jacobian)));
    location.tiltDeg = s1 > 0.0 ? std::acos(std::clamp(s2 / s1, 0.0, 1.0)) * 180.0 / kPi : 90.0;
    location.rotationDeg = std::atan2(-dx.y, dx.x) * 180.0 / kPi;
    location.nominal = std::fabs(location.scale - 1.0) <= kNominalScaleTolerance &&
                       location.tiltDeg <= kNominalTiltDeg;
}

/// One side of the card: a line through `origin` along `direction`.
struct Side {
    cv::Point2d origin;
    cv::Point2d direction;
};

/// The card's four sides measured on the photo outward from the grid of
/// patches (`halfW` x `halfH` nominal pixels around the frame's origin); a
/// side whose edge cannot be measured, or lies nearer than the smallest
/// margin or beyond the largest, runs at the smallest margin.
std::array<cv::Point2d, 4> measureOutline(const cv::Mat& photo, const cv::Matx33d& h, double halfW,
                                          double halfH, float side, float pitch) {
    const double start = kEdgeStartSides * side;
    const double reach = kMaxMarginSteps * pitch;
    const double minMargin = kMinMarginSides * side;
    // Sides top, right, bottom, left in the nominal frame: from, to, outward normal.
    const cv::Point2d tl(-halfW, -halfH);
    const cv::Point2d tr(halfW, -halfH);
    const cv::Point2d br(halfW, halfH);
    const cv::Point2d bl(-halfW, halfH);
    const std::array<cv::Point2d, 4> from = {tl, tr, br, bl};
    const std::array<cv::Point2d, 4> to = {tr, br, bl, tl};
    const std::array<cv::Point2d, 4> normals = {cv::Point2d(0, -1), cv::Point2d(1, 0),
                                                cv::Point2d(0, 1), cv::Point2d(-1, 0)};
    cv::Matx33d inverse = h.inv();
    std::array<Side, 4> sides;
    std::array<double, 4> margins = {-1.0, -1.0, -1.0, -1.0};  // -1: no edge with contrast
    for (std::size_t e = 0; e < 4; ++e) {
        std::vector<cv::Point2d> edges;
        std::vector<double> distances;
        for (int k = 0; k < CardLocation::kEdgeProfiles; ++k) {
            const double t = 0.03 + 0.94 * (k + 0.5) / CardLocation::kEdgeProfiles;
            const cv::Point2d p = from[e] + (to[e] - from[e]) * t + normals[e] * start;
            const cv::Point2d q = mapPoint(h, p);
            const cv::Point2d far = mapPoint(h, p + normals[e] * reach);
            const cv::Point2d along = mapPoint(h, p + (to[e] - from[e]) * 0.01);
            const double length = std::hypot(far.x - q.x, far.y - q.y);
            const double alongLength = std::hypot(along.x - q.x, along.y - q.y);
            if (!(length > 1.0) || !(alongLength > 1e-9)) continue;
            const cv::Point2d n = (far - q) * (1.0 / length);
            const cv::Point2d d = (along - q) * (1.0 / alongLength);
            cv::Point2d edge;
            if (CardLocation::findStep(photo, q, n, d, length, edge)) {
                edges.push_back(edge);
                distances.push_back((edge - q).dot(n));
            }
        }
        Side measured;
        bool ok = CardLocation::fitNearestEdgeLine(
            edges, distances, CardLocation::kEdgeProfiles / 4, measured.origin, measured.direction);
        if (ok) {
            // The measured margin, in nominal pixels beyond the patches, at the
            // side's middle: it must lie within the card's possible margins.
            const cv::Point2d middle = (from[e] + to[e]) * 0.5;
            const cv::Point2d a = mapPoint(inverse, measured.origin);
            const cv::Point2d b = mapPoint(inverse, measured.origin + measured.direction * 10.0);
            const cv::Point2d dir = b - a;
            const double length = std::hypot(dir.x, dir.y);
            if (length > 1e-9) {
                const cv::Point2d unit = dir * (1.0 / length);
                const cv::Point2d normal(-unit.y, unit.x);
                const double margin = std::fabs((middle - a).dot(normal));
                ok = margin >= 0.8 * minMargin && margin <= start + reach + 2.0;
                if (ok) margins[e] = margin;
            } else {
                ok = false;
            }
        }
        sides[e] = measured;
    }
    // A card's margins on opposite sides are alike; where one side's edge lies
    // much farther out than the other's, it is the edge of a paper or desk of
    // the card's white lying against it, and the nearer margin holds there too.
    // Sides without an edge, and sides replaced by their opposite's margin,
    // run parallel to the grid at that margin.
    std::array<double, 4> drawn = {-1.0, -1.0, -1.0, -1.0};
    for (std::size_t e = 0; e < 4; ++e) {
        if (margins[e] < 0.0) drawn[e] = minMargin;
    }
    for (std::size_t e = 0; e < 2; ++e) {
        const double a = margins[e];
        const double b = margins[e + 2];
        if (a >= 0.0 && b >= 0.0 && std::fabs(a - b) > kMarginSpreadSteps * pitch) {
            drawn[a > b ? e : e + 2] = std::min(a, b);
        }
    }
    for (std::size_t e = 0; e < 4; ++e) {
        if (drawn[e] < 0.0) continue;
        const cv::Point2d a = mapPoint(h, from[e] + normals[e] * drawn[e]);
        const cv::Point2d b = mapPoint(h, to[e] + normals[e] * drawn[e]);
        sides[e].origin = a;
        sides[e].direction = b - a;
    }
    std::array<cv::Point2d, 4> corners;
    for (std::size_t c = 0; c < 4; ++c) {
        const Side& before = sides[(c + 3) % 4];
        const Side& after = sides[c];
        if (!CardLocation::intersect(before.origin, before.direction, after.origin, after.direction,
                                     corners[c])) {
            corners[c] = mapPoint(h, from[c] + (normals[c] + normals[(c + 3) % 4]) * minMargin);
        }
    }
    return corners;
}

/// The location of a card the lattice search found.
ChartCardLocation describeLatticeCard(const cv::Mat& photo, const ChartGeometry& chart,
                                      const CardLocation::LatticeCard& card) {
    ChartCardLocation location;
    location.found = true;
    location.gridRows = card.rows;
    location.gridColumns = card.cols;
    location.score = card.score;
    const double p = chart.pitch;
    const cv::Matx33d nominalToGrid(1.0 / p, 0, 0.5 * (card.cols - 1), 0, 1.0 / p,
                                    0.5 * (card.rows - 1), 0, 0, 1);
    location.homography = card.gridToPhoto * nominalToGrid;
    describePose(location.homography, location);
    const double halfW = 0.5 * ((card.cols - 1) * chart.pitch + chart.side);
    const double halfH = 0.5 * ((card.rows - 1) * chart.pitch + chart.side);
    const std::array<cv::Point2d, 4> corners =
        measureOutline(photo, location.homography, halfW, halfH, chart.side, chart.pitch);
    location.corners = CardLocation::toFloat(corners);
    location.regionOfInterest =
        CardLocation::boxAround(corners, 0.2 * chart.pitch * location.scale, photo.size());
    // The patches' area in the reduced image, a reduced pixel beyond the outer patches.
    const double grow = card.factor / std::max(1e-6, location.scale);
    std::array<cv::Point2d, 4> gridBox;
    const cv::Point2d box[4] = {{-halfW - grow, -halfH - grow},
                                {halfW + grow, -halfH - grow},
                                {halfW + grow, halfH + grow},
                                {-halfW - grow, halfH + grow}};
    const double half = 0.5 * (card.factor - 1);
    for (std::size_t k = 0; k < 4; ++k) {
        const cv::Point2d q = mapPoint(location.homography, box[k]);
        gridBox[k] = (q - cv::Point2d(half, half)) * (1.0 / card.factor);
    }
    location.supportMask =
        CardLocation::buildSupportMask(photo.size(), corners, kSupportInset, card.reduced,
                                       card.factor, card.groundLevel, card.groundCast, gridBox);
    return location;
}

}  // namespace

CChartCardLocator::CChartCardLocator(const Base::IParameterSetColorCalibrationTarget& parameters,
                                     bool linearInput)
    : m_sideLength(parameters.GetSegmentSideLength()),
      m_gridLength(parameters.GetGridLength()),
      m_rows(parameters.GetGridRows()),
      m_columns(parameters.GetGridColumns()),
      m_linearInput(linearInput) {}

ChartCardLocation CChartCardLocator::locate(const cv::Mat& photo) const {
    ChartCardLocation location;
    if (!(std::isfinite(m_sideLength) && std::isfinite(m_gridLength) && m_sideLength >= 4.0f &&
          m_gridLength >= m_sideLength && m_gridLength < 4096.0f && m_rows > 0 && m_columns > 0 &&
          m_rows <= 64 && m_columns <= 64)) {
        location.reason = "the chart's parameter set gives no usable card geometry";
        return location;
    }
    if (photo.empty() || (photo.type() != CV_8UC3 && photo.type() != CV_32FC3)) {
        location.reason = "the photo is empty or not a three-channel 8-bit or float image";
        return location;
    }
    const ChartGeometry chart{m_sideLength, m_gridLength, m_rows, m_columns, m_linearInput};
    const CardLocation::LatticeSearch lattice = CardLocation::searchPatchLattice(photo, chart);
    if (!lattice.cards.empty()) {
        ChartCardLocation found = describeLatticeCard(photo, chart, lattice.cards.front());
        if (found.nominal) {
            // The bright-region search measures a card at the nominal scale as
            // it always has; where it finds this card, its outline stands.
            ChartCardLocation bright = CardLocation::searchBrightCard(photo, chart);
            if (bright.found) {
                // The same card, measured alike: every corner within a quarter
                // of a grid step of the lattice's (where an edge has no
                // contrast, the bright region's outline is not the card's).
                bool sameCard = found.gridRows == m_rows && found.gridColumns == m_columns;
                for (std::size_t k = 0; k < 4 && sameCard; ++k) {
                    const cv::Point2f d = bright.corners[k] - found.corners[k];
                    sameCard = std::hypot(d.x, d.y) <= std::max(3.0, 0.25 * m_gridLength);
                }
                if (sameCard) {
                    bright.homography = found.homography;
                    bright.gridRows = found.gridRows;
                    bright.gridColumns = found.gridColumns;
                    bright.scale = found.scale;
                    bright.tiltDeg = found.tiltDeg;
                    bright.rotationDeg = found.rotationDeg;
                    bright.nominal = true;
                    return bright;
                }
            }
        }
        return found;
    }
    // Without a lattice of the chart's patches there is no card: a bright
    // region holding a grid of one or two colours (a facade's windows, a
    // calibration chessboard) is not the chart. The bright regions the other
    // search turned down, or took, are still reported as the most card-like.
    location.rejected = lattice.rejected;
    const ChartCardLocation bright = CardLocation::searchBrightCard(photo, chart);
    if (bright.found && location.rejected.size() < kMaxRejectedKept) {
        location.rejected.push_back({bright.corners,
                                     "its grid's patches are not of the chart's distinct colours",
                                     bright.score});
    }
    for (const ChartCardCandidate& c : bright.rejected) {
        if (location.rejected.size() >= kMaxRejectedKept) break;
        location.rejected.push_back(c);
    }
    location.reason = !lattice.rejected.empty() || location.rejected.empty()
                          ? lattice.reason
                          : "no card with the chart's patches; the most card-like area: " +
                                location.rejected.front().reason;
    return location;
}

}  // namespace DataLayer
