// The chart search's last step: a marker-controlled watershed from the patch
// centres labels every patch and the white ground between them, and the
// picked white is measured on that ground.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/ChartWhite/PickedWhite.h"
#include "DataLayer/ShadeAnalysis/Segmentation/ChartSearch.h"
#include "DataLayer/ShadeAnalysis/Segmentation/MarkerFlood.h"

namespace DataLayer {
namespace chartsearch {

namespace {

// Radius of every final marker disc.
constexpr int kFinalDiscRadius = 5;
// Width of the frame that patch regions must not reach.
constexpr int kBorderFrame = 5;

}  // namespace

bool labelChart(SearchState& state, const Parameters& parameters) {
    state.labels = cv::Mat::zeros(state.filteredImage.size(), CV_32S);
    const double h[2] = {(state.gridStep1[0] + state.gridStep2[0]) / 2.0,
                         (state.gridStep1[1] + state.gridStep2[1]) / 2.0};
    const double d[2] = {(state.gridStep1[0] - state.gridStep2[0]) / 2.0,
                         (state.gridStep1[1] - state.gridStep2[1]) / 2.0};
    for (std::size_t k = 0; k < state.patchCenters.size(); ++k) {
        const std::array<int, 2>& p = state.patchCenters[k];
        const double label = static_cast<double>(k) + 2.0;
        cv::circle(state.labels, cv::Point(p[0], p[1]), kFinalDiscRadius, cv::Scalar::all(label),
                   -1, cv::LINE_8, 0);
        const double offsets[4][2] = {{h[0], h[1]}, {d[0], d[1]}, {-h[0], -h[1]}, {-d[0], -d[1]}};
        for (const auto& o : offsets) {
            const cv::Point q(roundToInt(p[0] + o[0]), roundToInt(p[1] + o[1]));
            cv::circle(state.labels, q, kFinalDiscRadius, cv::Scalar::all(1), -1, cv::LINE_8, 0);
        }
    }
    floodFromMarkers(state.filteredImage, state.labels);

    // Border test: no patch label in the frame of kBorderFrame pixels.
    for (int y = 0; y < state.labels.rows; ++y) {
        const int* row = state.labels.ptr<int>(y);
        const bool frameRow = y < kBorderFrame || y >= state.labels.rows - kBorderFrame;
        for (int x = 0; x < state.labels.cols; ++x) {
            if (!frameRow && x == kBorderFrame) {
                x = std::max(x, state.labels.cols - kBorderFrame);
                if (x >= state.labels.cols) {
                    break;
                }
            }
            if (row[x] > 1) {
                state.diagnostics.reason = "the chart reaches the border of the region";
                return false;
            }
        }
    }

    // Pixels that are not finite do not count as white ground (the picked
    // white's own rule), so they cannot spoil the mean.
    computeWhiteColor(state, parameters, state.inputImage, state.labels == 1);
    // A white that is not a number would turn every gain into garbage.
    for (int c = 0; c < 4; ++c) {
        if (!std::isfinite(state.whiteColor[c])) {
            state.diagnostics.reason = "the white ground could not be measured";
            return false;
        }
    }
    return true;
}

void computeWhiteColor(SearchState& state, const Parameters& parameters, const cv::Mat& image,
                       const cv::Mat& backgroundMask) {
    state.whiteColor =
        measurePickedWhite(image, backgroundMask, parameters.GetWhiteAreaStencilRadius());
}

}  // namespace chartsearch
}  // namespace DataLayer
