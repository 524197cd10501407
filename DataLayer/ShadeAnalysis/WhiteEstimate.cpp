#include "DataLayer/ShadeAnalysis/WhiteEstimate.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <opencv2/imgproc.hpp>

namespace DataLayer {

namespace {

// The white image's final smoothing: a 19 x 19 Gaussian (sigma 9, borders
// reflected without repeating the edge pixel) of the whole image.
// cv::GaussianBlur runs on one thread, and on a camera-sized image it is a
// large share of the calibration, so the rows are cut into strips blurred in
// parallel. Each strip is a view of the whole source: OpenCV reads the real
// neighbouring rows across a cut and applies the border rule only at the
// image's own edges, so the result equals one call on the whole image.
void blurWhiteImage(cv::Mat& image) {
    cv::Mat blurred(image.size(), image.type());
    const int rows = image.rows;
    const int strips =
        std::max(1, std::min(rows / 64, 2 * tbb::this_task_arena::max_concurrency()));
    tbb::parallel_for(0, strips, [&](int s) {
        const int first = static_cast<int>(static_cast<std::int64_t>(rows) * s / strips);
        const int last = static_cast<int>(static_cast<std::int64_t>(rows) * (s + 1) / strips);
        cv::Mat dst = blurred.rowRange(first, last);
        cv::GaussianBlur(image.rowRange(first, last), dst, cv::Size(19, 19), 9.0, 0.0,
                         cv::BORDER_REFLECT_101);
    });
    image = blurred;
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

    auto attempt = [&](CRBFInpainting& object, int dilations) {
        cv::Mat support;
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
    cv::Mat result;
    if (estimator == Estimator::eSurround) {
        if (!attempt(inpainting, 2) || !fill(inpainting, result)) return false;
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
        } else {
            inpainting.setEstimator(Estimator::eRidge);
            if (!(attempt(inpainting, 1) || attempt(inpainting, 2)) || !fill(inpainting, result)) {
                return false;
            }
        }
    }
    blurWhiteImage(result);
    white = result;
    return true;
}

}  // namespace DataLayer
