#pragma once

#include <cstddef>
#include <vector>

/// Mean-shift clustering of points in three dimensions with a flat window.
///
/// Every point is assigned to exactly one cluster; the cluster sizes add up to
/// the point count; zero points give zero clusters. The points stay owned by
/// the caller and are read only during construction and `Run` (never in the
/// destructor).
///
/// How `Run` works (all steps deterministic):
/// 1. Binning. The finite points are quantised to a cubic grid of cell size
///    radius / 8, addressed through a hash table (memory grows with the number
///    of occupied cells, never with the coordinate range). Each occupied cell
///    is a bin with the number of its points and their coordinate sum; points
///    that coincide or nearly coincide thus cost one bin.
/// 2. Mean shift. Each bin not yet assigned, taken in order of decreasing
///    point count (ties by first appearance), starts a walk at its points'
///    mean and moves repeatedly to the mean of all points whose bin mean lies
///    within `radius` (distance <= radius, Euclidean) of the current position:
///    the flat-kernel mean shift, with every point stood in for by its bin's
///    mean when deciding whether it lies in the window (an error of at most
///    one cell diagonal, radius * 0.22, at the window's edge). The walk
///    stops when a step is no longer than radius / 1000, after 100 steps, or
///    as soon as it enters a cell (occupied or not) that an earlier walk passed
///    through or ended in; it then takes that walk's mode, otherwise its end
///    point is a new mode. Every cell the walk passed through, its starting bin
///    included, belongs to that mode from then on.
/// 3. Mode merging. Modes are visited by decreasing number of points (ties by
///    creation order); a mode within `radius` of an already kept mode joins the
///    nearest such kept mode, otherwise it is kept. Each kept mode is a cluster.
/// 4. Numbering. Clusters are numbered 0, 1, ... in the order of their first
///    point in input order.
///
/// Degenerate input (never a crash, a hang or unbounded memory; `Run` then
/// returns false, the partition stays complete):
/// - points with a non-finite coordinate together form one cluster of their own;
/// - a radius that is NaN or <= 0 makes every point its own cluster;
/// - an infinite radius puts all finite points into one cluster (this is a
///   valid window and `Run` returns true if every point is finite);
/// - coordinates so far apart that the cell index would exceed 2^62 share the
///   outermost cell of each axis (the result is then only approximate).
class CMeanShiftClusterer3D {
  public:
    /// `points` holds `count` x 3 doubles (x, y, z per point); `radius` is the
    /// window radius in the points' units.
    CMeanShiftClusterer3D(const double* points, std::size_t count, double radius);
    ~CMeanShiftClusterer3D();
    CMeanShiftClusterer3D(const CMeanShiftClusterer3D&) = delete;
    CMeanShiftClusterer3D& operator=(const CMeanShiftClusterer3D&) = delete;

    /// Clusters the points (see the class description). Returns false when
    /// the input was degenerate: a radius that is NaN or <= 0, a point with a
    /// non-finite coordinate, a null `points` with a non-zero count (all points
    /// then form one cluster) or more points than an unsigned int can number
    /// (likewise one cluster). Every point is assigned to exactly one cluster
    /// in every case.
    bool Run();
    /// Number of clusters found by `Run` (0 before it).
    unsigned int GetNumClusters() const;
    /// Number of points assigned to `cluster` (0 for an index out of range).
    unsigned int GetClusterSize(unsigned int cluster) const;
    /// Index of the cluster that point `point` was assigned to; the largest
    /// unsigned int for a point out of range or before `Run`.
    unsigned int GetClusterIndex(std::size_t point) const;

  private:
    void assignAllToOneCluster();
    void assignEachToOwnCluster();

    const double* m_points;
    std::size_t m_count;
    double m_radius;
    std::vector<unsigned int> m_pointCluster;
    std::vector<unsigned int> m_clusterSize;
};
