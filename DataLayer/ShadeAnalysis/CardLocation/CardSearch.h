#pragma once

// The two searches for a chart's card behind `CChartCardLocator`: the patch
// lattice (any scale, perspective and turn) and the bright region (the chart
// type's nominal scale, nearly upright). Internal to the library.

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"

namespace DataLayer {
namespace CardLocation {

/// The chart's geometry as its parameter set gives it.
struct ChartGeometry {
    float side = 0.0f;   ///< patch side, nominal pixels
    float pitch = 0.0f;  ///< centre-to-centre grid step, nominal pixels
    int rows = 0;        ///< the parameter set's rows and columns
    int cols = 0;
    bool linearInput = false;  ///< the photo's values are linear light
};

/// The card of the chart type's nominal size turned by at most 15 degrees,
/// found as a bright, nearly neutral region holding the chart's grid; the
/// result in `CChartCardLocator::locate`'s terms, without the homography.
ChartCardLocation searchBrightCard(const cv::Mat& photo, const ChartGeometry& chart);

/// A chart found by its lattice of patches.
struct LatticeCard {
    /// Grid coordinates to photo pixels: patch (row r, column c) of the found
    /// layout has its centre at grid point (c, r); column 0 is the left one
    /// and row 0 the top one as the photo shows them (the grid's axes are
    /// those closest to the photo's, so the card is turned by at most 45
    /// degrees against them and never mirrored).
    cv::Matx33d gridToPhoto = cv::Matx33d::eye();
    int rows = 0;  ///< the found layout: the parameter set's rows x columns or swapped
    int cols = 0;
    /// The fraction of positions that hold a patch times the fraction of
    /// ground samples that look like card ground.
    double score = 0.0;
    /// Blobs of the photo that lie on a position of the grid.
    int matchedPatches = 0;
    /// The reduced image the search found the card in (CV_8UC3,
    /// display-encoded), its reduction factor, and the card ground's level
    /// (8-bit) and colour cast (each channel over the brightest one) there.
    cv::Mat reduced;
    int factor = 1;
    double groundLevel = 0.0;
    cv::Vec3f groundCast{1.0f, 1.0f, 1.0f};
};

/// What the lattice search found: the cards best first, or the reason none
/// was found with the most card-like grids it turned down.
struct LatticeSearch {
    std::vector<LatticeCard> cards;
    std::vector<ChartCardCandidate> rejected;
    std::string reason;
};

/// Finds the chart by its patches: uniform, convex blobs darker or more
/// colourful than the card's ground, cut out at many levels of the photo's
/// lowest channel, grouped into a lattice that a homography maps onto the
/// photo. A lattice counts only when the chart's rows x columns window (in
/// either layout) is the one placement over it whose every position holds a
/// patch with card ground between the patches, the patches are of several
/// distinct colours, and no patch of the lattice lies beyond the window.
LatticeSearch searchPatchLattice(const cv::Mat& photo, const ChartGeometry& chart);

/// A least-squares homography mapping `from` onto `to` (at least four
/// points, not all on one line); false when the points do not determine one.
bool fitHomography(const std::vector<cv::Point2d>& from, const std::vector<cv::Point2d>& to,
                   cv::Matx33d& homography);

/// `h` applied to `p`; false when `p` maps to infinity.
bool applyHomography(const cv::Matx33d& h, const cv::Point2d& p, cv::Point2d& out);

}  // namespace CardLocation
}  // namespace DataLayer
