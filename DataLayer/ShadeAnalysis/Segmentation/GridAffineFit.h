#pragma once

// The one least-squares fit of an affine map from grid coordinates to pixels
// in the chart search: the refinement of a hypothesised grid (grid positions
// to the seeds near them) and the known-layout placement (grid indices to the
// seeds on them) both use it.

#include <vector>

#include <opencv2/core.hpp>

namespace DataLayer {
namespace chartsearch {

/// One grid point and the pixel it should map to.
struct GridCorrespondence {
    /// Grid coordinates: indices (column, row) or a nominal position in pixels.
    double grid[2];
    /// Where the point lies in the image (x, y).
    double pixel[2];
};

/// Fits `map` (pixel = map * (gx, gy, 1)) to `pairs` by least squares, through
/// the normal equations with one LDLᵀ factor for both pixel axes. Returns
/// false, leaving `map` untouched, when there are fewer than three pairs, when
/// the grid coordinates do not determine the map (the smallest singular value
/// of their design matrix [gx gy 1], coordinates centred and scaled to unit
/// spread, is not above `minSingularRatio` times the largest, or a pivot of
/// the factor is not positive), or when the map found is not finite.
bool fitGridAffine(const std::vector<GridCorrespondence>& pairs, double minSingularRatio,
                   cv::Matx23d& map);

}  // namespace chartsearch
}  // namespace DataLayer
