#include "DataLayer/ShadeAnalysis/Segmentation/CWatershedSegmentation.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <opencv2/imgproc.hpp>

#include "Base/Algorithms/CMeanShiftClusterer3D.h"
#include "Base/Algorithms/JacobiIteration.h"
#include "DataLayer/Errors/OrvException.h"
#include "DataLayer/ShadeAnalysis/Calibration/PickedWhite.h"
#include "DataLayer/ShadeAnalysis/Numerics/LeastSquares.h"
#include "DataLayer/ShadeAnalysis/Segmentation/ChartLayoutFit.h"
#include "DataLayer/ShadeAnalysis/Segmentation/MedianFilter.h"

namespace DataLayer {

namespace {

static_assert(sizeof(std::array<int, 2>) == 2 * sizeof(int),
              "point lists are viewed as two-channel int matrices");

// Radius of the re-clustering pass in whitened Lab units.
constexpr float kReclusterRadius = 0.85f;
// Radius of the recovery's finer clustering pass over the whole image, in
// whitened Lab units.
constexpr float kFineClusterRadius = 0.3f;
// Disc radii of the markers of the first and the re-clustering pass.
constexpr int kFirstPassDiscRadius = 5;
constexpr int kReclusterDiscRadius = 30;
// Final markers: radius of every disc.
constexpr int kFinalDiscRadius = 5;
// Width of the frame that patch regions must not reach.
constexpr int kBorderFrame = 5;
// Smallest largest-eigenvalue (Lab units squared) that counts as colour
// spread, and the smallest eigenvalue relative to the largest that can be
// whitened: below them the image is flat (or flat along one axis) and the
// whitening would divide by zero.
constexpr double kMinColorVariance = 1e-6;
constexpr double kMinRelativeVariance = 1e-12;

// Nearest integer (ties to even), saturated to the int range; NaN gives 0.
int roundToInt(double v) {
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

}  // namespace

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

CWatershedSegmentation::CWatershedSegmentation(
    std::shared_ptr<Base::IParameterSetColorCalibrationTarget> parameterSet)
    : m_whiteColor(0.0, 0.0, 0.0, 0.0), m_parameterSet(std::move(parameterSet)) {
    if (!m_parameterSet) {
        ThrowOrvException("DataLayer/ShadeAnalysis/CWatershedSegmentation", 51,
                          "DataLayer::CWatershedSegmentation::CWatershedSegmentation",
                          L"invalid parameter set for color calibration target");
    }
}

CWatershedSegmentation::~CWatershedSegmentation() = default;

void CWatershedSegmentation::setInputImage(const cv::Mat& image) {
    cv::Mat image8u;
    image.convertTo(image8u, CV_8U, 1.0, 0.0);
    if (image8u.empty()) {
        // Nothing to filter (the median filter refuses an empty image); the
        // next segment() reports the missing image.
        m_filteredImage = cv::Mat();
    } else {
        medianBlur9x9(image8u, m_filteredImage);
    }
    m_inputImage = image;
    m_labels = cv::Mat();
    m_seeds.clear();
}

cv::Mat CWatershedSegmentation::getLabels() {
    segment();
    return m_labels;
}

std::vector<std::array<int, 2>> CWatershedSegmentation::getPatchCenters() {
    segment();
    return m_patchCenters;
}

cv::Scalar CWatershedSegmentation::getWhiteColor() {
    segment();
    return m_whiteColor;
}

// ---------------------------------------------------------------------------
// Clustering passes

namespace {

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

void CWatershedSegmentation::findClusterMarkers(const cv::Mat& filteredImage, cv::Mat& centres) {
    const float scale = m_parameterSet->GetDownsamplingScale();
    centres = cv::Mat(0, 1, CV_32SC2);
    m_labels = cv::Mat::zeros(filteredImage.size(), CV_32S);
    const cv::Mat lab = blurredLab(filteredImage, scale, m_parameterSet->GetBlurKernelSize());
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
    const float radius = m_parameterSet->GetLabClusterRadius() *
                         (1.0f / static_cast<float>(std::sqrt(largestEigenvalue)));
    int numClusters = 0;
    const std::vector<int> pointLabels =
        clusterPoints(points.ptr<double>(), count, static_cast<double>(radius),
                      m_parameterSet->GetMinimalClusterSize(),
                      m_parameterSet->GetMaximalClusterSize(), numClusters);
    cv::Mat clusterLabels(lab.size(), CV_32S);
    std::copy(pointLabels.begin(), pointLabels.end(), clusterLabels.ptr<int>());
    selectPatchRegions(clusterLabels, numClusters, centres);
    m_labels =
        buildMarkers(clusterLabels, filteredImage.size(), scale, kFirstPassDiscRadius, centres);
}

void CWatershedSegmentation::findClusterMarkersInMask(const cv::Mat& filteredImage, cv::Mat& mask,
                                                      const float& radius, cv::Mat& centres,
                                                      cv::Mat& markers) {
    const float scale = m_parameterSet->GetDownsamplingScale();
    centres = cv::Mat(0, 1, CV_32SC2);
    markers = cv::Mat::zeros(filteredImage.size(), CV_32S);
    cv::erode(mask, mask, onesKernel(15), cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());
    const cv::Mat lab = blurredLab(filteredImage, scale, m_parameterSet->GetBlurKernelSize());
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
        points.data(), count, static_cast<double>(radius), m_parameterSet->GetMinimalClusterSize(),
        m_parameterSet->GetMaximalClusterSize(), numClusters);
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
    selectPatchRegions(clusterLabels, numClusters, centres);
    markers =
        buildMarkers(clusterLabels, filteredImage.size(), scale, kReclusterDiscRadius, centres);
}

bool CWatershedSegmentation::recluster(const float& radius) {
    if (m_labels.empty()) {
        return false;
    }
    cv::Mat mask = (m_labels == 1);
    cv::Mat centres;
    cv::Mat markers;
    findClusterMarkersInMask(m_filteredImage, mask, radius, centres, markers);
    if (centres.empty()) {
        return false;
    }
    cv::watershed(m_filteredImage, markers);
    markers.setTo(0, markers <= 1);
    const double offset = static_cast<double>(m_seeds.size()) + 1.0;
    cv::Mat offsets(markers.size(), CV_32S, cv::Scalar(offset));
    offsets.setTo(0, markers == 0);
    cv::add(markers, offsets, markers);
    for (int i = 0; i < centres.rows; ++i) {
        const cv::Vec2i& c = centres.at<cv::Vec2i>(i, 0);
        m_seeds.push_back({c[0], c[1]});
    }
    cv::add(m_labels, markers, m_labels);
    return true;
}

// ---------------------------------------------------------------------------
// Grid hypothesis and row order

bool CWatershedSegmentation::tryGridFromSeed(const std::array<int, 2>& seed) {
    m_patchCenters.clear();
    const float g = m_parameterSet->GetGridLength();
    const std::array<int, 2>* first = nullptr;
    const std::array<int, 2>* second = nullptr;
    for (const std::array<int, 2>& s : m_seeds) {
        const double dx = static_cast<double>(s[0]) - seed[0];
        const double dy = static_cast<double>(s[1]) - seed[1];
        const float distance = static_cast<float>(std::sqrt(dx * dx + dy * dy));
        if (!(g * 0.25f > std::fabs(distance - g))) {
            continue;
        }
        if (first == nullptr) {
            first = &s;
            continue;
        }
        // Integer vectors from image coordinates: their dot product fits in 64
        // bits for any image; 32-bit products would overflow only on images
        // far larger than a camera delivers.
        const std::int64_t ax = static_cast<std::int64_t>(seed[0]) - (*first)[0];
        const std::int64_t ay = static_cast<std::int64_t>(seed[1]) - (*first)[1];
        const std::int64_t wx = static_cast<std::int64_t>(s[0]) - seed[0];
        const std::int64_t wy = static_cast<std::int64_t>(s[1]) - seed[1];
        const double dot = std::fabs(static_cast<double>(ax * wx + ay * wy));
        const double la = std::sqrt(static_cast<double>(ax * ax + ay * ay));
        const double lw = std::sqrt(static_cast<double>(wx * wx + wy * wy));
        if (static_cast<double>(0.08f) > dot / (la * lw)) {
            second = &s;
            break;
        }
    }
    if (second == nullptr) {
        return false;
    }
    m_gridStep1[0] = static_cast<double>(seed[0]) - (*first)[0];
    m_gridStep1[1] = static_cast<double>(seed[1]) - (*first)[1];
    m_gridStep2[0] = static_cast<double>(seed[0]) - (*second)[0];
    m_gridStep2[1] = static_cast<double>(seed[1]) - (*second)[1];
    // The grid covers the image: about its area over the area of one cell.
    // A grid too dense to score is refused before its positions exist.
    const double cell =
        std::fabs(m_gridStep1[0] * m_gridStep2[1] - m_gridStep1[1] * m_gridStep2[0]);
    const double area = static_cast<double>(m_inputImage.cols) * m_inputImage.rows;
    if (!(cell > 0.0) || area / cell > static_cast<double>(kMaxGridPositions)) {
        return false;
    }
    m_patchCenters = generateGridPositions(seed, m_gridStep1, m_gridStep2);
    if (m_patchCenters.size() > kMaxGridPositions) {
        m_patchCenters.clear();
        return false;
    }

    const float nearLimit = m_parameterSet->GetSegmentSideLength() * 0.5f;
    int count = 0;
    for (const std::array<int, 2>& s : m_seeds) {
        float best = std::numeric_limits<float>::max();
        for (const std::array<int, 2>& p : m_patchCenters) {
            const double dx = static_cast<double>(s[0]) - p[0];
            const double dy = static_cast<double>(s[1]) - p[1];
            best = std::min(best, static_cast<float>(std::sqrt(dx * dx + dy * dy)));
        }
        if (nearLimit > best) {
            ++count;
        }
    }
    return count > m_parameterSet->GetNumberOfClusters() / 2;
}

std::vector<std::array<int, 2>> CWatershedSegmentation::generateGridPositions(
    const std::array<int, 2>& seed, const double step1[2], const double step2[2]) {
    const double width = m_inputImage.cols;
    const double height = m_inputImage.rows;
    auto inside = [&](const double q[2]) {
        return q[0] > 0.0 && q[0] < width && q[1] > 0.0 && q[1] < height;
    };
    std::vector<std::array<int, 2>> positions;
    // A zero or non-finite step would never leave the image.
    const bool usable = std::isfinite(step1[0]) && std::isfinite(step1[1]) &&
                        std::isfinite(step2[0]) && std::isfinite(step2[1]) &&
                        (step1[0] != 0.0 || step1[1] != 0.0) &&
                        (step2[0] != 0.0 || step2[1] != 0.0);
    if (!usable) {
        return positions;
    }
    // Appends the row through `base` (walking both ways along step2); returns
    // whether it appended anything.
    auto walkRow = [&](const double base[2]) {
        bool appended = false;
        double q[2] = {base[0], base[1]};
        while (inside(q)) {
            positions.push_back({roundToInt(q[0]), roundToInt(q[1])});
            appended = true;
            q[0] += step2[0];
            q[1] += step2[1];
        }
        q[0] = base[0] - step2[0];
        q[1] = base[1] - step2[1];
        while (inside(q)) {
            positions.push_back({roundToInt(q[0]), roundToInt(q[1])});
            appended = true;
            q[0] -= step2[0];
            q[1] -= step2[1];
        }
        return appended;
    };
    double base[2] = {static_cast<double>(seed[0]), static_cast<double>(seed[1])};
    while (walkRow(base)) {
        base[0] += step1[0];
        base[1] += step1[1];
    }
    base[0] = static_cast<double>(seed[0]) - step1[0];
    base[1] = static_cast<double>(seed[1]) - step1[1];
    while (walkRow(base)) {
        base[0] -= step1[0];
        base[1] -= step1[1];
    }
    return positions;
}

bool CWatershedSegmentation::orderGridPositions() {
    if (m_patchCenters.size() < 2) {
        return false;
    }
    const double la = std::hypot(m_gridStep1[0], m_gridStep1[1]);
    const double lb = std::hypot(m_gridStep2[0], m_gridStep2[1]);
    const double a[2] = {m_gridStep1[0] / la, m_gridStep1[1] / la};
    const double b[2] = {m_gridStep2[0] / lb, m_gridStep2[1] / lb};
    double h[2];
    double w[2];
    if (std::fabs(b[0]) > 0.9 && std::fabs(a[1]) > 0.9) {
        h[0] = b[0];
        h[1] = b[1];
        w[0] = a[0];
        w[1] = a[1];
    } else if (std::fabs(a[0]) > 0.9 && std::fabs(b[1]) > 0.9) {
        h[0] = a[0];
        h[1] = a[1];
        w[0] = b[0];
        w[1] = b[1];
    } else {
        return false;
    }
    if (h[0] < 0.0) {
        h[0] = -h[0];
        h[1] = -h[1];
    }
    if (w[1] < 0.0) {
        w[0] = -w[0];
        w[1] = -w[1];
    }
    const double lh = std::hypot(h[0], h[1]);
    const double lw = std::hypot(w[0], w[1]);
    const double eh[2] = {h[0] / lh, h[1] / lh};
    const double ew[2] = {w[0] / lw, w[1] / lw};
    auto key = [](const std::array<int, 2>& p, const double e[2]) {
        return p[0] * e[0] + p[1] * e[1];
    };
    std::sort(m_patchCenters.begin(), m_patchCenters.end(),
              [&](const std::array<int, 2>& p, const std::array<int, 2>& q) {
                  return key(p, ew) < key(q, ew);
              });
    auto sortRow = [&](std::vector<std::array<int, 2>>::iterator begin,
                       std::vector<std::array<int, 2>>::iterator end) {
        std::sort(begin, end, [&](const std::array<int, 2>& p, const std::array<int, 2>& q) {
            return key(p, eh) < key(q, eh);
        });
    };
    const double rowLimit = static_cast<double>(m_parameterSet->GetGridLength() * 0.5f);
    auto start = m_patchCenters.begin();
    for (auto it = std::next(start); it != m_patchCenters.end(); ++it) {
        const double dx = static_cast<double>((*it)[0]) - (*start)[0];
        const double dy = static_cast<double>((*it)[1]) - (*start)[1];
        if (dx * w[0] + dy * w[1] > rowLimit) {
            sortRow(start, it);
            start = it;
        }
    }
    sortRow(start, m_patchCenters.end());
    return true;
}

// ---------------------------------------------------------------------------
// Grid filtering and refinement

bool CWatershedSegmentation::isNearSeed(const double point[2]) {
    const double limit = static_cast<double>(m_parameterSet->GetGridLength() * 0.5f);
    for (const std::array<int, 2>& s : m_seeds) {
        const double dx = s[0] - point[0];
        const double dy = s[1] - point[1];
        if (std::sqrt(dx * dx + dy * dy) < limit) {
            return true;
        }
    }
    return false;
}

bool CWatershedSegmentation::filterGridPositions() {
    const double width = m_filteredImage.cols;
    const double height = m_filteredImage.rows;
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
            if (isNearSeed(q)) {
                return true;
            }
            q[0] += step[0];
            q[1] += step[1];
        }
        q[0] = p0[0] - step[0];
        q[1] = p0[1] - step[1];
        while (inside(q)) {
            if (isNearSeed(q)) {
                return true;
            }
            q[0] -= step[0];
            q[1] -= step[1];
        }
        return false;
    };
    const std::vector<std::array<int, 2>> positions = std::move(m_patchCenters);
    m_patchCenters.clear();
    for (const std::array<int, 2>& p : positions) {
        if (lineSupported(p, m_gridStep1, true) && lineSupported(p, m_gridStep2, false)) {
            m_patchCenters.push_back(p);
        }
    }
    return static_cast<int>(m_patchCenters.size()) == m_parameterSet->GetNumberOfClusters();
}

bool CWatershedSegmentation::refineGridByAffineFit() {
    const double limit = static_cast<double>(m_parameterSet->GetGridLength() * 0.5f);
    std::vector<std::array<int, 4>> pairs;
    for (const std::array<int, 2>& s : m_seeds) {
        for (const std::array<int, 2>& p : m_patchCenters) {
            const double dx = static_cast<double>(s[0]) - p[0];
            const double dy = static_cast<double>(s[1]) - p[1];
            if (limit > std::sqrt(dx * dx + dy * dy)) {
                pairs.push_back({s[0], s[1], p[0], p[1]});
            }
        }
    }
    const std::size_t n = pairs.size();
    if (n < 6) {
        return false;
    }
    std::vector<double> a(12 * n, 0.0);
    std::vector<double> b(2 * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        double* row0 = &a[12 * i];
        double* row1 = row0 + 6;
        row0[0] = pairs[i][2];
        row0[1] = pairs[i][3];
        row0[2] = 1.0;
        row1[3] = pairs[i][2];
        row1[4] = pairs[i][3];
        row1[5] = 1.0;
        b[2 * i] = pairs[i][0];
        b[2 * i + 1] = pairs[i][1];
    }
    double normal[21];
    double rhs[6];
    double scratch[6];
    computeNormalEquations(a.data(), b.data(), normal, rhs, static_cast<std::int64_t>(2 * n), 6,
                           eRowMajor);
    const bool ok = decomposeLDLT(normal, 6, scratch);
    if (!ok) {
        return false;
    }
    solveLDLT(normal, rhs, 6, scratch);
    for (double m : rhs) {
        if (!std::isfinite(m)) {
            return false;
        }
    }
    const cv::Matx23d map(rhs[0], rhs[1], rhs[2], rhs[3], rhs[4], rhs[5]);
    cv::Mat view(static_cast<int>(m_patchCenters.size()), 1, CV_32SC2, m_patchCenters.data());
    cv::transform(view, view, map);
    return true;
}

// ---------------------------------------------------------------------------
// Run and labelling

void CWatershedSegmentation::computeWhiteColor(const cv::Mat& image,
                                               const cv::Mat& backgroundMask) {
    m_whiteColor =
        measurePickedWhite(image, backgroundMask, m_parameterSet->GetWhiteAreaStencilRadius());
}

void CWatershedSegmentation::appendSeeds(const cv::Mat& centres) {
    for (int i = 0; i < centres.rows; ++i) {
        const cv::Vec2i& c = centres.at<cv::Vec2i>(i, 0);
        m_seeds.push_back({c[0], c[1]});
    }
}

void CWatershedSegmentation::floodAndRecluster() {
    cv::watershed(m_filteredImage, m_labels);
    // Each pass clusters what the previous floods left as background; a pass
    // that finds new patches may uncover more, so passes repeat until one finds
    // nothing, at most the parameter set's number of times in all.
    const unsigned int maxPasses = m_parameterSet->GetMaximumNumberOfReclusteringOperations();
    bool found = recluster(kReclusterRadius);
    for (unsigned int pass = 1; found && pass < maxPasses; ++pass) {
        found = recluster(kReclusterRadius);
    }
}

bool CWatershedSegmentation::fitRegularGrid() {
    bool accepted = false;
    // tryGridFromSeed reads m_seeds, which it never changes; iterate over a copy
    // of each seed so that the reference stays valid.
    for (std::size_t i = 0; i < m_seeds.size() && !accepted; ++i) {
        const std::array<int, 2> seed = m_seeds[i];
        accepted = tryGridFromSeed(seed);
    }
    if (!accepted) {
        m_diagnostics.reason = "no regular grid of patches found among " +
                               std::to_string(m_seeds.size()) + " patch-like regions";
        return false;
    }
    m_diagnostics.gridFound = true;
    if (!orderGridPositions()) {
        m_diagnostics.reason = "the grid of patches is turned too far from the image axes";
        return false;
    }
    filterGridPositions();
    if (!refineGridByAffineFit()) {
        m_diagnostics.reason = "the grid could not be fitted to the patches found";
        return false;
    }
    return true;
}

bool CWatershedSegmentation::labelChart() {
    m_labels = cv::Mat::zeros(m_filteredImage.size(), CV_32S);
    const double h[2] = {(m_gridStep1[0] + m_gridStep2[0]) / 2.0,
                         (m_gridStep1[1] + m_gridStep2[1]) / 2.0};
    const double d[2] = {(m_gridStep1[0] - m_gridStep2[0]) / 2.0,
                         (m_gridStep1[1] - m_gridStep2[1]) / 2.0};
    for (std::size_t k = 0; k < m_patchCenters.size(); ++k) {
        const std::array<int, 2>& p = m_patchCenters[k];
        const double label = static_cast<double>(k) + 2.0;
        cv::circle(m_labels, cv::Point(p[0], p[1]), kFinalDiscRadius, cv::Scalar::all(label), -1,
                   cv::LINE_8, 0);
        const double offsets[4][2] = {{h[0], h[1]}, {d[0], d[1]}, {-h[0], -h[1]}, {-d[0], -d[1]}};
        for (const auto& o : offsets) {
            const cv::Point q(roundToInt(p[0] + o[0]), roundToInt(p[1] + o[1]));
            cv::circle(m_labels, q, kFinalDiscRadius, cv::Scalar::all(1), -1, cv::LINE_8, 0);
        }
    }
    cv::watershed(m_filteredImage, m_labels);

    // Border test: no patch label in the frame of kBorderFrame pixels.
    for (int y = 0; y < m_labels.rows; ++y) {
        const int* row = m_labels.ptr<int>(y);
        const bool frameRow = y < kBorderFrame || y >= m_labels.rows - kBorderFrame;
        for (int x = 0; x < m_labels.cols; ++x) {
            if (!frameRow && x == kBorderFrame) {
                x = std::max(x, m_labels.cols - kBorderFrame);
                if (x >= m_labels.cols) {
                    break;
                }
            }
            if (row[x] > 1) {
                m_diagnostics.reason = "the chart reaches the border of the region";
                return false;
            }
        }
    }

    // Pixels that are not finite do not count as white ground (the picked
    // white's own rule), so they cannot spoil the mean.
    computeWhiteColor(m_inputImage, m_labels == 1);
    // A white that is not a number would turn every gain into garbage.
    for (int c = 0; c < 4; ++c) {
        if (!std::isfinite(m_whiteColor[c])) {
            m_diagnostics.reason = "the white ground could not be measured";
            return false;
        }
    }
    return true;
}

bool CWatershedSegmentation::gridMatchesLayout(int& gridRows, int& gridColumns,
                                               std::string& reason) const {
    gridRows = 0;
    gridColumns = 0;
    const int rows = m_parameterSet->GetGridRows();
    const int cols = m_parameterSet->GetGridColumns();
    if (rows <= 0 || cols <= 0 || m_patchCenters.empty()) {
        return true;  // the parameter set does not say
    }
    // The vertical step, as the row order chose it; rows start where a position
    // lies more than half a grid length below the first of the current row.
    const double la = std::hypot(m_gridStep1[0], m_gridStep1[1]);
    const double lb = std::hypot(m_gridStep2[0], m_gridStep2[1]);
    const bool firstVertical = std::fabs(m_gridStep1[1]) / la > std::fabs(m_gridStep2[1]) / lb;
    const double* vertical = firstVertical ? m_gridStep1 : m_gridStep2;
    const double length = firstVertical ? la : lb;
    const double w[2] = {vertical[0] / length * (vertical[1] < 0.0 ? -1.0 : 1.0),
                         vertical[1] / length * (vertical[1] < 0.0 ? -1.0 : 1.0)};
    const double rowLimit = static_cast<double>(m_parameterSet->GetGridLength() * 0.5f);
    std::vector<int> rowLengths{1};
    std::array<int, 2> start = m_patchCenters.front();
    for (std::size_t k = 1; k < m_patchCenters.size(); ++k) {
        const std::array<int, 2>& p = m_patchCenters[k];
        if ((p[0] - start[0]) * w[0] + (p[1] - start[1]) * w[1] > rowLimit) {
            rowLengths.push_back(0);
            start = p;
        }
        ++rowLengths.back();
    }
    // The chart's rows x columns, or columns x rows: a chart a quarter turn
    // from its layout is still the chart; its colours decide the pairing.
    const int found = static_cast<int>(rowLengths.size());
    const int length0 = rowLengths.front();
    const bool regular = std::all_of(rowLengths.begin(), rowLengths.end(),
                                     [length0](int n) { return n == length0; });
    const bool matches =
        regular && ((found == rows && length0 == cols) || (found == cols && length0 == rows));
    if (!matches) {
        reason = "the patches found form " + std::to_string(found) + " rows, the chart has " +
                 std::to_string(rows) + " rows of " + std::to_string(cols) + " (or " +
                 std::to_string(cols) + " of " + std::to_string(rows) + " turned by a quarter)";
        return false;
    }
    gridRows = found;
    gridColumns = length0;
    return true;
}

bool CWatershedSegmentation::recoverChart() {
    const std::size_t expected = static_cast<std::size_t>(m_parameterSet->GetNumberOfClusters());
    if (m_parameterSet->GetGridRows() <= 0 || m_parameterSet->GetGridColumns() <= 0) {
        return false;
    }
    cv::Mat lab;
    cv::cvtColor(m_filteredImage, lab, cv::COLOR_BGR2Lab);
    ChartLayout layout;
    std::string reason;
    if (!fitChartLayout(m_seeds, lab, *m_parameterSet, layout, reason)) {
        // A finer clustering of the whole image separates similar colours
        // that the first pass merged into one cluster too large for a patch;
        // its new regions join the seeds.
        cv::Mat mask(m_filteredImage.size(), CV_8U, cv::Scalar(255));
        cv::Mat centres;
        cv::Mat markers;
        findClusterMarkersInMask(m_filteredImage, mask, kFineClusterRadius, centres, markers);
        const double near = 0.5 * m_parameterSet->GetSegmentSideLength();
        std::size_t added = 0;
        for (int i = 0; i < centres.rows; ++i) {
            const cv::Vec2i& c = centres.at<cv::Vec2i>(i, 0);
            const bool known = std::any_of(m_seeds.begin(), m_seeds.end(), [&](const auto& s) {
                return std::hypot(static_cast<double>(s[0]) - c[0],
                                  static_cast<double>(s[1]) - c[1]) < near;
            });
            if (!known) {
                m_seeds.push_back({c[0], c[1]});
                ++added;
            }
        }
        if (added == 0 || !fitChartLayout(m_seeds, lab, *m_parameterSet, layout, reason)) {
            m_diagnostics.reason = "recovery: " + reason;
            return false;
        }
    }
    if (layout.positions.size() != expected) {
        return false;
    }
    m_patchCenters = layout.positions;
    std::copy(std::begin(layout.stepAlongRow), std::end(layout.stepAlongRow), m_gridStep1);
    std::copy(std::begin(layout.stepDownColumn), std::end(layout.stepDownColumn), m_gridStep2);
    m_diagnostics.gridFound = true;
    if (!labelChart()) {
        m_diagnostics.reason = "recovery: " + m_diagnostics.reason;
        return false;
    }
    // Every position must lie in its own patch region.
    for (std::size_t k = 0; k < m_patchCenters.size(); ++k) {
        const std::array<int, 2>& p = m_patchCenters[k];
        if (m_labels.at<int>(p[1], p[0]) != static_cast<int>(k) + 2) {
            m_diagnostics.reason = "recovery: a patch position lies outside its patch";
            return false;
        }
    }
    m_diagnostics.gridRows = layout.rows;
    m_diagnostics.gridColumns = layout.columns;
    return true;
}

bool CWatershedSegmentation::segment() {
    if (m_inputImage.empty()) {
        m_diagnostics = SegmentationDiagnostics{};
        m_diagnostics.reason = "no image to segment";
        return false;
    }
    if (!m_labels.empty()) {
        return false;
    }
    // The clustering works on the Lab colours of a three-channel image and the
    // watershed needs 8-bit BGR; any other input cannot hold a chart.
    if (m_filteredImage.type() != CV_8UC3 || m_filteredImage.size() != m_inputImage.size()) {
        m_diagnostics = SegmentationDiagnostics{};
        m_diagnostics.reason = "the image is not a three-channel colour image";
        return false;
    }
    m_diagnostics = SegmentationDiagnostics{};
    const std::size_t expected = static_cast<std::size_t>(m_parameterSet->GetNumberOfClusters());

    // The regular search.
    cv::Mat centres;
    findClusterMarkers(m_filteredImage, centres);
    const bool seeded = !centres.empty();
    bool found = false;
    if (seeded) {
        appendSeeds(centres);
        floodAndRecluster();
        found = fitRegularGrid() && labelChart();
    } else {
        m_diagnostics.reason = "no patch-like colour regions found";
    }
    m_diagnostics.seedsFound = static_cast<int>(m_seeds.size());
    m_diagnostics.seeds = m_seeds;
    m_diagnostics.grid = m_patchCenters;
    std::string layoutReason;
    const bool complete = found && m_patchCenters.size() == expected;
    int gridRows = 0;
    int gridColumns = 0;
    if (complete && gridMatchesLayout(gridRows, gridColumns, layoutReason)) {
        m_diagnostics.gridRows = gridRows;
        m_diagnostics.gridColumns = gridColumns;
        return true;
    }
    if (complete) {
        m_diagnostics.reason = layoutReason;
    } else if (found) {
        m_diagnostics.reason = "found " + std::to_string(m_patchCenters.size()) +
                               " patch positions, the chart has " + std::to_string(expected);
    }

    // The recovery search, from here on only where the regular one failed.
    // What the regular search left is kept to be restored if the recovery
    // cannot do better.
    const cv::Mat regularLabels = seeded ? m_labels : cv::Mat();
    const std::vector<std::array<int, 2>> regularSeeds = m_seeds;
    const std::vector<std::array<int, 2>> regularCentres = m_patchCenters;
    const double regularSteps[4] = {m_gridStep1[0], m_gridStep1[1], m_gridStep2[0], m_gridStep2[1]};
    const cv::Scalar regularWhite = m_whiteColor;
    const SegmentationDiagnostics regularDiagnostics = m_diagnostics;
    if (!seeded) {
        // An empty first pass still leaves the background markers: the flood
        // and the re-clustering may find the patches the first pass missed.
        floodAndRecluster();
    }
    if (recoverChart()) {
        m_diagnostics.recovered = true;
        m_diagnostics.reason.clear();
        m_diagnostics.seedsFound = static_cast<int>(m_seeds.size());
        m_diagnostics.seeds = m_seeds;
        m_diagnostics.grid = m_patchCenters;
        return true;
    }
    const std::string recoveryReason = m_diagnostics.reason;
    m_labels = regularLabels;
    m_seeds = regularSeeds;
    m_patchCenters = regularCentres;
    m_gridStep1[0] = regularSteps[0];
    m_gridStep1[1] = regularSteps[1];
    m_gridStep2[0] = regularSteps[2];
    m_gridStep2[1] = regularSteps[3];
    m_whiteColor = regularWhite;
    m_diagnostics = regularDiagnostics;
    if (recoveryReason.rfind("recovery: ", 0) == 0) {
        m_diagnostics.reason += (m_diagnostics.reason.empty() ? "" : "; ") + recoveryReason;
    }
    // A partial grid is still reported (a host collecting patches over several
    // frames merges it); a complete grid of another layout is not a chart.
    return found && !complete;
}

}  // namespace DataLayer
