#pragma once

// The state and the steps of one CRBFInpainting object. Internal: not
// installed; the public class forwards every operation here, and the tests
// reach the steps and the intermediate results directly. The rules of the
// public header apply.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>
#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"

namespace DataLayer {
namespace Inpainting {

class RBFInpaintingEngine {
  public:
    using Config = CRBFInpainting::Config;
    using Point = CRBFInpainting::Point;
    using PointList = CRBFInpainting::PointList;
    using BasisFunction = CRBFInpainting::BasisFunction;
    using FitDiagnostics = CRBFInpainting::FitDiagnostics;

    static constexpr std::int64_t kMaxCentres = CRBFInpainting::kMaxCentres;
    static constexpr std::int64_t kMaxNormalWork = CRBFInpainting::kMaxNormalWork;
    static constexpr int kMinSurroundCentres = CRBFInpainting::kMinSurroundCentres;
    static constexpr int kMinCentresInsideHull = CRBFInpainting::kMinCentresInsideHull;
    static constexpr int kRidgeCentreStep = CRBFInpainting::kRidgeCentreStep;
    static constexpr int kRidgeEvaluationStep = CRBFInpainting::kRidgeEvaluationStep;
    static constexpr int kMinRidgeSamples = CRBFInpainting::kMinRidgeSamples;
    static constexpr std::int64_t kMaxRidgeWork = CRBFInpainting::kMaxRidgeWork;
    static constexpr const char* kSurroundMethod = CRBFInpainting::kSurroundMethod;
    static constexpr const char* kRidgeMethod = CRBFInpainting::kRidgeMethod;

    /// Copies the configuration, resolving a thread count of 0 or less to the
    /// hardware concurrency (at least 1), and selects the basis function.
    explicit RBFInpaintingEngine(const Config& config = Config());
    ~RBFInpaintingEngine();
    RBFInpaintingEngine(const RBFInpaintingEngine&) = delete;
    RBFInpaintingEngine& operator=(const RBFInpaintingEngine&) = delete;

    // ---- The operations of CRBFInpainting -------------------------------------
    void setInputImage(const cv::Mat& image);
    void setInputSupportMask(const cv::Mat& mask);
    void setFillArea(const cv::Mat& area);
    void setEstimator(Config::Estimator estimator);
    void reset();
    bool approximate();
    void fillValues(const cv::Mat& fillMask, cv::Mat& out);
    bool fillRowRange(int firstRow, cv::Mat& out);
    void fillValuesAVX(const cv::Mat& fillMask, cv::Mat& out);
    void maskedGaussian(const cv::Mat& src, cv::Mat& dst, cv::Mat weights);
    const Config& getConfig() const { return m_config; }
    const FitDiagnostics& getFitDiagnostics() const { return m_fitDiagnostics; }
    /// The masked smoothing of the last fit as an image of the input's size
    /// (NaN where no support lies within the kernel's reach).
    cv::Mat smoothedImage() const;

    // ---- The steps and the intermediate results (reachable for the tests) ----

    struct FastFree {
        void operator()(double* p) const;
    };
    using AlignedArray = std::unique_ptr<double[], FastFree>;

    static AlignedArray allocateAligned(std::int64_t count);
    /// Asks the system to back a large, freshly allocated buffer with huge pages.
    static void adviseLargeBuffer(void* data, std::size_t bytes);
    /// Frees the weights (the weight cache stays).
    void releaseFit();
    /// Frees the weight cache.
    void releaseCache();

    // ---- Fitting and filling ------------------------------------------------
    static void resampCoords(const cv::Mat& mask, PointList& points, const int& step, bool all);
    /// True when a fit of `samples` samples and `centres` centres stays within
    /// `kMaxCentres` and `kMaxNormalWork`.
    static bool fitSizeSupported(std::int64_t samples, std::int64_t centres);
    /// Centre and sample steps of the surround fit, starting from `centreStep`
    /// and `sampleStep`: unchanged when the counts they give fit the bounds,
    /// else coarsened as the class comment says. `countAt(step)` returns the
    /// number of support points on the grid of that step.
    static void chooseSurroundSteps(const std::function<std::int64_t(int)>& countAt,
                                    int& centreStep, int& sampleStep);
    /// True when the surround fit's centres surround the fill area.
    bool centresSurroundFillArea() const;
    /// Root mean square residual of the surround fit over `samples`.
    double surroundResidualRms(const PointList& samples);
    /// The ridge fit on the exclusion mask; fills m_ridge.
    bool approximateRidge();
    /// Evaluates the fitted field (the ridge fit's where it is valid, the
    /// surround fit's otherwise) on its node grid where pixels selected by
    /// `mask` read it (m_fieldNodes).
    void prepareFieldNodes(const cv::Mat& mask);
    /// Rows firstRow .. firstRow + out.rows - 1 of the fill with the field
    /// interpolated from m_fieldNodes into `out`.
    void fieldNodeRows(const cv::Mat& mask, int firstRow, cv::Mat& out);
    void computeWeightCache();
    /// Rows of the weight cache for chosen row offsets: `rowOf[dy]` holds the
    /// basis value of the offset (dx, dy) for dx below the row's width (null
    /// for a row not computed), each value computed by the cache's own row
    /// kernel and so equal to the cache's. A fit or an evaluation that reads
    /// a few rows of the cache needs only those.
    struct BasisRows {
        std::vector<const double*> rowOf;
        AlignedArray values;
    };
    /// Computes the rows dy with `widths[dy]` > 0, each that wide.
    BasisRows computeBasisRows(const std::vector<int>& widths);
    /// Row pointers into the whole weight cache.
    std::vector<const double*> cacheRowPointers() const;
    /// Fits one channel on the calling thread (the exclusion mask is not read).
    /// Returns false when no least-squares solution could be found.
    static bool approximateSingleChannel(const cv::Mat& channel, const PointList& centres,
                                         const PointList& samples, const cv::Mat& exclusionMask,
                                         double* weights, const double* cache);
    /// Fits the three channels of `image` at once (one normal matrix, three
    /// right-hand sides) on the task group. Returns false when no
    /// least-squares solution could be found.
    /// The sample k's values are read from `image` at samples[k] - `origin`.
    bool approximateChannels(const cv::Mat& image, const PointList& centres,
                             const PointList& samples, std::array<double*, 3> weights,
                             const cv::Point& origin = cv::Point());
    static double computeValueFromRBF(const double* weights, const PointList& centres,
                                      const Point& point, const double* cache, const int& cols);
    /// The smoothed values of row y, columns [x0, x1), into `out` (NaN outside
    /// the smoothing's reach).
    void copySmoothed(int y, int x0, int x1, float* out) const;

    static double bf_multiquadric(double r, double c);
    static double bf_inverse_multiquadric(double r, double c);
    static double thin_plate(double r);
    static double radialDistance(const Point& p, const Point& q);
    static double radialDistanceSq(const Point& p, const Point& q);
    static float clamp(double v);

    // ---- Masked filtering and Lab distances ---------------------------------
    /// Lab distance of every pixel pair; NaN where a channel of either is not finite.
    static void labDistances(const cv::Mat& a, const cv::Mat& b, cv::Mat& out);
    /// Lab distance of every pixel from white; NaN where a channel is not finite.
    static void labDistancesToWhite(const cv::Mat& a, cv::Mat& out);
    /// Lab of white (255, 255, 255).
    static cv::Vec3f whiteLab();
    /// Lab distance of every pixel from the Lab colour `lab`; NaN where a
    /// channel is not finite.
    static void labDistancesTo(const cv::Mat& a, const cv::Vec3f& lab, cv::Mat& out);
    /// Sets to 255 the bytes of `exclusion` (CV_8UC1, `image`'s size) whose
    /// pixel is farther from `white` (Lab) than `threshold` or not finite.
    static void excludeFarFromWhite(const cv::Mat& image, const cv::Vec3f& white, float threshold,
                                    cv::Mat& exclusion);
    void maskedGaussianSingleChannel(const cv::Mat& src, cv::Mat& dst, cv::Mat weights);
    void maskedFiltering(const cv::Mat& src, cv::Mat& dst, const cv::Mat& kernel,
                         const cv::Mat& weights);
    static double weightedSum(const cv::Mat& window, const cv::Mat& weights);

    /// Masked Gaussian of a CV_32FC1 or CV_32FC3 `src` into a new `dst`; with
    /// `exclusion`, a weight byte of 0 weighs 1 and any other byte 0. With
    /// `reachOnly`, `dst` holds only the pixels whose window holds a weight
    /// (every other one is NaN), and their rectangle is stored there.
    void maskedGaussianImpl(const cv::Mat& src, const cv::Mat& weights, bool exclusion,
                            cv::Mat& dst, cv::Rect* reachOnly = nullptr);
    /// Makes `m_farFromWhite` cover `box` (and what it covered before).
    void markFarFromWhite(const cv::Rect& box);
    /// Bounding box of the zero bytes of a CV_8UC1 mask; empty when there are none.
    static cv::Rect zeroBoundingBox(const cv::Mat& mask);
    /// Runs body(begin, end) over ranges of [0, count) of at least `grain`
    /// items on the task group inside the arena, then waits.
    void parallelRows(int count, int grain, const std::function<void(int, int)>& body);
    /// Runs body(0) .. body(count - 1) as tasks on the task group inside the
    /// arena, then waits.
    void runTasks(int count, const std::function<void(int)>& body);

    Config m_config;
    cv::Mat m_inputImage;
    cv::Mat m_supportMask;
    /// The masked smoothing of the input over its support, stored over
    /// `m_smoothedReach` only: outside it every value is NaN.
    cv::Mat m_smoothedImage;
    cv::Rect m_smoothedReach;
    cv::Mat m_exclusionMask;
    /// 255 where a pixel of the input is farther from white (Lab) than the
    /// threshold or not finite, over `m_farFromWhiteBox` of the input.
    cv::Mat m_farFromWhite;
    cv::Rect m_farFromWhiteBox;
    std::array<AlignedArray, 3> m_weights;
    AlignedArray m_weightCache;
    int m_cacheRows = 0;
    int m_cacheCols = 0;
    PointList m_centres;
    cv::Mat m_fillArea;
    /// The ridge fit: weights (M + 6 per channel, RBF weights then the
    /// polynomial 1, u, v, u², uv, v²), the normalisation of x and y to u and v,
    /// and its centres.
    struct RidgeFit {
        bool valid = false;
        PointList centres;
        std::array<std::vector<double>, 3> weights;
        double cx = 0.0, cy = 0.0, sx = 1.0, sy = 1.0;
    };
    RidgeFit m_ridge;
    /// The fitted field on its node grid, while a fill is read row range by
    /// row range.
    cv::Mat m_fieldNodes;
    BasisFunction m_basisFunction;
    FitDiagnostics m_fitDiagnostics;
    tbb::task_arena m_arena;
    tbb::task_group m_taskGroup;
};

}  // namespace Inpainting
}  // namespace DataLayer
