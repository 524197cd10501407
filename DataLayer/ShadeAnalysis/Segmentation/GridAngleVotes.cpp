// The angles a chart's grid may lie at, voted by the pairs of seeds whose
// distance matches a small lattice offset of the nominal pitch.
#include <algorithm>
#include <cmath>
#include <utility>

#include "DataLayer/ShadeAnalysis/Segmentation/LayoutPlacement.h"

namespace DataLayer {
namespace chartsearch {

namespace {

constexpr double kPi = 3.14159265358979323846;
// A seed pair votes for an angle when its distance is within this fraction of
// a lattice offset's length.
constexpr double kLengthTolerance = 0.07;
// Grids are searched within this angle of the image axes (degrees; as far as
// the regular search orders a grid into rows and columns); votes
// within the window below of each other count as one angle.
constexpr double kMaxAngleDeg = 25.8;
constexpr double kAngleWindowDeg = 1.5;

// Lattice offsets (a, b) up to a quarter turn, whose lengths a seed pair's
// distance is compared with.
constexpr int kOffsets[][2] = {{1, 0}, {1, 1}, {2, 0}, {2, 1}, {1, 2},
                               {2, 2}, {3, 0}, {3, 1}, {1, 3}};

// Angle folded into (-45, 45] degrees: grids repeat every quarter turn.
double foldQuarterTurn(double degrees) {
    double a = std::fmod(degrees, 90.0);
    if (a > 45.0) a -= 90.0;
    if (a <= -45.0) a += 90.0;
    return a;
}

// Angles (degrees) voted by the seed pairs, the strongest first, at most `count`.
}  // namespace

std::vector<double> votedGridAngles(const std::vector<std::array<int, 2>>& seeds, double pitch,
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

}  // namespace chartsearch
}  // namespace DataLayer
