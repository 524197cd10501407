// The grid hypothesis of the chart search: a regular grid through one seed
// and two perpendicular neighbours one pitch away, its positions over the
// image, their order into rows, and the check of the complete grid's shape
// against the chart's layout.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>

#include "DataLayer/ShadeAnalysis/Segmentation/ChartSearch.h"

namespace DataLayer {
namespace chartsearch {

bool tryGridFromSeed(SearchState& state, const Parameters& parameters, const Point& seed) {
    state.patchCenters.clear();
    const float g = parameters.GetGridLength();
    const std::array<int, 2>* first = nullptr;
    const std::array<int, 2>* second = nullptr;
    for (const std::array<int, 2>& s : state.seeds) {
        const double dx = static_cast<double>(s[0]) - seed[0];
        const double dy = static_cast<double>(s[1]) - seed[1];
        const float distance = static_cast<float>(std::sqrt(dx * dx + dy * dy));
        if (!(g * 0.25f > std::fabs(distance - g))) {
            continue;
        }
        if (first == nullptr) {
            first = &s;
            continue;
        }
        // Integer vectors from image coordinates: their dot product fits in 64
        // bits for any image; 32-bit products would overflow only on images
        // far larger than a camera delivers.
        const std::int64_t ax = static_cast<std::int64_t>(seed[0]) - (*first)[0];
        const std::int64_t ay = static_cast<std::int64_t>(seed[1]) - (*first)[1];
        const std::int64_t wx = static_cast<std::int64_t>(s[0]) - seed[0];
        const std::int64_t wy = static_cast<std::int64_t>(s[1]) - seed[1];
        const double dot = std::fabs(static_cast<double>(ax * wx + ay * wy));
        const double la = std::sqrt(static_cast<double>(ax * ax + ay * ay));
        const double lw = std::sqrt(static_cast<double>(wx * wx + wy * wy));
        if (static_cast<double>(0.08f) > dot / (la * lw)) {
            second = &s;
            break;
        }
    }
    if (second == nullptr) {
        return false;
    }
    state.gridStep1[0] = static_cast<double>(seed[0]) - (*first)[0];
    state.gridStep1[1] = static_cast<double>(seed[1]) - (*first)[1];
    state.gridStep2[0] = static_cast<double>(seed[0]) - (*second)[0];
    state.gridStep2[1] = static_cast<double>(seed[1]) - (*second)[1];
    // The grid covers the image: about its area over the area of one cell.
    // A grid too dense to score is refused before its positions exist.
    const double cell = std::fabs(state.gridStep1[0] * state.gridStep2[1] -
                                  state.gridStep1[1] * state.gridStep2[0]);
    const double area = static_cast<double>(state.inputImage.cols) * state.inputImage.rows;
    if (!(cell > 0.0) || area / cell > static_cast<double>(kMaxGridPositions)) {
        return false;
    }
    state.patchCenters = generateGridPositions(state, seed, state.gridStep1, state.gridStep2);
    if (state.patchCenters.size() > kMaxGridPositions) {
        state.patchCenters.clear();
        return false;
    }

    const float nearLimit = parameters.GetSegmentSideLength() * 0.5f;
    int count = 0;
    for (const std::array<int, 2>& s : state.seeds) {
        float best = std::numeric_limits<float>::max();
        for (const std::array<int, 2>& p : state.patchCenters) {
            const double dx = static_cast<double>(s[0]) - p[0];
            const double dy = static_cast<double>(s[1]) - p[1];
            best = std::min(best, static_cast<float>(std::sqrt(dx * dx + dy * dy)));
        }
        if (nearLimit > best) {
            ++count;
        }
    }
    return count > parameters.GetNumberOfClusters() / 2;
}

std::vector<Point> generateGridPositions(const SearchState& state, const Point& seed,
                                         const double step1[2], const double step2[2]) {
    const double width = state.inputImage.cols;
    const double height = state.inputImage.rows;
    auto inside = [&](const double q[2]) {
        return q[0] > 0.0 && q[0] < width && q[1] > 0.0 && q[1] < height;
    };
    std::vector<std::array<int, 2>> positions;
    // A zero or non-finite step would never leave the image.
    const bool usable = std::isfinite(step1[0]) && std::isfinite(step1[1]) &&
                        std::isfinite(step2[0]) && std::isfinite(step2[1]) &&
                        (step1[0] != 0.0 || step1[1] != 0.0) &&
                        (step2[0] != 0.0 || step2[1] != 0.0);
    if (!usable) {
        return positions;
    }
    // Appends the row through `base` (walking both ways along step2); returns
    // whether it appended anything.
    auto walkRow = [&](const double base[2]) {
        bool appended = false;
        double q[2] = {base[0], base[1]};
        while (inside(q)) {
            positions.push_back({roundToInt(q[0]), roundToInt(q[1])});
            appended = true;
            q[0] += step2[0];
            q[1] += step2[1];
        }
        q[0] = base[0] - step2[0];
        q[1] = base[1] - step2[1];
        while (inside(q)) {
            positions.push_back({roundToInt(q[0]), roundToInt(q[1])});
            appended = true;
            q[0] -= step2[0];
            q[1] -= step2[1];
        }
        return appended;
    };
    double base[2] = {static_cast<double>(seed[0]), static_cast<double>(seed[1])};
    while (walkRow(base)) {
        base[0] += step1[0];
        base[1] += step1[1];
    }
    base[0] = static_cast<double>(seed[0]) - step1[0];
    base[1] = static_cast<double>(seed[1]) - step1[1];
    while (walkRow(base)) {
        base[0] -= step1[0];
        base[1] -= step1[1];
    }
    return positions;
}

bool orderGridPositions(SearchState& state, const Parameters& parameters) {
    if (state.patchCenters.size() < 2) {
        return false;
    }
    const double la = std::hypot(state.gridStep1[0], state.gridStep1[1]);
    const double lb = std::hypot(state.gridStep2[0], state.gridStep2[1]);
    const double a[2] = {state.gridStep1[0] / la, state.gridStep1[1] / la};
    const double b[2] = {state.gridStep2[0] / lb, state.gridStep2[1] / lb};
    double h[2];
    double w[2];
    if (std::fabs(b[0]) > 0.9 && std::fabs(a[1]) > 0.9) {
        h[0] = b[0];
        h[1] = b[1];
        w[0] = a[0];
        w[1] = a[1];
    } else if (std::fabs(a[0]) > 0.9 && std::fabs(b[1]) > 0.9) {
        h[0] = a[0];
        h[1] = a[1];
        w[0] = b[0];
        w[1] = b[1];
    } else {
        return false;
    }
    if (h[0] < 0.0) {
        h[0] = -h[0];
        h[1] = -h[1];
    }
    if (w[1] < 0.0) {
        w[0] = -w[0];
        w[1] = -w[1];
    }
    const double lh = std::hypot(h[0], h[1]);
    const double lw = std::hypot(w[0], w[1]);
    const double eh[2] = {h[0] / lh, h[1] / lh};
    const double ew[2] = {w[0] / lw, w[1] / lw};
    auto key = [](const std::array<int, 2>& p, const double e[2]) {
        return p[0] * e[0] + p[1] * e[1];
    };
    std::sort(state.patchCenters.begin(), state.patchCenters.end(),
              [&](const std::array<int, 2>& p, const std::array<int, 2>& q) {
                  return key(p, ew) < key(q, ew);
              });
    auto sortRow = [&](std::vector<std::array<int, 2>>::iterator begin,
                       std::vector<std::array<int, 2>>::iterator end) {
        std::sort(begin, end, [&](const std::array<int, 2>& p, const std::array<int, 2>& q) {
            return key(p, eh) < key(q, eh);
        });
    };
    const double rowLimit = static_cast<double>(parameters.GetGridLength() * 0.5f);
    auto start = state.patchCenters.begin();
    for (auto it = std::next(start); it != state.patchCenters.end(); ++it) {
        const double dx = static_cast<double>((*it)[0]) - (*start)[0];
        const double dy = static_cast<double>((*it)[1]) - (*start)[1];
        if (dx * w[0] + dy * w[1] > rowLimit) {
            sortRow(start, it);
            start = it;
        }
    }
    sortRow(start, state.patchCenters.end());
    return true;
}

bool gridMatchesLayout(const SearchState& state, const Parameters& parameters, int& gridRows,
                       int& gridColumns, std::string& reason) {
    gridRows = 0;
    gridColumns = 0;
    const int rows = parameters.GetGridRows();
    const int cols = parameters.GetGridColumns();
    if (rows <= 0 || cols <= 0 || state.patchCenters.empty()) {
        return true;  // the parameter set does not say
    }
    // The vertical step, as the row order chose it; rows start where a position
    // lies more than half a grid length below the first of the current row.
    const double la = std::hypot(state.gridStep1[0], state.gridStep1[1]);
    const double lb = std::hypot(state.gridStep2[0], state.gridStep2[1]);
    const bool firstVertical =
        std::fabs(state.gridStep1[1]) / la > std::fabs(state.gridStep2[1]) / lb;
    const double* vertical = firstVertical ? state.gridStep1 : state.gridStep2;
    const double length = firstVertical ? la : lb;
    const double w[2] = {vertical[0] / length * (vertical[1] < 0.0 ? -1.0 : 1.0),
                         vertical[1] / length * (vertical[1] < 0.0 ? -1.0 : 1.0)};
    const double rowLimit = static_cast<double>(parameters.GetGridLength() * 0.5f);
    std::vector<int> rowLengths{1};
    std::array<int, 2> start = state.patchCenters.front();
    for (std::size_t k = 1; k < state.patchCenters.size(); ++k) {
        const std::array<int, 2>& p = state.patchCenters[k];
        if ((p[0] - start[0]) * w[0] + (p[1] - start[1]) * w[1] > rowLimit) {
            rowLengths.push_back(0);
            start = p;
        }
        ++rowLengths.back();
    }
    // The chart's rows x columns, or columns x rows: a chart a quarter turn
    // from its layout is still the chart; its colours decide the pairing.
    const int found = static_cast<int>(rowLengths.size());
    const int length0 = rowLengths.front();
    const bool regular = std::all_of(rowLengths.begin(), rowLengths.end(),
                                     [length0](int n) { return n == length0; });
    const bool matches =
        regular && ((found == rows && length0 == cols) || (found == cols && length0 == rows));
    if (!matches) {
        reason = "the patches found form " + std::to_string(found) + " rows, the chart has " +
                 std::to_string(rows) + " rows of " + std::to_string(cols) + " (or " +
                 std::to_string(cols) + " of " + std::to_string(rows) + " turned by a quarter)";
        return false;
    }
    gridRows = found;
    gridColumns = length0;
    return true;
}

}  // namespace chartsearch
}  // namespace DataLayer
