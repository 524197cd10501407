#pragma once

// Facts every chart type shares, for the stages that count or lay out its
// patches. The chart-specific geometry (pitch, patch side, which way round
// the grid lies) comes from the parameter set.

namespace DataLayer {

/// Patches on every chart, and so reference colours and seeds of a
/// calibration.
constexpr int kChartPatchCount = 20;

/// The patch grid's sides: every chart is a grid of 4 x 5 patches, lying
/// either way round (the parameter set says which for each chart type).
constexpr int kChartGridShortSide = 4;
constexpr int kChartGridLongSide = 5;

static_assert(kChartGridShortSide * kChartGridLongSide == kChartPatchCount,
              "the grid holds every patch once");

}  // namespace DataLayer
