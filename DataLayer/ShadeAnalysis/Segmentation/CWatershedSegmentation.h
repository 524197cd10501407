#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/SegmentationDiagnostics.h"

namespace DataLayer {

/// Finds the 20 patches of a colour calibration chart in a camera image and
/// labels every patch and the white ground between them.
///
/// Seeds come from a mean-shift clustering of the image's Lab colours at
/// reduced resolution; a regular grid is hypothesised from one seed and two
/// perpendicular neighbours, cut down to the chart, refined by an affine fit to
/// the seeds, and a final marker-controlled watershed labels the image:
/// -1 on boundaries, 1 on the white ground, k + 2 on the patch of centre k.
/// Points are (x = column, y = row) in full-resolution pixels. One object is
/// used by one thread at a time; internal, not exported.
///
/// A complete chart is a grid of the parameter set's rows x columns or, for a
/// chart lying a quarter turn from its layout (a photo taken in portrait, a
/// card printed the other way round), of its columns x rows; the diagnostics
/// say which (`gridRows`, `gridColumns`), and the calibration lets the colours
/// decide how the patches pair with the references. Any other grid (a
/// position more or less, ragged rows, 2 x 10) is not a chart.
///
/// When that search does not find a complete chart (too few seeds for the
/// grid hypothesis, a stray seed that keeps an extra grid line, a row or
/// column without seeds, no seed in the first clustering pass), a recovery
/// search runs: it floods and re-clusters even after an empty first pass, adds
/// a finer clustering pass when needed, and places the chart's known grid
/// (either way round) on as few as four seeds, accepting only the one
/// placement whose every position looks like a patch on card ground (see
/// `fitChartLayout`). Where the regular search finds the chart, its result is
/// returned unchanged and the recovery never runs.
class CWatershedSegmentation {
  public:
    /// Keeps `parameterSet` (shared, read-only). Throws `OrvException` when it is null.
    explicit CWatershedSegmentation(
        std::shared_ptr<Base::IParameterSetColorCalibrationTarget> parameterSet);
    virtual ~CWatershedSegmentation();

    CWatershedSegmentation(const CWatershedSegmentation&) = delete;
    CWatershedSegmentation& operator=(const CWatershedSegmentation&) = delete;

    /// Stores `image` (three channels, CV_32FC3 on 0..255 or CV_8UC3; shared,
    /// not copied), median-filters its 8-bit conversion and forgets earlier
    /// labels and seeds.
    virtual void setInputImage(const cv::Mat& image);
    /// Segments the image set last. True only when this call succeeded; false
    /// without an image, when the image was segmented (or tried) already, or
    /// when no complete chart is found away from the image border.
    virtual bool segment();
    /// Calls `segment` and returns the label image (CV_32SC1, input size;
    /// empty when nothing was segmented).
    virtual cv::Mat getLabels();
    /// Calls `segment` and returns the patch centres in row order.
    virtual std::vector<std::array<int, 2>> getPatchCenters();
    /// Calls `segment` and returns the mean colour of the chart's white ground.
    virtual cv::Scalar getWhiteColor();
    /// Clusters the background of the latest flood again with `radius` (in
    /// whitened Lab units) and adds the regions found to the labels and seeds.
    /// False when there are no labels or nothing new was found.
    virtual bool recluster(const float& radius);

    /// What the last `segment` found and, when it failed, why.
    const SegmentationDiagnostics& getDiagnostics() const { return m_diagnostics; }

    /// Largest number of grid positions a hypothesis may have: enough for a
    /// 100-megapixel photo at the smallest pitch of the chart types; a grid
    /// that would have more (a host grid length of a few pixels) is refused
    /// before its positions are generated.
    static constexpr std::size_t kMaxGridPositions = 16384;

  protected:
    // Clustering passes.
    void findClusterMarkers(const cv::Mat& filteredImage, cv::Mat& centres);
    void findClusterMarkersInMask(const cv::Mat& filteredImage, cv::Mat& mask, const float& radius,
                                  cv::Mat& centres, cv::Mat& markers);
    void selectPatchRegions(cv::Mat& labels, const int& numClusters, cv::Mat& centres);

    // Grid hypothesis and order.
    bool tryGridFromSeed(const std::array<int, 2>& seed);
    std::vector<std::array<int, 2>> generateGridPositions(const std::array<int, 2>& seed,
                                                          const double step1[2],
                                                          const double step2[2]);
    bool orderGridPositions();

    // Grid filtering and refinement.
    bool filterGridPositions();
    bool isNearSeed(const double point[2]);
    bool refineGridByAffineFit();

    // White measurement.
    void computeWhiteColor(const cv::Mat& image, const cv::Mat& backgroundMask);

    // Stages of the run.
    void appendSeeds(const cv::Mat& centres);
    void floodAndRecluster();
    bool fitRegularGrid();
    bool labelChart();
    /// Whether the complete grid held has the chart's rows x columns or its
    /// columns x rows; `gridRows` x `gridColumns` receive the grid's shape
    /// (0 x 0 when the parameter set gives no layout, which always matches).
    bool gridMatchesLayout(int& gridRows, int& gridColumns, std::string& reason) const;
    bool recoverChart();

    cv::Mat m_inputImage;
    cv::Mat m_filteredImage;
    cv::Mat m_labels;
    cv::Scalar m_whiteColor;
    std::vector<std::array<int, 2>> m_seeds;
    std::vector<std::array<int, 2>> m_patchCenters;
    double m_gridStep1[2] = {0.0, 0.0};
    double m_gridStep2[2] = {0.0, 0.0};
    std::shared_ptr<Base::IParameterSetColorCalibrationTarget> m_parameterSet;
    SegmentationDiagnostics m_diagnostics;
};

/// Mean (`dims` values) and unbiased sample covariance (packed lower triangle,
/// dims(dims+1)/2 values) of `count` points. `layout` 0: point after point;
/// 1: coordinate after coordinate. With no points both come out zero; with
/// one point the covariance is not finite.
void computeMeanAndCovariance(const double* data, int count, int dims, double* mean,
                              double* covariance, int layout);

}  // namespace DataLayer
