// The recovery search: where the regular search found no complete chart, the
// chart's known layout is placed on the seeds (after a finer clustering pass
// of the whole image when the seeds alone do not place it) and labelled; the
// placement is accepted only when every position lies in its own patch.
#include <algorithm>
#include <cmath>
#include <string>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/Segmentation/ChartSearch.h"
#include "DataLayer/ShadeAnalysis/Segmentation/LayoutPlacement.h"

namespace DataLayer {
namespace chartsearch {

namespace {

// Radius of the finer clustering pass over the whole image, in whitened Lab
// units.
constexpr float kFineClusterRadius = 0.3f;

}  // namespace

bool recoverChart(SearchState& state, const Parameters& parameters) {
    const std::size_t expected = static_cast<std::size_t>(parameters.GetNumberOfClusters());
    if (parameters.GetGridRows() <= 0 || parameters.GetGridColumns() <= 0) {
        return false;
    }
    cv::Mat lab;
    cv::cvtColor(state.filteredImage, lab, cv::COLOR_BGR2Lab);
    LayoutPlacement layout;
    std::string reason;
    if (!placeKnownLayout(state.seeds, lab, parameters, layout, reason)) {
        // A finer clustering of the whole image separates similar colours
        // that the first pass merged into one cluster too large for a patch;
        // its new regions join the seeds.
        cv::Mat mask(state.filteredImage.size(), CV_8U, cv::Scalar(255));
        cv::Mat centres;
        cv::Mat markers;
        findClusterMarkersInMask(parameters, state.filteredImage, mask, kFineClusterRadius, centres,
                                 markers);
        const double near = 0.5 * parameters.GetSegmentSideLength();
        std::size_t added = 0;
        for (int i = 0; i < centres.rows; ++i) {
            const cv::Vec2i& c = centres.at<cv::Vec2i>(i, 0);
            const bool known =
                std::any_of(state.seeds.begin(), state.seeds.end(), [&](const auto& s) {
                    return std::hypot(static_cast<double>(s[0]) - c[0],
                                      static_cast<double>(s[1]) - c[1]) < near;
                });
            if (!known) {
                state.seeds.push_back({c[0], c[1]});
                ++added;
            }
        }
        if (added == 0 || !placeKnownLayout(state.seeds, lab, parameters, layout, reason)) {
            state.diagnostics.reason = "recovery: " + reason;
            return false;
        }
    }
    if (layout.positions.size() != expected) {
        return false;
    }
    state.patchCenters = layout.positions;
    std::copy(std::begin(layout.stepAlongRow), std::end(layout.stepAlongRow), state.gridStep1);
    std::copy(std::begin(layout.stepDownColumn), std::end(layout.stepDownColumn), state.gridStep2);
    state.diagnostics.gridFound = true;
    if (!labelChart(state, parameters)) {
        state.diagnostics.reason = "recovery: " + state.diagnostics.reason;
        return false;
    }
    // Every position must lie in its own patch region.
    for (std::size_t k = 0; k < state.patchCenters.size(); ++k) {
        const std::array<int, 2>& p = state.patchCenters[k];
        if (state.labels.at<int>(p[1], p[0]) != static_cast<int>(k) + 2) {
            state.diagnostics.reason = "recovery: a patch position lies outside its patch";
            return false;
        }
    }
    state.diagnostics.gridRows = layout.rows;
    state.diagnostics.gridColumns = layout.columns;
    return true;
}

}  // namespace chartsearch
}  // namespace DataLayer
