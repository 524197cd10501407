// The chart segmentation's shell: the input image and its median filter, and
// each step of the search (ChartSearch.h) run on the object's state.
#include "DataLayer/ShadeAnalysis/Segmentation/CWatershedSegmentation.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "DataLayer/Errors/OrvException.h"
#include "DataLayer/ShadeAnalysis/Segmentation/MedianFilter.h"

namespace DataLayer {

CWatershedSegmentation::CWatershedSegmentation(
    std::shared_ptr<Base::IParameterSetColorCalibrationTarget> parameterSet)
    : m_parameterSet(std::move(parameterSet)) {
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
        m_state.filteredImage = cv::Mat();
    } else {
        medianBlur9x9(image8u, m_state.filteredImage);
    }
    m_state.inputImage = image;
    m_state.labels = cv::Mat();
    m_state.seeds.clear();
}

bool CWatershedSegmentation::segment() {
    if (m_state.inputImage.empty()) {
        m_state.diagnostics = SegmentationDiagnostics{};
        m_state.diagnostics.reason = "no image to segment";
        return false;
    }
    if (!m_state.labels.empty()) {
        return false;
    }
    // Each run starts from the image alone: nothing of an earlier image's run
    // (its grid, its white) can leak into this one's result.
    chartsearch::SearchState run;
    run.inputImage = m_state.inputImage;
    run.filteredImage = m_state.filteredImage;
    const bool found = chartsearch::runChartSearch(run, *m_parameterSet);
    m_state = std::move(run);
    return found;
}

cv::Mat CWatershedSegmentation::getLabels() {
    segment();
    return m_state.labels;
}

std::vector<std::array<int, 2>> CWatershedSegmentation::getPatchCenters() {
    segment();
    return m_state.patchCenters;
}

cv::Scalar CWatershedSegmentation::getWhiteColor() {
    segment();
    return m_state.whiteColor;
}

bool CWatershedSegmentation::recluster(const float& radius) {
    return chartsearch::recluster(m_state, *m_parameterSet, radius);
}

// ---- The steps, each on the object's state ----------------------------------

void CWatershedSegmentation::findClusterMarkers(const cv::Mat& filteredImage, cv::Mat& centres) {
    chartsearch::findClusterMarkers(m_state, *m_parameterSet, filteredImage, centres);
}

void CWatershedSegmentation::findClusterMarkersInMask(const cv::Mat& filteredImage, cv::Mat& mask,
                                                      const float& radius, cv::Mat& centres,
                                                      cv::Mat& markers) {
    chartsearch::findClusterMarkersInMask(*m_parameterSet, filteredImage, mask, radius, centres,
                                          markers);
}

void CWatershedSegmentation::selectPatchRegions(cv::Mat& labels, const int& numClusters,
                                                cv::Mat& centres) {
    chartsearch::selectPatchRegions(*m_parameterSet, labels, numClusters, centres);
}

bool CWatershedSegmentation::tryGridFromSeed(const std::array<int, 2>& seed) {
    return chartsearch::tryGridFromSeed(m_state, *m_parameterSet, seed);
}

std::vector<std::array<int, 2>> CWatershedSegmentation::generateGridPositions(
    const std::array<int, 2>& seed, const double step1[2], const double step2[2]) {
    return chartsearch::generateGridPositions(m_state, seed, step1, step2);
}

bool CWatershedSegmentation::orderGridPositions() {
    return chartsearch::orderGridPositions(m_state, *m_parameterSet);
}

bool CWatershedSegmentation::filterGridPositions() {
    return chartsearch::filterGridPositions(m_state, *m_parameterSet);
}

bool CWatershedSegmentation::isNearSeed(const double point[2]) {
    return chartsearch::isNearSeed(m_state, *m_parameterSet, point);
}

bool CWatershedSegmentation::refineGridByAffineFit() {
    return chartsearch::refineGridByAffineFit(m_state, *m_parameterSet);
}

void CWatershedSegmentation::computeWhiteColor(const cv::Mat& image,
                                               const cv::Mat& backgroundMask) {
    chartsearch::computeWhiteColor(m_state, *m_parameterSet, image, backgroundMask);
}

void CWatershedSegmentation::appendSeeds(const cv::Mat& centres) {
    chartsearch::appendSeeds(m_state, centres);
}

void CWatershedSegmentation::floodAndRecluster() {
    chartsearch::floodAndRecluster(m_state, *m_parameterSet);
}

bool CWatershedSegmentation::fitRegularGrid() {
    return chartsearch::fitRegularGrid(m_state, *m_parameterSet);
}

bool CWatershedSegmentation::labelChart() {
    return chartsearch::labelChart(m_state, *m_parameterSet);
}

bool CWatershedSegmentation::gridMatchesLayout(int& gridRows, int& gridColumns,
                                               std::string& reason) const {
    return chartsearch::gridMatchesLayout(m_state, *m_parameterSet, gridRows, gridColumns, reason);
}

bool CWatershedSegmentation::recoverChart() {
    return chartsearch::recoverChart(m_state, *m_parameterSet);
}

}  // namespace DataLayer
