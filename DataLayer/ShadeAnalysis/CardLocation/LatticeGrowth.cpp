// Growing a lattice of blobs from one cell, and the homographies that map
// grid points onto the photo.
#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <vector>

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/CardLocation/CardSearch.h"
#include "DataLayer/ShadeAnalysis/CardLocation/PatchLattice.h"

namespace DataLayer {
namespace CardLocation {

namespace PatchLattice {

namespace {

/// A blob matches a grid position within this share of the shorter step.
constexpr double kMatchRadius = 0.28;

}  // namespace

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

}  // namespace PatchLattice

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
        for (const cv::Point2d& p : points) distance += PatchLattice::norm(p - mean);
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

}  // namespace CardLocation
}  // namespace DataLayer
