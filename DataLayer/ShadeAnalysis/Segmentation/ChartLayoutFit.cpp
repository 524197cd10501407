#include "DataLayer/ShadeAnalysis/Segmentation/ChartLayoutFit.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace DataLayer {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Fewest seeds a grid placement must hold.
constexpr int kMinSeeds = 4;
// A seed pair votes for an angle when its distance is within this fraction of
// a lattice offset's length.
constexpr double kLengthTolerance = 0.07;
// Grids are searched within this angle of the image axes (degrees; as far as
// the regular search orders a grid into rows and columns); votes
// within the window below of each other count as one angle.
constexpr double kMaxAngleDeg = 25.8;
constexpr double kAngleWindowDeg = 1.5;
// A seed lies on the grid when it is within this fraction of a step of a node.
constexpr double kNodeTolerance = 0.2;
constexpr double kResidualTolerance = 0.25;
// Fitted steps must stay within this fraction of the nominal pitch and nearly
// perpendicular (|cos| below the bound).
constexpr double kStepLengthTolerance = 0.15;
constexpr double kMaxStepCosine = 0.17;
// Placements holding at least (best count - kPlacementSlack) seeds are checked.
constexpr int kPlacementSlack = 2;
// How many distinct voted angles are tried.
constexpr int kAnglesTried = 2;

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

// Lattice offsets (a, b) up to a quarter turn, whose lengths a seed pair's
// distance is compared with.
constexpr int kOffsets[][2] = {{1, 0}, {1, 1}, {2, 0}, {2, 1}, {1, 2},
                               {2, 2}, {3, 0}, {3, 1}, {1, 3}};

using Vec2 = std::array<double, 2>;

// Angle folded into (-45, 45] degrees: grids repeat every quarter turn.
double foldQuarterTurn(double degrees) {
    double a = std::fmod(degrees, 90.0);
    if (a > 45.0) a -= 90.0;
    if (a <= -45.0) a += 90.0;
    return a;
}

// Angles (degrees) voted by the seed pairs, the strongest first, at most `count`.
std::vector<double> votedAngles(const std::vector<std::array<int, 2>>& seeds, double pitch,
                                int count) {
    std::vector<std::pair<double, double>> votes;  // angle, weight
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        for (std::size_t j = i + 1; j < seeds.size(); ++j) {
            const double dx = static_cast<double>(seeds[j][0]) - seeds[i][0];
            const double dy = static_cast<double>(seeds[j][1]) - seeds[i][1];
            const double length = std::hypot(dx, dy);
            for (const auto& o : kOffsets) {
                const double n2 = o[0] * o[0] + o[1] * o[1];
                const double expected = pitch * std::sqrt(n2);
                if (std::fabs(length - expected) >= kLengthTolerance * expected) continue;
                const double angle = foldQuarterTurn(
                    (std::atan2(dy, dx) - std::atan2(static_cast<double>(o[1]), o[0])) * 180.0 /
                    kPi);
                if (std::fabs(angle) <= kMaxAngleDeg) votes.emplace_back(angle, 1.0 / n2);
            }
        }
    }
    std::sort(votes.begin(), votes.end());
    // The strongest angle is the window of kAngleWindowDeg either side of a
    // vote that holds the most weight (two pointers over the sorted votes);
    // its votes are then removed and the next strongest is sought.
    std::vector<double> angles;
    while (static_cast<int>(angles.size()) < count && !votes.empty()) {
        double bestWeight = 0.0;
        std::size_t bestLo = 0;
        std::size_t bestHi = 0;
        std::size_t lo = 0;
        std::size_t hi = 0;
        double weight = 0.0;
        for (std::size_t k = 0; k < votes.size(); ++k) {
            while (hi < votes.size() && votes[hi].first <= votes[k].first + kAngleWindowDeg) {
                weight += votes[hi++].second;
            }
            while (votes[lo].first < votes[k].first - kAngleWindowDeg) {
                weight -= votes[lo++].second;
            }
            if (weight > bestWeight) {
                bestWeight = weight;
                bestLo = lo;
                bestHi = hi;
            }
        }
        double sum = 0.0;
        double weights = 0.0;
        for (std::size_t m = bestLo; m < bestHi; ++m) {
            sum += votes[m].first * votes[m].second;
            weights += votes[m].second;
        }
        angles.push_back(sum / weights);
        votes.erase(votes.begin() + static_cast<std::ptrdiff_t>(bestLo),
                    votes.begin() + static_cast<std::ptrdiff_t>(bestHi));
    }
    return angles;
}

// Distance between two phases (fractions of a step in [-0.5, 0.5)) on the torus.
double phaseDistance(const Vec2& p, const Vec2& q) {
    double d = 0.0;
    for (int k = 0; k < 2; ++k) {
        const double a = std::fabs(p[k] - q[k]);
        d = std::max(d, std::min(a, 1.0 - a));
    }
    return d;
}

// The affine map of grid indices (i along rows, j down columns) to pixels.
struct GridMap {
    Vec2 origin{};
    Vec2 u{};  // one step along a row
    Vec2 v{};  // one step down a column

    Vec2 at(double i, double j) const {
        return {origin[0] + i * u[0] + j * v[0], origin[1] + i * u[1] + j * v[1]};
    }
    // Grid coordinates of a pixel; false when the steps are degenerate.
    bool coordinates(const std::array<int, 2>& p, Vec2& ij) const {
        const double det = u[0] * v[1] - u[1] * v[0];
        if (!(std::fabs(det) > 1e-9)) return false;
        const double dx = p[0] - origin[0];
        const double dy = p[1] - origin[1];
        ij = {(dx * v[1] - dy * v[0]) / det, (u[0] * dy - u[1] * dx) / det};
        return true;
    }
};

struct IndexedSeed {
    int i = 0;
    int j = 0;
    std::array<int, 2> p{};
};

// Seeds within kResidualTolerance of a node of `map`, with their indices.
std::vector<IndexedSeed> seedsOnGrid(const std::vector<std::array<int, 2>>& seeds,
                                     const GridMap& map, double pitch) {
    std::vector<IndexedSeed> on;
    for (const auto& s : seeds) {
        Vec2 ij{};
        if (!map.coordinates(s, ij)) return {};
        const double i = std::nearbyint(ij[0]);
        const double j = std::nearbyint(ij[1]);
        if (std::fabs(i) > 1e6 || std::fabs(j) > 1e6) continue;
        const Vec2 node = map.at(i, j);
        if (std::hypot(node[0] - s[0], node[1] - s[1]) < kResidualTolerance * pitch) {
            on.push_back({static_cast<int>(i), static_cast<int>(j), s});
        }
    }
    return on;
}

// Least-squares affine map through the indexed seeds; false when they do not
// determine it or it is far from a square grid of the nominal pitch.
bool fitAffine(const std::vector<IndexedSeed>& on, double pitch, GridMap& map) {
    if (on.size() < 3) return false;
    cv::Mat a(static_cast<int>(on.size()), 3, CV_64F);
    cv::Mat b(static_cast<int>(on.size()), 2, CV_64F);
    for (int k = 0; k < a.rows; ++k) {
        a.at<double>(k, 0) = 1.0;
        a.at<double>(k, 1) = on[k].i;
        a.at<double>(k, 2) = on[k].j;
        b.at<double>(k, 0) = on[k].p[0];
        b.at<double>(k, 1) = on[k].p[1];
    }
    const cv::SVD svd(a, cv::SVD::NO_UV);
    if (!(svd.w.at<double>(2) > 1e-3 * svd.w.at<double>(0))) return false;
    cv::Mat x;
    if (!cv::solve(a, b, x, cv::DECOMP_SVD)) return false;
    GridMap fitted;
    fitted.origin = {x.at<double>(0, 0), x.at<double>(0, 1)};
    fitted.u = {x.at<double>(1, 0), x.at<double>(1, 1)};
    fitted.v = {x.at<double>(2, 0), x.at<double>(2, 1)};
    const double lu = std::hypot(fitted.u[0], fitted.u[1]);
    const double lv = std::hypot(fitted.v[0], fitted.v[1]);
    if (std::fabs(lu - pitch) > kStepLengthTolerance * pitch ||
        std::fabs(lv - pitch) > kStepLengthTolerance * pitch) {
        return false;
    }
    if (std::fabs(fitted.u[0] * fitted.v[0] + fitted.u[1] * fitted.v[1]) >
        kMaxStepCosine * lu * lv) {
        return false;
    }
    map = fitted;
    return true;
}

// The grid of the voted angle through the phase most seeds share.
GridMap gridOfAngle(const std::vector<std::array<int, 2>>& seeds, double pitch, double degrees) {
    const double c = std::cos(degrees * kPi / 180.0);
    const double s = std::sin(degrees * kPi / 180.0);
    GridMap map;
    map.origin = {static_cast<double>(seeds[0][0]), static_cast<double>(seeds[0][1])};
    map.u = {pitch * c, pitch * s};
    map.v = {-pitch * s, pitch * c};
    std::vector<Vec2> phases;
    for (const auto& seed : seeds) {
        Vec2 ij{};
        map.coordinates(seed, ij);
        phases.push_back({ij[0] - std::nearbyint(ij[0]), ij[1] - std::nearbyint(ij[1])});
    }
    std::size_t best = 0;
    int bestCount = -1;
    for (std::size_t k = 0; k < phases.size(); ++k) {
        int count = 0;
        for (const Vec2& q : phases) count += phaseDistance(phases[k], q) < kNodeTolerance ? 1 : 0;
        if (count > bestCount) {
            bestCount = count;
            best = k;
        }
    }
    // Circular mean of the agreeing phases.
    double sums[2][2] = {{0.0, 0.0}, {0.0, 0.0}};
    for (const Vec2& q : phases) {
        if (phaseDistance(phases[best], q) >= kNodeTolerance) continue;
        for (int k = 0; k < 2; ++k) {
            sums[k][0] += std::cos(2.0 * kPi * q[k]);
            sums[k][1] += std::sin(2.0 * kPi * q[k]);
        }
    }
    const double phase0 = std::atan2(sums[0][1], sums[0][0]) / (2.0 * kPi);
    const double phase1 = std::atan2(sums[1][1], sums[1][0]) / (2.0 * kPi);
    map.origin = map.at(phase0, phase1);
    return map;
}

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
    return true;
}

bool fitChartLayout(const std::vector<std::array<int, 2>>& seeds, const cv::Mat& labImage,
                    const Base::IParameterSetColorCalibrationTarget& parameters,
                    ChartLayout& layout, std::string& reason) {
    const int rows = parameters.GetGridRows();
    const int cols = parameters.GetGridColumns();
    const double pitch = parameters.GetGridLength();
    const float side = parameters.GetSegmentSideLength();
    if (rows <= 0 || cols <= 0 || rows * cols != parameters.GetNumberOfClusters() ||
        !(pitch > 2.0) || !(side > 0.0f) || !std::isfinite(pitch)) {
        reason = "the chart's layout is unknown";
        return false;
    }
    if (static_cast<int>(seeds.size()) < kMinSeeds) {
        reason = "too few patch-like regions (" + std::to_string(seeds.size()) + ")";
        return false;
    }
    const std::vector<double> angles = votedAngles(seeds, pitch, kAnglesTried);
    if (angles.empty()) {
        reason = "no two patch-like regions at the chart's spacing";
        return false;
    }
    int passing = 0;
    ChartLayout found;
    for (double angle : angles) {
        GridMap map = gridOfAngle(seeds, pitch, angle);
        std::vector<IndexedSeed> on = seedsOnGrid(seeds, map, pitch);
        for (int round = 0; round < 2; ++round) {
            GridMap refined = map;
            if (!fitAffine(on, pitch, refined)) break;
            map = refined;
            on = seedsOnGrid(seeds, map, pitch);
        }
        if (static_cast<int>(on.size()) < kMinSeeds) continue;
        int iMin = on[0].i, iMax = on[0].i, jMin = on[0].j, jMax = on[0].j;
        for (const IndexedSeed& s : on) {
            iMin = std::min(iMin, s.i);
            iMax = std::max(iMax, s.i);
            jMin = std::min(jMin, s.j);
            jMax = std::max(jMax, s.j);
        }
        // The chart's rows x cols window and, for a chart lying a quarter turn
        // from its layout, its cols x rows window. Each window's placements that
        // hold nearly as many seeds as its best one are checked against the
        // image; exactly one placement of either window may pass.
        const int windows[2][2] = {{rows, cols}, {cols, rows}};
        for (int w = 0; w < (rows == cols ? 1 : 2); ++w) {
            const int windowRows = windows[w][0];
            const int windowCols = windows[w][1];
            std::vector<std::array<int, 3>> placements;  // count, i0, j0
            for (int j0 = jMin - windowRows + 1; j0 <= jMax; ++j0) {
                for (int i0 = iMin - windowCols + 1; i0 <= iMax; ++i0) {
                    int count = 0;
                    for (const IndexedSeed& s : on) {
                        count += (s.i >= i0 && s.i < i0 + windowCols && s.j >= j0 &&
                                  s.j < j0 + windowRows)
                                     ? 1
                                     : 0;
                    }
                    placements.push_back({count, i0, j0});
                }
            }
            int best = 0;
            for (const auto& p : placements) best = std::max(best, p[0]);
            for (const auto& p : placements) {
                if (p[0] < std::max(kMinSeeds, best - kPlacementSlack)) continue;
                std::vector<std::array<double, 2>> positions;
                for (int r = 0; r < windowRows; ++r) {
                    for (int c = 0; c < windowCols; ++c) {
                        positions.push_back(map.at(p[1] + c, p[2] + r));
                    }
                }
                if (!chartLooksRight(positions, map.u.data(), map.v.data(), labImage, side)) {
                    continue;
                }
                // The second voted angle may lead to the placement found already.
                if (passing == 1 && found.rows == windowRows &&
                    std::hypot(positions[0][0] - found.positions[0][0],
                               positions[0][1] - found.positions[0][1]) < kNodeTolerance * pitch) {
                    continue;
                }
                ++passing;
                if (passing > 1) {
                    reason = "more than one placement of the chart fits the image";
                    return false;
                }
                found.positions.clear();
                for (const auto& q : positions) {
                    found.positions.push_back({static_cast<int>(std::nearbyint(q[0])),
                                               static_cast<int>(std::nearbyint(q[1]))});
                }
                found.rows = windowRows;
                found.columns = windowCols;
                std::copy(map.u.begin(), map.u.end(), found.stepAlongRow);
                std::copy(map.v.begin(), map.v.end(), found.stepDownColumn);
                found.supportingSeeds = p[0];
            }
        }
    }
    if (passing == 0) {
        reason = "no placement of the chart's grid on the seeds looks like the chart";
        return false;
    }
    layout = found;
    return true;
}

}  // namespace DataLayer
