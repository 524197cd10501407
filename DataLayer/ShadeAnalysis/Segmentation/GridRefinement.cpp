// Grid filtering and refinement of the chart search: the hypothesised grid is
// cut down to the lines that carry seeds, and its positions are moved by the
// affine map that best carries them onto the seeds near them.
#include <cmath>
#include <utility>

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/Segmentation/ChartSearch.h"
#include "DataLayer/ShadeAnalysis/Segmentation/GridAffineFit.h"

namespace DataLayer {
namespace chartsearch {

namespace {

static_assert(sizeof(Point) == 2 * sizeof(int),
              "point lists are viewed as two-channel int matrices");

// Fewest position-seed pairs the refinement fits the map to.
constexpr std::size_t kMinRefinementPairs = 6;
// The positions must determine the map: the design matrix's smallest singular
// value above this fraction of its largest (positions along one line do not).
constexpr double kMinSingularRatio = 1e-3;

}  // namespace

bool isNearSeed(const SearchState& state, const Parameters& parameters, const double point[2]) {
    const double limit = static_cast<double>(parameters.GetGridLength() * 0.5f);
    for (const std::array<int, 2>& s : state.seeds) {
        const double dx = s[0] - point[0];
        const double dy = s[1] - point[1];
        if (std::sqrt(dx * dx + dy * dy) < limit) {
            return true;
        }
    }
    return false;
}

bool filterGridPositions(SearchState& state, const Parameters& parameters) {
    const double width = state.filteredImage.cols;
    const double height = state.filteredImage.rows;
    auto inside = [&](const double q[2]) {
        return q[0] >= 0.0 && q[0] < width && q[1] >= 0.0 && q[1] < height;
    };
    // Whether some walk point from `p` (itself included when `includeStart`)
    // along +step and then -step, up to the image edge, is near a seed.
    auto lineSupported = [&](const std::array<int, 2>& p, const double step[2], bool includeStart) {
        const double p0[2] = {static_cast<double>(p[0]), static_cast<double>(p[1])};
        double q[2] = {p0[0], p0[1]};
        if (!includeStart) {
            q[0] += step[0];
            q[1] += step[1];
        }
        while (inside(q)) {
            if (isNearSeed(state, parameters, q)) {
                return true;
            }
            q[0] += step[0];
            q[1] += step[1];
        }
        q[0] = p0[0] - step[0];
        q[1] = p0[1] - step[1];
        while (inside(q)) {
            if (isNearSeed(state, parameters, q)) {
                return true;
            }
            q[0] -= step[0];
            q[1] -= step[1];
        }
        return false;
    };
    const std::vector<std::array<int, 2>> positions = std::move(state.patchCenters);
    state.patchCenters.clear();
    for (const std::array<int, 2>& p : positions) {
        if (lineSupported(p, state.gridStep1, true) && lineSupported(p, state.gridStep2, false)) {
            state.patchCenters.push_back(p);
        }
    }
    return static_cast<int>(state.patchCenters.size()) == parameters.GetNumberOfClusters();
}

bool refineGridByAffineFit(SearchState& state, const Parameters& parameters) {
    const double limit = static_cast<double>(parameters.GetGridLength() * 0.5f);
    std::vector<GridCorrespondence> pairs;
    for (const Point& s : state.seeds) {
        for (const Point& p : state.patchCenters) {
            const double dx = static_cast<double>(s[0]) - p[0];
            const double dy = static_cast<double>(s[1]) - p[1];
            if (limit > std::sqrt(dx * dx + dy * dy)) {
                pairs.push_back({{static_cast<double>(p[0]), static_cast<double>(p[1])},
                                 {static_cast<double>(s[0]), static_cast<double>(s[1])}});
            }
        }
    }
    if (pairs.size() < kMinRefinementPairs) {
        return false;
    }
    cv::Matx23d map;
    if (!fitGridAffine(pairs, kMinSingularRatio, map)) {
        return false;
    }
    cv::Mat view(static_cast<int>(state.patchCenters.size()), 1, CV_32SC2,
                 state.patchCenters.data());
    cv::transform(view, view, map);
    return true;
}

bool fitRegularGrid(SearchState& state, const Parameters& parameters) {
    bool accepted = false;
    // tryGridFromSeed reads state.seeds, which it never changes; iterate over a copy
    // of each seed so that the reference stays valid.
    for (std::size_t i = 0; i < state.seeds.size() && !accepted; ++i) {
        const std::array<int, 2> seed = state.seeds[i];
        accepted = tryGridFromSeed(state, parameters, seed);
    }
    if (!accepted) {
        state.diagnostics.reason = "no regular grid of patches found among " +
                                   std::to_string(state.seeds.size()) + " patch-like regions";
        return false;
    }
    state.diagnostics.gridFound = true;
    if (!orderGridPositions(state, parameters)) {
        state.diagnostics.reason = "the grid of patches is turned too far from the image axes";
        return false;
    }
    filterGridPositions(state, parameters);
    if (!refineGridByAffineFit(state, parameters)) {
        state.diagnostics.reason = "the grid could not be fitted to the patches found";
        return false;
    }
    return true;
}

}  // namespace chartsearch
}  // namespace DataLayer
