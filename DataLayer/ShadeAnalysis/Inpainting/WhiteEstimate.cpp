#include "DataLayer/ShadeAnalysis/Inpainting/WhiteEstimate.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"

namespace DataLayer {

namespace {

// The white image's final smoothing: a 19 x 19 Gaussian (sigma 9, borders
// reflected without repeating the edge pixel) of the whole image.
// cv::GaussianBlur runs on one thread, and on a camera-sized image it is a
// large share of the calibration, so the rows are cut into strips blurred in
// parallel. Each strip is a view of the whole source: OpenCV reads the real
// neighbouring rows across a cut and applies the border rule only at the
// image's own edges, so the result equals one call on the whole image.
constexpr int kBlurRadius = 9;

/// Blurs the rows [first, first + dst.rows) of `source` into `dst`, where
/// `source` holds the image's rows from `sourceTop` on: exactly what one blur
/// of the whole image gives there, as long as `source` holds the 9 rows
/// beyond each end of the range that the image has. The rows are cut into
/// at most `maxStrips` strips of at least 64 rows, blurred in parallel.
void blurRows(const cv::Mat& source, int sourceTop, int first, cv::Mat& dst, int maxStrips) {
    const int rows = dst.rows;
    const int strips = std::max(1, std::min(rows / 64, maxStrips));
    tbb::parallel_for(0, strips, [&](int s) {
        const int a = static_cast<int>(static_cast<std::int64_t>(rows) * s / strips);
        const int b = static_cast<int>(static_cast<std::int64_t>(rows) * (s + 1) / strips);
        cv::Mat out = dst.rowRange(a, b);
        cv::GaussianBlur(source.rowRange(first - sourceTop + a, first - sourceTop + b), out,
                         cv::Size(2 * kBlurRadius + 1, 2 * kBlurRadius + 1), 9.0, 0.0,
                         cv::BORDER_REFLECT_101);
    });
}

void blurWhiteImage(cv::Mat& image) {
    cv::Mat blurred = newPhotoBuffer(image.size(), image.type());
    blurRows(image, 0, 0, blurred, 2 * tbb::this_task_arena::max_concurrency());
    image = blurred;
}

/// The fitted object's fill (the field over the excluded pixels, the smoothed
/// photo elsewhere), blurred into a new `white` of `size`, a band of rows at
/// a time: each band of the fill lives in a buffer of a few megabytes with
/// the 9 rows beyond each end that its blur reads, and the rows two bands
/// share are moved, not filled again. The result equals the fill of the whole
/// image blurred at once, value for value, without the fill's own image.
bool blurredFill(CRBFInpainting& object, const cv::Size& size, cv::Mat& white) {
    const int rows = size.height;
    const int cols = size.width;
    if (rows <= 0 || cols <= 0) return false;
    const std::size_t rowBytes = static_cast<std::size_t>(cols) * 3 * sizeof(float);
    // Bands of 128 rows per thread: the blur of each band runs in one strip
    // per thread, and each strip filters 18 rows beyond its own.
    const int threads = std::max(1, tbb::this_task_arena::max_concurrency());
    const int band = std::max(256, 128 * threads);
    cv::Mat buffer =
        newPhotoBuffer(cv::Size(cols, std::min(rows, band + 2 * kBlurRadius)), CV_32FC3);
    cv::Mat result = newPhotoBuffer(size, CV_32FC3);
    int top = 0;     // the image row that buffer row 0 holds
    int filled = 0;  // buffer rows that hold the fill
    for (int y0 = 0; y0 < rows; y0 += band) {
        const int y1 = std::min(rows, y0 + band);
        const int from = std::max(0, y0 - kBlurRadius);
        const int to = std::min(rows, y1 + kBlurRadius);
        // Rows [from, top + filled) are in the buffer already: move them up.
        const int kept = std::max(0, top + filled - from);
        if (kept > 0 && from > top) {
            std::memmove(buffer.ptr(0), buffer.ptr(from - top),
                         rowBytes * static_cast<std::size_t>(kept));
        }
        top = from;
        if (to > top + kept) {
            cv::Mat fresh = buffer.rowRange(kept, to - top);
            if (!object.fillRowRange(top + kept, fresh)) return false;
        }
        filled = to - top;
        // A header over the filled rows only, so that the blur treats the
        // buffer's end as the image's end where it is one.
        const cv::Mat source(filled, cols, CV_32FC3, buffer.data, buffer.step);
        cv::Mat dst = result.rowRange(y0, y1);
        blurRows(source, top, y0, dst, threads);
    }
    white = result;
    return true;
}

std::string pixelIndexMessage(int x, int y, int width, int height) {
    char buffer[128];
    std::snprintf(buffer, sizeof(buffer), "pixel index (%i, %i) outside (%i, %i)", x, y, width,
                  height);
    return buffer;
}

// The host's support image as a mask of the full image's size: a non-zero
// byte excludes the pixel from the white support. The checks throw what a
// pixel-by-pixel walk, column after column, would meet first.
cv::Mat hostSupportMask(const Base::IImageData2D& host, int rows, int cols) {
    const int width = host.GetWidth();
    const int height = host.GetHeight();
    if (width <= 0 || height <= 0) {
        throw std::out_of_range(pixelIndexMessage(0, 0, width, height));
    }
    if (host.GetBytesPerPixel() != 1) {
        throw std::invalid_argument("invalid template parameter");
    }
    if (height < rows) {
        throw std::out_of_range(pixelIndexMessage(0, height, width, height));
    }
    if (width < cols) {
        throw std::out_of_range(pixelIndexMessage(width, 0, width, height));
    }
    const unsigned char* data = host.GetData();
    if (data == nullptr) {
        return cv::Mat();
    }
    const cv::Mat view(rows, cols, CV_8UC1, const_cast<unsigned char*>(data),
                       static_cast<std::size_t>(width));
    return clonePhotoBuffer(view);
}

/// Whether the field `white` (CV_32FC3), over the patches (`patchArea`
/// non-zero), leaves the range it takes on its support (`support` zero; the
/// 2nd to 98th percentile, as the support's edge holds stray values) by more
/// than a quarter of that range plus 2 % of its top, in any channel. A white
/// interpolated across the patches stays close to the range of the ground
/// around and between them; an interpolant that swings far beyond it is not
/// the white there.
bool overshootsOverPatches(const cv::Mat& white, const cv::Mat& support, const cv::Mat& patchArea) {
    if (patchArea.empty() || support.size() != white.size() || patchArea.size() != white.size()) {
        return false;
    }
    std::array<std::vector<float>, 3> ground;
    cv::Vec3f fieldLo(1e30f, 1e30f, 1e30f);
    cv::Vec3f fieldHi(-1e30f, -1e30f, -1e30f);
    bool anyPatch = false;
    for (int y = 0; y < white.rows; ++y) {
        const auto* w = white.ptr<cv::Vec3f>(y);
        const uchar* free = support.ptr<uchar>(y);
        const uchar* patch = patchArea.ptr<uchar>(y);
        for (int x = 0; x < white.cols; ++x) {
            if (free[x] == 0) {
                for (int c = 0; c < 3; ++c) ground[static_cast<std::size_t>(c)].push_back(w[x][c]);
            }
            if (patch[x] != 0) {
                anyPatch = true;
                for (int c = 0; c < 3; ++c) {
                    fieldLo[c] = std::min(fieldLo[c], w[x][c]);
                    fieldHi[c] = std::max(fieldHi[c], w[x][c]);
                }
            }
        }
    }
    if (!anyPatch || ground[0].size() < 100) return false;
    for (std::size_t c = 0; c < 3; ++c) {
        std::vector<float>& values = ground[c];
        const auto at = [&](double share) {
            const std::size_t k =
                static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
            std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k),
                             values.end());
            return static_cast<double>(values[k]);
        };
        const double lo = at(0.02);
        const double hi = at(0.98);
        const double tolerance = 0.25 * (hi - lo) + 0.02 * std::fabs(hi);
        if (!(fieldLo[static_cast<int>(c)] >= lo - tolerance &&
              fieldHi[static_cast<int>(c)] <= hi + tolerance)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool estimateWhiteImage(const cv::Mat& photo, const cv::Mat& excluded, const cv::Mat& patchArea,
                        CRBFInpainting::Config::Estimator estimator, cv::Mat& white,
                        CRBFInpainting::FitDiagnostics& diagnostics, int& patchDilations) {
    using Estimator = CRBFInpainting::Config::Estimator;
    CRBFInpainting::Config config;
    // The automatic choice first only judges the surround fit; the ridge fit
    // follows on its own support.
    config.estimator =
        estimator == Estimator::eAuto ? Estimator::eSurroundWhereSurrounded : estimator;
    CRBFInpainting inpainting{config};
    inpainting.setInputImage(photo);
    if (estimator == Estimator::eAuto) inpainting.setFillArea(patchArea);

    cv::Mat support = newPhotoBuffer(excluded.size(), CV_8UC1);
    auto attempt = [&](CRBFInpainting& object, int dilations) {
        cv::dilate(excluded, support, cv::Mat::ones(11, 11, CV_8U), cv::Point(-1, -1), dilations,
                   cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
        object.setInputSupportMask(support);
        const bool ok = object.approximate();
        diagnostics = object.getFitDiagnostics();
        patchDilations = dilations;
        return ok;
    };
    auto fill = [&](CRBFInpainting& object, cv::Mat& result) {
        object.fillValues(cv::Mat(), result);
        return result.size() == photo.size() && result.type() == CV_32FC3;
    };
    // `result` holds the whole fill only where the surround fit is judged on
    // it; every other fit is blurred from the fill band by band.
    cv::Mat result;
    CRBFInpainting* banded = nullptr;
    std::unique_ptr<CRBFInpainting> ridgeObject;
    if (estimator == Estimator::eSurround) {
        if (!attempt(inpainting, 2)) return false;
        banded = &inpainting;
    } else {
        // The surround fit is judged on the support of two dilations, as it
        // has always been fitted. Where it is not kept, the ridge fit gets the
        // support of one dilation: the second one swallows the ground between
        // the patches, and the samples there pin the field inside the patch
        // area, where a fit from the band around it alone can be off by
        // several per cent under a lamp close to the card.
        const bool surroundKept =
            estimator == Estimator::eAuto && attempt(inpainting, 2) &&
            std::string(diagnostics.method) == CRBFInpainting::kSurroundMethod;
        if (surroundKept) {
            if (!fill(inpainting, result)) return false;
        }
        if (surroundKept && overshootsOverPatches(result, support, patchArea)) {
            // The surround fit swings far beyond what its own ground shows
            // across the patches: it is not the white there. The ridge fit
            // replaces it.
            config.estimator = Estimator::eRidge;
            ridgeObject = std::make_unique<CRBFInpainting>(config);
            ridgeObject->setInputImage(photo);
            ridgeObject->setFillArea(patchArea);
            if (!(attempt(*ridgeObject, 1) || attempt(*ridgeObject, 2))) return false;
            banded = ridgeObject.get();
        } else if (!surroundKept) {
            inpainting.setEstimator(Estimator::eRidge);
            if (!(attempt(inpainting, 1) || attempt(inpainting, 2))) return false;
            banded = &inpainting;
        }
    }
    if (banded != nullptr) return blurredFill(*banded, photo.size(), white);
    blurWhiteImage(result);
    white = result;
    return true;
}

cv::Mat excludeChartPatches(cv::Mat& excluded, const cv::Rect& region, const cv::Mat& labels) {
    const cv::Mat patches = labels > 1.0;
    // Inside the region, patch pixels are excluded wherever the support left
    // the pixel usable. The patches also name the area the white must hold over.
    cv::Mat inRegion = excluded(region);
    patches.copyTo(inRegion, inRegion == 0);
    cv::Mat patchArea = newPhotoBuffer(excluded.size(), CV_8UC1);
    patchArea.setTo(0);
    patches.copyTo(patchArea(region));
    return patchArea;
}

bool estimateChartWhite(const cv::Mat& fullImage, const cv::Rect& region, const cv::Mat& labels,
                        const Base::IImageData2D* host, cv::Mat& white,
                        CRBFInpainting::FitDiagnostics& diagnostics,
                        CRBFInpainting::Config::Estimator estimator) {
    cv::Mat support;
    if (host != nullptr) {
        support = hostSupportMask(*host, fullImage.rows, fullImage.cols);
        if (support.empty()) {
            // A host image without pixels offers no usable white ground.
            return false;
        }
    } else {
        support = newPhotoBuffer(fullImage.size(), CV_8UC1);
        support.setTo(255);
    }
    const cv::Mat patchArea = excludeChartPatches(support, region, labels);
    int dilations = 0;
    return estimateWhiteImage(fullImage, support, patchArea, estimator, white, diagnostics,
                              dilations);
}

}  // namespace DataLayer
