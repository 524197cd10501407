#include "CChartCardLocator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include <opencv2/imgproc.hpp>

namespace DataLayer {

namespace {

constexpr double kPi = 3.14159265358979323846;
/// The largest rotation of the card against the image axes, in degrees.
constexpr double kMaxRotationDeg = 15.0;
/// The patch side in the reduced image the search runs on, in pixels.
constexpr double kReducedPatchSide = 8.0;
/// The white margin of a card around its outer patches: from 0.3 patch side
/// to one and a half grid steps (the edge search starts 0.2 patch side beyond
/// the patches).
constexpr double kMinMarginSides = 0.3;
constexpr double kMaxMarginSteps = 1.5;
/// Whiteness levels (brightest channel minus twice the chroma, 8-bit) at which
/// bright areas are cut out: fixed ones for cards under any exposure and
/// fractions of the photo's bright end.
constexpr int kFixedLevels[] = {90, 110, 130, 150, 170, 190, 210, 230};
constexpr double kRelativeLevels[] = {0.5, 0.65, 0.8};
/// Grid positions that may lack a patch, and the share of ground samples
/// between the patches that must look like card ground.
constexpr int kMissingPatchesAllowed = 2;
constexpr double kMinGroundShare = 0.8;
/// Edge profiles measured along each side of the card on the photo itself.
constexpr int kEdgeProfiles = 32;
constexpr int kMaxRejectedKept = 5;
/// The support mask frees the card shrunk by this many photo pixels, so that
/// a corner a pixel off frees no scene.
constexpr double kSupportInset = 1.0;

/// The chart's card in the reduced image's pixels.
struct CardGeometry {
    int rows = 0;
    int cols = 0;
    int factor = 1;      ///< reduction factor per axis
    double pitch = 0.0;  ///< grid step, reduced pixels
    double side = 0.0;   ///< patch side, reduced pixels
    double minW = 0.0;   ///< card width range (along the rows)
    double maxW = 0.0;
    double minH = 0.0;  ///< card height range (down the columns)
    double maxH = 0.0;
    double minMargin = 0.0;
};

/// A rotated rectangle with its angle folded into (-45, 45] degrees, so that
/// `width` runs along the image's x axis.
struct CardRect {
    cv::Point2d centre;
    double width = 0.0;
    double height = 0.0;
    double angleDeg = 0.0;

    cv::Point2d alongRow() const {
        const double a = angleDeg * kPi / 180.0;
        return {std::cos(a), std::sin(a)};
    }
    cv::Point2d downColumn() const {
        const double a = angleDeg * kPi / 180.0;
        return {-std::sin(a), std::cos(a)};
    }
    /// Top left, top right, bottom right, bottom left.
    std::array<cv::Point2d, 4> corners() const {
        const cv::Point2d u = alongRow() * (0.5 * width);
        const cv::Point2d v = downColumn() * (0.5 * height);
        return {centre - u - v, centre + u - v, centre + u + v, centre - u + v};
    }
};

CardRect foldRect(const cv::RotatedRect& box) {
    CardRect rect;
    rect.centre = cv::Point2d(box.center);
    rect.width = box.size.width;
    rect.height = box.size.height;
    double angle = box.angle;
    while (angle > 45.0) {
        angle -= 90.0;
        std::swap(rect.width, rect.height);
    }
    while (angle <= -45.0) {
        angle += 90.0;
        std::swap(rect.width, rect.height);
    }
    rect.angleDeg = angle;
    return rect;
}

/// Bilinear sample of a CV_32FC3 image; false outside it.
bool sampleColor(const cv::Mat& image, const cv::Point2d& p, cv::Vec3f& out) {
    if (!(p.x >= 0.0 && p.y >= 0.0 && p.x <= image.cols - 1.0 && p.y <= image.rows - 1.0)) {
        return false;
    }
    const int x0 = std::min(static_cast<int>(p.x), image.cols - 1);
    const int y0 = std::min(static_cast<int>(p.y), image.rows - 1);
    const int x1 = std::min(x0 + 1, image.cols - 1);
    const int y1 = std::min(y0 + 1, image.rows - 1);
    const float fx = static_cast<float>(p.x - x0);
    const float fy = static_cast<float>(p.y - y0);
    const auto* r0 = image.ptr<cv::Vec3f>(y0);
    const auto* r1 = image.ptr<cv::Vec3f>(y1);
    out = (r0[x0] * (1.0f - fx) + r0[x1] * fx) * (1.0f - fy) +
          (r1[x0] * (1.0f - fx) + r1[x1] * fx) * fy;
    return true;
}

float brightest(const cv::Vec3f& c) { return std::max({c[0], c[1], c[2]}); }
float chroma(const cv::Vec3f& c) { return brightest(c) - std::min({c[0], c[1], c[2]}); }

/// Whether a colour looks like a card's white ground lit to about `level`:
/// nearly neutral and at least `share` of the level.
bool looksLikeGround(const cv::Vec3f& c, double level, double share = 0.6) {
    const float v = brightest(c);
    return v >= share * level && chroma(c) <= 0.15f * v + 6.0f;
}

/// Mean of the three channels of the photo at (x, y), bilinear; false
/// outside the photo. Values that are not finite count as 0.
bool sampleLuma(const cv::Mat& photo, double x, double y, double& out) {
    if (!(x >= 0.0 && y >= 0.0 && x <= photo.cols - 1.0 && y <= photo.rows - 1.0)) {
        return false;
    }
    const int x0 = std::min(static_cast<int>(x), photo.cols - 1);
    const int y0 = std::min(static_cast<int>(y), photo.rows - 1);
    const int x1 = std::min(x0 + 1, photo.cols - 1);
    const int y1 = std::min(y0 + 1, photo.rows - 1);
    const double fx = x - x0;
    const double fy = y - y0;
    auto at = [&](int yy, int xx) {
        double sum = 0.0;
        if (photo.depth() == CV_8U) {
            const uchar* p = photo.ptr<uchar>(yy) + 3 * xx;
            sum = p[0] + p[1] + p[2];
        } else {
            const float* p = photo.ptr<float>(yy) + 3 * xx;
            for (int c = 0; c < 3; ++c) sum += std::isfinite(p[c]) ? p[c] : 0.0;
        }
        return sum / 3.0;
    };
    out = (at(y0, x0) * (1.0 - fx) + at(y0, x1) * fx) * (1.0 - fy) +
          (at(y1, x0) * (1.0 - fx) + at(y1, x1) * fx) * fy;
    return true;
}

/// How well the chart's grid fits inside a candidate.
struct GridCheck {
    int patches = 0;   ///< positions that hold a patch
    int groundOk = 0;  ///< ground samples that look like card ground
    int groundTotal = 0;
    double score = 0.0;
};

/// Checks the chart's grid, centred on the rectangle's centre shifted by
/// (`du`, `dv`) grid-axis pixels, against the reduced image.
GridCheck checkGrid(const CardGeometry& g, const CardRect& rect, double du, double dv,
                    const cv::Mat& reduced, const cv::Mat& smoothed) {
    const cv::Point2d u = rect.alongRow();
    const cv::Point2d v = rect.downColumn();
    const cv::Point2d origin = rect.centre + u * du + v * dv;
    // The ground's level: the upper quartile of the samples between patches.
    std::vector<cv::Vec3f> ground;
    std::vector<float> levels;
    GridCheck check;
    const cv::Point2d offsets[4] = {u * (0.5 * g.pitch), -u * (0.5 * g.pitch), v * (0.5 * g.pitch),
                                    -v * (0.5 * g.pitch)};
    std::vector<std::array<cv::Vec3f, 4>> samples(static_cast<std::size_t>(g.rows * g.cols));
    std::vector<std::array<bool, 4>> inside(samples.size());
    std::vector<cv::Vec3f> centres(samples.size());
    std::vector<bool> centreInside(samples.size());
    for (int r = 0; r < g.rows; ++r) {
        for (int c = 0; c < g.cols; ++c) {
            const std::size_t k = static_cast<std::size_t>(r) * static_cast<std::size_t>(g.cols) +
                                  static_cast<std::size_t>(c);
            const cv::Point2d p = origin + u * ((c - 0.5 * (g.cols - 1)) * g.pitch) +
                                  v * ((r - 0.5 * (g.rows - 1)) * g.pitch);
            centreInside[k] = sampleColor(smoothed, p, centres[k]);
            for (int s = 0; s < 4; ++s) {
                inside[k][s] = sampleColor(reduced, p + offsets[s], samples[k][s]);
                if (inside[k][s]) levels.push_back(brightest(samples[k][s]));
            }
        }
    }
    if (levels.empty()) {
        return check;
    }
    const std::size_t q = levels.size() * 3 / 4;
    std::nth_element(levels.begin(), levels.begin() + static_cast<std::ptrdiff_t>(q), levels.end());
    const double level = levels[q];
    for (std::size_t k = 0; k < samples.size(); ++k) {
        cv::Vec3f sum(0, 0, 0);
        int n = 0;
        for (int s = 0; s < 4; ++s) {
            ++check.groundTotal;
            if (inside[k][s] && looksLikeGround(samples[k][s], level)) {
                ++check.groundOk;
                sum += samples[k][s];
                ++n;
            }
        }
        if (n < 2 || !centreInside[k]) {
            continue;
        }
        const cv::Vec3f groundColour = sum * (1.0f / static_cast<float>(n));
        float difference = 0.0f;
        for (int ch = 0; ch < 3; ++ch) {
            difference = std::max(difference, std::fabs(centres[k][ch] - groundColour[ch]));
        }
        if (difference >= std::max(12.0f, 0.1f * brightest(groundColour))) {
            ++check.patches;
        }
    }
    check.score = (static_cast<double>(check.patches) / static_cast<double>(samples.size())) *
                  (static_cast<double>(check.groundOk) / std::max(1, check.groundTotal));
    return check;
}

/// A verified or rejected candidate in reduced pixels.
struct Candidate {
    CardRect rect;
    double du = 0.0;
    double dv = 0.0;
    GridCheck grid;
    double fill = 0.0;  ///< contour area / rectangle area
    bool accepted = false;
    std::string reason;
};

std::string describeSize(const CardGeometry& g, const CardRect& rect) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "a bright area of %.0f x %.0f px turned by %.1f degrees, where the card is "
                  "%.0f-%.0f x %.0f-%.0f px within %.0f degrees",
                  rect.width * g.factor, rect.height * g.factor, rect.angleDeg, g.minW * g.factor,
                  g.maxW * g.factor, g.minH * g.factor, g.maxH * g.factor, kMaxRotationDeg);
    return text;
}

Candidate judgeContour(const CardGeometry& g, const std::vector<cv::Point>& contour,
                       const cv::Mat& reduced, const cv::Mat& smoothed) {
    Candidate candidate;
    candidate.rect = foldRect(cv::minAreaRect(contour));
    const CardRect& rect = candidate.rect;
    const double area = std::max(1.0, rect.width * rect.height);
    candidate.fill = cv::contourArea(contour) / area;
    if (std::fabs(rect.angleDeg) > kMaxRotationDeg + 1.0 || rect.width < g.minW ||
        rect.width > g.maxW || rect.height < g.minH || rect.height > g.maxH) {
        candidate.reason = describeSize(g, rect);
        return candidate;
    }
    if (candidate.fill < 0.8) {
        char text[120];
        std::snprintf(text, sizeof text, "not a quadrilateral (it fills %.0f%% of its box)",
                      100.0 * candidate.fill);
        candidate.reason = text;
        return candidate;
    }
    // The grid may sit off the box's centre by what the margins leave free.
    const double spareU = std::min(0.5 * g.pitch, std::max(0.0, 0.5 * (rect.width - g.minW)));
    const double spareV = std::min(0.5 * g.pitch, std::max(0.0, 0.5 * (rect.height - g.minH)));
    for (double du = -std::floor(spareU); du <= spareU; du += 1.0) {
        for (double dv = -std::floor(spareV); dv <= spareV; dv += 1.0) {
            const GridCheck check = checkGrid(g, rect, du, dv, reduced, smoothed);
            if (check.score > candidate.grid.score) {
                candidate.grid = check;
                candidate.du = du;
                candidate.dv = dv;
            }
        }
    }
    const int positions = g.rows * g.cols;
    const GridCheck& best = candidate.grid;
    if (best.patches < positions - kMissingPatchesAllowed) {
        candidate.reason = "only " + std::to_string(best.patches) + " of " +
                           std::to_string(positions) + " grid positions hold a patch";
        return candidate;
    }
    if (best.groundOk < kMinGroundShare * best.groundTotal) {
        candidate.reason = "the ground between the patches is not card ground (" +
                           std::to_string(best.groundOk) + " of " +
                           std::to_string(best.groundTotal) + " samples)";
        return candidate;
    }
    candidate.accepted = true;
    return candidate;
}

/// The photo reduced by `factor` per axis to CV_8UC3, display-encoded; the
/// reduction averages whole blocks of `factor` x `factor` pixels.
cv::Mat reducePhoto(const cv::Mat& photo, int factor, bool linear) {
    const int w = photo.cols / factor;
    const int h = photo.rows / factor;
    cv::Mat reduced;
    cv::resize(photo(cv::Rect(0, 0, w * factor, h * factor)), reduced, cv::Size(w, h), 0, 0,
               cv::INTER_AREA);
    if (reduced.depth() == CV_8U && !linear) {
        return reduced;
    }
    cv::Mat values;
    reduced.convertTo(values, CV_32F);
    cv::Mat flat = values.reshape(1);
    cv::patchNaNs(flat, 0.0);
    cv::max(flat, 0.0, flat);
    cv::min(flat, 255.0, flat);
    if (linear) {
        // The sRGB curve without its linear toe is close enough for finding a card.
        flat *= 1.0 / 255.0;
        cv::pow(flat, 1.0 / 2.4, flat);
        flat = flat * (1.055 * 255.0) - 0.055 * 255.0;
    }
    cv::Mat bytes;
    values.convertTo(bytes, CV_8U);
    return bytes;
}

/// Finds the card's edge walking outward from `q` (on the card's margin,
/// just beyond the outer patches) along the normal `n`, at most `reach`
/// pixels: the first lasting fall of brightness below the margin's level, to
/// a fraction of a pixel where the profile crosses the middle between the
/// margin's level and the level beyond. A pale object lying against the
/// card shows no such fall at the card's edge and yields a point further
/// out, which the line fit discards.
bool findEdge(const cv::Mat& photo, const cv::Point2d& q, const cv::Point2d& n,
              const cv::Point2d& d, double reach, cv::Point2d& edge) {
    constexpr double kStep = 1.0;
    const int count = static_cast<int>(reach / kStep) + 1;
    std::vector<double> profile(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const double s = i * kStep;
        double sum = 0.0;
        for (int e = -1; e <= 1; ++e) {
            const cv::Point2d p = q + n * s + d * (1.5 * e);
            double value = 0.0;
            if (!sampleLuma(photo, p.x, p.y, value)) {
                // The photo ends: the edge must have come before.
                profile.resize(static_cast<std::size_t>(i));
                i = count;
                break;
            }
            sum += value;
        }
        if (i < count) profile[static_cast<std::size_t>(i)] = sum / 3.0;
    }
    const int size = static_cast<int>(profile.size());
    const int band = static_cast<int>(3.0 / kStep);
    if (size < 4 * band) {
        return false;
    }
    double inner = 0.0;
    for (int i = 0; i < band; ++i) inner += profile[static_cast<std::size_t>(i)];
    inner /= band;
    const double drop = std::max(8.0, 0.12 * inner);
    int fall = -1;
    for (int i = band; i + band < size; ++i) {
        bool lasting = true;
        for (int k = 0; k < band && lasting; ++k) {
            lasting =
                profile[static_cast<std::size_t>(i) + static_cast<std::size_t>(k)] < inner - drop;
        }
        if (lasting) {
            fall = i;
            break;
        }
    }
    if (fall < 0) {
        return false;
    }
    double outer = 0.0;
    int outerCount = 0;
    for (int i = fall + band; i < std::min(size, fall + 3 * band); ++i) {
        outer += profile[static_cast<std::size_t>(i)];
        ++outerCount;
    }
    if (outerCount == 0) {
        return false;
    }
    outer /= outerCount;
    if (inner - outer < drop) {
        return false;
    }
    // The fall starts above the middle; the crossing lies at or after it.
    const double middle = 0.5 * (inner + outer);
    for (int i = std::max(1, fall - band); i < std::min(size, fall + 2 * band); ++i) {
        const double a = profile[static_cast<std::size_t>(i - 1)];
        const double b = profile[static_cast<std::size_t>(i)];
        if (a >= middle && b < middle) {
            const double s = (i - 1 + (a - middle) / (a - b)) * kStep;
            edge = q + n * s;
            return true;
        }
    }
    return false;
}

/// A line through `points` fitted to the largest set that lies within a
/// pixel of a line through two of them (`inlierCount` of them); false with
/// fewer than `minimum`.
bool fitEdgeLine(const std::vector<cv::Point2d>& points, std::size_t minimum, cv::Point2d& origin,
                 cv::Point2d& direction, int& inlierCount) {
    if (points.size() < minimum) {
        return false;
    }
    std::vector<std::size_t> bestInliers;
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (std::size_t j = i + 1; j < points.size(); ++j) {
            const cv::Point2d dir = points[j] - points[i];
            const double length = std::hypot(dir.x, dir.y);
            if (length < 1.0) continue;
            const cv::Point2d normal(-dir.y / length, dir.x / length);
            std::vector<std::size_t> inliers;
            for (std::size_t k = 0; k < points.size(); ++k) {
                if (std::fabs((points[k] - points[i]).dot(normal)) <= 1.0) inliers.push_back(k);
            }
            if (inliers.size() > bestInliers.size()) bestInliers = std::move(inliers);
        }
    }
    if (bestInliers.size() < minimum) {
        return false;
    }
    inlierCount = static_cast<int>(bestInliers.size());
    std::vector<cv::Point2f> chosen;
    for (std::size_t k : bestInliers) chosen.emplace_back(points[k]);
    cv::Vec4f line;
    cv::fitLine(chosen, line, cv::DIST_L2, 0, 0.01, 0.01);
    direction = cv::Point2d(line[0], line[1]);
    origin = cv::Point2d(line[2], line[3]);
    return true;
}

bool intersect(const cv::Point2d& p1, const cv::Point2d& d1, const cv::Point2d& p2,
               const cv::Point2d& d2, cv::Point2d& out) {
    const double det = d1.x * d2.y - d1.y * d2.x;
    if (std::fabs(det) < 1e-6) return false;
    const cv::Point2d w = p2 - p1;
    const double t = (w.x * d2.y - w.y * d2.x) / det;
    out = p1 + d1 * t;
    return true;
}

/// Corners measured on the photo and how many edge points agree with them.
struct RefinedCorners {
    std::array<cv::Point2d, 4> corners{};
    int edgePoints = 0;  ///< 0: the edges could not be measured; `corners` are the coarse ones
};

/// The chart's grid placed in the photo: centre, unit axes along a row and
/// down a column, and the half extents of the patches' area (photo pixels).
struct PlacedGrid {
    cv::Point2d centre;
    cv::Point2d u;
    cv::Point2d v;
    double halfW = 0.0;
    double halfH = 0.0;
};

/// The card's corners measured on the photo: each side's edge is searched
/// outward from the patches' area, starting `start` pixels beyond it and
/// reaching `reach` pixels, and a line is fitted to the edge points; the
/// four lines meet in the corners. `edgePoints` stays 0 (and the corners
/// `fallback`) when a side cannot be measured.
RefinedCorners refineCorners(const cv::Mat& photo, const PlacedGrid& grid, double start,
                             double reach, const std::array<cv::Point2d, 4>& fallback) {
    RefinedCorners result;
    result.corners = fallback;
    int edgePoints = 0;
    std::array<cv::Point2d, 4> origins;
    std::array<cv::Point2d, 4> directions;
    // Sides top, right, bottom, left: the corner they start from (clockwise
    // in the image), their direction and their outward normal.
    const cv::Point2d tl = grid.centre - grid.u * grid.halfW - grid.v * grid.halfH;
    const cv::Point2d tr = grid.centre + grid.u * grid.halfW - grid.v * grid.halfH;
    const cv::Point2d br = grid.centre + grid.u * grid.halfW + grid.v * grid.halfH;
    const cv::Point2d bl = grid.centre - grid.u * grid.halfW + grid.v * grid.halfH;
    const std::array<cv::Point2d, 4> from = {tl, tr, br, bl};
    const std::array<cv::Point2d, 4> to = {tr, br, bl, tl};
    const std::array<cv::Point2d, 4> normals = {-grid.v, grid.u, grid.v, -grid.u};
    for (std::size_t e = 0; e < 4; ++e) {
        const cv::Point2d a = from[e];
        const cv::Point2d b = to[e];
        const double length = std::hypot(b.x - a.x, b.y - a.y);
        const cv::Point2d d = (b - a) * (1.0 / std::max(length, 1e-9));
        std::vector<cv::Point2d> edges;
        for (int k = 0; k < kEdgeProfiles; ++k) {
            const double t = 0.03 + 0.94 * (k + 0.5) / kEdgeProfiles;
            cv::Point2d edge;
            if (findEdge(photo, a + (b - a) * t + normals[e] * start, normals[e], d, reach, edge)) {
                edges.push_back(edge);
            }
        }
        int inliers = 0;
        if (!fitEdgeLine(edges, kEdgeProfiles / 4, origins[e], directions[e], inliers)) {
            return result;
        }
        edgePoints += inliers;
    }
    std::array<cv::Point2d, 4> refined;
    for (std::size_t c = 0; c < 4; ++c) {
        const std::size_t before = (c + 3) % 4;
        if (!intersect(origins[before], directions[before], origins[c], directions[c],
                       refined[c])) {
            return result;
        }
        // A corner must lie beyond the patches' corner, within the reach.
        const cv::Point2d shift = refined[c] - from[c];
        const double outward = std::hypot(shift.x, shift.y);
        if (!(outward <= std::sqrt(2.0) * (start + reach) + 2.0)) {
            return result;
        }
    }
    result.corners = refined;
    result.edgePoints = edgePoints;
    return result;
}

std::array<cv::Point2f, 4> toFloat(const std::array<cv::Point2d, 4>& corners) {
    std::array<cv::Point2f, 4> out;
    for (std::size_t k = 0; k < 4; ++k) out[k] = cv::Point2f(corners[k]);
    return out;
}

/// Photo coordinates of a reduced-image point (pixel centres at integers in both).
cv::Point2d toPhoto(const cv::Point2d& p, int factor) {
    return p * static_cast<double>(factor) + cv::Point2d(0.5 * (factor - 1), 0.5 * (factor - 1));
}

/// The support mask: 255 everywhere but on the card, shrunk by `inset` photo
/// pixels, where it is 0 except over whatever covers the card's margin (a
/// hand, a shadow): reduced pixels of the margin band that differ from the
/// ground's level or colour cast, grown by one reduced pixel. The patches stay 0; the engine
/// excludes them itself, and the ground between them is what the white
/// estimate needs most.
cv::Mat buildSupportMask(cv::Size size, const std::array<cv::Point2d, 4>& corners, double inset,
                         const cv::Mat& reduced, int factor, double level,
                         const cv::Vec3f& groundCast, const std::array<cv::Point2d, 4>& gridBox) {
    cv::Mat mask(size, CV_8U, cv::Scalar(255));
    cv::Point2d centre(0, 0);
    for (const cv::Point2d& c : corners) centre += c * 0.25;
    std::vector<cv::Point> shrunk;
    constexpr int kShift = 4;
    for (const cv::Point2d& c : corners) {
        const cv::Point2d towards = centre - c;
        const double length = std::max(1e-9, std::hypot(towards.x, towards.y));
        // Moving a corner by inset * sqrt(2) along the diagonal moves both its
        // edges inward by about `inset`.
        const cv::Point2d p = c + towards * (inset * std::sqrt(2.0) / length);
        shrunk.emplace_back(cvRound(p.x * (1 << kShift)), cvRound(p.y * (1 << kShift)));
    }
    const cv::Rect box = cv::boundingRect(shrunk);
    const cv::Rect scaledBox(box.x >> kShift, box.y >> kShift, (box.width >> kShift) + 2,
                             (box.height >> kShift) + 2);
    const cv::Rect area = scaledBox & cv::Rect(cv::Point(0, 0), size);
    if (area.empty()) {
        return mask;
    }
    cv::Mat card = cv::Mat::zeros(area.size(), CV_8U);
    std::vector<cv::Point> local;
    for (const cv::Point& p : shrunk) {
        local.emplace_back(p.x - (area.x << kShift), p.y - (area.y << kShift));
    }
    cv::fillConvexPoly(card, local, cv::Scalar(255), cv::LINE_8, kShift);
    // Foreign pixels of the margin band in the reduced image: only where a
    // reduced pixel lies wholly on the card (its outer ring mixes card and
    // scene and would exclude a band of good ground along every edge).
    cv::Mat grid = cv::Mat::zeros(reduced.size(), CV_8U);
    std::vector<cv::Point> gridPolygon;
    for (const cv::Point2d& c : gridBox) gridPolygon.emplace_back(cv::Point(c));
    cv::fillConvexPoly(grid, gridPolygon, cv::Scalar(255));
    cv::Mat inner = cv::Mat::zeros(reduced.size(), CV_8U);
    {
        std::vector<cv::Point> polygon;
        const double half = 0.5 * (factor - 1);
        cv::Point2d reducedCentre(0, 0);
        for (const cv::Point2d& c : corners)
            reducedCentre += (c - cv::Point2d(half, half)) * (0.25 / factor);
        for (const cv::Point2d& c : corners) {
            const cv::Point2d p = (c - cv::Point2d(half, half)) * (1.0 / factor);
            const cv::Point2d towards = reducedCentre - p;
            const double length = std::max(1e-9, std::hypot(towards.x, towards.y));
            const cv::Point2d q = p + towards * (1.5 * std::sqrt(2.0) / length);
            polygon.emplace_back(cvRound(q.x * (1 << kShift)), cvRound(q.y * (1 << kShift)));
        }
        cv::fillConvexPoly(inner, polygon, cv::Scalar(255), cv::LINE_8, kShift);
    }
    cv::Mat foreign(reduced.size(), CV_8U);
    for (int y = 0; y < reduced.rows; ++y) {
        const auto* in = reduced.ptr<cv::Vec3b>(y);
        const uchar* inGrid = grid.ptr<uchar>(y);
        uchar* out = foreign.ptr<uchar>(y);
        for (int x = 0; x < reduced.cols; ++x) {
            // Lenient in brightness (the margin's far corner may lie in shade);
            // the colour is compared with the ground's own cast.
            const cv::Vec3f c(in[x]);
            const float v = std::max(brightest(c), 1.0f);
            float cast = 0.0f;
            for (int ch = 0; ch < 3; ++ch) {
                cast = std::max(cast, std::fabs(c[ch] / v - groundCast[ch]));
            }
            const bool isGround = v >= 0.45 * level && cast <= 0.12f;
            out[x] = inGrid[x] == 0 && inner.at<uchar>(y, x) != 0 && !isGround ? 255 : 0;
        }
    }
    cv::dilate(foreign, foreign, cv::Mat());
    for (int y = 0; y < area.height; ++y) {
        const int ry = std::min((area.y + y) / factor, reduced.rows - 1);
        const uchar* inCard = card.ptr<uchar>(y);
        const uchar* isForeign = foreign.ptr<uchar>(ry);
        uchar* out = mask.ptr<uchar>(area.y + y);
        for (int x = 0; x < area.width; ++x) {
            const int rx = std::min((area.x + x) / factor, reduced.cols - 1);
            if (inCard[x] != 0 && isForeign[rx] == 0) out[area.x + x] = 0;
        }
    }
    return mask;
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
    CardGeometry g;
    g.rows = m_rows;
    g.cols = m_columns;
    g.factor = std::max(1, static_cast<int>(std::lround(m_sideLength / kReducedPatchSide)));
    const double f = g.factor;
    g.pitch = m_gridLength / f;
    g.side = m_sideLength / f;
    const double gridW = ((g.cols - 1) * m_gridLength + m_sideLength) / f;
    const double gridH = ((g.rows - 1) * m_gridLength + m_sideLength) / f;
    g.minMargin = kMinMarginSides * g.side;
    const double maxMargin = kMaxMarginSteps * g.pitch;
    // A little slack for the blur of the reduced image and a rectangle fitted
    // around pixel blocks.
    g.minW = gridW + 2.0 * g.minMargin - 2.0;
    g.maxW = gridW + 2.0 * maxMargin + 2.0;
    g.minH = gridH + 2.0 * g.minMargin - 2.0;
    g.maxH = gridH + 2.0 * maxMargin + 2.0;
    const double diagonal = std::hypot(g.minW, g.minH) * f;
    // Whole blocks of the reduction only: the reduced image's size.
    const int reducedCols = photo.cols / g.factor;
    const int reducedRows = photo.rows / g.factor;
    if (reducedCols < g.minW || reducedRows < g.minH ||
        static_cast<double>(photo.cols) * photo.rows < 0.5 * diagonal * diagonal) {
        location.reason = "the photo is smaller than the chart's card";
        return location;
    }

    const cv::Mat reduced = reducePhoto(photo, g.factor, m_linearInput);
    cv::Mat reducedF;
    reduced.convertTo(reducedF, CV_32F);
    cv::Mat smoothed;
    cv::blur(reducedF, smoothed, cv::Size(3, 3));
    std::vector<cv::Mat> channels;
    cv::split(reduced, channels);
    cv::Mat value;
    cv::Mat lowest;
    cv::max(channels[0], channels[1], value);
    cv::max(value, channels[2], value);
    cv::min(channels[0], channels[1], lowest);
    cv::min(lowest, channels[2], lowest);
    cv::Mat whiteness = value - 2 * (value - lowest);  // saturates at 0

    std::vector<int> levels(std::begin(kFixedLevels), std::end(kFixedLevels));
    {
        const int histSize = 256;
        std::vector<int> hist(histSize, 0);
        for (int y = 0; y < whiteness.rows; ++y) {
            const uchar* row = whiteness.ptr<uchar>(y);
            for (int x = 0; x < whiteness.cols; ++x) ++hist[row[x]];
        }
        const long long total = static_cast<long long>(whiteness.total());
        long long seen = 0;
        int top = 255;
        for (; top > 0; --top) {
            seen += hist[static_cast<std::size_t>(top)];
            if (seen * 200 >= total) break;  // the brightest half percent
        }
        for (double share : kRelativeLevels) levels.push_back(static_cast<int>(share * top));
    }
    std::sort(levels.begin(), levels.end());
    levels.erase(std::unique(levels.begin(), levels.end()), levels.end());

    const double minArea = 0.5 * g.minW * g.minH;
    std::vector<Candidate> accepted;
    std::vector<Candidate> rejected;
    cv::Mat mask;
    for (int level : levels) {
        if (level <= 0) continue;
        cv::compare(whiteness, level, mask, cv::CMP_GT);
        cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, cv::Mat());
        std::vector<std::vector<cv::Point>> contours;
        cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
        for (const std::vector<cv::Point>& contour : contours) {
            const cv::Rect box = cv::boundingRect(contour);
            if (static_cast<double>(box.width) * box.height < minArea) continue;
            Candidate candidate = judgeContour(g, contour, reducedF, smoothed);
            (candidate.accepted ? accepted : rejected).push_back(std::move(candidate));
        }
    }

    auto toPhotoCorners = [&](const CardRect& rect) {
        std::array<cv::Point2d, 4> corners = rect.corners();
        for (cv::Point2d& c : corners) c = toPhoto(c, g.factor);
        return corners;
    };
    if (accepted.empty()) {
        // Keep the most card-like of the rejected regions, one per place.
        std::sort(rejected.begin(), rejected.end(), [](const Candidate& a, const Candidate& b) {
            return a.grid.score != b.grid.score
                       ? a.grid.score > b.grid.score
                       : a.rect.width * a.rect.height > b.rect.width * b.rect.height;
        });
        for (const Candidate& c : rejected) {
            if (static_cast<int>(location.rejected.size()) >= kMaxRejectedKept) break;
            const bool seen = std::any_of(
                location.rejected.begin(), location.rejected.end(),
                [&](const ChartCardCandidate& k) {
                    const cv::Point2d centre = toPhoto(c.rect.centre, g.factor);
                    const cv::Point2d other =
                        0.5 * (cv::Point2d(k.corners[0]) + cv::Point2d(k.corners[2]));
                    return std::hypot(centre.x - other.x, centre.y - other.y) < m_gridLength;
                });
            if (seen) continue;
            location.rejected.push_back({toFloat(toPhotoCorners(c.rect)), c.reason, c.grid.score});
        }
        location.reason = location.rejected.empty()
                              ? "no bright area of the card's size"
                              : "no card with the chart's patches; the most card-like area: " +
                                    location.rejected.front().reason;
        return location;
    }
    // The same card is usually cut out at several levels, more or less well
    // (a hand or a pale object beside it may join it at a low level). Of the
    // candidates with (nearly) the best grid, the one whose outline the
    // photo's edges confirm best wins.
    double bestScore = 0.0;
    for (const Candidate& c : accepted) bestScore = std::max(bestScore, c.grid.score);
    const Candidate* best = nullptr;
    RefinedCorners bestCorners;
    const double gridHalfW = 0.5 * ((g.cols - 1) * m_gridLength + m_sideLength);
    const double gridHalfH = 0.5 * ((g.rows - 1) * m_gridLength + m_sideLength);
    std::vector<const Candidate*> measured;
    for (const Candidate& c : accepted) {
        if (c.grid.score < bestScore - 0.1) continue;
        // Several levels often cut out the same outline: measure it once.
        const bool same = std::any_of(measured.begin(), measured.end(), [&](const Candidate* m) {
            return std::hypot(m->rect.centre.x - c.rect.centre.x,
                              m->rect.centre.y - c.rect.centre.y) < 0.75 &&
                   std::fabs(m->rect.width - c.rect.width) < 1.0 &&
                   std::fabs(m->rect.height - c.rect.height) < 1.0 &&
                   std::fabs(m->rect.angleDeg - c.rect.angleDeg) < 0.5 && m->du == c.du &&
                   m->dv == c.dv;
        });
        if (same) continue;
        measured.push_back(&c);
        PlacedGrid grid;
        grid.u = c.rect.alongRow();
        grid.v = c.rect.downColumn();
        grid.centre = toPhoto(c.rect.centre + grid.u * c.du + grid.v * c.dv, g.factor);
        grid.halfW = gridHalfW;
        grid.halfH = gridHalfH;
        const RefinedCorners refined =
            refineCorners(photo, grid, 0.2 * m_sideLength, kMaxMarginSteps * m_gridLength + 2.0 * f,
                          toPhotoCorners(c.rect));
        if (best == nullptr || refined.edgePoints > bestCorners.edgePoints ||
            (refined.edgePoints == bestCorners.edgePoints && c.grid.score > best->grid.score)) {
            best = &c;
            bestCorners = refined;
        }
    }
    const std::array<cv::Point2d, 4>& corners = bestCorners.corners;
    location.found = true;
    location.corners = toFloat(corners);
    location.score = best->grid.score;
    double minX = corners[0].x;
    double maxX = minX;
    double minY = corners[0].y;
    double maxY = minY;
    for (const cv::Point2d& c : corners) {
        minX = std::min(minX, c.x);
        maxX = std::max(maxX, c.x);
        minY = std::min(minY, c.y);
        maxY = std::max(maxY, c.y);
    }
    const double margin = 0.2 * m_gridLength;
    const int x0 = static_cast<int>(std::clamp(std::floor(minX - margin), 0.0, double(photo.cols)));
    const int y0 = static_cast<int>(std::clamp(std::floor(minY - margin), 0.0, double(photo.rows)));
    const int x1 =
        static_cast<int>(std::clamp(std::ceil(maxX + margin) + 1.0, 0.0, double(photo.cols)));
    const int y1 =
        static_cast<int>(std::clamp(std::ceil(maxY + margin) + 1.0, 0.0, double(photo.rows)));
    location.regionOfInterest = cv::Rect(x0, y0, x1 - x0, y1 - y0);
    // The ground level the grid check measured, back from its score's samples.
    double level = 0.0;
    cv::Vec3f groundCast(1.0f, 1.0f, 1.0f);
    {
        std::vector<float> values;
        std::vector<cv::Vec3f> casts;
        const cv::Point2d u = best->rect.alongRow();
        const cv::Point2d v = best->rect.downColumn();
        const cv::Point2d origin = best->rect.centre + u * best->du + v * best->dv;
        for (int r = 0; r <= g.rows; ++r) {
            for (int c = 0; c <= g.cols; ++c) {
                const cv::Point2d p = origin + u * ((c - 0.5 * g.cols) * g.pitch) +
                                      v * ((r - 0.5 * g.rows) * g.pitch);
                cv::Vec3f colour;
                if (sampleColor(reducedF, p, colour)) {
                    values.push_back(brightest(colour));
                    casts.push_back(colour * (1.0f / std::max(1.0f, brightest(colour))));
                }
            }
        }
        if (!values.empty()) {
            const std::size_t q = values.size() * 3 / 4;
            std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(q),
                             values.end());
            level = values[q];
            // The ground's colour cast: per channel median of the samples' ratios to
            // their brightest channel.
            for (int ch = 0; ch < 3; ++ch) {
                std::vector<float> ratios;
                for (const cv::Vec3f& c : casts) ratios.push_back(c[ch]);
                std::nth_element(ratios.begin(),
                                 ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2),
                                 ratios.end());
                groundCast[ch] = ratios[ratios.size() / 2];
            }
        }
    }
    // The patches' area in reduced pixels, a pixel beyond the outer patches' edges.
    std::array<cv::Point2d, 4> gridBox;
    {
        const cv::Point2d u = best->rect.alongRow();
        const cv::Point2d v = best->rect.downColumn();
        const cv::Point2d origin = best->rect.centre + u * best->du + v * best->dv;
        const double halfW = 0.5 * ((g.cols - 1) * g.pitch + g.side) + 1.0;
        const double halfH = 0.5 * ((g.rows - 1) * g.pitch + g.side) + 1.0;
        gridBox = {origin - u * halfW - v * halfH, origin + u * halfW - v * halfH,
                   origin + u * halfW + v * halfH, origin - u * halfW + v * halfH};
    }
    location.supportMask = buildSupportMask(photo.size(), corners, kSupportInset, reduced, g.factor,
                                            level, groundCast, gridBox);
    return location;
}

}  // namespace DataLayer
