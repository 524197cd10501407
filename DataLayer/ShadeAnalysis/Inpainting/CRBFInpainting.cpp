#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/Inpainting/RBFInpaintingEngine.h"

#include <algorithm>
#include <cmath>
#include <thread>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/Inpainting/RBFKernels.h"
#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"

namespace DataLayer {

using Inpainting::RBFInpaintingEngine;

namespace {

constexpr double kShapeSq = Inpainting::kMultiquadricShapeSq;

double pointDistance(const CRBFInpainting::Point& p, const CRBFInpainting::Point& q) {
    const double dx = static_cast<double>(p[0]) - static_cast<double>(q[0]);
    const double dy = static_cast<double>(p[1]) - static_cast<double>(q[1]);
    return std::sqrt(dx * dx + dy * dy);
}

CRBFInpainting::Config withResolvedThreads(CRBFInpainting::Config config) {
    if (config.threadCount <= 0) {
        config.threadCount = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    }
    return config;
}

}  // namespace

void RBFInpaintingEngine::FastFree::operator()(double* p) const { cv::fastFree(p); }

RBFInpaintingEngine::AlignedArray RBFInpaintingEngine::allocateAligned(std::int64_t count) {
    // cv::fastMalloc aligns to at least 32 bytes and throws cv::Exception when it
    // runs out of memory.
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(double);
    AlignedArray array(static_cast<double*>(cv::fastMalloc(bytes)));
    adviseLargeBuffer(array.get(), bytes);
    return array;
}

void RBFInpaintingEngine::adviseLargeBuffer(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // The photo-sized buffers are written once, right after allocation; with
    // 4 KiB pages their first touch costs one page fault per 4 KiB. Asking for
    // transparent huge pages on their aligned interior cuts that to one per
    // 2 MiB. Only advice: failure changes nothing.
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    if (data == nullptr || bytes < 4 * huge) return;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(huge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

RBFInpaintingEngine::RBFInpaintingEngine(const Config& config)
    : m_config(withResolvedThreads(config)),
      // More threads than the machine has would not run at once anyway, and
      // asking TBB for them makes it print a warning.
      m_arena(std::min(m_config.threadCount, std::max(1, tbb::info::default_concurrency()))) {
    switch (m_config.basisFunction) {
        case 0:
            m_basisFunction = [](const Point& p, const Point& q) {
                const double r = pointDistance(p, q);
                return std::sqrt(r * r + kShapeSq);
            };
            break;
        case 1:
            m_basisFunction = [](const Point& p, const Point& q) {
                const double r = pointDistance(p, q);
                return 1.0 / std::sqrt(r * r + kShapeSq);
            };
            break;
        case 2:
            m_basisFunction = [](const Point& p, const Point& q) {
                const double r = pointDistance(p, q);
                return r > 0.0 ? r * r * std::log(r) : 0.0;
            };
            break;
        default:
            // Left empty: the first weight-cache computation raises
            // std::bad_function_call through the task group's wait.
            break;
    }
}

RBFInpaintingEngine::~RBFInpaintingEngine() {
    // Tasks never outlive an operation, but a wait here keeps destruction safe
    // even if an operation was left by an exception.
    m_taskGroup.cancel();
    try {
        m_taskGroup.wait();
    } catch (...) {
    }
}

void RBFInpaintingEngine::setInputImage(const cv::Mat& image) {
    m_inputImage = image;
    releaseFit();
    releaseCache();
}

// The Lab test of a pixel depends on the pixel alone, so the flags of a box
// serve every later fit on the same image whose free pixels lie inside it:
// the engine's second attempt, on a support one dilation wider, converts only
// the pixels the first one's box did not hold.
void RBFInpaintingEngine::markFarFromWhite(const cv::Rect& box) {
    const cv::Rect old = m_farFromWhiteBox;
    if (!old.empty() && (old & box) == box) return;
    const cv::Rect all = old.empty() ? box : (old | box);
    cv::Mat flags(all.size(), CV_8UC1, cv::Scalar(0));
    std::vector<cv::Rect> parts;
    if (old.empty()) {
        parts.push_back(all);
    } else {
        m_farFromWhite.copyTo(flags(old - all.tl()));
        parts.emplace_back(all.x, all.y, all.width, old.y - all.y);
        parts.emplace_back(all.x, old.br().y, all.width, all.br().y - old.br().y);
        parts.emplace_back(all.x, old.y, old.x - all.x, old.height);
        parts.emplace_back(old.br().x, old.y, all.br().x - old.br().x, old.height);
    }
    const float threshold = m_config.whiteDistanceThreshold;
    // The first Lab conversion builds OpenCV's tables; it runs here on the
    // calling thread (built on a pool thread, they are reported as leaked).
    const cv::Vec3f white = whiteLab();
    for (const cv::Rect& part : parts) {
        if (part.empty()) continue;
        const cv::Mat source = m_inputImage(part);
        cv::Mat target = flags(part - all.tl());
        parallelRows(part.height, 32, [&](int y0, int y1) {
            cv::Mat rows = target.rowRange(y0, y1);
            excludeFarFromWhite(source.rowRange(y0, y1), white, threshold, rows);
        });
    }
    m_farFromWhite = flags;
    m_farFromWhiteBox = all;
}

void RBFInpaintingEngine::releaseCache() {
    m_weightCache.reset();
    m_cacheRows = 0;
    m_cacheCols = 0;
    m_farFromWhite.release();
    m_farFromWhiteBox = cv::Rect();
}

void RBFInpaintingEngine::setInputSupportMask(const cv::Mat& mask) {
    m_supportMask = mask;
    releaseFit();
}

void RBFInpaintingEngine::setFillArea(const cv::Mat& area) {
    m_fillArea = area;
    releaseFit();
}

void RBFInpaintingEngine::reset() {
    releaseFit();
    releaseCache();
}

// New masks and another estimator keep the weight cache: it depends only on
// the image size and the basis, and a refit on another support (the engine
// tries two) need not compute it again.
void RBFInpaintingEngine::releaseFit() {
    for (auto& w : m_weights) w.reset();
    m_ridge = RidgeFit{};
    m_fieldNodes.release();
}

void RBFInpaintingEngine::setEstimator(Config::Estimator estimator) {
    m_config.estimator = estimator;
    releaseFit();
}

void RBFInpaintingEngine::parallelRows(int count, int grain,
                                       const std::function<void(int, int)>& body) {
    if (count <= 0) return;
    m_arena.execute([&] {
        m_taskGroup.run_and_wait([&] {
            tbb::parallel_for(tbb::blocked_range<int>(0, count, std::max(1, grain)),
                              [&](const tbb::blocked_range<int>& r) { body(r.begin(), r.end()); });
        });
    });
}

void RBFInpaintingEngine::runTasks(int count, const std::function<void(int)>& body) {
    m_arena.execute([&] {
        for (int t = 0; t < count; ++t) {
            m_taskGroup.run([&body, t] { body(t); });
        }
        m_taskGroup.wait();
    });
}

// ---- Basis functions and small helpers ----------------------------------------

double RBFInpaintingEngine::bf_multiquadric(double r, double c) { return std::sqrt(r * r + c * c); }

double RBFInpaintingEngine::bf_inverse_multiquadric(double r, double c) {
    return 1.0 / std::sqrt(r * r + c * c);
}

double RBFInpaintingEngine::thin_plate(double r) { return r > 0.0 ? std::log(r) * r * r : 0.0; }

double RBFInpaintingEngine::radialDistance(const Point& p, const Point& q) {
    return pointDistance(p, q);
}

double RBFInpaintingEngine::radialDistanceSq(const Point& p, const Point& q) {
    // The integer difference is taken in 64 bits so that no pair of ints overflows.
    const double dx = static_cast<double>(
        static_cast<float>(static_cast<std::int64_t>(p[0]) - static_cast<std::int64_t>(q[0])));
    const double dy = static_cast<double>(
        static_cast<float>(static_cast<std::int64_t>(p[1]) - static_cast<std::int64_t>(q[1])));
    return dx * dx + dy * dy;
}

float RBFInpaintingEngine::clamp(double v) {
    if (v > 255.0) return 255.0f;
    if (v < 0.0) return 0.0f;
    return static_cast<float>(v);
}

// ---- Grid sampling and the weight cache ----------------------------------------

void RBFInpaintingEngine::resampCoords(const cv::Mat& mask, PointList& points, const int& step,
                                       bool all) {
    points.clear();
    // A step below 1 would never advance; it yields no point.
    if (step < 1 || mask.empty()) return;
    if (!all) CV_CheckTypeEQ(mask.type(), CV_8UC1, "resampCoords needs an 8-bit mask");
    const std::int64_t h = step / 2;
    const std::int64_t rows = mask.rows;
    const std::int64_t cols = mask.cols;
    for (std::int64_t x = 0; x < cols - h; x += step) {
        for (std::int64_t y = 0; y < rows - h; y += step) {
            const int px = static_cast<int>(x + h);
            const int py = static_cast<int>(y + h);
            if (all || mask.at<uchar>(py, px) == 0) points.push_back({px, py});
        }
    }
}

void RBFInpaintingEngine::computeWeightCache() {
    m_weightCache.reset();
    m_cacheRows = 0;
    m_cacheCols = 0;
    const int rows = m_inputImage.rows;
    const int cols = m_inputImage.cols;
    AlignedArray cache = allocateAligned(static_cast<std::int64_t>(rows) * cols);
    double* data = cache.get();
    const int selector = m_config.basisFunction;
    const BasisFunction& basis = m_basisFunction;
    const auto cacheRow = Inpainting::rbfKernels().cacheRow;
    parallelRows(rows, 16, [&](int y0, int y1) {
        // The known selectors are evaluated inline with the stored function's
        // formula; any other selector goes through the stored function, which
        // is empty and throws std::bad_function_call.
        const Point origin{0, 0};
        for (int y = y0; y < y1; ++y) {
            double* row = data + static_cast<std::int64_t>(y) * cols;
            if (selector >= 0 && selector <= 2) {
                cacheRow(row, cols, y, selector);
                continue;
            }
            for (int x = 0; x < cols; ++x) row[x] = basis(origin, Point{y, x});
        }
    });
    m_weightCache = std::move(cache);
    m_cacheRows = rows;
    m_cacheCols = cols;
}

RBFInpaintingEngine::BasisRows RBFInpaintingEngine::computeBasisRows(
    const std::vector<int>& widths) {
    BasisRows table;
    std::vector<int> needed;
    std::vector<std::int64_t> offset;
    std::int64_t total = 0;
    for (std::size_t dy = 0; dy < widths.size(); ++dy) {
        if (widths[dy] <= 0) continue;
        needed.push_back(static_cast<int>(dy));
        offset.push_back(total);
        total += widths[dy];
    }
    table.rowOf.assign(widths.size(), nullptr);
    if (total == 0) return table;
    table.values = allocateAligned(total);
    double* data = table.values.get();
    const int selector = m_config.basisFunction;
    const BasisFunction& basis = m_basisFunction;
    const auto cacheRow = Inpainting::rbfKernels().cacheRow;
    parallelRows(static_cast<int>(needed.size()), 16, [&](int k0, int k1) {
        const Point origin{0, 0};
        for (int k = k0; k < k1; ++k) {
            const int dy = needed[static_cast<std::size_t>(k)];
            const int width = widths[static_cast<std::size_t>(dy)];
            double* row = data + offset[static_cast<std::size_t>(k)];
            if (selector >= 0 && selector <= 2) {
                cacheRow(row, width, dy, selector);
                continue;
            }
            for (int x = 0; x < width; ++x) row[x] = basis(origin, Point{dy, x});
        }
    });
    for (std::size_t k = 0; k < needed.size(); ++k) {
        table.rowOf[static_cast<std::size_t>(needed[k])] = data + offset[k];
    }
    return table;
}

std::vector<const double*> RBFInpaintingEngine::cacheRowPointers() const {
    std::vector<const double*> rows(static_cast<std::size_t>(m_cacheRows));
    for (int dy = 0; dy < m_cacheRows; ++dy) {
        rows[static_cast<std::size_t>(dy)] =
            m_weightCache.get() + static_cast<std::int64_t>(dy) * m_cacheCols;
    }
    return rows;
}

cv::Mat RBFInpaintingEngine::smoothedImage() const {
    cv::Mat full(m_inputImage.size(), CV_32FC3);
    for (int y = 0; y < full.rows; ++y) copySmoothed(y, 0, full.cols, full.ptr<float>(y));
    return full;
}

void RBFInpaintingEngine::fillValuesAVX(const cv::Mat& /*fillMask*/, cv::Mat& /*out*/) {
    approximate();
}

// ---- The public class --------------------------------------------------------

CRBFInpainting::CRBFInpainting() : CRBFInpainting(Config{}) {}

CRBFInpainting::CRBFInpainting(const Config& config)
    : m_engine(std::make_unique<RBFInpaintingEngine>(config)) {}

CRBFInpainting::~CRBFInpainting() = default;

void CRBFInpainting::setInputImage(const cv::Mat& image) { m_engine->setInputImage(image); }

void CRBFInpainting::setInputSupportMask(const cv::Mat& mask) {
    m_engine->setInputSupportMask(mask);
}

void CRBFInpainting::setFillArea(const cv::Mat& area) { m_engine->setFillArea(area); }

void CRBFInpainting::setEstimator(Config::Estimator estimator) {
    m_engine->setEstimator(estimator);
}

void CRBFInpainting::reset() { m_engine->reset(); }

bool CRBFInpainting::approximate() { return m_engine->approximate(); }

void CRBFInpainting::fillValues(const cv::Mat& fillMask, cv::Mat& out) {
    m_engine->fillValues(fillMask, out);
}

bool CRBFInpainting::fillRowRange(int firstRow, cv::Mat& out) {
    return m_engine->fillRowRange(firstRow, out);
}

void CRBFInpainting::fillValuesAVX(const cv::Mat& fillMask, cv::Mat& out) {
    m_engine->fillValuesAVX(fillMask, out);
}

void CRBFInpainting::maskedGaussian(const cv::Mat& src, cv::Mat& dst, cv::Mat weights) {
    m_engine->maskedGaussian(src, dst, std::move(weights));
}

const CRBFInpainting::Config& CRBFInpainting::getConfig() const { return m_engine->getConfig(); }

const CRBFInpainting::FitDiagnostics& CRBFInpainting::getFitDiagnostics() const {
    return m_engine->getFitDiagnostics();
}

}  // namespace DataLayer