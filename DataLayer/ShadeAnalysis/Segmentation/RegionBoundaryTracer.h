#pragma once

#include <cstdint>
#include <functional>

#include "Base/Algorithms/CPixelPolygon.h"

namespace DataLayer {

/// A read-only view of one region of an integer label image: the pixels whose
/// label satisfies `isMember`. Pixel (x, y) lies at `labels[y * width + x]`;
/// pixels outside 0 <= x < width, 0 <= y < height belong to no region.
struct LabelRegionView {
    /// First element of a CV_32S image stored without row padding.
    const int* labels = nullptr;
    /// True for the label values of the region.
    std::function<bool(const int&)> isMember;
    /// Number of columns.
    std::int64_t width = 0;
    /// Number of rows.
    std::int64_t height = 0;

    /// Whether pixel (x, y) is inside the image and in the region.
    bool contains(std::int64_t x, std::int64_t y) const;
};

/// First search direction of a boundary trace started at (x0, y0), decided by
/// the first 4-neighbour (left, up, right, down) that is not in the region:
/// 5, 3, 1 or 7; 5 when all four are in it. Direction codes 0..7 step
/// (+1,0), (+1,-1), (0,-1), (-1,-1), (-1,0), (-1,+1), (0,+1), (+1,+1).
int initialTraceDirections(const LabelRegionView& view, std::int64_t x0, std::int64_t y0);

/// Traces the outer boundary of the region containing (x0, y0) with an
/// 8-neighbour chain code and returns it as a polygon with the enclosed area
/// in pixels (holes included) and the length of the boundary path through the
/// pixel centres (straight steps 1, diagonal steps sqrt 2). A lone pixel gives
/// area 1, perimeter 2 sqrt(pi) and a one-element chain; a start pixel outside
/// the region gives a default polygon.
CPixelPolygon traceRegionBoundary(const LabelRegionView& view, std::int64_t x0, std::int64_t y0);

}  // namespace DataLayer
