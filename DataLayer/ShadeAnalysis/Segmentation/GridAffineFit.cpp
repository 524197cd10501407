#include "DataLayer/ShadeAnalysis/Segmentation/GridAffineFit.h"

#include <cmath>
#include <cstdint>

#include "DataLayer/ShadeAnalysis/Numerics/LeastSquares.h"

namespace DataLayer {
namespace chartsearch {

namespace {

// Whether the grid coordinates determine an affine map: the design matrix of
// the coordinates centred on their mean and scaled to unit root-mean-square
// spread, [gx gy 1], has its smallest singular value above `minSingularRatio`
// times its largest. Centred and scaled, the ratio says how far the points
// are from lying on one line whatever their offset and unit (grid indices or
// pixels far from the origin).
bool determinesMap(const std::vector<GridCorrespondence>& pairs, double minSingularRatio) {
    const double n = static_cast<double>(pairs.size());
    double mean[2] = {0.0, 0.0};
    for (const GridCorrespondence& p : pairs) {
        mean[0] += p.grid[0] / n;
        mean[1] += p.grid[1] / n;
    }
    double spread = 0.0;
    for (const GridCorrespondence& p : pairs) {
        spread += ((p.grid[0] - mean[0]) * (p.grid[0] - mean[0]) +
                   (p.grid[1] - mean[1]) * (p.grid[1] - mean[1])) /
                  n;
    }
    const double scale = std::sqrt(spread);
    if (!(scale > 0.0) || !std::isfinite(scale)) {
        return false;
    }
    cv::Mat design(static_cast<int>(pairs.size()), 3, CV_64F);
    for (int k = 0; k < design.rows; ++k) {
        double* row = design.ptr<double>(k);
        row[0] = (pairs[static_cast<std::size_t>(k)].grid[0] - mean[0]) / scale;
        row[1] = (pairs[static_cast<std::size_t>(k)].grid[1] - mean[1]) / scale;
        row[2] = 1.0;
    }
    cv::Mat singular;
    cv::SVD::compute(design, singular, cv::SVD::NO_UV);
    return singular.at<double>(2) > minSingularRatio * singular.at<double>(0);
}

}  // namespace

bool fitGridAffine(const std::vector<GridCorrespondence>& pairs, double minSingularRatio,
                   cv::Matx23d& map) {
    const std::size_t n = pairs.size();
    if (n < 3) {
        return false;
    }
    // The design matrix is the same for both pixel axes: one normal matrix,
    // one factor, two right-hand sides.
    cv::Mat design(static_cast<int>(n), 3, CV_64F);
    std::vector<double> targetX(n);
    std::vector<double> targetY(n);
    for (std::size_t k = 0; k < n; ++k) {
        double* row = design.ptr<double>(static_cast<int>(k));
        row[0] = pairs[k].grid[0];
        row[1] = pairs[k].grid[1];
        row[2] = 1.0;
        targetX[k] = pairs[k].pixel[0];
        targetY[k] = pairs[k].pixel[1];
    }
    if (!determinesMap(pairs, minSingularRatio)) {
        return false;
    }
    double normal[6];
    double unused[6];
    double x[3];
    double y[3];
    double scratch[3];
    const auto rows = static_cast<std::int64_t>(n);
    computeNormalEquations(design.ptr<double>(), targetX.data(), normal, x, rows, 3, eRowMajor);
    computeNormalEquations(design.ptr<double>(), targetY.data(), unused, y, rows, 3, eRowMajor);
    if (!decomposeLDLT(normal, 3, scratch)) {
        return false;
    }
    solveLDLT(normal, x, 3, scratch);
    solveLDLT(normal, y, 3, scratch);
    const cv::Matx23d fitted(x[0], x[1], x[2], y[0], y[1], y[2]);
    for (int k = 0; k < 6; ++k) {
        if (!std::isfinite(fitted.val[k])) {
            return false;
        }
    }
    map = fitted;
    return true;
}

}  // namespace chartsearch
}  // namespace DataLayer
