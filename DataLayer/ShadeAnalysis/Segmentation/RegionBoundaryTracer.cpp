#include "DataLayer/ShadeAnalysis/Segmentation/RegionBoundaryTracer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

namespace DataLayer {

namespace {

constexpr int kStepX[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int kStepY[8] = {0, -1, -1, -1, 0, 1, 1, 1};

// Perimeter of a lone pixel: that of a disc of area 1.
constexpr float kLonePixelPerimeter = 3.544907808303833f;

}  // namespace

bool LabelRegionView::contains(std::int64_t x, std::int64_t y) const {
    if (x < 0 || y < 0 || x >= width || y >= height || labels == nullptr) {
        return false;
    }
    return isMember(labels[y * width + x]);
}

int initialTraceDirections(const LabelRegionView& view, std::int64_t x0, std::int64_t y0) {
    if (!view.contains(x0 - 1, y0)) {
        return 5;
    }
    if (!view.contains(x0, y0 - 1)) {
        return 3;
    }
    if (!view.contains(x0 + 1, y0)) {
        return 1;
    }
    if (!view.contains(x0, y0 + 1)) {
        return 7;
    }
    return 5;
}

CPixelPolygon traceRegionBoundary(const LabelRegionView& view, std::int64_t x0, std::int64_t y0) {
    if (!view.contains(x0, y0)) {
        return CPixelPolygon();
    }
    int dir = initialTraceDirections(view, x0, y0);
    // Area by the chain code: h is the height of the current pixel above the
    // start row, the area grows by h on rightward steps and shrinks on leftward
    // ones. 64-bit so that no image size can overflow it.
    std::int64_t area = 1;
    std::int64_t h = 0;
    std::int64_t x = x0;
    std::int64_t y = y0;
    std::vector<ChainedPixel> chain;
    std::int64_t straight = 0;
    std::int64_t diagonal = 0;
    int tries = 0;
    // Every boundary pixel is entered at most once from each of its 8 neighbours;
    // the bound only protects against a trace that would never close.
    const std::int64_t maxSteps = 8 * view.width * view.height + 8;
    while (tries < 8 && static_cast<std::int64_t>(chain.size()) < maxSteps) {
        const std::int64_t nx = x + kStepX[dir];
        const std::int64_t ny = y + kStepY[dir];
        std::int64_t nextArea = area;
        std::int64_t nextH = h;
        switch (dir) {
            case 0:
                nextArea = area + h;
                break;
            case 1:
                nextArea = area + h;
                nextH = h - 1;
                break;
            case 2:
                nextArea = area + 1;
                nextH = h - 1;
                break;
            case 3:
                nextArea = area + 2 - h;
                nextH = h - 1;
                break;
            case 4:
                nextArea = area + 1 - h;
                break;
            case 5:
                nextArea = area - h;
                nextH = h + 1;
                break;
            case 6:
                nextH = h + 1;
                break;
            default:
                nextArea = area + h;
                nextH = h + 1;
                break;
        }
        if (x == x0 && y == y0 && !chain.empty() && nx == chain.front().x &&
            ny == chain.front().y) {
            break;
        }
        if (!view.contains(nx, ny)) {
            dir = (dir + 1) % 8;
            ++tries;
            continue;
        }
        if (dir % 2 == 1) {
            ++diagonal;
        } else {
            ++straight;
        }
        chain.emplace_back(static_cast<int>(nx), static_cast<int>(ny));
        x = nx;
        y = ny;
        area = nextArea;
        h = nextH;
        dir = (dir + 6) % 8;
        tries = 1;
    }
    const float sqrt2 = std::sqrt(2.0f);
    float perimeter = static_cast<float>(diagonal) * sqrt2 + static_cast<float>(straight);
    if (chain.empty()) {
        perimeter = kLonePixelPerimeter;
        chain.emplace_back(static_cast<int>(x0), static_cast<int>(y0));
    }
    const int clampedArea = static_cast<int>(std::clamp<std::int64_t>(area, INT_MIN, INT_MAX));
    return CPixelPolygon(chain, clampedArea, perimeter);
}

}  // namespace DataLayer
