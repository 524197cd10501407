#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace DataLayer {

/// Least-squares 3 x 4 affine fit of `reference` (3n floats, (B, G, R) each)
/// on `measured` (n x 1 CV_32FC3, n >= 1) into a 12 x 1 CV_32F `coefficients`
/// (row-major M) by SVD; a wrong type or fewer than 3n reference floats throws
/// `cv::Exception`.
void fitColorCorrection(const cv::Mat& measured, const std::vector<float>& reference,
                        cv::Mat& coefficients);

/// True when `measured` (CV_32FC3, one colour per row) matches `reference`
/// better in reverse order: summed squared Lab distances of the first 20 rows.
/// False, without reading either list, when `measured` is not CV_32FC3, has
/// fewer than 20 rows, or `reference` holds fewer than its rows x cols x 3 floats.
bool matchesInReverse(const cv::Mat& measured, const std::vector<float>& reference);

/// sqrt(sum_p |M (c_p, 1) - r_p|^2 / sum_p |r_p - mean r|^2) over the 20
/// reference positions p, with M the 12 `coefficients` (CV_32F), c_p row p of
/// `measured` (20 x 1 CV_32FC3) and r_p the reference colour p, in double
/// precision: infinite where the references do not spread, NaN where the
/// matrix or a colour is not a number.
double residualRatio(const cv::Mat& measured, const std::vector<float>& reference,
                     const cv::Mat& coefficients);

}  // namespace DataLayer
