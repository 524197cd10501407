#pragma once

#include <opencv2/core.hpp>

#include "Base/IImageData2D.h"
#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"

namespace DataLayer {

/// The white image of a photo from its usable white ground: the calibration
/// engine's white step, also called directly by the benchmarks.
///
/// `photo` is CV_32FC3 (0..255). `excluded` (CV_8UC1, the photo's size) is
/// non-zero on every pixel that is not white ground: what the host excludes
/// and the chart's patches. `patchArea` (CV_8UC1, the photo's size, non-zero
/// on the patches; may be empty) is the area over which the estimate must hold.
///
/// With `Estimator::eAuto` (the engine's choice) the excluded pixels are
/// dilated twice with an 11 x 11 kernel and `CRBFInpainting` judges its
/// surround fit over `patchArea`. Where the surround fit is kept, the result is
/// exactly the white of the two-dilation surround fit, unless that fit swings
/// across the patches beyond the range it takes on its own ground (by more
/// than a quarter of that range plus 2 % of its top, in any channel): such an
/// interpolant is not the white there, and the ridge fit replaces it.
/// Otherwise the ridge fit runs on the support of one dilation (two if one
/// gives no fit), which keeps the ground between the patches that a second
/// dilation swallows: the samples there pin the field inside the patch area,
/// where the band around the patches alone leaves it loose under uneven light.
/// `Estimator::eSurround` is the surround fit on two dilations everywhere;
/// `Estimator::eRidge` the ridge fit on one. The inpainted image is blurred
/// (19 x 19 Gaussian, sigma 9, reflected borders) into `white`.
///
/// Returns false, leaving `white` untouched, when no fit can be made;
/// `diagnostics` then describes the last attempt. `patchDilations` receives
/// the number of dilations used.
bool estimateWhiteImage(const cv::Mat& photo, const cv::Mat& excluded, const cv::Mat& patchArea,
                        CRBFInpainting::Config::Estimator estimator, cv::Mat& white,
                        CRBFInpainting::FitDiagnostics& diagnostics, int& patchDilations);

/// The patches of a chart excluded from the white ground: every pixel of
/// `region` whose label is a patch (`labels`, CV_32SC1 of the region's size,
/// > 1 on patches) becomes non-zero in `excluded` (CV_8UC1; `region` lies
/// inside it). Returns the patches as a mask of `excluded`'s size (CV_8UC1,
/// non-zero on the patches): the area the white must hold over.
cv::Mat excludeChartPatches(cv::Mat& excluded, const cv::Rect& region, const cv::Mat& labels);

/// The calibration engine's white field: the white image of `fullImage`
/// (CV_32FC3) estimated with `Estimator::eAuto` from its white ground, for a
/// chart whose `labels` (CV_32SC1, > 1 on patches) cover `region` of the full
/// image (`region` lies inside it and has the labels' size).
///
/// White ground is every pixel the host's support image `host` leaves usable
/// (a zero byte), except the patch pixels inside `region`. Without a host
/// image no pixel is white ground, so no fit can be made. The host image is indexed with its own
/// width, so it may be larger than the full image (its top-left part is used)
/// but not smaller. A host image that does not fit throws what a pixel walk,
/// column after column, would meet first: `std::out_of_range` for a size that
/// is not positive or too small, `std::invalid_argument` for another pixel
/// size than one byte.
///
/// Returns false, leaving `white` untouched, when the host image has no pixel
/// data (`diagnostics` untouched too) or no fit can be made.
///
/// `estimator` is the engine's choice (`eAuto`, as `estimateWhiteImage`
/// describes it) unless its host asks for another.
bool estimateChartWhite(
    const cv::Mat& fullImage, const cv::Rect& region, const cv::Mat& labels,
    const Base::IImageData2D* host, cv::Mat& white, CRBFInpainting::FitDiagnostics& diagnostics,
    CRBFInpainting::Config::Estimator estimator = CRBFInpainting::Config::Estimator::eAuto);

}  // namespace DataLayer
