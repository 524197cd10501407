#pragma once

#include <opencv2/core.hpp>

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
/// The excluded pixels are dilated with an 11 x 11 kernel twice, the RBF
/// inpainting (`CRBFInpainting`, default configuration apart from
/// `estimator`) fills them, and the result is blurred (19 x 19 Gaussian, sigma
/// 9, reflected borders) into `white`. A thin support, where the 12-px sample
/// grid finds fewer than `kThinSupportSamples` samples (or no fit can be made),
/// is built again with one dilation: on a card whose margin is half a patch
/// side the second dilation eats most of the ground. With
/// `Estimator::eSurround` (the fit on the 48-px centre grid everywhere) that
/// second attempt is not made.
///
/// Returns false, leaving `white` untouched, when no fit can be made;
/// `diagnostics` then describes the last attempt. `patchDilations` receives
/// the number of dilations used.
bool estimateWhiteImage(const cv::Mat& photo, const cv::Mat& excluded, const cv::Mat& patchArea,
                        CRBFInpainting::Config::Estimator estimator, cv::Mat& white,
                        CRBFInpainting::FitDiagnostics& diagnostics, int& patchDilations);

/// Fewer samples than this on the 12-px grid make a support thin.
constexpr int kThinSupportSamples = 30;

}  // namespace DataLayer
