// Measuring a located card on the photo: the card's edges and corners and
// the support mask of its white ground.
#include "DataLayer/ShadeAnalysis/CardLocation/CardOutline.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CardLocation/PhotoSampling.h"

namespace DataLayer {
namespace CardLocation {

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

bool findStep(const cv::Mat& photo, const cv::Point2d& q, const cv::Point2d& n,
              const cv::Point2d& d, double reach, cv::Point2d& edge) {
    constexpr int kWindow = 3;  // pixels averaged on either side of a step
    const int count = static_cast<int>(reach) + 1;
    std::vector<double> profile;
    profile.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        double sum = 0.0;
        bool inside = true;
        for (int e = -1; e <= 1 && inside; ++e) {
            const cv::Point2d p = q + n * static_cast<double>(i) + d * (1.5 * e);
            double value = 0.0;
            inside = sampleLuma(photo, p.x, p.y, value);
            sum += value;
        }
        if (!inside) break;  // the photo ends: the edge must have come before
        profile.push_back(sum / 3.0);
    }
    const int size = static_cast<int>(profile.size());
    if (size < 4 * kWindow) return false;
    // The margin's level and noise, from its first pixels.
    double level = 0.0;
    for (int i = 0; i < 2 * kWindow; ++i) level += profile[static_cast<std::size_t>(i)];
    level /= 2 * kWindow;
    double noise = 0.0;
    for (int i = 1; i < 2 * kWindow; ++i) {
        noise += std::fabs(profile[static_cast<std::size_t>(i)] -
                           profile[static_cast<std::size_t>(i - 1)]);
    }
    noise /= 2 * kWindow - 1;
    const double threshold = std::max({3.0, 0.03 * level, 2.0 * noise});
    auto stepAt = [&](int i) {
        double before = 0.0;
        double after = 0.0;
        for (int k = 0; k < kWindow; ++k) {
            const int earlier = i - 1 - k;
            const int later = i + k;
            before += profile[static_cast<std::size_t>(earlier)];
            after += profile[static_cast<std::size_t>(later)];
        }
        return (after - before) / kWindow;
    };
    for (int i = kWindow; i + kWindow <= size; ++i) {
        const double step = stepAt(i);
        if (std::fabs(step) < threshold) continue;
        // The strongest point of this step, then the crossing of the middle
        // between the levels on either side, to a fraction of a pixel.
        int best = i;
        for (int j = i + 1; j + kWindow <= size && j < i + 2 * kWindow; ++j) {
            if (std::fabs(stepAt(j)) > std::fabs(stepAt(best))) best = j;
        }
        double before = 0.0;
        double after = 0.0;
        for (int k = 0; k < kWindow; ++k) {
            before += profile[static_cast<std::size_t>(std::max(0, best - 1 - k))];
            after += profile[static_cast<std::size_t>(std::min(size - 1, best + k))];
        }
        const double middle = 0.5 * (before + after) / kWindow;
        for (int j = std::max(1, best - kWindow); j <= std::min(size - 1, best + kWindow); ++j) {
            const double a = profile[static_cast<std::size_t>(j - 1)] - middle;
            const double b = profile[static_cast<std::size_t>(j)] - middle;
            if ((a >= 0.0) != (b >= 0.0)) {
                edge = q + n * (j - 1 + a / (a - b));
                return true;
            }
        }
        edge = q + n * (best - 0.5);
        return true;
    }
    return false;
}

namespace {

/// The least-squares line through the `chosen` ones of `points`.
void lineThrough(const std::vector<cv::Point2d>& points, const std::vector<std::size_t>& chosen,
                 cv::Point2d& origin, cv::Point2d& direction) {
    std::vector<cv::Point2f> selected;
    for (std::size_t k : chosen) selected.emplace_back(points[k]);
    cv::Vec4f line;
    cv::fitLine(selected, line, cv::DIST_L2, 0, 0.01, 0.01);
    direction = cv::Point2d(line[0], line[1]);
    origin = cv::Point2d(line[2], line[3]);
}

}  // namespace

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
    lineThrough(points, bestInliers, origin, direction);
    return true;
}

bool fitNearestEdgeLine(const std::vector<cv::Point2d>& points,
                        const std::vector<double>& distances, std::size_t minimum,
                        cv::Point2d& origin, cv::Point2d& direction) {
    if (points.size() < minimum || distances.size() != points.size()) {
        return false;
    }
    // Every line through two points with at least `minimum` inliers.
    struct Candidate {
        std::vector<std::size_t> inliers;
        double distance = 0.0;
    };
    std::vector<Candidate> lines;
    std::size_t largest = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (std::size_t j = i + 1; j < points.size(); ++j) {
            const cv::Point2d dir = points[j] - points[i];
            const double length = std::hypot(dir.x, dir.y);
            if (length < 1.0) continue;
            const cv::Point2d normal(-dir.y / length, dir.x / length);
            Candidate line;
            double sum = 0.0;
            for (std::size_t k = 0; k < points.size(); ++k) {
                if (std::fabs((points[k] - points[i]).dot(normal)) <= 1.0) {
                    line.inliers.push_back(k);
                    sum += distances[k];
                }
            }
            if (line.inliers.size() < minimum) continue;
            line.distance = sum / static_cast<double>(line.inliers.size());
            largest = std::max(largest, line.inliers.size());
            lines.push_back(std::move(line));
        }
    }
    // The nearest line wins among those at least half as well supported as
    // the best supported one (a few fingertips in a row do not make the
    // card's edge); of lines as near (within two pixels), the one more
    // points agree on.
    std::vector<std::size_t> best;
    double bestDistance = 0.0;
    for (Candidate& line : lines) {
        if (2 * line.inliers.size() < largest) continue;
        if (best.empty() || line.distance < bestDistance - 2.0 ||
            (line.distance < bestDistance + 2.0 && line.inliers.size() > best.size())) {
            bestDistance = line.distance;
            best = std::move(line.inliers);
        }
    }
    if (best.empty()) {
        return false;
    }
    lineThrough(points, best, origin, direction);
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

cv::Rect boxAround(const std::array<cv::Point2d, 4>& corners, double margin, cv::Size photo) {
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
    const double w = photo.width;
    const double hgt = photo.height;
    const int x0 = static_cast<int>(std::clamp(std::floor(minX - margin), 0.0, w));
    const int y0 = static_cast<int>(std::clamp(std::floor(minY - margin), 0.0, hgt));
    const int x1 = static_cast<int>(std::clamp(std::ceil(maxX + margin) + 1.0, 0.0, w));
    const int y1 = static_cast<int>(std::clamp(std::ceil(maxY + margin) + 1.0, 0.0, hgt));
    return {x0, y0, x1 - x0, y1 - y0};
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
    // Corners far outside the photo are held within a few photo sizes of it,
    // so that the fixed-point polygon below cannot overflow.
    const double reach = 4.0 * (size.width + size.height);
    for (const cv::Point2d& c : corners) {
        const cv::Point2d towards = centre - c;
        const double length = std::max(1e-9, std::hypot(towards.x, towards.y));
        // Moving a corner by inset * sqrt(2) along the diagonal moves both its
        // edges inward by about `inset`.
        const cv::Point2d p = c + towards * (inset * std::sqrt(2.0) / length);
        shrunk.emplace_back(cvRound(std::clamp(p.x, -reach, reach) * (1 << kShift)),
                            cvRound(std::clamp(p.y, -reach, reach) * (1 << kShift)));
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
    for (const cv::Point2d& c : gridBox) {
        gridPolygon.emplace_back(cvRound(std::clamp(c.x, -reach, reach)),
                                 cvRound(std::clamp(c.y, -reach, reach)));
    }
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
            polygon.emplace_back(cvRound(std::clamp(q.x, -reach, reach) * (1 << kShift)),
                                 cvRound(std::clamp(q.y, -reach, reach) * (1 << kShift)));
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

}  // namespace CardLocation
}  // namespace DataLayer
