#include "ErrorStats.h"

#include <algorithm>
#include <cmath>

#include "DataLayer/ShadeAnalysis/ColorScience.h"

namespace ColorCalCli {

namespace {

double percentile(const std::vector<double>& sorted, double q) {
    const double position = q * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(position));
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    const double t = position - static_cast<double>(below);
    return sorted[below] + t * (sorted[above] - sorted[below]);
}

}  // namespace

ErrorStats computeErrorStats(std::vector<double> values) {
    ErrorStats stats;
    if (values.empty()) {
        return stats;
    }
    if (std::any_of(values.begin(), values.end(), [](double v) { return !std::isfinite(v); })) {
        const double nan = std::nan("");
        return {nan, nan, nan, nan};
    }
    std::sort(values.begin(), values.end());
    double sum = 0.0;
    for (double v : values) {
        sum += v;
    }
    stats.mean = sum / static_cast<double>(values.size());
    stats.median = percentile(values, 0.5);
    stats.p90 = percentile(values, 0.9);
    stats.max = values.back();
    return stats;
}

double rgbDeltaE2000(const std::array<double, 3>& x, const std::array<double, 3>& y, bool linear) {
    return DataLayer::Color::deltaE2000(DataLayer::Color::rgbToLab(x, linear),
                                        DataLayer::Color::rgbToLab(y, linear));
}

}  // namespace ColorCalCli
