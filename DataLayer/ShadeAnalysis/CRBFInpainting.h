#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/Export.h"

namespace DataLayer {

namespace Inpainting {
class RBFInpaintingEngine;
}

/// Radial-basis-function inpainting of a colour image.
///
/// Rules shared by every operation below:
/// - Colour images are CV_32FC3 on a 0..255 scale (255 in every channel is
///   white); masks are CV_8UC1 of the image's size, non-zero meaning excluded.
/// - Points are (column, row).
/// - The support is every pixel that the support mask leaves free, whose CIE76
///   distance from white is at most the configured threshold and that lies
///   outside a border band; the rest is filled from a least-squares RBF fit
///   through a grid of support samples, and the support itself is replaced by a
///   masked Gaussian smoothing of the input.
/// - Two estimators fill the excluded pixels (`Estimator`). The surround fit
///   (multiquadric centres on the 48-px grid, no polynomial, no
///   regularisation) is kept wherever its centres surround the area to fill.
///   It is judged only over a fill area the caller names (`setFillArea`):
///   the surround fit runs when the 48-px grid holds at least
///   `kMinSurroundCentres` centres and at least `kMinCentresInsideHull` of them
///   lie inside the convex hull of the fill area, so that the field is
///   interpolated between centres on every side of it rather than
///   extrapolated. Otherwise (a thin band of ground around a card, a few
///   centres) the ridge fit runs: multiquadric centres on a 24-px grid plus
///   the quadratic polynomial 1, x, y, x², xy, y², a small ridge on the RBF
///   weights, evaluated on an 8-px grid and upsampled bicubically. The ridge
///   fit follows a smooth illumination across the area from a band of ground
///   where the surround fit, free of any polynomial term, swings freely.
/// - Large supports: where the surround fit on the default grids would exceed
///   `kMaxCentres` or `kMaxNormalWork`, its grids are coarsened (the centre
///   step doubled until the centres fit, then the sample step raised to the
///   smallest multiple that keeps N·M² within the bound), so that the fit
///   costs at most what the largest accepted fit costs. Fits within the
///   bounds are unchanged.
/// - Parallel work runs on the object's one task group, inside the object's
///   task arena of `threadCount` threads at most (and no more than the machine
///   has); every operation waits for its tasks
///   before it returns. One object is used by one thread at a time. Results do
///   not depend on the thread count.
/// - Input pixels that are not finite never count as support and never reach
///   the fit; the masked Gaussian never reads a pixel of weight 0.
/// - No operation throws on its own account; OpenCV errors propagate as
///   `cv::Exception`, and an unknown basis selector raises
///   `std::bad_function_call` from `approximate` or `fillValues`.
class COLORCAL_EXPORT CRBFInpainting {
  public:
    /// Configuration; the four flags are carried but not read.
    struct Config {
        /// A pixel whose Lab distance from white is greater than this is not support.
        float whiteDistanceThreshold = 115.0f;
        /// Width of the band along each image edge that is never support.
        int borderWidth = 12;
        /// Spacing in pixels of the grid of data samples.
        int sampleStep = 12;
        /// Spacing in pixels of the grid of RBF centres.
        int centerStep = 48;
        bool flag1 = false;
        bool flag2 = false;
        bool flag3 = false;
        bool flag4 = false;
        /// 0 multiquadric, 1 inverse multiquadric, 2 thin-plate spline.
        int basisFunction = 0;
        /// Threads a parallel step may use; 0 or less means the hardware
        /// concurrency.
        int threadCount = -1;
        /// Which estimator fills the excluded pixels (see the rules above):
        /// the choice by the fill area, either one everywhere, or the
        /// surround fit only where the choice would keep it (elsewhere no fit
        /// is made and `approximate` returns false).
        enum class Estimator { eAuto, eSurround, eRidge, eSurroundWhereSurrounded };
        Estimator estimator = Estimator::eAuto;
    };

    /// A point (column, row).
    using Point = std::array<int, 2>;
    /// A list of points.
    using PointList = std::vector<Point>;
    /// Basis value for the distance between two points.
    using BasisFunction = std::function<double(const Point&, const Point&)>;

    /// Uses the default configuration. (A default argument `= Config()` cannot
    /// name a nested struct with member initialisers inside its own class.)
    CRBFInpainting();
    /// Copies the configuration, resolving a thread count of 0 or less to the
    /// hardware concurrency (at least 1), and selects the basis function.
    explicit CRBFInpainting(const Config& config);
    ~CRBFInpainting();
    CRBFInpainting(const CRBFInpainting&) = delete;
    CRBFInpainting& operator=(const CRBFInpainting&) = delete;

    /// Sets the input image (CV_32FC3, 0..255; shared, never written) and
    /// discards the fit. Fits on further supports reuse what earlier fits
    /// learnt of the image's pixels (which are far from white): after writing
    /// into the shared pixels, set the image again.
    void setInputImage(const cv::Mat& image);
    /// Sets the support mask (CV_8UC1, image size, non-zero = never support;
    /// shared, never written) and discards the fit.
    void setInputSupportMask(const cv::Mat& mask);
    /// Names the area over which the estimate must hold (CV_8UC1, image size,
    /// non-zero inside; shared, never written), for example the chart's
    /// patches; an empty matrix names none. With `Estimator::eAuto` the area
    /// decides between the two estimators; without an area the surround fit
    /// runs. Discards the fit.
    void setFillArea(const cv::Mat& area);
    /// Selects the estimator (see the rules above) and discards the fit.
    void setEstimator(Config::Estimator estimator);
    /// Discards the fit and the weight cache; the inputs stay.
    void reset();

    /// Largest number of centres a fit accepts (the normal matrix alone takes
    /// M² doubles, 128 MiB at this bound).
    static constexpr std::int64_t kMaxCentres = 4096;
    /// Largest accepted product N·M² of samples and squared centres, the
    /// multiply-adds of the normal equations (about ten seconds of work).
    static constexpr std::int64_t kMaxNormalWork = std::int64_t{1} << 38;
    /// The surround fit is kept only with at least this many centres ...
    static constexpr int kMinSurroundCentres = 30;
    /// ... of which at least this many lie inside the fill area's convex hull.
    static constexpr int kMinCentresInsideHull = 16;
    /// Grid steps of the ridge fit's centres and of its evaluation.
    static constexpr int kRidgeCentreStep = 24;
    static constexpr int kRidgeEvaluationStep = 8;
    /// Fewest samples the ridge fit accepts; it also refuses a fill area that
    /// reaches more than `kRidgeCentreStep` beyond the samples' bounding box
    /// (a thin band of ground on only some sides of the patches).
    static constexpr int kMinRidgeSamples = 30;
    /// Largest N·(M + 6)² of the ridge fit; coarser grids are used above it.
    static constexpr std::int64_t kMaxRidgeWork = std::int64_t{1} << 31;

    /// Builds the exclusion mask, the smoothed image, the centres and the
    /// per-channel weights. Returns true only when it has just computed a fit;
    /// false for missing inputs, an existing fit, no sample or no centre (the
    /// ridge fit: fewer than `kMinRidgeSamples` samples or a fill area beyond
    /// them), or a least-squares problem that cannot be solved.
    bool approximate();

    /// Fits if needed, then writes into `out` the smoothed image with every
    /// pixel selected by `fillMask` (or by the exclusion mask when `fillMask` is
    /// empty) replaced by the fitted field clamped to 0..255. Leaves `out`
    /// untouched when no fit can be made. A CV_32FC3 `out` of the image's size
    /// whose pixels nothing else shares is written in place; otherwise `out`
    /// receives a new matrix.
    void fillValues(const cv::Mat& fillMask, cv::Mat& out);

    /// After a fit: writes rows `firstRow` .. `firstRow + out.rows - 1` of what
    /// `fillValues` with an empty fill mask writes into `out`, a CV_32FC3
    /// matrix of the image's width the caller provides, value for value as
    /// there. Lets a caller consume the white field a band of rows at a time
    /// without a second image-sized buffer. Returns false, leaving `out`
    /// untouched, without a fit or for rows or a matrix that do not fit.
    bool fillRowRange(int firstRow, cv::Mat& out);

    /// Fits if needed; `out` is left unchanged.
    void fillValuesAVX(const cv::Mat& fillMask, cv::Mat& out);

    /// Per-channel normalised Gaussian (19 x 19, sigma 9, reflected borders) of
    /// the CV_32FC3 `src` under the CV_8UC1 `weights`: Gaussian(src·w) /
    /// Gaussian(w). A pixel whose whole window has weight 0 becomes NaN. Pixels
    /// of weight 0 are not read, so their values may be anything; a NaN or an
    /// infinity of non-zero weight spreads over its window. `dst` may be `src`.
    void maskedGaussian(const cv::Mat& src, cv::Mat& dst, cv::Mat weights);

    /// The configuration with the thread count resolved.
    const Config& getConfig() const;

    /// How the last fit was solved.
    struct FitDiagnostics {
        /// Smallest and largest pivot of the L·D·Lᵀ factorisation of AᵀA.
        double minPivot = 0.0;
        double maxPivot = 0.0;
        /// True when that factorisation had only positive, finite pivots and
        /// gave finite weights.
        bool factorised = false;
        /// True when the weights came from the pivoted fallback instead.
        bool usedFallback = false;
        /// Centres with a weight: all of them after the factorisation, those
        /// the pivoting kept after the fallback.
        std::int64_t rank = 0;
        /// The estimator that ran: `kSurroundMethod` or `kRidgeMethod`.
        const char* method = "";
        /// RBF centres and data samples of the fit, and the grid steps used.
        std::int64_t centres = 0;
        std::int64_t samples = 0;
        int centreStep = 0;
        int sampleStep = 0;
        /// Root mean square over samples and channels of fit - smoothed value
        /// (0..255 scale).
        double residualRms = 0.0;
    };

    /// Names of the two estimators in `FitDiagnostics::method`.
    static constexpr const char* kSurroundMethod = "rbf-surround";
    static constexpr const char* kRidgeMethod = "rbf-ridge-quadratic";

    /// Diagnostics of the last least-squares solve of `approximate`.
    const FitDiagnostics& getFitDiagnostics() const;

  private:
    std::unique_ptr<Inpainting::RBFInpaintingEngine> m_engine;
};

}  // namespace DataLayer
