// The chart search as one run: the regular search (clustering, grid
// hypothesis, refinement, labelling) and, only where it finds no complete
// chart, the recovery search on a copy of its state.
#include <string>
#include <utility>

#include "DataLayer/ShadeAnalysis/Segmentation/ChartSearch.h"

namespace DataLayer {
namespace chartsearch {

bool runChartSearch(SearchState& state, const Parameters& parameters) {
    state.diagnostics = SegmentationDiagnostics{};
    // The clustering works on the Lab colours of a three-channel image and the
    // watershed needs 8-bit BGR; any other input cannot hold a chart.
    if (state.filteredImage.type() != CV_8UC3 ||
        state.filteredImage.size() != state.inputImage.size()) {
        state.diagnostics.reason = "the image is not a three-channel colour image";
        return false;
    }
    const std::size_t expected = static_cast<std::size_t>(parameters.GetNumberOfClusters());

    // The regular search.
    cv::Mat centres;
    findClusterMarkers(state, parameters, state.filteredImage, centres);
    const bool seeded = !centres.empty();
    bool found = false;
    if (seeded) {
        appendSeeds(state, centres);
        floodAndRecluster(state, parameters);
        found = fitRegularGrid(state, parameters) && labelChart(state, parameters);
    } else {
        state.diagnostics.reason = "no patch-like colour regions found";
    }
    state.diagnostics.seedsFound = static_cast<int>(state.seeds.size());
    state.diagnostics.seeds = state.seeds;
    state.diagnostics.grid = state.patchCenters;
    std::string layoutReason;
    const bool complete = found && state.patchCenters.size() == expected;
    int gridRows = 0;
    int gridColumns = 0;
    if (complete && gridMatchesLayout(state, parameters, gridRows, gridColumns, layoutReason)) {
        state.diagnostics.gridRows = gridRows;
        state.diagnostics.gridColumns = gridColumns;
        return true;
    }
    if (complete) {
        state.diagnostics.reason = layoutReason;
    } else if (found) {
        state.diagnostics.reason = "found " + std::to_string(state.patchCenters.size()) +
                                   " patch positions, the chart has " + std::to_string(expected);
    }

    // The recovery search runs on a copy of the regular search's state: when
    // it cannot do better, what the regular search found stands.
    SearchState recovery = state;
    if (!seeded) {
        // An empty first pass leaves only background markers, which the
        // regular search does not keep; the recovery floods and re-clusters
        // them, and may find the patches the first pass missed.
        state.labels = cv::Mat();
        floodAndRecluster(recovery, parameters);
    }
    if (recoverChart(recovery, parameters)) {
        recovery.diagnostics.recovered = true;
        recovery.diagnostics.reason.clear();
        recovery.diagnostics.seedsFound = static_cast<int>(recovery.seeds.size());
        recovery.diagnostics.seeds = recovery.seeds;
        recovery.diagnostics.grid = recovery.patchCenters;
        state = std::move(recovery);
        return true;
    }
    const std::string& recoveryReason = recovery.diagnostics.reason;
    if (recoveryReason.rfind("recovery: ", 0) == 0) {
        state.diagnostics.reason += (state.diagnostics.reason.empty() ? "" : "; ") + recoveryReason;
    }
    // A partial grid is still reported (a host collecting patches over several
    // frames merges it); a complete grid of another layout is not a chart.
    return found && !complete;
}

}  // namespace chartsearch
}  // namespace DataLayer
