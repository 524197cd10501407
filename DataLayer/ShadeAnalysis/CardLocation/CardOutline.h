#pragma once

// Measuring a card on the photo, shared by the card searches: the card's
// edges and corners and the support mask of its white ground. Internal to
// the library.

#include <array>
#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

namespace DataLayer {
namespace CardLocation {

/// Edge profiles measured along each side of the card on the photo itself.
constexpr int kEdgeProfiles = 32;

/// The card's edge met walking outward from `q` along the unit normal `n`
/// (profiles averaged across `d`), at most `reach` pixels: the first lasting
/// fall of brightness below the margin's level, to a fraction of a pixel.
bool findEdge(const cv::Mat& photo, const cv::Point2d& q, const cv::Point2d& n,
              const cv::Point2d& d, double reach, cv::Point2d& edge);

/// The card's edge met walking outward from `q` along the unit normal `n`
/// (profiles averaged across `d`), at most `reach` pixels: the first step of
/// brightness, up or down, of at least 3 % of the margin's level (and twice
/// its noise), to a fraction of a pixel. Sees the edge of a card on a paper
/// or desk a few per cent brighter or darker than its white.
bool findStep(const cv::Mat& photo, const cv::Point2d& q, const cv::Point2d& n,
              const cv::Point2d& d, double reach, cv::Point2d& edge);

/// A line through the largest subset of `points` that lies within a pixel of
/// a line through two of them; false with fewer than `minimum` inliers.
bool fitEdgeLine(const std::vector<cv::Point2d>& points, std::size_t minimum, cv::Point2d& origin,
                 cv::Point2d& direction, int& inlierCount);

/// The line nearest the card among those at least `minimum` of `points`
/// lie within a pixel of, and at least half as many as on the best supported
/// line (each point's `distances` is how far out from the patches it was
/// met): the card's own edge comes before that of a paper or an object of
/// the same white lying against it, while a few fingertips in a row over the
/// margin do not make an edge. False when no line has `minimum` points.
bool fitNearestEdgeLine(const std::vector<cv::Point2d>& points,
                        const std::vector<double>& distances, std::size_t minimum,
                        cv::Point2d& origin, cv::Point2d& direction);

/// Where the lines (p1, d1) and (p2, d2) meet; false when nearly parallel.
bool intersect(const cv::Point2d& p1, const cv::Point2d& d1, const cv::Point2d& p2,
               const cv::Point2d& d2, cv::Point2d& out);

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
/// reaching `reach` pixels; the four fitted lines meet in the corners.
/// `edgePoints` stays 0 (and the corners `fallback`) when a side cannot be
/// measured.
RefinedCorners refineCorners(const cv::Mat& photo, const PlacedGrid& grid, double start,
                             double reach, const std::array<cv::Point2d, 4>& fallback);

/// The photo's box around `corners` grown by `margin` pixels, inside `photo`.
cv::Rect boxAround(const std::array<cv::Point2d, 4>& corners, double margin, cv::Size photo);

std::array<cv::Point2f, 4> toFloat(const std::array<cv::Point2d, 4>& corners);

/// Photo coordinates of a reduced-image point (pixel centres at integers in both).
cv::Point2d toPhoto(const cv::Point2d& p, int factor);

/// The support mask: 255 everywhere but on the card (`corners`, shrunk by
/// `inset` photo pixels), where it is 0 except over whatever covers the
/// card's margin band around `gridBox` (reduced pixels whose level or colour
/// cast differ from the ground's `level` and `groundCast`, grown by one
/// reduced pixel). `gridBox` is in the reduced image's pixels.
cv::Mat buildSupportMask(cv::Size size, const std::array<cv::Point2d, 4>& corners, double inset,
                         const cv::Mat& reduced, int factor, double level,
                         const cv::Vec3f& groundCast, const std::array<cv::Point2d, 4>& gridBox);

}  // namespace CardLocation
}  // namespace DataLayer
