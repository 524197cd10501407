#pragma once

#include <array>
#include <string>
#include <vector>

namespace DataLayer {

/// What a chart segmentation found and, when it failed, why: for reports that
/// show a user where the chart search stopped.
struct SegmentationDiagnostics {
    /// Seeds (patch-like colour regions) the clustering passes found.
    int seedsFound = 0;
    /// Whether a grid of patch positions was laid over the seeds.
    bool gridFound = false;
    /// Whether the chart came from the recovery search (the regular grid
    /// search had failed).
    bool recovered = false;
    /// Rows and columns of the complete grid of patches found, as the image
    /// shows it (rows top to bottom, columns left to right): the parameter
    /// set's rows x columns, or its columns x rows for a chart lying a quarter
    /// turn from its layout (or a card printed the other way round). 0 x 0 when
    /// no complete grid was found or the parameter set gives no layout.
    int gridRows = 0;
    int gridColumns = 0;
    /// Empty when the chart was found; otherwise the stage that failed, in words.
    std::string reason;
    /// The seeds (x, y) and the last grid of patch positions tried, in the
    /// segmented image's pixels.
    std::vector<std::array<int, 2>> seeds;
    std::vector<std::array<int, 2>> grid;
};

}  // namespace DataLayer
