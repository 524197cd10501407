// Patch-region selection of the chart search: splits the colour clusters
// into connected regions and keeps those of a patch's size and shape.

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "DataLayer/ShadeAnalysis/Segmentation/ChartSearch.h"
#include "DataLayer/ShadeAnalysis/Segmentation/RegionBoundaryTracer.h"

namespace DataLayer {
namespace chartsearch {

namespace {

// trunc(v) saturated to the int range; NaN gives 0.
int truncToInt(float v) {
    if (std::isnan(v)) {
        return 0;
    }
    if (v <= static_cast<float>(INT_MIN)) {
        return INT_MIN;
    }
    if (v >= static_cast<float>(INT_MAX)) {
        return INT_MAX;
    }
    return static_cast<int>(v);
}

// Median of `values` as the element at n / 2 of the sorted list.
int upperMedian(std::vector<int>& values) {
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

}  // namespace

void selectPatchRegions(const Parameters& parameters, cv::Mat& labels, int numClusters,
                        cv::Mat& centres) {
    if (labels.type() != CV_32SC1) {
        return;
    }
    cv::Mat original;
    labels.convertTo(original, CV_32S);
    cv::Mat toVisit;
    labels.convertTo(toVisit, CV_32S);
    if (!original.isContinuous()) {
        original = original.clone();
    }
    if (!toVisit.isContinuous()) {
        toVisit = toVisit.clone();
    }
    cv::Mat unassigned = cv::Mat::ones(labels.size(), CV_8U);
    const int width = original.cols;
    const int height = original.rows;
    const int* originalData = original.ptr<int>();
    int* visitData = toVisit.ptr<int>();

    const int holeLimit =
        truncToInt(parameters.GetAcceptedHoleRatio() * parameters.GetScaledPatchSize());
    const float side = parameters.GetSegmentSideLength() * parameters.GetDownsamplingScale();
    const float squareRatio = 4.0f * side / (side * side);

    // Pixels of each cluster in raster order (a counting sort), so that the
    // search for a cluster's next unvisited pixel resumes where the last one
    // was found instead of rescanning the image: visiting only ever clears
    // pixels, so no earlier pixel can become a candidate again.
    const int clusterCount = std::max(numClusters, 0);
    std::vector<int> firstPixel(static_cast<std::size_t>(clusterCount) + 1, 0);
    const int pixelCount = width * height;
    for (int i = 0; i < pixelCount; ++i) {
        const int l = originalData[i];
        if (l >= 0 && l < clusterCount) {
            ++firstPixel[static_cast<std::size_t>(l) + 1];
        }
    }
    for (std::size_t l = 1; l < firstPixel.size(); ++l) {
        firstPixel[l] += firstPixel[l - 1];
    }
    std::vector<int> pixelsByCluster(static_cast<std::size_t>(firstPixel.back()));
    {
        std::vector<int> next(firstPixel.begin(), firstPixel.end() - 1);
        for (int i = 0; i < pixelCount; ++i) {
            const int l = originalData[i];
            if (l >= 0 && l < clusterCount) {
                pixelsByCluster[static_cast<std::size_t>(next[static_cast<std::size_t>(l)]++)] = i;
            }
        }
    }

    int k = 0;
    std::vector<CPixelPolygon> candidates;
    std::vector<int> xs;
    std::vector<int> ys;
    for (int cluster = 0; cluster < clusterCount; ++cluster) {
        const int l = cluster;
        LabelRegionView view;
        view.labels = visitData;
        view.isMember = [l](const int& value) { return value == l; };
        view.width = width;
        view.height = height;
        candidates.clear();
        const int begin = firstPixel[static_cast<std::size_t>(cluster)];
        const int end = firstPixel[static_cast<std::size_t>(cluster) + 1];
        for (int j = begin; j < end; ++j) {
            const int start = pixelsByCluster[static_cast<std::size_t>(j)];
            if (visitData[start] != l) {
                continue;
            }
            CPixelPolygon polygon = traceRegionBoundary(view, start % width, start / width);
            int holes = 0;
            for (auto it = polygon.GetAreaAndMarginIterator(); !it.AtEnd(); ++it) {
                if (it->column < 0 || it->column >= width || it->row < 0 || it->row >= height) {
                    continue;
                }
                const int index = it->row * width + it->column;
                if (originalData[index] != l) {
                    ++holes;
                } else {
                    visitData[index] = -1;
                }
            }
            // The start pixel is on the traced boundary and so cleared above;
            // clearing it here as well makes termination independent of the
            // polygon's iteration.
            visitData[start] = -1;
            if (static_cast<double>(holes) < static_cast<double>(holeLimit)) {
                candidates.push_back(std::move(polygon));
            }
        }
        for (const CPixelPolygon& polygon : candidates) {
            if (polygon.GetArea() <= 0) {
                continue;
            }
            const float ratio = polygon.GetPerimeter() / static_cast<float>(polygon.GetArea());
            const double d = static_cast<double>(ratio) - static_cast<double>(squareRatio);
            const double score = std::exp(-d * d / 0.020000000000000004);
            if (!(score > 0.9)) {
                continue;
            }
            for (auto it = polygon.GetAreaAndMarginIterator(); !it.AtEnd(); ++it) {
                if (it->column < 0 || it->column >= width || it->row < 0 || it->row >= height) {
                    continue;
                }
                labels.at<int>(it->row, it->column) = k;
                unassigned.at<uchar>(it->row, it->column) = 0;
            }
            xs.clear();
            ys.clear();
            for (auto it = polygon.GetAreaIterator(); !it.AtEnd(); ++it) {
                xs.push_back(it->column);
                ys.push_back(it->row);
            }
            cv::Vec2i centre(0, 0);
            if (!xs.empty()) {
                centre = cv::Vec2i(upperMedian(xs), upperMedian(ys));
            }
            centres.push_back(centre);
            ++k;
        }
    }
    labels.setTo(-1, unassigned);
}

}  // namespace chartsearch
}  // namespace DataLayer
