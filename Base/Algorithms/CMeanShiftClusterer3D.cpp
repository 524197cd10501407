#include "Base/Algorithms/CMeanShiftClusterer3D.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>

namespace {

constexpr double kCellsPerRadius = 8.0;             // bin cell size = radius / 8
constexpr int kMaxSteps = 100;                      // mean-shift steps per walk
constexpr double kStopShiftFraction = 1e-3;         // a walk stops below radius / 1000
constexpr double kMaxCell = 4611686018427387904.0;  // 2^62: cell indices stay far from overflow
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kInitialBinTableKeys = 4096;
constexpr std::uint32_t kMaxCellRecords = kNone - 1;  // cells a walk may record

using Vec3 = std::array<double, 3>;

struct CellKey {
    std::int64_t x;
    std::int64_t y;
    std::int64_t z;
    bool operator==(const CellKey& o) const { return x == o.x && y == o.y && z == o.z; }
};

// Cell index of an offset from the grid origin, floor(offset * inverseCell),
// clamped to [0, 2^62]; NaN gives 0. Never converts an out-of-range double
// (and, the value being positive there, truncation is the floor).
std::int64_t cellCoord(double offset, double inverseCell) {
    const double v = offset * inverseCell;
    if (!(v > 0.0)) {
        return 0;
    }
    if (v >= kMaxCell) {
        return static_cast<std::int64_t>(kMaxCell);
    }
    return static_cast<std::int64_t>(v);
}

// Grid addressing relative to an origin, for one cell size.
struct Grid {
    Vec3 origin;
    double inverseCell;
    CellKey key(const Vec3& p) const {
        return {cellCoord(p[0] - origin[0], inverseCell), cellCoord(p[1] - origin[1], inverseCell),
                cellCoord(p[2] - origin[2], inverseCell)};
    }
};

// Open-addressing hash table from cell keys to 32-bit indices (never kNone),
// sized for `expectedKeys` and doubled whenever it becomes half full.
class CellTable {
  public:
    explicit CellTable(std::size_t expectedKeys) {
        std::size_t capacity = 16;
        while (capacity < 2 * expectedKeys) {
            capacity *= 2;
        }
        m_mask = capacity - 1;
        m_keys.resize(capacity);
        m_values.assign(capacity, kNone);
    }

    // The value stored for `key`; stores `value` first when the key is new.
    std::uint32_t findOrInsert(const CellKey& key, std::uint32_t value) {
        std::size_t slot = hash(key);
        while (m_values[slot] != kNone) {
            if (m_keys[slot] == key) {
                return m_values[slot];
            }
            slot = (slot + 1) & m_mask;
        }
        m_keys[slot] = key;
        m_values[slot] = value;
        if (2 * ++m_size > m_mask + 1) {
            grow();
        }
        return value;
    }

    // The value stored for `key`, or kNone.
    std::uint32_t find(const CellKey& key) const {
        std::size_t slot = hash(key);
        while (m_values[slot] != kNone) {
            if (m_keys[slot] == key) {
                return m_values[slot];
            }
            slot = (slot + 1) & m_mask;
        }
        return kNone;
    }

  private:
    void grow() {
        std::vector<CellKey> keys(2 * (m_mask + 1));
        std::vector<std::uint32_t> values(keys.size(), kNone);
        keys.swap(m_keys);
        values.swap(m_values);
        m_mask = m_keys.size() - 1;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (values[i] != kNone) {
                std::size_t slot = hash(keys[i]);
                while (m_values[slot] != kNone) {
                    slot = (slot + 1) & m_mask;
                }
                m_keys[slot] = keys[i];
                m_values[slot] = values[i];
            }
        }
    }

    std::size_t hash(const CellKey& k) const {
        std::uint64_t h = static_cast<std::uint64_t>(k.x) * 0x9E3779B97F4A7C15ull;
        h ^= static_cast<std::uint64_t>(k.y) * 0xC2B2AE3D27D4EB4Full;
        h ^= static_cast<std::uint64_t>(k.z) * 0x165667B19E3779F9ull;
        h ^= h >> 29;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 32;
        return static_cast<std::size_t>(h) & m_mask;
    }

    std::size_t m_mask = 0;
    std::size_t m_size = 0;
    std::vector<CellKey> m_keys;
    std::vector<std::uint32_t> m_values;
};

bool isFinite(const Vec3& p) {
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

double squaredDistance(const Vec3& a, const Vec3& b) {
    const double dx = a[0] - b[0];
    const double dy = a[1] - b[1];
    const double dz = a[2] - b[2];
    return dx * dx + dy * dy + dz * dz;
}

// One occupied bin as the window search reads it: the mean of its points and
// their number.
struct BinEntry {
    double x;
    double y;
    double z;
    double weight;
};

// The bins sorted into cells of the window radius, so that a window query
// visits the 27 cells around its centre only.
class WindowIndex {
  public:
    WindowIndex(const std::vector<Vec3>& means, const std::vector<double>& weights,
                const Grid& grid)
        : m_grid(grid), m_cells(means.size()) {
        const std::size_t count = means.size();
        std::vector<std::uint32_t> binCell(count);
        std::vector<std::uint32_t> cellCount;
        for (std::size_t b = 0; b < count; ++b) {
            const auto next = static_cast<std::uint32_t>(cellCount.size());
            const std::uint32_t cell = m_cells.findOrInsert(m_grid.key(means[b]), next);
            if (cell == next) {
                cellCount.push_back(0);
            }
            ++cellCount[cell];
            binCell[b] = cell;
        }
        m_cellStart.assign(cellCount.size() + 1, 0);
        for (std::size_t c = 0; c < cellCount.size(); ++c) {
            m_cellStart[c + 1] = m_cellStart[c] + cellCount[c];
        }
        std::vector<std::uint32_t> fill(m_cellStart.begin(), m_cellStart.end() - 1);
        m_entries.resize(count);
        for (std::size_t b = 0; b < count; ++b) {
            m_entries[fill[binCell[b]]++] = {means[b][0], means[b][1], means[b][2], weights[b]};
        }
        m_aroundStart.assign(cellCount.size(), 0);
        m_aroundEnd.assign(cellCount.size(), 0);
    }

    // Sum of weights and weighted sum of the bin means within `radius2`
    // (squared) of `centre`. The bins around an occupied cell are gathered
    // into one list on the first query there, later queries scan that list.
    void query(const Vec3& centre, double radius2, double& weight, Vec3& sum) {
        weight = 0.0;
        sum = {0.0, 0.0, 0.0};
        const CellKey c = m_grid.key(centre);
        const std::uint32_t cell = m_cells.find(c);
        if (cell != kNone) {
            if (m_aroundEnd[cell] == 0) {
                gatherAround(cell, c);
            }
            accumulate(m_around.data() + m_aroundStart[cell], m_around.data() + m_aroundEnd[cell],
                       centre, radius2, weight, sum);
            return;
        }
        forEachNeighbour(c, [&](std::uint32_t n) {
            accumulate(m_entries.data() + m_cellStart[n], m_entries.data() + m_cellStart[n + 1],
                       centre, radius2, weight, sum);
        });
    }

  private:
    template <typename Visit>
    void forEachNeighbour(const CellKey& c, Visit visit) const {
        for (std::int64_t dz = -1; dz <= 1; ++dz) {
            for (std::int64_t dy = -1; dy <= 1; ++dy) {
                for (std::int64_t dx = -1; dx <= 1; ++dx) {
                    const std::uint32_t n = m_cells.find({c.x + dx, c.y + dy, c.z + dz});
                    if (n != kNone) {
                        visit(n);
                    }
                }
            }
        }
    }

    void gatherAround(std::uint32_t cell, const CellKey& c) {
        m_aroundStart[cell] = m_around.size();
        forEachNeighbour(c, [&](std::uint32_t n) {
            m_around.insert(m_around.end(), m_entries.begin() + m_cellStart[n],
                            m_entries.begin() + m_cellStart[n + 1]);
        });
        m_aroundEnd[cell] = m_around.size();  // > 0: the cell holds a bin itself
    }

    static void accumulate(const BinEntry* e, const BinEntry* end, const Vec3& centre,
                           double radius2, double& weight, Vec3& sum) {
        for (; e != end; ++e) {
            const double ex = e->x - centre[0];
            const double ey = e->y - centre[1];
            const double ez = e->z - centre[2];
            if (ex * ex + ey * ey + ez * ez <= radius2) {
                weight += e->weight;
                sum[0] += e->weight * e->x;
                sum[1] += e->weight * e->y;
                sum[2] += e->weight * e->z;
            }
        }
    }

    Grid m_grid;
    CellTable m_cells;
    std::vector<std::uint32_t> m_cellStart;
    std::vector<BinEntry> m_entries;
    std::vector<std::size_t> m_aroundStart;
    std::vector<std::size_t> m_aroundEnd;
    std::vector<BinEntry> m_around;
};

}  // namespace

CMeanShiftClusterer3D::CMeanShiftClusterer3D(const double* points, std::size_t count, double radius)
    : m_points(points), m_count(count), m_radius(radius) {}

CMeanShiftClusterer3D::~CMeanShiftClusterer3D() = default;

void CMeanShiftClusterer3D::assignAllToOneCluster() {
    m_pointCluster.assign(m_count, 0u);
    m_clusterSize.assign(1, static_cast<unsigned int>(m_count));
}

void CMeanShiftClusterer3D::assignEachToOwnCluster() {
    m_pointCluster.resize(m_count);
    std::iota(m_pointCluster.begin(), m_pointCluster.end(), 0u);
    m_clusterSize.assign(m_count, 1u);
}

bool CMeanShiftClusterer3D::Run() {
    m_pointCluster.clear();
    m_clusterSize.clear();
    const std::size_t n = m_count;
    if (n == 0) {
        return true;
    }
    if (m_points == nullptr || n >= kNone) {
        assignAllToOneCluster();
        return false;
    }
    if (!(m_radius > 0.0)) {
        assignEachToOwnCluster();
        return false;
    }

    auto pointAt = [this](std::size_t i) {
        return Vec3{m_points[3 * i], m_points[3 * i + 1], m_points[3 * i + 2]};
    };

    // Grid origin: the smallest finite coordinate of each axis.
    Vec3 origin = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::infinity()};
    std::size_t finiteCount = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 p = pointAt(i);
        if (isFinite(p)) {
            ++finiteCount;
            for (int k = 0; k < 3; ++k) {
                origin[k] = std::min(origin[k], p[k]);
            }
        }
    }
    if (finiteCount == 0) {
        assignAllToOneCluster();
        return false;
    }

    const double radius = m_radius;
    const double radius2 = radius * radius;
    const double stop2 = (kStopShiftFraction * radius) * (kStopShiftFraction * radius);
    // An infinite radius gives inverse cell sizes of 0: one bin, one window cell.
    const Grid binGrid{origin, kCellsPerRadius / radius};
    const Grid windowGrid{origin, 1.0 / radius};

    // 1. Binning.
    std::vector<std::uint32_t> pointBin(n, kNone);
    std::vector<Vec3> binSum;
    std::vector<double> binWeight;
    // The table starts small (it grows): neighbouring image pixels mostly
    // share few cells, and a small table stays in cache.
    CellTable bins(std::min<std::size_t>(finiteCount, kInitialBinTableKeys));
    CellKey lastKey = {-1, -1, -1};  // no real cell: cell indices are >= 0
    std::uint32_t lastBin = kNone;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3 p = pointAt(i);
        if (!isFinite(p)) {
            continue;
        }
        const CellKey key = binGrid.key(p);
        const auto next = static_cast<std::uint32_t>(binWeight.size());
        // Runs of points in one cell (uniform image areas) skip the table.
        const std::uint32_t b = key == lastKey ? lastBin : bins.findOrInsert(key, next);
        lastKey = key;
        lastBin = b;
        if (b == next) {
            binSum.push_back({0.0, 0.0, 0.0});
            binWeight.push_back(0.0);
        }
        binSum[b][0] += p[0];
        binSum[b][1] += p[1];
        binSum[b][2] += p[2];
        binWeight[b] += 1.0;
        pointBin[i] = b;
    }
    const std::size_t binCount = binWeight.size();
    std::vector<Vec3> binMean(binCount);
    for (std::size_t b = 0; b < binCount; ++b) {
        for (int k = 0; k < 3; ++k) {
            binMean[b][k] = binSum[b][k] / binWeight[b];
        }
    }
    WindowIndex window(binMean, binWeight, windowGrid);

    // 2. Mean-shift walks from the bins, heaviest first.
    std::vector<std::uint32_t> order(binCount);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return binWeight[a] > binWeight[b]; });
    // The bin table also records every other cell a walk passed through;
    // cellMode holds the mode of each recorded cell (bins first).
    std::vector<std::uint32_t> cellMode(binCount, kNone);
    std::vector<std::uint32_t> visitedBy(binCount, kNone);
    std::vector<std::uint32_t> path;
    std::vector<Vec3> modes;
    for (const std::uint32_t seed : order) {
        if (cellMode[seed] != kNone) {
            continue;
        }
        path.assign(1, seed);
        visitedBy[seed] = seed;
        Vec3 position = binMean[seed];
        std::uint32_t mode = kNone;
        for (int step = 0; step < kMaxSteps; ++step) {
            double weight = 0.0;
            Vec3 sum;
            window.query(position, radius2, weight, sum);
            if (!(weight > 0.0)) {
                break;
            }
            const Vec3 next = {sum[0] / weight, sum[1] / weight, sum[2] / weight};
            if (!isFinite(next)) {
                break;
            }
            const double shift2 = squaredDistance(next, position);
            position = next;
            const auto fresh = static_cast<std::uint32_t>(cellMode.size());
            const CellKey key = binGrid.key(position);
            const std::uint32_t cell =
                fresh < kMaxCellRecords ? bins.findOrInsert(key, fresh) : bins.find(key);
            if (cell == fresh) {
                cellMode.push_back(kNone);
                visitedBy.push_back(kNone);
            }
            if (cell != kNone) {
                if (cellMode[cell] != kNone) {
                    mode = cellMode[cell];
                    break;
                }
                if (visitedBy[cell] != seed) {
                    visitedBy[cell] = seed;
                    path.push_back(cell);
                }
            }
            if (shift2 <= stop2) {
                break;
            }
        }
        if (mode == kNone) {
            mode = static_cast<std::uint32_t>(modes.size());
            modes.push_back(position);
        }
        for (const std::uint32_t cell : path) {
            cellMode[cell] = mode;
        }
    }

    // 3. Mode merging, heaviest mode first, through a grid of the kept modes.
    const std::size_t modeCount = modes.size();
    std::vector<double> modeWeight(modeCount, 0.0);
    for (std::size_t b = 0; b < binCount; ++b) {
        modeWeight[cellMode[b]] += binWeight[b];
    }
    std::vector<std::uint32_t> modeOrder(modeCount);
    std::iota(modeOrder.begin(), modeOrder.end(), 0u);
    std::stable_sort(modeOrder.begin(), modeOrder.end(), [&](std::uint32_t a, std::uint32_t b) {
        return modeWeight[a] > modeWeight[b];
    });
    std::vector<std::uint32_t> modeRoot(modeCount, kNone);
    CellTable keptCells(modeCount);
    std::vector<std::uint32_t> keptHead;                    // first kept mode of each cell
    std::vector<std::uint32_t> keptNext(modeCount, kNone);  // next kept mode in the same cell
    for (const std::uint32_t m : modeOrder) {
        const CellKey c = windowGrid.key(modes[m]);
        std::uint32_t best = kNone;
        double bestDistance2 = 0.0;
        for (std::int64_t dz = -1; dz <= 1; ++dz) {
            for (std::int64_t dy = -1; dy <= 1; ++dy) {
                for (std::int64_t dx = -1; dx <= 1; ++dx) {
                    const std::uint32_t cell = keptCells.find({c.x + dx, c.y + dy, c.z + dz});
                    if (cell == kNone) {
                        continue;
                    }
                    for (std::uint32_t k = keptHead[cell]; k != kNone; k = keptNext[k]) {
                        const double d2 = squaredDistance(modes[m], modes[k]);
                        if (d2 <= radius2 && (best == kNone || d2 < bestDistance2 ||
                                              (d2 == bestDistance2 && k < best))) {
                            best = k;
                            bestDistance2 = d2;
                        }
                    }
                }
            }
        }
        if (best != kNone) {
            modeRoot[m] = best;
            continue;
        }
        modeRoot[m] = m;
        const auto next = static_cast<std::uint32_t>(keptHead.size());
        const std::uint32_t cell = keptCells.findOrInsert(c, next);
        if (cell == next) {
            keptHead.push_back(kNone);
        }
        keptNext[m] = keptHead[cell];
        keptHead[cell] = m;
    }

    // 4. Numbering by first point; points with a non-finite coordinate share one cluster.
    std::vector<std::uint32_t> clusterOfMode(modeCount, kNone);
    std::uint32_t nonFiniteCluster = kNone;
    m_pointCluster.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t* slot = &nonFiniteCluster;
        if (pointBin[i] != kNone) {
            slot = &clusterOfMode[modeRoot[cellMode[pointBin[i]]]];
        }
        if (*slot == kNone) {
            *slot = static_cast<std::uint32_t>(m_clusterSize.size());
            m_clusterSize.push_back(0u);
        }
        m_pointCluster[i] = *slot;
        ++m_clusterSize[*slot];
    }
    return finiteCount == n;
}

unsigned int CMeanShiftClusterer3D::GetNumClusters() const {
    return static_cast<unsigned int>(m_clusterSize.size());
}

unsigned int CMeanShiftClusterer3D::GetClusterSize(unsigned int cluster) const {
    return cluster < m_clusterSize.size() ? m_clusterSize[cluster] : 0u;
}

unsigned int CMeanShiftClusterer3D::GetClusterIndex(std::size_t point) const {
    return point < m_pointCluster.size() ? m_pointCluster[point]
                                         : std::numeric_limits<unsigned int>::max();
}
