#include "Base/Algorithms/CMeanShiftClusterer3D.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <map>
#include <random>
#include <vector>

namespace {

using Points = std::vector<double>;

// Checks that the clustering is a partition: every index in range, the sizes
// agree with the indices and add up to the point count.
void expectPartition(const CMeanShiftClusterer3D& clusterer, std::size_t count) {
    const unsigned int clusters = clusterer.GetNumClusters();
    std::vector<unsigned int> counted(clusters, 0);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned int c = clusterer.GetClusterIndex(i);
        ASSERT_LT(c, clusters) << "point " << i;
        ++counted[c];
    }
    std::size_t total = 0;
    for (unsigned int c = 0; c < clusters; ++c) {
        EXPECT_EQ(clusterer.GetClusterSize(c), counted[c]) << "cluster " << c;
        EXPECT_GT(counted[c], 0u) << "empty cluster " << c;
        total += clusterer.GetClusterSize(c);
    }
    EXPECT_EQ(total, count);
}

using Point3 = std::array<double, 3>;

double dist2(const double* p, const Point3& q) {
    return (p[0] - q[0]) * (p[0] - q[0]) + (p[1] - q[1]) * (p[1] - q[1]) +
           (p[2] - q[2]) * (p[2] - q[2]);
}

// Appends `count` points around `centre` with Gaussian noise `sigma` per axis.
void addBlob(Points& points, const Point3& centre, double sigma, int count, std::mt19937& rng) {
    std::normal_distribution<double> noise(0.0, sigma);
    for (int i = 0; i < 3 * count; ++i) points.push_back(centre[i % 3] + noise(rng));
}

// Adds random centres in [-range, range]^3 to `centres` until there are
// `count`, each more than `gap` from all others.
void spreadCentres(std::vector<Point3>& centres, std::size_t count, double range, double gap,
                   std::mt19937& rng) {
    std::uniform_real_distribution<double> where(-range, range);
    while (centres.size() < count) {
        const Point3 c = {where(rng), where(rng), where(rng)};
        bool farEnough = true;
        for (const Point3& o : centres) farEnough = farEnough && dist2(c.data(), o) > gap * gap;
        if (farEnough) centres.push_back(c);
    }
}

// Plain flat-kernel mean shift: every point walks to the mean of all points
// within `radius` until it stops moving; end points within `radius` of an
// earlier kept end point join it. Returns a cluster label per point.
std::vector<int> referenceMeanShift(const Points& points, double radius) {
    const std::size_t n = points.size() / 3;
    std::vector<Point3> modes;
    std::vector<int> labels;
    for (std::size_t i = 0; i < n; ++i) {
        Point3 y = {points[3 * i], points[3 * i + 1], points[3 * i + 2]};
        for (int step = 0; step < 1000; ++step) {
            Point3 mean = {0, 0, 0};
            double w = 0;
            for (std::size_t j = 0; j < n; ++j) {
                if (dist2(&points[3 * j], y) > radius * radius) continue;
                w += 1;
                for (int k = 0; k < 3; ++k) mean[k] += points[3 * j + k];
            }
            for (double& m : mean) m /= w;
            const double shift2 = dist2(mean.data(), y);
            y = mean;
            if (shift2 < 1e-12 * radius * radius) break;
        }
        std::size_t m = 0;
        while (m < modes.size() && dist2(modes[m].data(), y) > radius * radius) ++m;
        if (m == modes.size()) modes.push_back(y);
        labels.push_back(static_cast<int>(m));
    }
    return labels;
}

// Clusters `points` and checks that the result is a partition grouping the
// first `count` points as the plain mean shift does. Returns the number of
// groups among them.
std::size_t expectGroupedLikePlainMeanShift(const Points& points, double radius,
                                            std::size_t count) {
    const std::size_t n = points.size() / 3;
    CMeanShiftClusterer3D clusterer(points.data(), n, radius);
    EXPECT_TRUE(clusterer.Run());
    expectPartition(clusterer, n);
    const std::vector<int> labels = referenceMeanShift(points, radius);
    std::map<unsigned int, int> forward;
    std::map<int, unsigned int> backward;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned int c = clusterer.GetClusterIndex(i);
        EXPECT_EQ(forward.emplace(c, labels[i]).first->second, labels[i]) << "point " << i;
        EXPECT_EQ(backward.emplace(labels[i], c).first->second, c) << "point " << i;
    }
    return backward.size();
}

}  // namespace

TEST(MeanShiftClusterer, EmptyOrNullInput) {
    CMeanShiftClusterer3D none(nullptr, 0, 1.0);
    EXPECT_TRUE(none.Run());
    EXPECT_EQ(none.GetNumClusters(), 0u);
    EXPECT_EQ(none.GetClusterSize(0), 0u);

    CMeanShiftClusterer3D nullWithCount(nullptr, 5, 1.0);
    EXPECT_FALSE(nullWithCount.Run());
    EXPECT_EQ(nullWithCount.GetNumClusters(), 1u);
    expectPartition(nullWithCount, 5);
    EXPECT_EQ(nullWithCount.GetClusterIndex(5), std::numeric_limits<unsigned int>::max());
}

TEST(MeanShiftClusterer, SeparatedBlobsAreClustersNumberedByTheirFirstPoint) {
    std::mt19937 rng(7);
    Points points;
    addBlob(points, {0.0, 0.0, 0.0}, 0.05, 300, rng);
    addBlob(points, {2.5, 0.0, 0.0}, 0.05, 200, rng);                           // 2.5 radii away
    for (int i = 0; i < 4; ++i) points.insert(points.end(), {2.5, -1.0, 7.0});  // coincident
    CMeanShiftClusterer3D clusterer(points.data(), 504, 1.0);
    EXPECT_TRUE(clusterer.Run());
    ASSERT_EQ(clusterer.GetNumClusters(), 3u);
    expectPartition(clusterer, 504);
    for (std::size_t i = 0; i < 504; ++i) {
        EXPECT_EQ(clusterer.GetClusterIndex(i), i < 300 ? 0u : (i < 500 ? 1u : 2u));
    }
}

TEST(MeanShiftClusterer, BlobsOfMixedSizesGroupLikeThePlainMeanShift) {
    std::mt19937 rng(1);
    std::vector<Point3> centres;
    spreadCentres(centres, 5, 6.0, 3.0, rng);
    Points points;
    for (std::size_t b = 0; b < centres.size(); ++b) {
        addBlob(points, centres[b], 0.08 + 0.05 * static_cast<double>(b), 40 + 30 * b, rng);
    }
    EXPECT_EQ(expectGroupedLikePlainMeanShift(points, 1.0, points.size() / 3), 5u);
}

TEST(MeanShiftClusterer, ChartLikePointsGroupPatchCoresLikeThePlainMeanShift) {
    // A large white cloud, twelve tight patch clouds and blurred edge pixels
    // mixing each patch with the white: the cores must be grouped as the plain
    // mean shift groups them, whatever happens to the mixtures.
    std::mt19937 rng(21);
    const double radius = 0.4;
    std::vector<Point3> centres = {{2.5, 0.0, 0.0}};  // the white first
    spreadCentres(centres, 13, 3.0, 2.5 * radius, rng);
    Points points;
    addBlob(points, centres[0], 0.04, 600, rng);
    for (std::size_t p = 1; p < centres.size(); ++p) addBlob(points, centres[p], 0.04, 60, rng);
    const std::size_t cores = points.size() / 3;
    std::uniform_real_distribution<double> mix(0.0, 1.0);
    for (int i = 0; i < 400; ++i) {
        const Point3& c = centres[1 + i % 12];
        const double t = mix(rng);
        for (int k = 0; k < 3; ++k) points.push_back(t * c[k] + (1.0 - t) * centres[0][k]);
    }
    // Close patches may share a mode, most do not.
    EXPECT_GE(expectGroupedLikePlainMeanShift(points, radius, cores), 10u);
}

TEST(MeanShiftClusterer, NonFinitePointsShareOneClusterOfTheirOwn) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Points points = {0, 0, 0, nan, 0, 0, 0.01, 0, 0, 5, 5, 5, 0, -inf, 0, 5, 5, 5.01};
    CMeanShiftClusterer3D clusterer(points.data(), 6, 1.0);
    EXPECT_FALSE(clusterer.Run());
    expectPartition(clusterer, 6);
    ASSERT_EQ(clusterer.GetNumClusters(), 3u);
    EXPECT_EQ(clusterer.GetClusterIndex(0), clusterer.GetClusterIndex(2));
    EXPECT_EQ(clusterer.GetClusterIndex(1), clusterer.GetClusterIndex(4));
    EXPECT_EQ(clusterer.GetClusterIndex(3), clusterer.GetClusterIndex(5));

    // A flat image whitens to nothing but NaN: still one cluster holding everything.
    const Points allNan(30, nan);
    CMeanShiftClusterer3D flat(allNan.data(), 10, 1.0);
    EXPECT_FALSE(flat.Run());
    ASSERT_EQ(flat.GetNumClusters(), 1u);
    EXPECT_EQ(flat.GetClusterSize(0), 10u);
}

TEST(MeanShiftClusterer, DegenerateRadiiAndHugeCoordinatesStayPartitions) {
    const Points points = {0, 0, 0, 0, 0, 0, 1, 1, 1, 100, 0, 0};
    struct Case {
        double radius;
        bool ok;
        unsigned int clusters;
    };
    const Case cases[] = {{0.0, false, 4},
                          {-1.0, false, 4},
                          {std::numeric_limits<double>::quiet_NaN(), false, 4},
                          {std::numeric_limits<double>::infinity(), true, 1},
                          {1e-310, true, 3}};  // denormal: 4 / radius overflows
    for (const Case& c : cases) {
        SCOPED_TRACE(c.radius);
        CMeanShiftClusterer3D clusterer(points.data(), 4, c.radius);
        EXPECT_EQ(clusterer.Run(), c.ok);
        EXPECT_EQ(clusterer.GetNumClusters(), c.clusters);
        expectPartition(clusterer, 4);
    }
    // Cell indices far beyond any dense grid, and sums that overflow.
    const Points huge = {-1e308, 0, 0, 1e308, 0, 0, 1e308, 1e308,  1e308, 0,  0, 0,
                         1e-300, 0, 0, 3e15,  7, 7, 1e308, -1e308, 0,     -3, 2, 1};
    for (double radius : {1e-9, 1.0, 1e300}) {
        CMeanShiftClusterer3D clusterer(huge.data(), 8, radius);
        EXPECT_TRUE(clusterer.Run());
        expectPartition(clusterer, 8);
    }
}
