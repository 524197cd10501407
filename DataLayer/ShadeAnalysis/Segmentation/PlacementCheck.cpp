// The recovery's check of a placement against the image: every position must
// look like a patch on card ground, and the ground's lightness must follow one
// smooth surface.
#include <algorithm>
#include <cmath>
#include <vector>

#include "DataLayer/ShadeAnalysis/Segmentation/LayoutPlacement.h"

namespace DataLayer {
namespace chartsearch {

namespace {

// Checks of a placement against the image, in 8-bit Lab units (L* x 2.55,
// a* and b* + 128): a patch differs from its ground by at least
// kPatchContrast and is nearly uniform; every ground sample lies within
// kGroundChroma of the card's median ground colour and within
// kGroundLightnessResidual of a smooth (quadratic) lightness surface fitted
// robustly to all ground samples. The illumination of a card, vignetting and a
// lamp included, is smooth; a darker scene beside the card, at least about 28
// units below the card white under the same light, is not.
constexpr double kPatchContrast = 15.0;
constexpr double kPatchLightnessSpread = 20.0;
constexpr double kGroundLightnessResidual = 16.0;
constexpr double kGroundChroma = 16.0;
// The robust fit: rounds, and the residual (in robust standard deviations, at
// least kMinInlierBand) that keeps a sample in the next round.
constexpr int kSurfaceRounds = 3;
constexpr double kInlierSigmas = 3.0;
constexpr double kMinInlierBand = 6.0;
// Pixels kept between a ground disc and the card's edge (blur, sub-pixel position).
constexpr double kEdgeClearance = 3.0;

using Vec2 = std::array<double, 2>;

// Mean Lab (and the lightness spread) of a disc; false when it leaves the image.
struct DiscStats {
    double lab[3] = {0.0, 0.0, 0.0};
    double lightnessSpread = 0.0;
};

bool discStats(const cv::Mat& lab, const Vec2& centre, int radius, DiscStats& stats) {
    const int cx = static_cast<int>(std::lround(centre[0]));
    const int cy = static_cast<int>(std::lround(centre[1]));
    if (cx - radius < 0 || cy - radius < 0 || cx + radius >= lab.cols || cy + radius >= lab.rows) {
        return false;
    }
    double sum[3] = {0.0, 0.0, 0.0};
    double sumL2 = 0.0;
    int n = 0;
    for (int dy = -radius; dy <= radius; ++dy) {
        const cv::Vec3b* row = lab.ptr<cv::Vec3b>(cy + dy);
        for (int dx = -radius; dx <= radius; ++dx) {
            if (dx * dx + dy * dy > radius * radius) continue;
            const cv::Vec3b& p = row[cx + dx];
            for (int k = 0; k < 3; ++k) sum[k] += p[k];
            sumL2 += static_cast<double>(p[0]) * p[0];
            ++n;
        }
    }
    for (int k = 0; k < 3; ++k) stats.lab[k] = sum[k] / n;
    stats.lightnessSpread = std::sqrt(std::max(0.0, sumL2 / n - stats.lab[0] * stats.lab[0]));
    return true;
}

double median(std::vector<double> values) {
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

// Whether the lightness of the ground samples follows a smooth surface: a
// quadratic in the image coordinates, fitted by least squares to the samples
// within kInlierSigmas robust deviations of the previous round's fit.
bool groundLightnessIsSmooth(const std::vector<std::array<double, 2>>& positions,
                             const Vec2 (&offsets)[8],
                             const std::vector<std::array<DiscStats, 8>>& grounds) {
    const int n = static_cast<int>(positions.size()) * 8;
    double cx = 0.0;
    double cy = 0.0;
    for (const auto& p : positions) {
        cx += p[0] / static_cast<double>(positions.size());
        cy += p[1] / static_cast<double>(positions.size());
    }
    double extent = 1.0;
    for (const auto& p : positions) {
        extent = std::max({extent, std::fabs(p[0] - cx), std::fabs(p[1] - cy)});
    }
    cv::Mat design(n, 6, CV_64F);
    cv::Mat lightness(n, 1, CV_64F);
    for (int k = 0; k < static_cast<int>(positions.size()); ++k) {
        for (int m = 0; m < 8; ++m) {
            const int row = 8 * k + m;
            const double x = (positions[k][0] + offsets[m][0] - cx) / extent;
            const double y = (positions[k][1] + offsets[m][1] - cy) / extent;
            const double terms[6] = {1.0, x, y, x * x, x * y, y * y};
            std::copy(std::begin(terms), std::end(terms), design.ptr<double>(row));
            lightness.at<double>(row) = grounds[k][m].lab[0];
        }
    }
    std::vector<bool> inlier(static_cast<std::size_t>(n), true);
    cv::Mat residual;
    for (int round = 0; round < kSurfaceRounds; ++round) {
        cv::Mat a;
        cv::Mat b;
        for (int row = 0; row < n; ++row) {
            if (!inlier[static_cast<std::size_t>(row)]) continue;
            a.push_back(design.row(row));
            b.push_back(lightness.row(row));
        }
        cv::Mat coefficients;
        if (a.rows < 12 || !cv::solve(a, b, coefficients, cv::DECOMP_SVD)) return false;
        residual = lightness - design * coefficients;
        std::vector<double> deviations;
        for (int row = 0; row < n; ++row) deviations.push_back(std::fabs(residual.at<double>(row)));
        const double band = std::max(kMinInlierBand, kInlierSigmas * 1.4826 * median(deviations));
        for (int row = 0; row < n; ++row) {
            inlier[static_cast<std::size_t>(row)] = std::fabs(residual.at<double>(row)) <= band;
        }
    }
    for (int row = 0; row < n; ++row) {
        if (std::fabs(residual.at<double>(row)) > kGroundLightnessResidual) return false;
    }
    return true;
}

}  // namespace

bool chartLooksRight(const std::vector<std::array<double, 2>>& positions,
                     const double stepAlongRow[2], const double stepDownColumn[2],
                     const cv::Mat& labImage, float sideLength) {
    if (positions.empty() || labImage.type() != CV_8UC3) return false;
    const Vec2 u{stepAlongRow[0], stepAlongRow[1]};
    const Vec2 v{stepDownColumn[0], stepDownColumn[1]};
    const double pitch = 0.5 * (std::hypot(u[0], u[1]) + std::hypot(v[0], v[1]));
    const int patchRadius = std::max(2, static_cast<int>(std::lround(0.25 * sideLength)));
    // Ground samples lie between a patch and its eight neighbours, at a
    // fraction f of a step from the patch centre: halfway to the neighbour on
    // charts with narrow gaps, a quarter side beyond the patch edge on charts
    // with wide ones, so that the outer samples stay on a card margin of half
    // a patch side. Their discs keep clear of the patch edges, the card edge
    // and a blurred edge between them.
    const double f = std::min(0.5, 0.75 * sideLength / pitch);
    const double reach = f * pitch;
    const double room =
        std::min({0.2 * (pitch - sideLength), reach - 0.5 * sideLength - kEdgeClearance,
                  sideLength - reach - kEdgeClearance});
    const int groundRadius = std::clamp(static_cast<int>(std::floor(room)), 1, patchRadius);
    const Vec2 offsets[8] = {{f * u[0], f * u[1]},
                             {-f * u[0], -f * u[1]},
                             {f * v[0], f * v[1]},
                             {-f * v[0], -f * v[1]},
                             {f * (u[0] + v[0]), f * (u[1] + v[1])},
                             {-f * (u[0] + v[0]), -f * (u[1] + v[1])},
                             {f * (u[0] - v[0]), f * (u[1] - v[1])},
                             {-f * (u[0] - v[0]), -f * (u[1] - v[1])}};
    std::vector<DiscStats> patches(positions.size());
    std::vector<std::array<DiscStats, 8>> grounds(positions.size());
    std::vector<double> groundA;
    std::vector<double> groundB;
    for (std::size_t k = 0; k < positions.size(); ++k) {
        if (!discStats(labImage, positions[k], patchRadius, patches[k])) return false;
        for (int m = 0; m < 8; ++m) {
            const Vec2 q{positions[k][0] + offsets[m][0], positions[k][1] + offsets[m][1]};
            if (!discStats(labImage, q, groundRadius, grounds[k][m])) return false;
            groundA.push_back(grounds[k][m].lab[1]);
            groundB.push_back(grounds[k][m].lab[2]);
        }
    }
    const double cardA = median(groundA);
    const double cardB = median(groundB);
    for (std::size_t k = 0; k < positions.size(); ++k) {
        double mean[3] = {0.0, 0.0, 0.0};
        for (const DiscStats& g : grounds[k]) {
            for (int c = 0; c < 3; ++c) mean[c] += g.lab[c] / 8.0;
            if (std::hypot(g.lab[1] - cardA, g.lab[2] - cardB) > kGroundChroma) return false;
        }
        const DiscStats& p = patches[k];
        const double contrast = std::sqrt((p.lab[0] - mean[0]) * (p.lab[0] - mean[0]) +
                                          (p.lab[1] - mean[1]) * (p.lab[1] - mean[1]) +
                                          (p.lab[2] - mean[2]) * (p.lab[2] - mean[2]));
        if (contrast < kPatchContrast || p.lightnessSpread > kPatchLightnessSpread) return false;
    }
    return groundLightnessIsSmooth(positions, offsets, grounds);
}

}  // namespace chartsearch
}  // namespace DataLayer
