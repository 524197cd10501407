// The recovery's placement of the chart's known layout: the grid of an angle
// the seed pairs vote for (GridAngleVotes.cpp) through the phase most seeds
// share, an affine fit to the seeds on it, and every placement of the chart's
// window checked against the image.
#include "DataLayer/ShadeAnalysis/Segmentation/LayoutPlacement.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "DataLayer/ShadeAnalysis/Segmentation/GridAffineFit.h"

namespace DataLayer {
namespace chartsearch {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Fewest seeds a grid placement must hold.
constexpr int kMinSeeds = 4;
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
// The seeds must determine the fitted map: the design matrix's smallest
// singular value above this fraction of its largest.
constexpr double kMinSingularRatio = 1e-3;

using Vec2 = std::array<double, 2>;

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
    std::vector<GridCorrespondence> pairs;
    pairs.reserve(on.size());
    for (const IndexedSeed& s : on) {
        pairs.push_back({{static_cast<double>(s.i), static_cast<double>(s.j)},
                         {static_cast<double>(s.p[0]), static_cast<double>(s.p[1])}});
    }
    cv::Matx23d m;
    if (!fitGridAffine(pairs, kMinSingularRatio, m)) return false;
    GridMap fitted;
    fitted.origin = {m(0, 2), m(1, 2)};
    fitted.u = {m(0, 0), m(1, 0)};
    fitted.v = {m(0, 1), m(1, 1)};
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

}  // namespace

bool placeKnownLayout(const std::vector<std::array<int, 2>>& seeds, const cv::Mat& labImage,
                      const Base::IParameterSetColorCalibrationTarget& parameters,
                      LayoutPlacement& placement, std::string& reason) {
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
    const std::vector<double> angles = votedGridAngles(seeds, pitch, kAnglesTried);
    if (angles.empty()) {
        reason = "no two patch-like regions at the chart's spacing";
        return false;
    }
    int passing = 0;
    LayoutPlacement found;
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
    placement = found;
    return true;
}

}  // namespace chartsearch
}  // namespace DataLayer
