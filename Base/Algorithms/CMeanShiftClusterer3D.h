#pragma once

#include <cstddef>
#include <vector>

/// Mean-shift clustering of points in three dimensions with a flat window.
///
/// Every point is assigned to exactly one cluster; the cluster sizes add up to
/// the point count; zero points give zero clusters. The points stay owned by
/// the caller and are read only during construction and `Run` (never in the
/// destructor).
class CMeanShiftClusterer3D {
public:
    /// `points` holds `count` x 3 doubles (x, y, z per point); `radius` is the
    /// window radius in the points' units.
    CMeanShiftClusterer3D(const double* points, std::size_t count, double radius);
    ~CMeanShiftClusterer3D();
    CMeanShiftClusterer3D(const CMeanShiftClusterer3D&) = delete;
    CMeanShiftClusterer3D& operator=(const CMeanShiftClusterer3D&) = delete;

    /// Clusters the points. Returns false only when it could not (for example a
    /// non-finite coordinate or radius); every point then is its own... see the
    /// implementation's documentation.
    bool Run();
    /// Number of clusters found by `Run` (0 before it).
    unsigned int GetNumClusters() const;
    /// Number of points assigned to `cluster` (0 for an index out of range).
    unsigned int GetClusterSize(unsigned int cluster) const;
    /// Index of the cluster that point `point` was assigned to.
    unsigned int GetClusterIndex(std::size_t point) const;

private:
    const double* m_points;
    std::size_t m_count;
    double m_radius;
    std::vector<unsigned int> m_pointCluster;
    std::vector<unsigned int> m_clusterSize;
};
