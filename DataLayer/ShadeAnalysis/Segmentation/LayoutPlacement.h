#pragma once

// The recovery's placement of the chart's known layout on a few seeds
// (LayoutPlacement.cpp, GridAngleVotes.cpp) and its check against the image
// (PlacementCheck.cpp).

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/IParameterSetColorCalibrationTarget.h"

namespace DataLayer {
namespace chartsearch {

/// A chart's grid found from a few seeds and the chart's known layout.
struct LayoutPlacement {
    /// Patch centres (x, y), rows top to bottom, each row left to right.
    std::vector<std::array<int, 2>> positions;
    /// Rows and columns of the grid found: the parameter set's, or swapped for
    /// a chart lying a quarter turn from its layout.
    int rows = 0;
    int columns = 0;
    /// One grid step along a row (pointing right) and one down a column.
    double stepAlongRow[2] = {0.0, 0.0};
    double stepDownColumn[2] = {0.0, 0.0};
    /// Seeds that lie on a position of the grid.
    int supportingSeeds = 0;
};

/// Finds the chart's grid of rows x columns patches (the parameter set's
/// `GetGridRows` x `GetGridColumns`, pitch `GetGridLength`), or of columns x
/// rows for a chart lying a quarter turn from its layout, from as few as four
/// seeds, where the regular seed-grid search needs more than half the patches:
///
/// 1. The grid's angle (within 25.8 degrees of the image axes) is voted by the
///    pairs of seeds whose distance matches a small lattice offset of the
///    nominal pitch; the grid's phase is the one most seeds agree on.
/// 2. An affine map from grid indices to pixels is fitted to those seeds
///    (`fitGridAffine`; falling back to the nominal pitch and the voted angle when the seeds
///    cannot determine it).
/// 3. Every placement of the chart's rows x columns window, and of its
///    columns x rows window, that holds most of the seeds (the placements of
///    both ranked together) is checked against the image: each position must look like a
///    patch (its centre differs clearly from the ground around it and is
///    nearly uniform) with card ground on all eight sides (every ground sample
///    of the card's colour, and the lightness of all of them on one smooth
///    surface, as a card's illumination is and a darker scene beside the card
///    is not). Exactly one placement, over both windows, must pass.
///
/// `labImage` is the 8-bit Lab conversion of the segmentation's median-filtered
/// 8-bit image. Returns false with `reason` set when no placement, or more
/// than one, passes; nothing is guessed.
bool placeKnownLayout(const std::vector<std::array<int, 2>>& seeds, const cv::Mat& labImage,
                      const Base::IParameterSetColorCalibrationTarget& parameters,
                      LayoutPlacement& placement, std::string& reason);

/// Angles (degrees, within 25.8 of the image axes) voted by the pairs of
/// `seeds` whose distance matches a small lattice offset of `pitch`, the
/// strongest first, at most `count` (step 1 above).
std::vector<double> votedGridAngles(const std::vector<std::array<int, 2>>& seeds, double pitch,
                                    int count);

/// Checks `positions` (rows x columns in row order, `stepAlongRow` and
/// `stepDownColumn` one grid step each) against `labImage` as step 3 above.
bool chartLooksRight(const std::vector<std::array<double, 2>>& positions,
                     const double stepAlongRow[2], const double stepDownColumn[2],
                     const cv::Mat& labImage, float sideLength);

}  // namespace chartsearch
}  // namespace DataLayer
