#include "Base/Algorithms/CMeanShiftClusterer3D.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
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

// Appends `count` points around `centre` with Gaussian noise `sigma` per axis.
void addBlob(Points& points, std::array<double, 3> centre, double sigma, int count,
             std::mt19937& rng) {
    std::normal_distribution<double> noise(0.0, sigma);
    for (int i = 0; i < count; ++i) {
        for (int k = 0; k < 3; ++k) {
            points.push_back(centre[k] + noise(rng));
        }
    }
}

// Plain flat-kernel mean shift: every point walks to the mean of all points
// within `radius` until it stops moving; end points within `radius` of an
// earlier kept end point join it. Returns a cluster label per point.
std::vector<int> referenceMeanShift(const Points& points, double radius) {
    const std::size_t n = points.size() / 3;
    std::vector<std::array<double, 3>> modes;
    std::vector<int> labels(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::array<double, 3> y = {points[3 * i], points[3 * i + 1], points[3 * i + 2]};
        for (int step = 0; step < 1000; ++step) {
            std::array<double, 3> sum = {0, 0, 0};
            double w = 0;
            for (std::size_t j = 0; j < n; ++j) {
                double d2 = 0;
                for (int k = 0; k < 3; ++k) d2 += std::pow(points[3 * j + k] - y[k], 2);
                if (d2 <= radius * radius) {
                    w += 1;
                    for (int k = 0; k < 3; ++k) sum[k] += points[3 * j + k];
                }
            }
            double shift2 = 0;
            for (int k = 0; k < 3; ++k) {
                shift2 += std::pow(sum[k] / w - y[k], 2);
                y[k] = sum[k] / w;
            }
            if (shift2 < 1e-12 * radius * radius) break;
        }
        int label = -1;
        for (std::size_t m = 0; m < modes.size() && label < 0; ++m) {
            double d2 = 0;
            for (int k = 0; k < 3; ++k) d2 += std::pow(modes[m][k] - y[k], 2);
            if (d2 <= radius * radius) label = static_cast<int>(m);
        }
        if (label < 0) {
            label = static_cast<int>(modes.size());
            modes.push_back(y);
        }
        labels[i] = label;
    }
    return labels;
}

// True when the clusterer's partition and `labels` group the points alike.
bool samePartition(const CMeanShiftClusterer3D& clusterer, const std::vector<int>& labels) {
    std::map<unsigned int, int> forward;
    std::map<int, unsigned int> backward;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const unsigned int c = clusterer.GetClusterIndex(i);
        const auto f = forward.emplace(c, labels[i]).first;
        const auto b = backward.emplace(labels[i], c).first;
        if (f->second != labels[i] || b->second != c) return false;
    }
    return true;
}

}  // namespace

TEST(MeanShiftClusterer, ZeroPointsGiveZeroClusters) {
    CMeanShiftClusterer3D clusterer(nullptr, 0, 1.0);
    EXPECT_TRUE(clusterer.Run());
    EXPECT_EQ(clusterer.GetNumClusters(), 0u);
    EXPECT_EQ(clusterer.GetClusterSize(0), 0u);
    EXPECT_EQ(clusterer.GetClusterIndex(0), std::numeric_limits<unsigned int>::max());
}

TEST(MeanShiftClusterer, CoincidentPointsFormOneCluster) {
    const Points points = {2.5, -1.0, 7.0, 2.5, -1.0, 7.0, 2.5, -1.0, 7.0, 2.5, -1.0, 7.0};
    CMeanShiftClusterer3D clusterer(points.data(), 4, 0.5);
    EXPECT_TRUE(clusterer.Run());
    ASSERT_EQ(clusterer.GetNumClusters(), 1u);
    EXPECT_EQ(clusterer.GetClusterSize(0), 4u);
    expectPartition(clusterer, 4);
}

TEST(MeanShiftClusterer, SeparatedBlobsAreSeparateClusters) {
    std::mt19937 rng(7);
    Points points;
    addBlob(points, {0.0, 0.0, 0.0}, 0.05, 300, rng);
    addBlob(points, {2.5, 0.0, 0.0}, 0.05, 200, rng);  // 2.5 radii away
    CMeanShiftClusterer3D clusterer(points.data(), 500, 1.0);
    EXPECT_TRUE(clusterer.Run());
    ASSERT_EQ(clusterer.GetNumClusters(), 2u);
    expectPartition(clusterer, 500);
    // Clusters are numbered by their first point.
    EXPECT_EQ(clusterer.GetClusterSize(0), 300u);
    EXPECT_EQ(clusterer.GetClusterSize(1), 200u);
    for (std::size_t i = 0; i < 500; ++i) {
        EXPECT_EQ(clusterer.GetClusterIndex(i), i < 300 ? 0u : 1u);
    }
}

TEST(MeanShiftClusterer, UniformPatchIsOneCluster) {
    // Whitened values of one uniform patch: a tight cloud, noise a tenth of the radius.
    std::mt19937 rng(3);
    Points points;
    addBlob(points, {1.3, -0.4, 0.8}, 0.1, 2000, rng);
    CMeanShiftClusterer3D clusterer(points.data(), 2000, 0.6);
    EXPECT_TRUE(clusterer.Run());
    EXPECT_EQ(clusterer.GetNumClusters(), 1u);
}

TEST(MeanShiftClusterer, GroupsLikeThePlainMeanShift) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> where(-6.0, 6.0);
        Points points;
        std::vector<std::array<double, 3>> centres;
        while (centres.size() < 5) {
            const std::array<double, 3> c = {where(rng), where(rng), where(rng)};
            bool farEnough = true;
            for (const auto& o : centres) {
                farEnough = farEnough && std::hypot(c[0] - o[0], c[1] - o[1], c[2] - o[2]) > 3.0;
            }
            if (farEnough) centres.push_back(c);
        }
        for (std::size_t b = 0; b < centres.size(); ++b) {
            addBlob(points, centres[b], 0.08 + 0.05 * static_cast<double>(b), 40 + 30 * b, rng);
        }
        const std::size_t n = points.size() / 3;
        CMeanShiftClusterer3D clusterer(points.data(), n, 1.0);
        EXPECT_TRUE(clusterer.Run());
        expectPartition(clusterer, n);
        EXPECT_TRUE(samePartition(clusterer, referenceMeanShift(points, 1.0))) << "seed " << seed;
    }
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
    EXPECT_EQ(clusterer.GetClusterSize(clusterer.GetClusterIndex(1)), 2u);

    // A flat image whitens to nothing but NaN: still one cluster holding everything.
    const Points allNan(30, nan);
    CMeanShiftClusterer3D flat(allNan.data(), 10, 1.0);
    EXPECT_FALSE(flat.Run());
    ASSERT_EQ(flat.GetNumClusters(), 1u);
    EXPECT_EQ(flat.GetClusterSize(0), 10u);
}

TEST(MeanShiftClusterer, DegenerateRadius) {
    const Points points = {0, 0, 0, 0, 0, 0, 1, 1, 1, 100, 0, 0};
    for (double radius : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        CMeanShiftClusterer3D clusterer(points.data(), 4, radius);
        EXPECT_FALSE(clusterer.Run()) << radius;
        EXPECT_EQ(clusterer.GetNumClusters(), 4u) << radius;
        expectPartition(clusterer, 4);
    }
    CMeanShiftClusterer3D everything(points.data(), 4, std::numeric_limits<double>::infinity());
    EXPECT_TRUE(everything.Run());
    EXPECT_EQ(everything.GetNumClusters(), 1u);

    CMeanShiftClusterer3D tiny(points.data(), 4, 1e-310);  // denormal: 4 / radius overflows
    EXPECT_TRUE(tiny.Run());
    EXPECT_EQ(tiny.GetNumClusters(), 3u);
    expectPartition(tiny, 4);
}

TEST(MeanShiftClusterer, HugeCoordinateRangesStaySmall) {
    // Cell indices far beyond any dense grid, and sums that overflow.
    const Points points = {-1e308, 0, 0, 1e308, 0, 0, 1e308, 1e308,  1e308, 0,  0, 0,
                           1e-300, 0, 0, 3e15,  7, 7, 1e308, -1e308, 0,     -3, 2, 1};
    for (double radius : {1e-9, 1.0, 1e300}) {
        CMeanShiftClusterer3D clusterer(points.data(), 8, radius);
        EXPECT_TRUE(clusterer.Run());
        expectPartition(clusterer, 8);
    }
}

TEST(MeanShiftClusterer, NullPointsWithACount) {
    CMeanShiftClusterer3D clusterer(nullptr, 5, 1.0);
    EXPECT_FALSE(clusterer.Run());
    EXPECT_EQ(clusterer.GetNumClusters(), 1u);
    expectPartition(clusterer, 5);
    EXPECT_EQ(clusterer.GetClusterIndex(5), std::numeric_limits<unsigned int>::max());
}

TEST(MeanShiftClusterer, ChartLikePointsGroupPatchCoresLikeThePlainMeanShift) {
    // A large white cloud, twelve tight patch clouds and blurred edge pixels
    // mixing each patch with the white: the cores must be grouped as the plain
    // mean shift groups them, whatever happens to the mixtures.
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> where(-3.0, 3.0);
    std::uniform_real_distribution<double> mix(0.0, 1.0);
    const double radius = 0.4;
    const std::array<double, 3> white = {2.5, 0.0, 0.0};
    Points points;
    addBlob(points, white, 0.04, 600, rng);
    std::vector<std::array<double, 3>> patches;
    while (patches.size() < 12) {
        const std::array<double, 3> c = {where(rng), where(rng), where(rng)};
        bool farEnough = std::hypot(c[0] - white[0], c[1], c[2]) > 2.5 * radius;
        for (const auto& o : patches) {
            farEnough =
                farEnough && std::hypot(c[0] - o[0], c[1] - o[1], c[2] - o[2]) > 1.5 * radius;
        }
        if (farEnough) patches.push_back(c);
    }
    for (const auto& c : patches) addBlob(points, c, 0.04, 60, rng);
    const std::size_t cores = points.size() / 3;
    for (int i = 0; i < 400; ++i) {
        const auto& c = patches[static_cast<std::size_t>(i) % patches.size()];
        const double t = mix(rng);
        for (int k = 0; k < 3; ++k) points.push_back(t * c[k] + (1.0 - t) * white[k]);
    }
    const std::size_t n = points.size() / 3;
    CMeanShiftClusterer3D clusterer(points.data(), n, radius);
    EXPECT_TRUE(clusterer.Run());
    expectPartition(clusterer, n);
    const std::vector<int> reference = referenceMeanShift(points, radius);
    std::map<unsigned int, int> forward;
    std::map<int, unsigned int> backward;
    for (std::size_t i = 0; i < cores; ++i) {
        const unsigned int c = clusterer.GetClusterIndex(i);
        EXPECT_EQ(forward.emplace(c, reference[i]).first->second, reference[i]) << "point " << i;
        EXPECT_EQ(backward.emplace(reference[i], c).first->second, c) << "point " << i;
    }
    EXPECT_GE(forward.size(), 10u);  // close patches may share a mode, most do not
}
