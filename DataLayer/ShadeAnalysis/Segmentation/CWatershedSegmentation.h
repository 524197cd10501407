#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/Segmentation/ChartSearch.h"
#include "DataLayer/ShadeAnalysis/SegmentationDiagnostics.h"

namespace DataLayer {

/// Finds the 20 patches of a colour calibration chart in a camera image and
/// labels every patch and the white ground between them: -1 on boundaries, 1
/// on the white ground, k + 2 on the patch of centre k. Points are (x =
/// column, y = row) in full-resolution pixels. One object is used by one
/// thread at a time; internal, not exported (the stage's entry is
/// `segmentChart`, SegmentationStage.h).
///
/// Seeds come from a mean-shift clustering of the image's Lab colours at
/// reduced resolution; a regular grid is hypothesised from one seed and two
/// perpendicular neighbours, cut down to the chart, refined by an affine fit to
/// the seeds, and a marker-controlled watershed labels the image. A complete
/// chart is a grid of the parameter set's rows x columns or, for a chart lying
/// a quarter turn from its layout, of its columns x rows (the diagnostics say
/// which). Where that search finds no complete chart, a recovery search places
/// the chart's known grid on as few as four seeds (see `placeKnownLayout`);
/// where it does, its result is returned unchanged.
///
/// The class is a shell over the search's free functions (ChartSearch.h): it
/// holds the image and one run's state, and each protected step runs the
/// function of that name on it.
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
    /// when no complete chart is found away from the image border. A partial
    /// grid of the regular search is reported as true with fewer centres (and
    /// the reason in the diagnostics), for hosts that merge frames.
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
    const SegmentationDiagnostics& getDiagnostics() const { return m_state.diagnostics; }

    /// Largest number of grid positions a hypothesis may have: enough for a
    /// 100-megapixel photo at the smallest pitch of the chart types; a grid
    /// that would have more is refused before its positions are generated.
    static constexpr std::size_t kMaxGridPositions = chartsearch::kMaxGridPositions;

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

    /// The image, its filtered copy and what the last run found.
    chartsearch::SearchState m_state;
    std::shared_ptr<Base::IParameterSetColorCalibrationTarget> m_parameterSet;
};

/// Mean (`dims` values) and unbiased sample covariance (packed lower triangle,
/// dims(dims+1)/2 values) of `count` points. `layout` 0: point after point;
/// 1: coordinate after coordinate. With no points both come out zero; with
/// one point the covariance is not finite.
void computeMeanAndCovariance(const double* data, int count, int dims, double* mean,
                              double* covariance, int layout);

}  // namespace DataLayer
