#pragma once

// The pieces of the lattice search (`searchPatchLattice`) that its sources
// share: the dark, convex blobs cut out of the reduced photo, their index by
// place, the lattice grown over them and the check of the chart's window
// placed on it. Internal to the card location stage.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

namespace DataLayer {
namespace CardLocation {
namespace PatchLattice {

constexpr double kPi = 3.14159265358979323846;
/// A step must run along one of a patch's edges within this angle.
constexpr double kEdgeAlignDeg = 20.0;
/// Blobs of one lattice differ in area by at most this factor.
constexpr double kAreaSpread = 2.3;

/// A dark, convex blob of the reduced image: a patch, perhaps.
struct Blob {
    cv::Point2d centre;
    double area = 0.0;
    /// Unit directions of its two pairs of edges; `edges` false when the blob
    /// is too small or too round to tell.
    cv::Point2d edge[2];
    bool edges = false;
};

/// The cross product's z and the length of 2-d vectors.
inline double cross(const cv::Point2d& a, const cv::Point2d& b) { return a.x * b.y - a.y * b.x; }
inline double norm(const cv::Point2d& a) { return std::hypot(a.x, a.y); }

/// Angle between two directions regardless of sign, 0..90 degrees.
inline double lineAngleDeg(const cv::Point2d& a, const cv::Point2d& b) {
    const double c = std::fabs(a.dot(b)) / std::max(1e-12, norm(a) * norm(b));
    return std::acos(std::min(1.0, c)) * 180.0 / kPi;
}

/// The convex blobs darker than some level of `lowest` (CV_8UC1), each cut
/// out at the highest level before it grows into its surroundings.
std::vector<Blob> findBlobs(const cv::Mat& lowest);

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

/// Fits the map from grid points to the reduced image through the blobs at
/// `at`: a homography from six points on, else an affine map from three;
/// false when neither can be fitted or the affine map is degenerate.
bool fitModel(const std::map<GridPoint, int>& at, const std::vector<Blob>& blobs,
              cv::Matx33d& model);

/// The image of grid point (i, j) and the two steps there.
bool predict(const cv::Matx33d& model, double i, double j, cv::Point2d& p, cv::Point2d& stepI,
             cv::Point2d& stepJ);

/// Grows a lattice from the cell (a, b, c): b one step from a along the
/// first axis, c one along the second. Stops when the lattice grows beyond
/// `maxSpan` positions along either axis (more than the chart holds).
Lattice growLattice(const std::vector<Blob>& blobs, const BlobIndex& index, int a, int b, int c,
                    int maxSpan);

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
                        const cv::Mat& smoothed);

/// The candidate's outline for the report: the window's corners half a step
/// beyond the outer positions, in photo pixels.
std::array<cv::Point2f, 4> windowCorners(const cv::Matx33d& model, double i0, double j0, int width,
                                         int height, int factor);

/// The lattice's model turned so that the window's first axis runs as close
/// to the photo's x axis as it can, its second axis downward: grid point
/// (c, r) of the result is the window's column c and row r.
cv::Matx33d uprightWindow(const cv::Matx33d& model, int i0, int j0, int width, int height,
                          int& columns, int& rows);

}  // namespace PatchLattice
}  // namespace CardLocation
}  // namespace DataLayer
