// The blobs the lattice search starts from: dark, convex regions of the
// reduced photo's lowest channel, each cut out at the highest level before it
// grows into its surroundings.
#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CardLocation/PatchLattice.h"

namespace DataLayer {
namespace CardLocation {
namespace PatchLattice {

namespace {

/// Levels of the lowest channel at which dark blobs are cut out: from the
/// top down by this ratio, to this floor.
constexpr double kLevelRatio = 0.9;
constexpr double kTopLevel = 250.0;
constexpr double kLowestLevel = 24.0;
/// A blob's size in the reduced image: the smallest patch side it may have,
/// and the largest share of the image's shorter side.
constexpr double kMinBlobSide = 3.5;
constexpr double kMaxBlobShare = 0.3;
/// A blob's area over its convex hull's: patches are convex.
constexpr double kMinSolidity = 0.86;

/// The edge directions of a convex blob: from its hull reduced to four
/// vertices where that works, else from its minimal rotated rectangle.
void measureEdges(const std::vector<cv::Point>& hull, double side, Blob& blob) {
    if (side < 6.0) {
        return;
    }
    std::vector<cv::Point> quad;
    cv::approxPolyDP(hull, quad, 0.06 * cv::arcLength(hull, true), true);
    if (quad.size() == 4) {
        const cv::Point2d e0 = cv::Point2d(quad[1] - quad[0]);
        const cv::Point2d e1 = cv::Point2d(quad[2] - quad[1]);
        const cv::Point2d e2 = cv::Point2d(quad[3] - quad[2]);
        const cv::Point2d e3 = cv::Point2d(quad[0] - quad[3]);
        const cv::Point2d a = e0 - e2;
        const cv::Point2d b = e1 - e3;
        if (norm(a) > 1e-9 && norm(b) > 1e-9) {
            blob.edge[0] = a * (1.0 / norm(a));
            blob.edge[1] = b * (1.0 / norm(b));
            blob.edges = true;
            return;
        }
    }
    const cv::RotatedRect box = cv::minAreaRect(hull);
    const double angle = box.angle * kPi / 180.0;
    blob.edge[0] = {std::cos(angle), std::sin(angle)};
    blob.edge[1] = {-std::sin(angle), std::cos(angle)};
    blob.edges = true;
}

}  // namespace

std::vector<Blob> findBlobs(const cv::Mat& lowest) {
    const double minArea = kMinBlobSide * kMinBlobSide;
    const double maxSide = kMaxBlobShare * std::min(lowest.rows, lowest.cols);
    const double maxArea = maxSide * maxSide;
    std::vector<Blob> blobs;
    cv::Mat mask;
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    std::vector<cv::Point> hull;
    // Levels from the lowest up: a patch appears whole once the level passes
    // its value and stays one convex blob until the level reaches its ground;
    // a blob found again at a higher level replaces the one it contains.
    std::vector<double> levels;
    for (double level = kTopLevel; level >= kLowestLevel; level *= kLevelRatio) {
        levels.push_back(level);
    }
    std::reverse(levels.begin(), levels.end());
    for (double level : levels) {
        cv::compare(lowest, level, mask, cv::CMP_LT);
        contours.clear();
        hierarchy.clear();
        cv::findContours(mask, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_SIMPLE);
        for (std::size_t k = 0; k < contours.size(); ++k) {
            if (hierarchy[k][3] >= 0) continue;  // a hole, not a blob
            const std::vector<cv::Point>& contour = contours[k];
            const cv::Rect box = cv::boundingRect(contour);
            if (box.width < kMinBlobSide || box.height < kMinBlobSide ||
                box.width > 1.6 * maxSide || box.height > 1.6 * maxSide) {
                continue;
            }
            // The pixels' area: the contour runs through the outer pixels' centres.
            const double area = cv::contourArea(contour) + 0.5 * cv::arcLength(contour, true) + 1.0;
            if (area < minArea || area > maxArea) continue;
            cv::convexHull(contour, hull);
            const double hullArea = cv::contourArea(hull) + 0.5 * cv::arcLength(hull, true) + 1.0;
            if (area < kMinSolidity * hullArea) continue;
            const cv::Moments m = cv::moments(contour);
            if (m.m00 <= 0.0) continue;
            // Not too elongated: a tilted square stays within about 1 : 2.
            const double mu20 = m.mu20 / m.m00;
            const double mu02 = m.mu02 / m.m00;
            const double mu11 = m.mu11 / m.m00;
            const double spread = std::sqrt(4.0 * mu11 * mu11 + (mu20 - mu02) * (mu20 - mu02));
            const double major = mu20 + mu02 + spread;
            const double minor = mu20 + mu02 - spread;
            if (!(minor > 0.0) || major > 5.0 * minor) continue;
            Blob blob;
            blob.centre = {m.m10 / m.m00, m.m01 / m.m00};
            blob.area = area;
            measureEdges(hull, std::sqrt(area), blob);
            blobs.push_back(blob);
        }
    }
    // One blob per place: the largest of those that contain each other.
    std::sort(blobs.begin(), blobs.end(),
              [](const Blob& a, const Blob& b) { return a.area > b.area; });
    std::vector<Blob> kept;
    for (const Blob& blob : blobs) {
        const bool inside = std::any_of(kept.begin(), kept.end(), [&](const Blob& k) {
            return norm(blob.centre - k.centre) < 0.35 * std::sqrt(k.area) &&
                   blob.area > k.area / 3.0;
        });
        if (!inside) kept.push_back(blob);
    }
    return kept;
}

}  // namespace PatchLattice
}  // namespace CardLocation
}  // namespace DataLayer
