#pragma once

#include <array>
#include <vector>

namespace ColorCalCli {

/// Summary of per-patch colour differences.
struct ErrorStats {
    double mean = 0.0;
    double median = 0.0;
    double p90 = 0.0;  ///< 90th percentile, linear interpolation between order statistics
    double max = 0.0;
};

/// Statistics of `values` (all zero for an empty list, all NaN when a value
/// is not finite). Percentiles use the
/// position q·(n − 1) in the sorted list, interpolating linearly.
ErrorStats computeErrorStats(std::vector<double> values);

/// CIEDE2000 between two (r, g, b) colours on the 0..255 scale, both sRGB
/// encoded (`linear` false) or both linear sRGB (`linear` true).
double rgbDeltaE2000(const std::array<double, 3>& x, const std::array<double, 3>& y, bool linear);

}  // namespace ColorCalCli
