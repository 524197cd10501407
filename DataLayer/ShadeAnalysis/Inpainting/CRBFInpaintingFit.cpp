// The fits of CRBFInpainting: the surround fit (multiquadric centres, no
// polynomial) and the ridge fit (centres plus a quadratic, a small ridge on
// the RBF weights), each solved through RBFLeastSquares.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFInpaintingEngine.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFLeastSquares.h"
#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"

namespace DataLayer {

using Inpainting::DoubleVector;
using Inpainting::Executor;
using Inpainting::kMaxRhs;
using Inpainting::kPolyTerms;
using Inpainting::Problem;
using Inpainting::RBFInpaintingEngine;

// ---- Fitting --------------------------------------------------------------------

bool RBFInpaintingEngine::fitSizeSupported(std::int64_t samples, std::int64_t centres) {
    // The solve holds an M x M normal matrix and costs about N·M² multiply-adds
    // (more when the factorisation fails and the stable fallback runs). Tiny
    // grid steps would otherwise ask for gigabytes and hours.
    if (samples < 1 || centres < 1 || centres > kMaxCentres) return false;
    return samples <= kMaxNormalWork / (centres * centres);
}

void RBFInpaintingEngine::chooseSurroundSteps(const std::function<std::int64_t(int)>& countAt,
                                              int& centreStep, int& sampleStep) {
    std::int64_t centres = countAt(centreStep);
    std::int64_t samples = countAt(sampleStep);
    if (centres < 1 || samples < 1 || fitSizeSupported(samples, centres)) return;
    // Coarser grids for a support too large for the default ones: fewer
    // centres first (the normal matrix grows with their square), then fewer
    // samples, each step the smallest that brings the fit within the bounds.
    // The steps stop growing at the image size, where a grid has one point.
    constexpr int kLargestStep = 1 << 20;
    while (centres > kMaxCentres && centreStep < kLargestStep) {
        centreStep *= 2;
        centres = countAt(centreStep);
    }
    if (centres < 1) return;
    const int base = sampleStep;
    for (int k = 2; !fitSizeSupported(samples, centres) && base * k < kLargestStep; ++k) {
        sampleStep = base * k;
        samples = countAt(sampleStep);
        if (samples < 1) return;
    }
}

bool RBFInpaintingEngine::centresSurroundFillArea() const {
    if (static_cast<int>(m_centres.size()) < kMinSurroundCentres) return false;
    std::vector<cv::Point> inside;
    cv::findNonZero(m_fillArea, inside);
    if (inside.empty()) return true;  // nothing to fill: nothing to extrapolate over
    std::vector<cv::Point> hull;
    cv::convexHull(inside, hull);
    int count = 0;
    for (const Point& c : m_centres) {
        if (cv::pointPolygonTest(
                hull, cv::Point2f(static_cast<float>(c[0]), static_cast<float>(c[1])), false) > 0) {
            ++count;
        }
    }
    return count >= kMinCentresInsideHull;
}

bool RBFInpaintingEngine::approximate() {
    if (m_supportMask.empty() || m_inputImage.empty() || m_weights[0] || m_ridge.valid) {
        return false;
    }
    if (!m_fillArea.empty()) {
        CV_CheckTypeEQ(m_fillArea.type(), CV_8UC1, "the fill area must be CV_8UC1");
        CV_Check(m_fillArea.size(), m_fillArea.size() == m_inputImage.size(),
                 "the fill area must have the input image's size");
    }

    CV_CheckTypeEQ(m_inputImage.type(), CV_32FC3, "the input image must be CV_32FC3");
    CV_CheckTypeEQ(m_supportMask.type(), CV_8UC1, "the support mask must be CV_8UC1");
    CV_Check(m_supportMask.size(), m_supportMask.size() == m_inputImage.size(),
             "the support mask must have the input image's size");

    const int rows = m_inputImage.rows;
    const int cols = m_inputImage.cols;

    // Support: free in the caller's mask, finite and close enough to white.
    // The Lab test matters only where the caller's mask leaves pixels free, so
    // it runs on the bounding box of those pixels; outside it the mask already
    // excludes everything.
    cv::Mat exclusion = clonePhotoBuffer(m_supportMask);
    const cv::Rect freeBox = zeroBoundingBox(m_supportMask);
    if (!freeBox.empty()) {
        markFarFromWhite(freeBox);
        cv::Mat excludedBox = exclusion(freeBox);
        excludedBox.setTo(255, m_farFromWhite(freeBox - m_farFromWhiteBox.tl()));
    }

    // The smoothing runs over the support before the exclusion mask grows; it
    // is computed once the estimator is known (a judgement that makes no fit
    // needs none).
    const cv::Mat smoothingExclusion = clonePhotoBuffer(exclusion);
    cv::dilate(exclusion, exclusion, cv::Mat::ones(7, 7, CV_8U), cv::Point(-1, -1), 1,
               cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
    const int bw = std::clamp(m_config.borderWidth, 0, std::max(rows, cols));
    if (bw > 0) {
        const int bx = std::min(bw, cols);
        const int by = std::min(bw, rows);
        exclusion(cv::Rect(0, 0, bx, rows)).setTo(255);
        exclusion(cv::Rect(0, 0, cols, by)).setTo(255);
        exclusion(cv::Rect(cols - bx, 0, bx, rows)).setTo(255);
        exclusion(cv::Rect(0, rows - by, cols, by)).setTo(255);
    }
    m_exclusionMask = exclusion;

    m_fitDiagnostics = FitDiagnostics{};
    using Estimator = Config::Estimator;
    bool ridge = m_config.estimator == Estimator::eRidge;
    if (!ridge) {
        resampCoords(m_exclusionMask, m_centres, m_config.centerStep, false);
        const bool judged = m_config.estimator == Estimator::eAuto ||
                            m_config.estimator == Estimator::eSurroundWhereSurrounded;
        ridge = judged && !m_fillArea.empty() && !centresSurroundFillArea();
    }
    if (ridge && m_config.estimator == Estimator::eSurroundWhereSurrounded) return false;
    maskedGaussianImpl(m_inputImage, smoothingExclusion, true, m_smoothedImage, &m_smoothedReach);
    // The ridge fit reads the few rows of the weight cache it needs; the
    // surround fit's filling reads every row.
    if (ridge) return approximateRidge();
    if (!m_weightCache || m_cacheRows != rows || m_cacheCols != cols) computeWeightCache();

    int centreStep = m_config.centerStep;
    int sampleStep = m_config.sampleStep;
    chooseSurroundSteps(
        [this](int step) {
            PointList points;
            resampCoords(m_exclusionMask, points, step, false);
            return static_cast<std::int64_t>(points.size());
        },
        centreStep, sampleStep);
    PointList samples;
    resampCoords(m_exclusionMask, samples, sampleStep, false);
    if (centreStep != m_config.centerStep) {
        resampCoords(m_exclusionMask, m_centres, centreStep, false);
    }
    if (samples.empty() || m_centres.empty()) return false;
    if (!fitSizeSupported(static_cast<std::int64_t>(samples.size()),
                          static_cast<std::int64_t>(m_centres.size()))) {
        return false;
    }
    m_fitDiagnostics.method = kSurroundMethod;
    m_fitDiagnostics.centres = static_cast<std::int64_t>(m_centres.size());
    m_fitDiagnostics.samples = static_cast<std::int64_t>(samples.size());
    m_fitDiagnostics.centreStep = centreStep;
    m_fitDiagnostics.sampleStep = sampleStep;

    const std::int64_t count = static_cast<std::int64_t>(m_centres.size()) + 4;
    std::array<AlignedArray, 3> fitted{allocateAligned(count), allocateAligned(count),
                                       allocateAligned(count)};
    if (!approximateChannels(m_smoothedImage, m_centres, samples,
                             {fitted[0].get(), fitted[1].get(), fitted[2].get()},
                             m_smoothedReach.tl())) {
        return false;
    }
    m_weights = std::move(fitted);
    m_fitDiagnostics.residualRms = surroundResidualRms(samples);
    return true;
}

double RBFInpaintingEngine::surroundResidualRms(const PointList& samples) {
    const int cols = m_cacheCols;
    const double* cache = m_weightCache.get();
    std::vector<double> sums(samples.size(), 0.0);
    parallelRows(static_cast<int>(samples.size()), 64, [&](int k0, int k1) {
        for (int k = k0; k < k1; ++k) {
            const Point& p = samples[static_cast<std::size_t>(k)];
            const cv::Vec3f& v =
                m_smoothedImage.at<cv::Vec3f>(p[1] - m_smoothedReach.y, p[0] - m_smoothedReach.x);
            double s = 0.0;
            for (int c = 0; c < 3; ++c) {
                const double d = computeValueFromRBF(m_weights[static_cast<std::size_t>(c)].get(),
                                                     m_centres, p, cache, cols) -
                                 static_cast<double>(v[c]);
                s += d * d;
            }
            sums[static_cast<std::size_t>(k)] = s;
        }
    });
    double total = 0.0;
    for (const double s : sums) total += s;
    return samples.empty() ? 0.0 : std::sqrt(total / (3.0 * static_cast<double>(samples.size())));
}

bool RBFInpaintingEngine::approximateSingleChannel(const cv::Mat& channel, const PointList& centres,
                                                   const PointList& samples,
                                                   const cv::Mat& /*exclusionMask*/,
                                                   double* weights, const double* cache) {
    CV_CheckTypeEQ(channel.type(), CV_32FC1, "approximateSingleChannel needs a CV_32F channel");
    if (centres.empty() || samples.empty() || weights == nullptr || cache == nullptr) return false;
    DoubleVector rhs(samples.size());
    for (std::size_t k = 0; k < samples.size(); ++k) {
        rhs[k] = static_cast<double>(channel.at<float>(samples[k][1], samples[k][0]));
    }
    std::vector<const double*> rows(static_cast<std::size_t>(channel.rows));
    for (int dy = 0; dy < channel.rows; ++dy) {
        rows[static_cast<std::size_t>(dy)] = cache + static_cast<std::int64_t>(dy) * channel.cols;
    }
    const Problem p{samples, centres, rows.data(), rhs, 1};
    FitDiagnostics diag;
    return Inpainting::solveLeastSquares(p, Inpainting::runSerial, {weights, nullptr, nullptr},
                                         diag);
}

bool RBFInpaintingEngine::approximateChannels(const cv::Mat& image, const PointList& centres,
                                              const PointList& samples,
                                              std::array<double*, 3> weights,
                                              const cv::Point& origin) {
    CV_CheckTypeEQ(image.type(), CV_32FC3, "approximateChannels needs a CV_32FC3 image");
    DoubleVector rhs(samples.size() * kMaxRhs);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const cv::Vec3f& v =
            image.at<cv::Vec3f>(samples[k][1] - origin.y, samples[k][0] - origin.x);
        for (int c = 0; c < kMaxRhs; ++c) rhs[k * kMaxRhs + static_cast<std::size_t>(c)] = v[c];
    }
    const std::vector<const double*> rows = cacheRowPointers();
    const Problem p{samples, centres, rows.data(), rhs, kMaxRhs};
    const Executor run = [this](int count, const std::function<void(int)>& body) {
        runTasks(count, body);
    };
    return Inpainting::solveLeastSquares(p, run, weights, m_fitDiagnostics);
}

double RBFInpaintingEngine::computeValueFromRBF(const double* weights, const PointList& centres,
                                                const Point& point, const double* cache,
                                                const int& cols) {
    double value = 0.0;
    for (std::size_t j = 0; j < centres.size(); ++j) {
        const std::int64_t dy = std::abs(static_cast<std::int64_t>(centres[j][1]) - point[1]);
        const std::int64_t dx = std::abs(static_cast<std::int64_t>(centres[j][0]) - point[0]);
        value += weights[j] * cache[dy * cols + dx];
    }
    return value;
}

// ---- The ridge fit ----------------------------------------------------------------------

bool RBFInpaintingEngine::approximateRidge() {
    const cv::Mat& mask = m_exclusionMask;
    // Centres on the ridge grid and samples on the configured grid; coarser
    // grids where the fit would exceed kMaxRidgeWork (centres first, down to
    // a few hundred, then samples).
    int centreStep = kRidgeCentreStep;
    int sampleStep = std::max(1, m_config.sampleStep);
    const int base = sampleStep;
    PointList centres;
    PointList samples;
    resampCoords(mask, centres, centreStep, false);
    resampCoords(mask, samples, sampleStep, false);
    auto work = [&] {
        const std::int64_t k = static_cast<std::int64_t>(centres.size()) + kPolyTerms;
        const std::int64_t n = static_cast<std::int64_t>(samples.size());
        return k > 0 && n > kMaxRidgeWork / (k * k) ? kMaxRidgeWork + 1 : n * k * k;
    };
    constexpr int kLargestStep = 1 << 20;
    while (work() > kMaxRidgeWork && centreStep < kLargestStep && sampleStep < kLargestStep) {
        if (centres.size() > 512) {
            centreStep *= 2;
            resampCoords(mask, centres, centreStep, false);
        } else {
            sampleStep += base;
            resampCoords(mask, samples, sampleStep, false);
        }
    }
    if (work() > kMaxRidgeWork) return false;
    const std::int64_t n = static_cast<std::int64_t>(samples.size());
    if (n < kMinRidgeSamples) return false;

    // Coordinates normalised to about ±1 over the samples' bounding box keep
    // the polynomial columns on the scale of each other.
    int xmin = samples[0][0], xmax = xmin, ymin = samples[0][1], ymax = ymin;
    for (const Point& p : samples) {
        xmin = std::min(xmin, p[0]);
        xmax = std::max(xmax, p[0]);
        ymin = std::min(ymin, p[1]);
        ymax = std::max(ymax, p[1]);
    }
    // The polynomial extrapolates freely: a fill area that reaches beyond the
    // samples' extent by more than a centre step is not estimated.
    if (!m_fillArea.empty()) {
        const cv::Rect area = cv::boundingRect(m_fillArea);
        if (area.area() > 0 &&
            (area.x < xmin - kRidgeCentreStep || area.y < ymin - kRidgeCentreStep ||
             area.x + area.width - 1 > xmax + kRidgeCentreStep ||
             area.y + area.height - 1 > ymax + kRidgeCentreStep)) {
            return false;
        }
    }
    RidgeFit fit;
    fit.cx = 0.5 * (xmin + xmax);
    fit.cy = 0.5 * (ymin + ymax);
    fit.sx = std::max(1.0, 0.5 * (xmax - xmin));
    fit.sy = std::max(1.0, 0.5 * (ymax - ymin));
    DoubleVector poly(static_cast<std::size_t>(n * kPolyTerms));
    DoubleVector rhs(static_cast<std::size_t>(n * kMaxRhs));
    for (std::int64_t k = 0; k < n; ++k) {
        const Point& p = samples[static_cast<std::size_t>(k)];
        const double u = (p[0] - fit.cx) / fit.sx;
        const double v = (p[1] - fit.cy) / fit.sy;
        double* row = poly.data() + k * kPolyTerms;
        row[0] = 1.0;
        row[1] = u;
        row[2] = v;
        row[3] = u * u;
        row[4] = u * v;
        row[5] = v * v;
        const cv::Vec3f& value =
            m_smoothedImage.at<cv::Vec3f>(p[1] - m_smoothedReach.y, p[0] - m_smoothedReach.x);
        for (int c = 0; c < kMaxRhs; ++c) rhs[static_cast<std::size_t>(k * kMaxRhs + c)] = value[c];
    }
    // The rows of the weight cache the fit reads: the offsets between sample
    // and centre rows, as wide as the largest offset between their columns.
    std::vector<int> widths(static_cast<std::size_t>(m_inputImage.rows), 0);
    if (!centres.empty()) {
        std::vector<int> sampleRows;
        std::vector<int> centreRows;
        int centreXmin = centres[0][0];
        int centreXmax = centreXmin;
        for (const Point& p : samples) sampleRows.push_back(p[1]);
        for (const Point& c : centres) {
            centreRows.push_back(c[1]);
            centreXmin = std::min(centreXmin, c[0]);
            centreXmax = std::max(centreXmax, c[0]);
        }
        for (std::vector<int>* list : {&sampleRows, &centreRows}) {
            std::sort(list->begin(), list->end());
            list->erase(std::unique(list->begin(), list->end()), list->end());
        }
        const int width = std::max(xmax - centreXmin, centreXmax - xmin) + 1;
        for (const int sy : sampleRows) {
            for (const int cy : centreRows)
                widths[static_cast<std::size_t>(std::abs(sy - cy))] = width;
        }
    }
    const BasisRows table = computeBasisRows(widths);
    const Problem problem{samples, centres, table.rowOf.data(), rhs, kMaxRhs, poly.data()};
    const std::int64_t m = problem.m();
    for (auto& w : fit.weights) w.assign(static_cast<std::size_t>(m), 0.0);
    const Executor run = [this](int count, const std::function<void(int)>& body) {
        runTasks(count, body);
    };
    constexpr double kRidge = 1e-4;
    if (!Inpainting::solveLeastSquares(
            problem, run, {fit.weights[0].data(), fit.weights[1].data(), fit.weights[2].data()},
            m_fitDiagnostics, kRidge)) {
        return false;
    }
    // Residual over the samples.
    double sum = 0.0;
    for (std::int64_t k = 0; k < n; ++k) {
        for (int c = 0; c < kMaxRhs; ++c) {
            double v = 0.0;
            for (std::int64_t j = 0; j < m; ++j) {
                v += problem.a(k, j) *
                     fit.weights[static_cast<std::size_t>(c)][static_cast<std::size_t>(j)];
            }
            const double d = v - rhs[static_cast<std::size_t>(k * kMaxRhs + c)];
            sum += d * d;
        }
    }
    fit.centres = std::move(centres);
    fit.valid = true;
    m_ridge = std::move(fit);
    m_centres = m_ridge.centres;
    m_fitDiagnostics.method = kRidgeMethod;
    m_fitDiagnostics.centres = static_cast<std::int64_t>(m_ridge.centres.size());
    m_fitDiagnostics.samples = n;
    m_fitDiagnostics.centreStep = centreStep;
    m_fitDiagnostics.sampleStep = sampleStep;
    m_fitDiagnostics.residualRms = std::sqrt(sum / (static_cast<double>(n) * kMaxRhs));
    return true;
}

}  // namespace DataLayer
