// The clustering passes of the chart search: the Lab colours of the reduced
// image, whitened, clustered by mean shift; the clusters' patch regions become
// seeds and watershed markers. The first pass covers the whole image, the
// later ones the background the floods left.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include <opencv2/imgproc.hpp>

#include "Base/Algorithms/CMeanShiftClusterer3D.h"
#include "Base/Algorithms/JacobiIteration.h"
#include "DataLayer/ShadeAnalysis/Segmentation/CWatershedSegmentation.h"
#include "DataLayer/ShadeAnalysis/Segmentation/ChartSearch.h"
#include "DataLayer/ShadeAnalysis/Segmentation/MarkerFlood.h"

namespace DataLayer {

void computeMeanAndCovariance(const double* data, int count, int dims, double* mean,
                              double* covariance, int layout) {
    if (dims < 1) {
        return;
    }
    const std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 0;
    const std::size_t d = static_cast<std::size_t>(dims);
    auto at = [&](std::size_t i, std::size_t k) {
        return layout == 1 ? data[k * n + i] : data[i * d + k];
    };
    std::fill(mean, mean + d, 0.0);
    std::fill(covariance, covariance + d * (d + 1) / 2, 0.0);
    if (n == 0) {
        return;
    }
    const double invN = 1.0 / static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < d; ++k) {
            mean[k] += invN * at(i, k);
        }
    }
    const double invN1 = 1.0 / (static_cast<double>(n) - 1.0);
    const double nOverN1 = static_cast<double>(n) / (static_cast<double>(n) - 1.0);
    for (std::size_t r = 0; r < d; ++r) {
        for (std::size_t c = 0; c <= r; ++c) {
            double sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                sum += invN1 * at(i, r) * at(i, c);
            }
            covariance[r * (r + 1) / 2 + c] = sum - nOverN1 * mean[r] * mean[c];
        }
    }
}

namespace chartsearch {

namespace {

// Radius of the re-clustering pass in whitened Lab units.
constexpr float kReclusterRadius = 0.85f;
// Disc radii of the markers of the first and the re-clustering pass.
constexpr int kFirstPassDiscRadius = 5;
constexpr int kReclusterDiscRadius = 30;
// Smallest largest-eigenvalue (Lab units squared) that counts as colour
// spread, and the smallest eigenvalue relative to the largest that can be
// whitened: below them the image is flat (or flat along one axis) and the
// whitening would divide by zero.
constexpr double kMinColorVariance = 1e-6;
constexpr double kMinRelativeVariance = 1e-12;

// Size of cv::resize(src, Size(0, 0), scale, scale): each side rounded.
cv::Size scaledSize(const cv::Size& size, double scale) {
    return cv::Size(roundToInt(size.width * scale), roundToInt(size.height * scale));
}
cv::Mat onesKernel(int side) { return cv::Mat::ones(side, side, CV_8U); }

// Reduced, Lab-converted and blurred copy of the filtered image; empty when
// the reduction leaves no pixel or the scale is unusable.
cv::Mat blurredLab(const cv::Mat& filteredImage, float scale, int blurSize) {
    if (!(scale > 0.0f && scale <= 1.0f)) {
        return cv::Mat();
    }
    const cv::Size reducedSize = scaledSize(filteredImage.size(), scale);
    if (reducedSize.width <= 0 || reducedSize.height <= 0) {
        return cv::Mat();
    }
    cv::Mat reduced;
    cv::resize(filteredImage, reduced, cv::Size(0, 0), scale, scale, cv::INTER_LINEAR);
    cv::Mat lab;
    cv::cvtColor(reduced, lab, cv::COLOR_BGR2Lab);
    cv::GaussianBlur(lab, lab, cv::Size(blurSize, blurSize), blurSize * 0.5, 0.0,
                     cv::BORDER_DEFAULT);
    return lab;
}

// Centres the points and scales them along the principal axes of their
// covariance to unit variance. False (points untouched) when the points have
// no spread along some axis, which would make the whitening divide by zero.
bool whitenPoints(double* points, int count, double& largestEigenvalue) {
    if (count < 2) {
        return false;
    }
    double mean[3];
    double covariance[6];
    computeMeanAndCovariance(points, count, 3, mean, covariance, 0);
    double eigenvalues[3];
    double eigenvectors[9];
    double work[6];
    symsolvers::JacobiIteration(covariance, eigenvalues, eigenvectors, 3, 20, work);
    largestEigenvalue = std::max({eigenvalues[0], eigenvalues[1], eigenvalues[2]});
    if (!std::isfinite(largestEigenvalue) || !(largestEigenvalue > kMinColorVariance)) {
        return false;
    }
    double sigma[3];
    for (int j = 0; j < 3; ++j) {
        if (!(eigenvalues[j] > largestEigenvalue * kMinRelativeVariance)) {
            return false;
        }
        sigma[j] = std::sqrt(eigenvalues[j]);
    }
    for (int i = 0; i < count; ++i) {
        double* x = points + 3 * static_cast<std::size_t>(i);
        const double d[3] = {x[0] - mean[0], x[1] - mean[1], x[2] - mean[2]};
        double t[3];
        for (int j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 3; ++k) {
                sum += d[k] * eigenvectors[3 * k + j];
            }
            t[j] = sum / sigma[j];
        }
        x[0] = t[0];
        x[1] = t[1];
        x[2] = t[2];
    }
    return true;
}

// Cluster index per point for the clusters whose size lies strictly inside
// (minSize, maxSize), -1 for the others; `numClusters` receives the count.
std::vector<int> clusterPoints(const double* points, int count, double radius, unsigned int minSize,
                               unsigned int maxSize, int& numClusters) {
    CMeanShiftClusterer3D clusterer(points, static_cast<std::size_t>(count), radius);
    clusterer.Run();
    std::vector<int> labels(static_cast<std::size_t>(count), -1);
    for (int i = 0; i < count; ++i) {
        const unsigned int c = clusterer.GetClusterIndex(static_cast<std::size_t>(i));
        const unsigned int size = clusterer.GetClusterSize(c);
        if (minSize < size && size < maxSize && c <= static_cast<unsigned int>(INT_MAX)) {
            labels[static_cast<std::size_t>(i)] = static_cast<int>(c);
        }
    }
    numClusters = static_cast<int>(std::min<unsigned int>(clusterer.GetNumClusters(), INT_MAX));
    return labels;
}

// Turns the kept regions into watershed markers: one disc of label i + 2 per
// centre (converted in place to full resolution) and background 1 on every
// pixel more than 35 px (Chebyshev) from all kept regions.
cv::Mat buildMarkers(const cv::Mat& regionLabels, const cv::Size& fullSize, float scale,
                     int discRadius, cv::Mat& centres) {
    cv::Mat markers = cv::Mat::zeros(fullSize, CV_32S);
    cv::Mat fullLabels;
    cv::resize(regionLabels, fullLabels, fullSize, 0, 0, cv::INTER_NEAREST);
    for (int i = 0; i < centres.rows; ++i) {
        cv::Vec2i& c = centres.at<cv::Vec2i>(i, 0);
        c[0] = static_cast<int>(static_cast<float>(c[0]) / scale);
        c[1] = static_cast<int>(static_cast<float>(c[1]) / scale);
        cv::circle(markers, cv::Point(c[0], c[1]), discRadius, cv::Scalar::all(i + 2), -1,
                   cv::LINE_8, 0);
    }
    // Values are 0 or 1, so an 8-bit erosion gives the same result as a 16-bit one.
    cv::Mat background = (fullLabels == -1) / 255;
    cv::erode(background, background, onesKernel(15), cv::Point(-1, -1), 5, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());
    cv::Mat background32;
    background.convertTo(background32, CV_32S);
    cv::add(markers, background32, markers);
    return markers;
}

}  // namespace

void findClusterMarkers(SearchState& state, const Parameters& parameters,
                        const cv::Mat& filteredImage, cv::Mat& centres) {
    const float scale = parameters.GetDownsamplingScale();
    centres = cv::Mat(0, 1, CV_32SC2);
    state.labels = cv::Mat::zeros(filteredImage.size(), CV_32S);
    const cv::Mat lab = blurredLab(filteredImage, scale, parameters.GetBlurKernelSize());
    if (lab.empty()) {
        return;
    }
    cv::Mat points;
    lab.convertTo(points, CV_64FC3, 1.0, 0.0);
    const int count = lab.rows * lab.cols;
    double largestEigenvalue = 0.0;
    if (!whitenPoints(points.ptr<double>(), count, largestEigenvalue)) {
        return;
    }
    const float radius = parameters.GetLabClusterRadius() *
                         (1.0f / static_cast<float>(std::sqrt(largestEigenvalue)));
    int numClusters = 0;
    const std::vector<int> pointLabels = clusterPoints(
        points.ptr<double>(), count, static_cast<double>(radius),
        parameters.GetMinimalClusterSize(), parameters.GetMaximalClusterSize(), numClusters);
    cv::Mat clusterLabels(lab.size(), CV_32S);
    std::copy(pointLabels.begin(), pointLabels.end(), clusterLabels.ptr<int>());
    selectPatchRegions(parameters, clusterLabels, numClusters, centres);
    state.labels =
        buildMarkers(clusterLabels, filteredImage.size(), scale, kFirstPassDiscRadius, centres);
}

void findClusterMarkersInMask(const Parameters& parameters, const cv::Mat& filteredImage,
                              cv::Mat& mask, float radius, cv::Mat& centres, cv::Mat& markers) {
    const float scale = parameters.GetDownsamplingScale();
    centres = cv::Mat(0, 1, CV_32SC2);
    markers = cv::Mat::zeros(filteredImage.size(), CV_32S);
    cv::erode(mask, mask, onesKernel(15), cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());
    const cv::Mat lab = blurredLab(filteredImage, scale, parameters.GetBlurKernelSize());
    if (lab.empty()) {
        return;
    }
    cv::Mat reducedMask;
    cv::resize(mask, reducedMask, cv::Size(0, 0), scale, scale, cv::INTER_LINEAR);
    if (reducedMask.size() != lab.size()) {
        return;
    }
    std::vector<double> points;
    points.reserve(3 * static_cast<std::size_t>(cv::countNonZero(reducedMask)));
    for (int y = 0; y < lab.rows; ++y) {
        const cv::Vec3b* labRow = lab.ptr<cv::Vec3b>(y);
        const uchar* maskRow = reducedMask.ptr<uchar>(y);
        for (int x = 0; x < lab.cols; ++x) {
            if (maskRow[x] != 0) {
                points.push_back(labRow[x][0]);
                points.push_back(labRow[x][1]);
                points.push_back(labRow[x][2]);
            }
        }
    }
    const int count = static_cast<int>(points.size() / 3);
    double largestEigenvalue = 0.0;
    if (!whitenPoints(points.data(), count, largestEigenvalue)) {
        return;
    }
    int numClusters = 0;
    const std::vector<int> pointLabels = clusterPoints(
        points.data(), count, static_cast<double>(radius), parameters.GetMinimalClusterSize(),
        parameters.GetMaximalClusterSize(), numClusters);
    cv::Mat clusterLabels(lab.size(), CV_32S, cv::Scalar(-1));
    std::size_t k = 0;
    for (int y = 0; y < lab.rows; ++y) {
        const uchar* maskRow = reducedMask.ptr<uchar>(y);
        int* labelRow = clusterLabels.ptr<int>(y);
        for (int x = 0; x < lab.cols; ++x) {
            if (maskRow[x] != 0) {
                labelRow[x] = pointLabels[k++];
            }
        }
    }
    selectPatchRegions(parameters, clusterLabels, numClusters, centres);
    markers =
        buildMarkers(clusterLabels, filteredImage.size(), scale, kReclusterDiscRadius, centres);
}

bool recluster(SearchState& state, const Parameters& parameters, float radius) {
    if (state.labels.empty()) {
        return false;
    }
    cv::Mat mask = (state.labels == 1);
    cv::Mat centres;
    cv::Mat markers;
    findClusterMarkersInMask(parameters, state.filteredImage, mask, radius, centres, markers);
    if (centres.empty()) {
        return false;
    }
    floodFromMarkers(state.filteredImage, markers);
    // The new patches' regions (flood labels above 1) join the labels,
    // numbered after the seeds found so far; the background and the
    // boundaries of this flood change nothing.
    const auto offset = static_cast<std::int64_t>(state.seeds.size()) + 1;
    for (int y = 0; y < markers.rows; ++y) {
        const int* flood = markers.ptr<int>(y);
        int* labels = state.labels.ptr<int>(y);
        for (int x = 0; x < markers.cols; ++x) {
            if (flood[x] > 1) {
                labels[x] = cv::saturate_cast<int>(
                    labels[x] +
                    static_cast<std::int64_t>(cv::saturate_cast<int>(flood[x] + offset)));
            }
        }
    }
    for (int i = 0; i < centres.rows; ++i) {
        const cv::Vec2i& c = centres.at<cv::Vec2i>(i, 0);
        state.seeds.push_back({c[0], c[1]});
    }
    return true;
}

void appendSeeds(SearchState& state, const cv::Mat& centres) {
    for (int i = 0; i < centres.rows; ++i) {
        const cv::Vec2i& c = centres.at<cv::Vec2i>(i, 0);
        state.seeds.push_back({c[0], c[1]});
    }
}

void floodAndRecluster(SearchState& state, const Parameters& parameters) {
    floodFromMarkers(state.filteredImage, state.labels);
    // Each pass clusters what the previous floods left as background; a pass
    // that finds new patches may uncover more, so passes repeat until one finds
    // nothing, at most the parameter set's number of times in all.
    const unsigned int maxPasses = parameters.GetMaximumNumberOfReclusteringOperations();
    bool found = recluster(state, parameters, kReclusterRadius);
    for (unsigned int pass = 1; found && pass < maxPasses; ++pass) {
        found = recluster(state, parameters, kReclusterRadius);
    }
}

}  // namespace chartsearch
}  // namespace DataLayer
