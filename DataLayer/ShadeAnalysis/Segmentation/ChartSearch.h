#pragma once

// The chart search's steps as free functions over one explicit state, for the
// files of the segmentation stage only (`CWatershedSegmentation` is their
// shell, `segmentChart` the stage's entry). Points are (x = column, y = row)
// in full-resolution pixels of the segmented image. Label images are CV_32SC1
// of the image's size: -1 on watershed boundaries, 1 on the white ground,
// k + 2 on the region of seed or patch k, 0 where nothing is known yet.

#include <array>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/SegmentationDiagnostics.h"

namespace DataLayer {
namespace chartsearch {

using Point = std::array<int, 2>;
using Parameters = Base::IParameterSetColorCalibrationTarget;

/// Everything one run of the search carries from step to step. A copy is an
/// independent run except for the pixels of the two images, which no step
/// writes (and `labels`, which a copy must clone before flooding it again).
struct SearchState {
    /// The image as given (three channels, 0..255); its white is measured here.
    cv::Mat inputImage;
    /// Its 8-bit conversion, median-filtered (CV_8UC3): what is clustered and flooded.
    cv::Mat filteredImage;
    /// Markers, then the flood's labels; empty before a run.
    cv::Mat labels;
    /// Centres of the patch-like regions found so far, in the order found.
    std::vector<Point> seeds;
    /// The grid positions under test; after a successful run the patch
    /// centres in row order.
    std::vector<Point> patchCenters;
    /// The grid's two steps (pixels) as hypothesised, or as the recovery placed them.
    double gridStep1[2] = {0.0, 0.0};
    double gridStep2[2] = {0.0, 0.0};
    /// Mean colour of the white ground (B, G, R, 0) once the chart is labelled.
    cv::Scalar whiteColor{0.0, 0.0, 0.0, 0.0};
    SegmentationDiagnostics diagnostics;
};

/// Largest number of grid positions a hypothesis may have: enough for a
/// 100-megapixel photo at the smallest pitch of the chart types.
constexpr std::size_t kMaxGridPositions = 16384;

/// Nearest integer (ties to even), saturated to the int range; NaN gives 0.
inline int roundToInt(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    const double r = std::nearbyint(v);
    if (r <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    if (r >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    return static_cast<int>(r);
}

// ---- Seed clustering (SeedClustering.cpp, PatchRegions.cpp) ----------------

/// First clustering pass over the whole filtered image: `centres` (N x 1
/// CV_32SC2) receives the patch regions' centres and `state.labels` their
/// markers (a disc per centre, 1 on the background far from every region).
void findClusterMarkers(SearchState& state, const Parameters& parameters,
                        const cv::Mat& filteredImage, cv::Mat& centres);
/// A clustering pass with `radius` (whitened Lab units) over the pixels of
/// `mask` (CV_8UC1, eroded in place first); `markers` as above.
void findClusterMarkersInMask(const Parameters& parameters, const cv::Mat& filteredImage,
                              cv::Mat& mask, float radius, cv::Mat& centres, cv::Mat& markers);
/// Splits the clusters of `labels` (reduced image, cluster index or -1) into
/// connected regions and keeps those of a patch's size and shape: `labels`
/// then holds their index, -1 elsewhere, and `centres` their centres.
void selectPatchRegions(const Parameters& parameters, cv::Mat& labels, int numClusters,
                        cv::Mat& centres);
/// Clusters the background of the latest flood again and adds the regions
/// found to the labels and seeds; false when there are no labels or nothing new.
bool recluster(SearchState& state, const Parameters& parameters, float radius);
/// Appends `centres` (N x 1 CV_32SC2) to the seeds.
void appendSeeds(SearchState& state, const cv::Mat& centres);
/// Floods the markers and re-clusters the background until a pass finds nothing.
void floodAndRecluster(SearchState& state, const Parameters& parameters);

// ---- Grid hypothesis and order (GridHypothesis.cpp) -------------------------

/// Hypothesises the grid through `seed` and two perpendicular neighbours one
/// pitch away; true when more than half the patches' seeds lie on it.
bool tryGridFromSeed(SearchState& state, const Parameters& parameters, const Point& seed);
/// The positions seed + a step1 + b step2 strictly inside the input image.
std::vector<Point> generateGridPositions(const SearchState& state, const Point& seed,
                                         const double step1[2], const double step2[2]);
/// Orders the positions into rows; false when the grid is turned too far.
bool orderGridPositions(SearchState& state, const Parameters& parameters);
/// Whether the complete grid is the chart's rows x columns or columns x rows.
bool gridMatchesLayout(const SearchState& state, const Parameters& parameters, int& gridRows,
                       int& gridColumns, std::string& reason);

// ---- Grid filtering and refinement (GridRefinement.cpp) --------------------

/// Whether a seed lies within half a pitch of `point`.
bool isNearSeed(const SearchState& state, const Parameters& parameters, const double point[2]);
/// Keeps the positions whose grid lines carry a seed; true when the patch
/// count remains.
bool filterGridPositions(SearchState& state, const Parameters& parameters);
/// Moves the positions by the affine map that best carries them onto the
/// seeds near them; false when the seeds do not determine it.
bool refineGridByAffineFit(SearchState& state, const Parameters& parameters);
/// The regular search after the clustering: hypothesis, order, filter, refinement.
bool fitRegularGrid(SearchState& state, const Parameters& parameters);

// ---- Recovery (ChartRecovery.cpp) -------------------------------------------

/// Places the chart's known layout on the seeds (with a finer clustering pass
/// when needed) and labels it; false with the reason in the diagnostics.
bool recoverChart(SearchState& state, const Parameters& parameters);

// ---- Labelling and white (ChartLabelling.cpp) ------------------------------

/// Marker-controlled watershed from the patch centres; false when a patch
/// reaches the border or the white cannot be measured.
bool labelChart(SearchState& state, const Parameters& parameters);
/// The picked white of `image` over `backgroundMask` into `state.whiteColor`.
void computeWhiteColor(SearchState& state, const Parameters& parameters, const cv::Mat& image,
                       const cv::Mat& backgroundMask);

// ---- The run (ChartSearch.cpp) ---------------------------------------------

/// The whole search on `state` (images set, nothing else): the regular search
/// and, where it fails, the recovery on a copy of its state. True when a
/// complete chart was found, or when the regular search found only part of
/// one (a partial grid, reported for hosts that merge frames).
bool runChartSearch(SearchState& state, const Parameters& parameters);

}  // namespace chartsearch
}  // namespace DataLayer
