// The lattice search for a chart's card: the chart is found by its patches,
// whatever its size, perspective and turn in the photo, and whether or not
// its card stands out from what lies around it.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <deque>
#include <map>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CardLocation/CardOutline.h"
#include "DataLayer/ShadeAnalysis/CardLocation/CardSearch.h"

namespace DataLayer {
namespace CardLocation {

namespace {

constexpr double kPi = 3.14159265358979323846;
/// The reduced image the search runs on holds about this many pixels; a
/// second, finer pass runs where the first finds nothing in a large photo.
constexpr double kWorkingPixels = 1.6e6;
/// Levels of the lowest channel at which dark blobs are cut out: from the
/// top down by this ratio, to this floor.
constexpr double kLevelRatio = 0.9;
constexpr double kTopLevel = 250.0;
constexpr double kLowestLevel = 24.0;
/// A blob's size in the reduced image: the smallest patch side it may have,
/// and the largest share of the image's shorter side.
constexpr double kMinBlobSide = 3.5;
constexpr double kMaxBlobShare = 0.3;
/// A blob's area over its convex hull's: patches are convex.
constexpr double kMinSolidity = 0.86;
/// Lattice steps between neighbouring patches, in units of the root of a
/// patch's area, and the angle between the two steps of a lattice cell.
constexpr double kMinStepRatio = 1.05;
constexpr double kMaxStepRatio = 2.5;
constexpr double kMinCellAngleDeg = 50.0;
constexpr double kMaxCellAngleDeg = 130.0;
/// A step must run along one of a patch's edges within this angle.
constexpr double kEdgeAlignDeg = 20.0;
/// A blob matches a grid position within this share of the shorter step.
constexpr double kMatchRadius = 0.28;
/// Blobs of one lattice differ in area by at most this factor.
constexpr double kAreaSpread = 2.3;
/// Fewer matched blobs than this are not worth checking; a chart's window
/// holds at least `kMinPatchesInWindow` of them (a patch or two too pale or
/// too small to cut out is allowed for; a lattice along the grid's diagonals
/// holds every second position only).
constexpr int kMinMatched = 10;
constexpr int kMinPatchesInWindow = 14;
/// At least this share of a lattice's blobs whose edges can be read run their
/// edges along the lattice's steps: a chart's patches line up with its grid,
/// the squares of its diagonal lattice at 45 degrees do not.
constexpr double kMinAlignedShare = 0.7;
/// Grid positions that may lack a patch, the share of ground samples that
/// must look like card ground, and the distinct colours the patches show.
constexpr int kMissingPatchesAllowed = 2;
constexpr double kMinGroundShare = 0.8;
constexpr int kMinDistinctColours = 6;
constexpr int kMaxRejectedKept = 5;
constexpr int kMaxHypothesesPerBlob = 6;
/// Objects beside the card that a lattice may hold beyond the chart's window.
constexpr int kMaxStrayBlobs = 2;

/// A dark, convex blob of the reduced image: a patch, perhaps.
struct Blob {
    cv::Point2d centre;
    double area = 0.0;
    /// Unit directions of its two pairs of edges; `edges` false when the blob
    /// is too small or too round to tell.
    cv::Point2d edge[2];
    bool edges = false;
};

double cross(const cv::Point2d& a, const cv::Point2d& b) { return a.x * b.y - a.y * b.x; }
double norm(const cv::Point2d& a) { return std::hypot(a.x, a.y); }

/// Angle between two directions regardless of sign, 0..90 degrees.
double lineAngleDeg(const cv::Point2d& a, const cv::Point2d& b) {
    const double c = std::fabs(a.dot(b)) / std::max(1e-12, norm(a) * norm(b));
    return std::acos(std::min(1.0, c)) * 180.0 / kPi;
}

/// The edge directions of a convex blob: from its hull reduced to four
/// vertices where that works, else from its minimal rotated rectangle.
void measureEdges(const std::vector<cv::Point>& hull, double side, Blob& blob) {
    if (side < 6.0) {
        return;
    }
    std::vector<cv::Point> quad;
    cv::approxPolyDP(hull, quad, 0.06 * cv::arcLength(hull, true), true);
    if (quad.size() == 4) {
        const cv::Point2d e0 = cv::Point2d(quad[1] - quad[0]);
        const cv::Point2d e1 = cv::Point2d(quad[2] - quad[1]);
        const cv::Point2d e2 = cv::Point2d(quad[3] - quad[2]);
        const cv::Point2d e3 = cv::Point2d(quad[0] - quad[3]);
        const cv::Point2d a = e0 - e2;
        const cv::Point2d b = e1 - e3;
        if (norm(a) > 1e-9 && norm(b) > 1e-9) {
            blob.edge[0] = a * (1.0 / norm(a));
            blob.edge[1] = b * (1.0 / norm(b));
            blob.edges = true;
            return;
        }
    }
    const cv::RotatedRect box = cv::minAreaRect(hull);
    const double angle = box.angle * kPi / 180.0;
    blob.edge[0] = {std::cos(angle), std::sin(angle)};
    blob.edge[1] = {-std::sin(angle), std::cos(angle)};
    blob.edges = true;
}

/// The convex blobs darker than some level of `lowest` (CV_8UC1), each cut
/// out at the highest level before it grows into its surroundings.
std::vector<Blob> findBlobs(const cv::Mat& lowest) {
    const double minArea = kMinBlobSide * kMinBlobSide;
    const double maxSide = kMaxBlobShare * std::min(lowest.rows, lowest.cols);
    const double maxArea = maxSide * maxSide;
    std::vector<Blob> blobs;
    cv::Mat mask;
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    std::vector<cv::Point> hull;
    // Levels from the lowest up: a patch appears whole once the level passes
    // its value and stays one convex blob until the level reaches its ground;
    // a blob found again at a higher level replaces the one it contains.
    std::vector<double> levels;
    for (double level = kTopLevel; level >= kLowestLevel; level *= kLevelRatio) {
        levels.push_back(level);
    }
    std::reverse(levels.begin(), levels.end());
    for (double level : levels) {
        cv::compare(lowest, level, mask, cv::CMP_LT);
        contours.clear();
        hierarchy.clear();
        cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_SIMPLE);
        for (std::size_t k = 0; k < contours.size(); ++k) {
            if (hierarchy[k][3] >= 0) continue;  // a hole, not a blob
            const std::vector<cv::Point>& contour = contours[k];
            const cv::Rect box = cv::boundingRect(contour);
            if (box.width < kMinBlobSide || box.height < kMinBlobSide ||
                box.width > 1.6 * maxSide || box.height > 1.6 * maxSide) {
                continue;
            }
            // The pixels' area: the contour runs through the outer pixels' centres.
            const double area = cv::contourArea(contour) + 0.5 * cv::arcLength(contour, true) + 1.0;
            if (area < minArea || area > maxArea) continue;
            cv::convexHull(contour, hull);
            const double hullArea = cv::contourArea(hull) + 0.5 * cv::arcLength(hull, true) + 1.0;
            if (area < kMinSolidity * hullArea) continue;
            const cv::Moments m = cv::moments(contour);
            if (m.m00 <= 0.0) continue;
            // Not too elongated: a tilted square stays within about 1 : 2.
            const double mu20 = m.mu20 / m.m00;
            const double mu02 = m.mu02 / m.m00;
            const double mu11 = m.mu11 / m.m00;
            const double spread = std::sqrt(4.0 * mu11 * mu11 + (mu20 - mu02) * (mu20 - mu02));
            const double major = mu20 + mu02 + spread;
            const double minor = mu20 + mu02 - spread;
            if (!(minor > 0.0) || major > 5.0 * minor) continue;
            Blob blob;
            blob.centre = {m.m10 / m.m00, m.m01 / m.m00};
            blob.area = area;
            measureEdges(hull, std::sqrt(area), blob);
            blobs.push_back(blob);
        }
    }
    // One blob per place: the largest of those that contain each other.
    std::sort(blobs.begin(), blobs.end(),
              [](const Blob& a, const Blob& b) { return a.area > b.area; });
    std::vector<Blob> kept;
    for (const Blob& blob : blobs) {
        const bool inside = std::any_of(kept.begin(), kept.end(), [&](const Blob& k) {
            return norm(blob.centre - k.centre) < 0.35 * std::sqrt(k.area) &&
                   blob.area > k.area / 3.0;
        });
        if (!inside) kept.push_back(blob);
    }
    return kept;
}

/// Blobs by place, for finding the nearest one to a point.
class BlobIndex {
  public:
    BlobIndex(const std::vector<Blob>& blobs, cv::Size size, double cell)
        : m_blobs(blobs), m_cell(std::max(4.0, cell)) {
        m_cols = std::max(1, static_cast<int>(size.width / m_cell) + 1);
        m_rows = std::max(1, static_cast<int>(size.height / m_cell) + 1);
        m_buckets.resize(static_cast<std::size_t>(m_cols) * static_cast<std::size_t>(m_rows));
        for (std::size_t i = 0; i < blobs.size(); ++i) {
            m_buckets[bucket(blobs[i].centre)].push_back(static_cast<int>(i));
        }
    }

    /// Blobs within `radius` of `p`.
    template <typename Visit>
    void near(const cv::Point2d& p, double radius, Visit visit) const {
        if (!(std::isfinite(p.x) && std::isfinite(p.y)) || radius <= 0.0) return;
        const int x0 = clampCol(static_cast<int>(std::floor((p.x - radius) / m_cell)));
        const int x1 = clampCol(static_cast<int>(std::floor((p.x + radius) / m_cell)));
        const int y0 = clampRow(static_cast<int>(std::floor((p.y - radius) / m_cell)));
        const int y1 = clampRow(static_cast<int>(std::floor((p.y + radius) / m_cell)));
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                for (int i : m_buckets[static_cast<std::size_t>(y) * m_cols + x]) {
                    if (norm(m_blobs[static_cast<std::size_t>(i)].centre - p) <= radius) visit(i);
                }
            }
        }
    }

  private:
    std::size_t bucket(const cv::Point2d& p) const {
        const int x = clampCol(static_cast<int>(p.x / m_cell));
        const int y = clampRow(static_cast<int>(p.y / m_cell));
        return static_cast<std::size_t>(y) * m_cols + x;
    }
    int clampCol(int x) const { return std::clamp(x, 0, m_cols - 1); }
    int clampRow(int y) const { return std::clamp(y, 0, m_rows - 1); }

    const std::vector<Blob>& m_blobs;
    double m_cell;
    int m_cols = 1;
    int m_rows = 1;
    std::vector<std::vector<int>> m_buckets;
};

using GridPoint = std::pair<int, int>;  ///< (i, j): i along the first step, j along the second

/// A lattice of blobs grown from one cell: which blob lies at which grid point
/// and the map from grid points to the reduced image.
struct Lattice {
    std::map<GridPoint, int> at;
    cv::Matx33d model = cv::Matx33d::eye();
    int minI = 0, maxI = 0, minJ = 0, maxJ = 0;
    bool oversized = false;
};

bool fitModel(const std::map<GridPoint, int>& at, const std::vector<Blob>& blobs,
              cv::Matx33d& model) {
    std::vector<cv::Point2d> from;
    std::vector<cv::Point2d> to;
    for (const auto& [point, index] : at) {
        from.emplace_back(point.first, point.second);
        to.push_back(blobs[static_cast<std::size_t>(index)].centre);
    }
    if (from.size() >= 6) {
        cv::Matx33d h;
        if (fitHomography(from, to, h)) {
            model = h;
            return true;
        }
    }
    // An affine map from three or more points.
    if (from.size() < 3) return false;
    cv::Mat a(static_cast<int>(from.size()), 3, CV_64F);
    cv::Mat b(static_cast<int>(from.size()), 2, CV_64F);
    for (int k = 0; k < a.rows; ++k) {
        a.at<double>(k, 0) = from[static_cast<std::size_t>(k)].x;
        a.at<double>(k, 1) = from[static_cast<std::size_t>(k)].y;
        a.at<double>(k, 2) = 1.0;
        b.at<double>(k, 0) = to[static_cast<std::size_t>(k)].x;
        b.at<double>(k, 1) = to[static_cast<std::size_t>(k)].y;
    }
    cv::Mat x;
    if (!cv::solve(a, b, x, cv::DECOMP_SVD)) return false;
    model = cv::Matx33d(x.at<double>(0, 0), x.at<double>(1, 0), x.at<double>(2, 0),
                        x.at<double>(0, 1), x.at<double>(1, 1), x.at<double>(2, 1), 0, 0, 1);
    return std::abs(cv::determinant(model)) > 1e-9;
}

/// The image of grid point (i, j) and the two steps there.
bool predict(const cv::Matx33d& model, double i, double j, cv::Point2d& p, cv::Point2d& stepI,
             cv::Point2d& stepJ) {
    cv::Point2d pi;
    cv::Point2d pj;
    if (!applyHomography(model, {i, j}, p) || !applyHomography(model, {i + 0.5, j}, pi) ||
        !applyHomography(model, {i, j + 0.5}, pj)) {
        return false;
    }
    cv::Point2d mi;
    cv::Point2d mj;
    if (!applyHomography(model, {i - 0.5, j}, mi) || !applyHomography(model, {i, j - 0.5}, mj)) {
        return false;
    }
    stepI = pi - mi;
    stepJ = pj - mj;
    return true;
}

/// Grows a lattice from the cell (a, b, c): b one step from a along the
/// first axis, c one along the second. Stops when the lattice grows beyond
/// `maxSpan` positions along either axis (more than the chart holds).
Lattice growLattice(const std::vector<Blob>& blobs, const BlobIndex& index, int a, int b, int c,
                    int maxSpan) {
    Lattice lattice;
    lattice.at[{0, 0}] = a;
    lattice.at[{1, 0}] = b;
    lattice.at[{0, 1}] = c;
    lattice.maxI = 1;
    lattice.maxJ = 1;
    std::vector<bool> used(blobs.size(), false);
    used[static_cast<std::size_t>(a)] = used[static_cast<std::size_t>(b)] =
        used[static_cast<std::size_t>(c)] = true;
    fitModel(lattice.at, blobs, lattice.model);
    double areaSum = blobs[static_cast<std::size_t>(a)].area +
                     blobs[static_cast<std::size_t>(b)].area +
                     blobs[static_cast<std::size_t>(c)].area;
    std::deque<GridPoint> frontier = {{-1, 0}, {0, -1}, {2, 0}, {1, 1}, {1, -1}, {0, 2}, {-1, 1}};
    std::map<GridPoint, bool> visited;
    while (!frontier.empty()) {
        const GridPoint g = frontier.front();
        frontier.pop_front();
        if (lattice.at.count(g) != 0 || visited[g]) continue;
        visited[g] = true;
        cv::Point2d p;
        cv::Point2d si;
        cv::Point2d sj;
        if (!predict(lattice.model, g.first, g.second, p, si, sj)) continue;
        const double radius = kMatchRadius * std::min(norm(si), norm(sj));
        const double meanArea = areaSum / static_cast<double>(lattice.at.size());
        int best = -1;
        double bestDistance = radius;
        index.near(p, radius, [&](int k) {
            const Blob& blob = blobs[static_cast<std::size_t>(k)];
            if (used[static_cast<std::size_t>(k)]) return;
            if (blob.area > kAreaSpread * meanArea || blob.area * kAreaSpread < meanArea) return;
            const double d = norm(blob.centre - p);
            if (d <= bestDistance) {
                bestDistance = d;
                best = k;
            }
        });
        if (best < 0) continue;
        lattice.at[g] = best;
        used[static_cast<std::size_t>(best)] = true;
        areaSum += blobs[static_cast<std::size_t>(best)].area;
        lattice.minI = std::min(lattice.minI, g.first);
        lattice.maxI = std::max(lattice.maxI, g.first);
        lattice.minJ = std::min(lattice.minJ, g.second);
        lattice.maxJ = std::max(lattice.maxJ, g.second);
        if (lattice.maxI - lattice.minI + 1 > maxSpan ||
            lattice.maxJ - lattice.minJ + 1 > maxSpan) {
            lattice.oversized = true;
            return lattice;
        }
        fitModel(lattice.at, blobs, lattice.model);
        const GridPoint next[4] = {{g.first + 1, g.second},
                                   {g.first - 1, g.second},
                                   {g.first, g.second + 1},
                                   {g.first, g.second - 1}};
        for (const GridPoint& n : next) {
            if (lattice.at.count(n) == 0 && !visited[n]) frontier.push_back(n);
        }
    }
    return lattice;
}

/// How the chart's window placed on a lattice looks on the image.
struct WindowCheck {
    bool passed = false;
    std::string reason;
    int patches = 0;
    int groundOk = 0;
    int groundTotal = 0;
    double score = 0.0;
    double level = 0.0;
    cv::Vec3f cast{1.0f, 1.0f, 1.0f};
};

/// Checks the window of `width` x `height` grid points from (i0, j0) of the
/// lattice's model against the image: a patch at (nearly) every position,
/// card ground between them, several distinct colours, and no blob of the
/// lattice on the ring of positions around the window.
WindowCheck checkWindow(const Lattice& lattice, int i0, int j0, int width, int height,
                        const cv::Mat& smoothed) {
    WindowCheck check;
    const std::size_t positions =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<cv::Vec3f> centre(positions);
    std::vector<float> centreSpread(positions, 0.0f);
    std::vector<bool> centreInside(positions, false);
    std::vector<std::array<cv::Vec3f, 4>> ground(positions);
    std::vector<std::array<bool, 4>> groundInside(positions);
    std::vector<float> levels;
    std::vector<cv::Vec3f> casts;
    const double offsets[4][2] = {{0.5, 0.0}, {-0.5, 0.0}, {0.0, 0.5}, {0.0, -0.5}};
    const double centreOffsets[5][2] = {{0, 0}, {0.12, 0}, {-0.12, 0}, {0, 0.12}, {0, -0.12}};
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            const std::size_t k = static_cast<std::size_t>(r) * width + c;
            const double i = i0 + c;
            const double j = j0 + r;
            cv::Vec3f sum(0, 0, 0);
            cv::Vec3f lo(1e9f, 1e9f, 1e9f);
            cv::Vec3f hi(-1e9f, -1e9f, -1e9f);
            int n = 0;
            for (const auto& o : centreOffsets) {
                cv::Point2d p;
                cv::Vec3f colour;
                if (applyHomography(lattice.model, {i + o[0], j + o[1]}, p) &&
                    sampleColor(smoothed, p, colour)) {
                    sum += colour;
                    for (int ch = 0; ch < 3; ++ch) {
                        lo[ch] = std::min(lo[ch], colour[ch]);
                        hi[ch] = std::max(hi[ch], colour[ch]);
                    }
                    ++n;
                }
            }
            if (n == 5) {
                centre[k] = sum * 0.2f;
                centreInside[k] = true;
                centreSpread[k] = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
            }
            for (int s = 0; s < 4; ++s) {
                cv::Point2d p;
                groundInside[k][s] =
                    applyHomography(lattice.model, {i + offsets[s][0], j + offsets[s][1]}, p) &&
                    sampleColor(smoothed, p, ground[k][s]);
                if (groundInside[k][s]) {
                    const float v = brightest(ground[k][s]);
                    levels.push_back(v);
                    casts.push_back(ground[k][s] * (1.0f / std::max(1.0f, v)));
                }
            }
        }
    }
    if (levels.size() < positions) {
        check.reason = "the grid reaches beyond the photo";
        return check;
    }
    std::vector<float> sorted = levels;
    const std::size_t q = sorted.size() * 3 / 4;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(q), sorted.end());
    check.level = sorted[q];
    for (int ch = 0; ch < 3; ++ch) {
        std::vector<float> ratios;
        for (std::size_t s = 0; s < casts.size(); ++s) {
            if (levels[s] >= 0.6 * check.level) ratios.push_back(casts[s][ch]);
        }
        if (ratios.empty()) ratios.push_back(1.0f);
        std::nth_element(ratios.begin(),
                         ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2),
                         ratios.end());
        check.cast[ch] = ratios[ratios.size() / 2];
    }
    auto isGround = [&](const cv::Vec3f& colour) {
        const float v = brightest(colour);
        if (v < 0.6 * check.level || v < 24.0f) return false;
        for (int ch = 0; ch < 3; ++ch) {
            if (std::fabs(colour[ch] / v - check.cast[ch]) > 0.1f) return false;
        }
        return true;
    };
    std::vector<cv::Vec3f> patchColours;
    for (std::size_t k = 0; k < positions; ++k) {
        cv::Vec3f sum(0, 0, 0);
        int n = 0;
        for (int s = 0; s < 4; ++s) {
            ++check.groundTotal;
            if (groundInside[k][s] && isGround(ground[k][s])) {
                ++check.groundOk;
                sum += ground[k][s];
                ++n;
            }
        }
        if (n < 2 || !centreInside[k]) continue;
        const cv::Vec3f groundColour = sum * (1.0f / static_cast<float>(n));
        const float groundValue = brightest(groundColour);
        float difference = 0.0f;
        for (int ch = 0; ch < 3; ++ch) {
            difference = std::max(difference, std::fabs(centre[k][ch] - groundColour[ch]));
        }
        const bool uniform = centreSpread[k] <= std::max(24.0f, 0.5f * difference);
        if (difference >= std::max(12.0f, 0.1f * groundValue) && uniform) {
            ++check.patches;
            cv::Vec3f relative;
            for (int ch = 0; ch < 3; ++ch) {
                relative[ch] = centre[k][ch] / std::max(1.0f, groundColour[ch]);
            }
            patchColours.push_back(relative);
        }
    }
    check.score = (static_cast<double>(check.patches) / static_cast<double>(positions)) *
                  (static_cast<double>(check.groundOk) / std::max(1, check.groundTotal));
    if (check.patches < static_cast<int>(positions) - kMissingPatchesAllowed) {
        check.reason = "only " + std::to_string(check.patches) + " of " +
                       std::to_string(positions) + " grid positions hold a patch";
        return check;
    }
    if (check.groundOk < kMinGroundShare * check.groundTotal) {
        check.reason = "the ground between the patches is not card ground (" +
                       std::to_string(check.groundOk) + " of " + std::to_string(check.groundTotal) +
                       " samples)";
        return check;
    }
    // A chart's patches show many colours; a chessboard, tiles or windows one or two.
    std::vector<cv::Vec3f> distinct;
    for (const cv::Vec3f& colour : patchColours) {
        const bool seen = std::any_of(distinct.begin(), distinct.end(), [&](const cv::Vec3f& d) {
            return std::max({std::fabs(d[0] - colour[0]), std::fabs(d[1] - colour[1]),
                             std::fabs(d[2] - colour[2])}) < 0.08f;
        });
        if (!seen) distinct.push_back(colour);
    }
    if (static_cast<int>(distinct.size()) < kMinDistinctColours) {
        check.reason = "the patches show only " + std::to_string(distinct.size()) +
                       " distinct colours (a regular pattern, not a chart)";
        return check;
    }
    // Nothing of the lattice beyond the window: a larger grid (a chessboard,
    // tiles, a second chart beside this one) is not the chart. A single
    // object that happens to lie where a patch of the lattice would is
    // tolerated; two along one side, or three around it, are not. (Blobs of
    // a textured desk that merely lie near a ring position but do not
    // continue the lattice, and objects without ground around them, do not
    // count.)
    int ringTotal = 0;
    int ringSide[4] = {0, 0, 0, 0};  // top, bottom, left, right
    for (int j = j0 - 1; j <= j0 + height; ++j) {
        for (int i = i0 - 1; i <= i0 + width; ++i) {
            if (i >= i0 && i < i0 + width && j >= j0 && j < j0 + height) continue;
            if (lattice.at.count({i, j}) == 0) continue;
            // A square of a larger grid sits on that grid's ground; an object
            // lying beside the card has the desk around it.
            int groundAround = 0;
            for (const auto& o : offsets) {
                cv::Point2d p;
                cv::Vec3f colour;
                if (applyHomography(lattice.model, {i + o[0], j + o[1]}, p) &&
                    sampleColor(smoothed, p, colour) && isGround(colour)) {
                    ++groundAround;
                }
            }
            if (groundAround < 3) continue;
            ++ringTotal;
            if (j == j0 - 1) ++ringSide[0];
            if (j == j0 + height) ++ringSide[1];
            if (i == i0 - 1) ++ringSide[2];
            if (i == i0 + width) ++ringSide[3];
        }
    }
    if (ringTotal >= 3 || *std::max_element(ringSide, ringSide + 4) >= 2) {
        check.reason = "the grid of patches reaches beyond the chart's";
        return check;
    }
    check.passed = true;
    return check;
}

/// The candidate's outline for the report: the window's corners half a step
/// beyond the outer positions, in photo pixels.
std::array<cv::Point2f, 4> windowCorners(const cv::Matx33d& model, double i0, double j0, int width,
                                         int height, int factor) {
    const double corners[4][2] = {{i0 - 0.5, j0 - 0.5},
                                  {i0 + width - 0.5, j0 - 0.5},
                                  {i0 + width - 0.5, j0 + height - 0.5},
                                  {i0 - 0.5, j0 + height - 0.5}};
    std::array<cv::Point2f, 4> out{};
    for (int k = 0; k < 4; ++k) {
        cv::Point2d p(0, 0);
        applyHomography(model, {corners[k][0], corners[k][1]}, p);
        out[static_cast<std::size_t>(k)] = cv::Point2f(toPhoto(p, factor));
    }
    return out;
}

/// The lattice's model turned so that the window's first axis runs as close
/// to the photo's x axis as it can, its second axis downward: grid point
/// (c, r) of the result is the window's column c and row r.
cv::Matx33d uprightWindow(const cv::Matx33d& model, int i0, int j0, int width, int height,
                          int& columns, int& rows) {
    const double ci = i0 + 0.5 * (width - 1);
    const double cj = j0 + 0.5 * (height - 1);
    cv::Point2d p;
    cv::Point2d si;
    cv::Point2d sj;
    predict(model, ci, cj, p, si, sj);
    // Candidate x axes: +-i, +-j; the one pointing most along +x wins.
    struct Axis {
        cv::Point2d image;
        int di, dj;
    };
    const Axis axes[4] = {{si, 1, 0}, {-si, -1, 0}, {sj, 0, 1}, {-sj, 0, -1}};
    int best = 0;
    for (int k = 1; k < 4; ++k) {
        if (axes[k].image.x / norm(axes[k].image) > axes[best].image.x / norm(axes[best].image)) {
            best = k;
        }
    }
    const Axis& x = axes[best];
    // The y axis: the other lattice axis, signed so that x and y are not mirrored.
    Axis y = x.di != 0 ? Axis{sj, 0, 1} : Axis{si, 1, 0};
    if (cross(x.image, y.image) < 0.0) {
        y = {-y.image, -y.di, -y.dj};
    }
    const bool xAlongI = x.di != 0;
    columns = xAlongI ? width : height;
    rows = xAlongI ? height : width;
    // Grid point (c, r) -> lattice point (i, j).
    const double originI = (x.di < 0 || y.di < 0) ? i0 + width - 1 : i0;
    const double originJ = (x.dj < 0 || y.dj < 0) ? j0 + height - 1 : j0;
    const cv::Matx33d toLattice(x.di, y.di, originI, x.dj, y.dj, originJ, 0, 0, 1);
    return model * toLattice;
}

/// Whether the lattice's steps run along the edges of its blobs (where they
/// can be read) for at least `kMinAlignedShare` of them.
bool alignedWithPatches(const Lattice& lattice, const std::vector<Blob>& blobs) {
    int readable = 0;
    int aligned = 0;
    for (const auto& [point, index] : lattice.at) {
        const Blob& blob = blobs[static_cast<std::size_t>(index)];
        if (!blob.edges) continue;
        cv::Point2d p;
        cv::Point2d si;
        cv::Point2d sj;
        if (!predict(lattice.model, point.first, point.second, p, si, sj)) continue;
        ++readable;
        const double worst =
            std::max(std::min(lineAngleDeg(si, blob.edge[0]), lineAngleDeg(si, blob.edge[1])),
                     std::min(lineAngleDeg(sj, blob.edge[0]), lineAngleDeg(sj, blob.edge[1])));
        if (worst <= kEdgeAlignDeg) ++aligned;
    }
    return readable == 0 || aligned >= kMinAlignedShare * readable;
}

/// Judges a grown lattice: an oversized one is remembered as turned down
/// (true: the blob it grew from is done), one whose window passes at exactly
/// one placement becomes a card (true), any other is remembered with the
/// reason of its best placement (false: the blob may try another cell).
bool judgeLattice(const Lattice& lattice, const std::vector<Blob>& blobs,
                  const ChartGeometry& chart, int factor, const cv::Mat& reduced,
                  const cv::Mat& smoothed, std::vector<bool>& tried, std::vector<bool>& taken,
                  LatticeSearch& search) {
    if (static_cast<int>(lattice.at.size()) < kMinMatched) return false;
    if (!alignedWithPatches(lattice, blobs)) return false;
    const int spanI = lattice.maxI - lattice.minI + 1;
    const int spanJ = lattice.maxJ - lattice.minJ + 1;
    if (lattice.oversized) {
        // A larger grid (a chessboard, tiles): none of its blobs starts another.
        for (const auto& entry : lattice.at) tried[static_cast<std::size_t>(entry.second)] = true;
        if (search.rejected.size() < static_cast<std::size_t>(kMaxRejectedKept)) {
            search.rejected.push_back(
                {windowCorners(lattice.model, lattice.minI, lattice.minJ, spanI, spanJ, factor),
                 "a grid of patches larger than the chart's (a chessboard, tiles?)", 0.0});
        }
        return true;
    }
    // Every placement of the chart's window, in either layout, over the lattice.
    {
        std::vector<std::array<int, 4>> passed;  // i0, j0, width, height
        WindowCheck passedCheck;
        WindowCheck bestFailed;
        std::array<int, 4> bestFailedWindow{};
        const int layouts[2][2] = {{chart.cols, chart.rows}, {chart.rows, chart.cols}};
        for (int l = 0; l < (chart.rows == chart.cols ? 1 : 2); ++l) {
            const int w = layouts[l][0];
            const int h = layouts[l][1];
            // Windows that hold all but at most two of the lattice's blobs
            // (objects lying where a patch of the lattice would).
            for (int i0 = lattice.minI - w + 1; i0 <= lattice.maxI; ++i0) {
                for (int j0 = lattice.minJ - h + 1; j0 <= lattice.maxJ; ++j0) {
                    int inside = 0;
                    for (const auto& entry : lattice.at) {
                        const GridPoint& g = entry.first;
                        if (g.first >= i0 && g.first < i0 + w && g.second >= j0 &&
                            g.second < j0 + h) {
                            ++inside;
                        }
                    }
                    if (inside < kMinPatchesInWindow ||
                        inside + kMaxStrayBlobs < static_cast<int>(lattice.at.size())) {
                        continue;
                    }
                    const WindowCheck check = checkWindow(lattice, i0, j0, w, h, smoothed);
                    if (check.passed) {
                        passed.push_back({i0, j0, w, h});
                        passedCheck = check;
                    } else if (check.score >= bestFailed.score) {
                        bestFailed = check;
                        bestFailedWindow = {i0, j0, w, h};
                    }
                }
            }
        }
        if (passed.size() == 1) {
            const auto& win = passed.front();
            LatticeCard card;
            // The map refitted to the blobs inside the window only: an object
            // beside the card must not pull it.
            std::map<GridPoint, int> inside;
            for (const auto& entry : lattice.at) {
                const GridPoint& g = entry.first;
                if (g.first >= win[0] && g.first < win[0] + win[2] && g.second >= win[1] &&
                    g.second < win[1] + win[3]) {
                    inside.insert(entry);
                }
            }
            cv::Matx33d model = lattice.model;
            fitModel(inside, blobs, model);
            card.matchedPatches = static_cast<int>(inside.size());
            const cv::Matx33d grid =
                uprightWindow(model, win[0], win[1], win[2], win[3], card.cols, card.rows);
            const double f = factor;
            const double half = 0.5 * (factor - 1);
            const cv::Matx33d toPhotoPixels(f, 0, half, 0, f, half, 0, 0, 1);
            card.gridToPhoto = toPhotoPixels * grid;
            card.score = passedCheck.score;
            card.reduced = reduced;
            card.factor = factor;
            card.groundLevel = passedCheck.level;
            card.groundCast = passedCheck.cast;
            search.cards.push_back(card);
            for (const auto& entry : lattice.at) {
                taken[static_cast<std::size_t>(entry.second)] = true;
            }
            return true;
        }
        if (search.rejected.size() < static_cast<std::size_t>(kMaxRejectedKept)) {
            if (passed.size() > 1) {
                const auto& win = passed.front();
                search.rejected.push_back(
                    {windowCorners(lattice.model, win[0], win[1], win[2], win[3], factor),
                     "the chart's grid fits the patches found in " + std::to_string(passed.size()) +
                         " places",
                     passedCheck.score});
            } else if (!bestFailed.reason.empty()) {
                search.rejected.push_back(
                    {windowCorners(lattice.model, bestFailedWindow[0], bestFailedWindow[1],
                                   bestFailedWindow[2], bestFailedWindow[3], factor),
                     bestFailed.reason, bestFailed.score});
            }
        }
    }
    return false;
}

/// One pass of the search on the photo reduced by `factor`.
void searchAtFactor(const cv::Mat& photo, const ChartGeometry& chart, int factor,
                    LatticeSearch& search) {
    const cv::Mat reduced = reducePhoto(photo, factor, chart.linearInput);
    if (reduced.rows < 8 || reduced.cols < 8) return;
    std::vector<cv::Mat> channels;
    cv::split(reduced, channels);
    cv::Mat lowest;
    cv::min(channels[0], channels[1], lowest);
    cv::min(lowest, channels[2], lowest);
    cv::Mat reducedF;
    reduced.convertTo(reducedF, CV_32F);
    cv::Mat smoothed;
    cv::blur(reducedF, smoothed, cv::Size(3, 3));

    const std::vector<Blob> blobs = findBlobs(lowest);
    if (blobs.size() < static_cast<std::size_t>(kMinMatched)) return;
    std::vector<double> sides;
    for (const Blob& b : blobs) sides.push_back(std::sqrt(b.area));
    std::nth_element(sides.begin(), sides.begin() + static_cast<std::ptrdiff_t>(sides.size() / 2),
                     sides.end());
    const BlobIndex index(blobs, reduced.size(), 2.0 * sides[sides.size() / 2]);
    const int maxSpan = std::max(chart.rows, chart.cols) + kMaxStrayBlobs;

    std::vector<bool> taken(blobs.size(), false);
    std::vector<bool> tried(blobs.size(), false);
    for (std::size_t a = 0; a < blobs.size(); ++a) {
        if (taken[a] || tried[a]) continue;
        const Blob& A = blobs[a];
        const double root = std::sqrt(A.area);
        // Neighbours one lattice step away: similar size, along an edge.
        std::vector<std::pair<double, int>> neighbours;
        index.near(A.centre, kMaxStepRatio * root, [&](int k) {
            if (static_cast<std::size_t>(k) == a || taken[static_cast<std::size_t>(k)]) return;
            const Blob& B = blobs[static_cast<std::size_t>(k)];
            if (B.area > kAreaSpread * A.area || B.area * kAreaSpread < A.area) return;
            const cv::Point2d step = B.centre - A.centre;
            const double d = norm(step);
            if (d < kMinStepRatio * root) return;
            if (A.edges && std::min(lineAngleDeg(step, A.edge[0]), lineAngleDeg(step, A.edge[1])) >
                               kEdgeAlignDeg) {
                return;
            }
            neighbours.emplace_back(d, k);
        });
        std::sort(neighbours.begin(), neighbours.end());
        int hypotheses = 0;
        bool done = false;
        for (std::size_t p = 0;
             p < neighbours.size() && hypotheses < kMaxHypothesesPerBlob && !done; ++p) {
            for (std::size_t q = p + 1;
                 q < neighbours.size() && hypotheses < kMaxHypothesesPerBlob && !done; ++q) {
                const int b = neighbours[p].second;
                const int c = neighbours[q].second;
                const cv::Point2d ab = blobs[static_cast<std::size_t>(b)].centre - A.centre;
                const cv::Point2d ac = blobs[static_cast<std::size_t>(c)].centre - A.centre;
                const double angle =
                    std::acos(std::clamp(ab.dot(ac) / (norm(ab) * norm(ac)), -1.0, 1.0)) * 180.0 /
                    kPi;
                const double ratio = norm(ab) / norm(ac);
                if (angle < kMinCellAngleDeg || angle > kMaxCellAngleDeg || ratio < 0.6 ||
                    ratio > 1.67) {
                    continue;
                }
                ++hypotheses;
                done = judgeLattice(growLattice(blobs, index, static_cast<int>(a), b, c, maxSpan),
                                    blobs, chart, factor, reduced, smoothed, tried, taken, search);
            }
        }
    }
}

}  // namespace

bool applyHomography(const cv::Matx33d& h, const cv::Point2d& p, cv::Point2d& out) {
    const double w = h(2, 0) * p.x + h(2, 1) * p.y + h(2, 2);
    if (!(std::fabs(w) > 1e-12)) return false;
    out = {(h(0, 0) * p.x + h(0, 1) * p.y + h(0, 2)) / w,
           (h(1, 0) * p.x + h(1, 1) * p.y + h(1, 2)) / w};
    return std::isfinite(out.x) && std::isfinite(out.y);
}

bool fitHomography(const std::vector<cv::Point2d>& from, const std::vector<cv::Point2d>& to,
                   cv::Matx33d& homography) {
    const std::size_t n = from.size();
    if (n < 4 || to.size() != n) return false;
    // Both point sets moved to their centroid and scaled to a mean distance
    // of sqrt(2), so the linear system is well conditioned.
    auto normaliser = [](const std::vector<cv::Point2d>& points) {
        cv::Point2d mean(0, 0);
        for (const cv::Point2d& p : points) mean += p;
        mean *= 1.0 / static_cast<double>(points.size());
        double distance = 0.0;
        for (const cv::Point2d& p : points) distance += norm(p - mean);
        distance /= static_cast<double>(points.size());
        const double s = distance > 1e-12 ? std::sqrt(2.0) / distance : 1.0;
        return cv::Matx33d(s, 0, -s * mean.x, 0, s, -s * mean.y, 0, 0, 1);
    };
    const cv::Matx33d tf = normaliser(from);
    const cv::Matx33d tt = normaliser(to);
    cv::Mat a = cv::Mat::zeros(static_cast<int>(2 * n), 9, CV_64F);
    for (std::size_t k = 0; k < n; ++k) {
        const cv::Vec3d p = tf * cv::Vec3d(from[k].x, from[k].y, 1.0);
        const cv::Vec3d q = tt * cv::Vec3d(to[k].x, to[k].y, 1.0);
        double* r0 = a.ptr<double>(static_cast<int>(2 * k));
        double* r1 = a.ptr<double>(static_cast<int>(2 * k + 1));
        r0[0] = p[0];
        r0[1] = p[1];
        r0[2] = 1.0;
        r0[6] = -q[0] * p[0];
        r0[7] = -q[0] * p[1];
        r0[8] = -q[0];
        r1[3] = p[0];
        r1[4] = p[1];
        r1[5] = 1.0;
        r1[6] = -q[1] * p[0];
        r1[7] = -q[1] * p[1];
        r1[8] = -q[1];
    }
    cv::Mat w;
    cv::Mat u;
    cv::Mat vt;
    cv::SVD::compute(a, w, u, vt, cv::SVD::FULL_UV);
    if (vt.rows != 9 || w.rows < 8) return false;
    // The smallest singular value must stand apart from the next: otherwise
    // the points (nearly on one line) admit many homographies.
    const double second = w.at<double>(7);
    if (!(second > 1e-9 * std::max(1.0, w.at<double>(0)))) return false;
    cv::Matx33d h;
    for (int k = 0; k < 9; ++k) h(k / 3, k % 3) = vt.at<double>(8, k);
    h = tt.inv() * h * tf;
    if (!(std::fabs(h(2, 2)) > 1e-15)) return false;
    h *= 1.0 / h(2, 2);
    for (int k = 0; k < 9; ++k) {
        if (!std::isfinite(h(k / 3, k % 3))) return false;
    }
    homography = h;
    return true;
}

LatticeSearch searchPatchLattice(const cv::Mat& photo, const ChartGeometry& chart) {
    LatticeSearch search;
    const double pixels = static_cast<double>(photo.cols) * photo.rows;
    int factor = std::max(1, static_cast<int>(std::lround(std::sqrt(pixels / kWorkingPixels))));
    while (true) {
        searchAtFactor(photo, chart, factor, search);
        if (!search.cards.empty() || factor == 1) break;
        factor = std::max(1, factor / 2);
    }
    if (search.cards.empty()) {
        search.reason = search.rejected.empty()
                            ? "no grid of the chart's patches in the photo"
                            : "no card with the chart's patches; the most card-like grid: " +
                                  search.rejected.front().reason;
        return search;
    }
    std::stable_sort(
        search.cards.begin(), search.cards.end(), [](const LatticeCard& a, const LatticeCard& b) {
            return a.score != b.score ? a.score > b.score : a.matchedPatches > b.matchedPatches;
        });
    return search;
}

}  // namespace CardLocation
}  // namespace DataLayer
