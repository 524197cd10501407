// The bright-region search for a chart's card: bright, nearly neutral regions
// of the card's size at the chart type's nominal scale, turned by at most 15
// degrees, each checked for the chart's grid of patches.
#include "DataLayer/ShadeAnalysis/CardLocation/CardSearch.h"

#include "DataLayer/ShadeAnalysis/CardLocation/CardOutline.h"
#include "DataLayer/ShadeAnalysis/CardLocation/PhotoSampling.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include <opencv2/imgproc.hpp>

namespace DataLayer {
namespace CardLocation {

namespace {

constexpr double kPi = 3.14159265358979323846;
/// The largest rotation of the card against the image axes, in degrees.
constexpr double kMaxRotationDeg = 15.0;
/// The patch side in the reduced image the search runs on, in pixels.
constexpr double kReducedPatchSide = 8.0;
/// The white margin of a card around its outer patches: from 0.3 patch side
/// to one and a half grid steps (the edge search starts 0.2 patch side beyond
/// the patches).
constexpr double kMinMarginSides = 0.3;
constexpr double kMaxMarginSteps = 1.5;
/// Whiteness levels (brightest channel minus twice the chroma, 8-bit) at which
/// bright areas are cut out: fixed ones for cards under any exposure and
/// fractions of the photo's bright end.
constexpr int kFixedLevels[] = {90, 110, 130, 150, 170, 190, 210, 230};
constexpr double kRelativeLevels[] = {0.5, 0.65, 0.8};
/// Grid positions that may lack a patch, and the share of ground samples
/// between the patches that must look like card ground.
constexpr int kMissingPatchesAllowed = 2;
constexpr double kMinGroundShare = 0.8;
constexpr int kMaxRejectedKept = 5;
/// The support mask frees the card shrunk by this many photo pixels, so that
/// a corner a pixel off frees no scene.
constexpr double kSupportInset = 1.0;

/// The chart's card in the reduced image's pixels.
struct CardGeometry {
    int rows = 0;
    int cols = 0;
    int factor = 1;      ///< reduction factor per axis
    double pitch = 0.0;  ///< grid step, reduced pixels
    double side = 0.0;   ///< patch side, reduced pixels
    double minW = 0.0;   ///< card width range (along the rows)
    double maxW = 0.0;
    double minH = 0.0;  ///< card height range (down the columns)
    double maxH = 0.0;
    double minMargin = 0.0;
};

/// A rotated rectangle with its angle folded into (-45, 45] degrees, so that
/// `width` runs along the image's x axis.
struct CardRect {
    cv::Point2d centre;
    double width = 0.0;
    double height = 0.0;
    double angleDeg = 0.0;

    cv::Point2d alongRow() const {
        const double a = angleDeg * kPi / 180.0;
        return {std::cos(a), std::sin(a)};
    }
    cv::Point2d downColumn() const {
        const double a = angleDeg * kPi / 180.0;
        return {-std::sin(a), std::cos(a)};
    }
    /// Top left, top right, bottom right, bottom left.
    std::array<cv::Point2d, 4> corners() const {
        const cv::Point2d u = alongRow() * (0.5 * width);
        const cv::Point2d v = downColumn() * (0.5 * height);
        return {centre - u - v, centre + u - v, centre + u + v, centre - u + v};
    }
};

CardRect foldRect(const cv::RotatedRect& box) {
    CardRect rect;
    rect.centre = cv::Point2d(box.center);
    rect.width = box.size.width;
    rect.height = box.size.height;
    double angle = box.angle;
    while (angle > 45.0) {
        angle -= 90.0;
        std::swap(rect.width, rect.height);
    }
    while (angle <= -45.0) {
        angle += 90.0;
        std::swap(rect.width, rect.height);
    }
    rect.angleDeg = angle;
    return rect;
}

/// How well the chart's grid fits inside a candidate.
struct GridCheck {
    int patches = 0;   ///< positions that hold a patch
    int groundOk = 0;  ///< ground samples that look like card ground
    int groundTotal = 0;
    double score = 0.0;
};

/// Checks the chart's grid, centred on the rectangle's centre shifted by
/// (`du`, `dv`) grid-axis pixels, against the reduced image.
GridCheck checkGrid(const CardGeometry& g, const CardRect& rect, double du, double dv,
                    const cv::Mat& reduced, const cv::Mat& smoothed) {
    const cv::Point2d u = rect.alongRow();
    const cv::Point2d v = rect.downColumn();
    const cv::Point2d origin = rect.centre + u * du + v * dv;
    // The ground's level: the upper quartile of the samples between patches.
    std::vector<cv::Vec3f> ground;
    std::vector<float> levels;
    GridCheck check;
    const cv::Point2d offsets[4] = {u * (0.5 * g.pitch), -u * (0.5 * g.pitch), v * (0.5 * g.pitch),
                                    -v * (0.5 * g.pitch)};
    std::vector<std::array<cv::Vec3f, 4>> samples(static_cast<std::size_t>(g.rows * g.cols));
    std::vector<std::array<bool, 4>> inside(samples.size());
    std::vector<cv::Vec3f> centres(samples.size());
    std::vector<bool> centreInside(samples.size());
    for (int r = 0; r < g.rows; ++r) {
        for (int c = 0; c < g.cols; ++c) {
            const std::size_t k = static_cast<std::size_t>(r) * static_cast<std::size_t>(g.cols) +
                                  static_cast<std::size_t>(c);
            const cv::Point2d p = origin + u * ((c - 0.5 * (g.cols - 1)) * g.pitch) +
                                  v * ((r - 0.5 * (g.rows - 1)) * g.pitch);
            centreInside[k] = sampleColor(smoothed, p, centres[k]);
            for (int s = 0; s < 4; ++s) {
                inside[k][s] = sampleColor(reduced, p + offsets[s], samples[k][s]);
                if (inside[k][s]) levels.push_back(brightest(samples[k][s]));
            }
        }
    }
    if (levels.empty()) {
        return check;
    }
    const std::size_t q = levels.size() * 3 / 4;
    std::nth_element(levels.begin(), levels.begin() + static_cast<std::ptrdiff_t>(q), levels.end());
    const double level = levels[q];
    for (std::size_t k = 0; k < samples.size(); ++k) {
        cv::Vec3f sum(0, 0, 0);
        int n = 0;
        for (int s = 0; s < 4; ++s) {
            ++check.groundTotal;
            if (inside[k][s] && looksLikeGround(samples[k][s], level)) {
                ++check.groundOk;
                sum += samples[k][s];
                ++n;
            }
        }
        if (n < 2 || !centreInside[k]) {
            continue;
        }
        const cv::Vec3f groundColour = sum * (1.0f / static_cast<float>(n));
        float difference = 0.0f;
        for (int ch = 0; ch < 3; ++ch) {
            difference = std::max(difference, std::fabs(centres[k][ch] - groundColour[ch]));
        }
        if (difference >= std::max(12.0f, 0.1f * brightest(groundColour))) {
            ++check.patches;
        }
    }
    check.score = (static_cast<double>(check.patches) / static_cast<double>(samples.size())) *
                  (static_cast<double>(check.groundOk) / std::max(1, check.groundTotal));
    return check;
}

/// A verified or rejected candidate in reduced pixels.
struct Candidate {
    CardRect rect;
    double du = 0.0;
    double dv = 0.0;
    GridCheck grid;
    double fill = 0.0;  ///< contour area / rectangle area
    bool accepted = false;
    std::string reason;
};

std::string describeSize(const CardGeometry& g, const CardRect& rect) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "a bright area of %.0f x %.0f px turned by %.1f degrees, where the card is "
                  "%.0f-%.0f x %.0f-%.0f px within %.0f degrees",
                  rect.width * g.factor, rect.height * g.factor, rect.angleDeg, g.minW * g.factor,
                  g.maxW * g.factor, g.minH * g.factor, g.maxH * g.factor, kMaxRotationDeg);
    return text;
}

Candidate judgeContour(const CardGeometry& g, const std::vector<cv::Point>& contour,
                       const cv::Mat& reduced, const cv::Mat& smoothed) {
    Candidate candidate;
    candidate.rect = foldRect(cv::minAreaRect(contour));
    const CardRect& rect = candidate.rect;
    const double area = std::max(1.0, rect.width * rect.height);
    candidate.fill = cv::contourArea(contour) / area;
    if (std::fabs(rect.angleDeg) > kMaxRotationDeg + 1.0 || rect.width < g.minW ||
        rect.width > g.maxW || rect.height < g.minH || rect.height > g.maxH) {
        candidate.reason = describeSize(g, rect);
        return candidate;
    }
    if (candidate.fill < 0.8) {
        char text[120];
        std::snprintf(text, sizeof text, "not a quadrilateral (it fills %.0f%% of its box)",
                      100.0 * candidate.fill);
        candidate.reason = text;
        return candidate;
    }
    // The grid may sit off the box's centre by what the margins leave free.
    const double spareU = std::min(0.5 * g.pitch, std::max(0.0, 0.5 * (rect.width - g.minW)));
    const double spareV = std::min(0.5 * g.pitch, std::max(0.0, 0.5 * (rect.height - g.minH)));
    for (double du = -std::floor(spareU); du <= spareU; du += 1.0) {
        for (double dv = -std::floor(spareV); dv <= spareV; dv += 1.0) {
            const GridCheck check = checkGrid(g, rect, du, dv, reduced, smoothed);
            if (check.score > candidate.grid.score) {
                candidate.grid = check;
                candidate.du = du;
                candidate.dv = dv;
            }
        }
    }
    const int positions = g.rows * g.cols;
    const GridCheck& best = candidate.grid;
    if (best.patches < positions - kMissingPatchesAllowed) {
        candidate.reason = "only " + std::to_string(best.patches) + " of " +
                           std::to_string(positions) + " grid positions hold a patch";
        return candidate;
    }
    if (best.groundOk < kMinGroundShare * best.groundTotal) {
        candidate.reason = "the ground between the patches is not card ground (" +
                           std::to_string(best.groundOk) + " of " +
                           std::to_string(best.groundTotal) + " samples)";
        return candidate;
    }
    candidate.accepted = true;
    return candidate;
}

}  // namespace

ChartCardLocation searchBrightCard(const cv::Mat& photo, const ChartGeometry& chart) {
    ChartCardLocation location;
    CardGeometry g;
    g.rows = chart.rows;
    g.cols = chart.cols;
    g.factor = std::max(1, static_cast<int>(std::lround(chart.side / kReducedPatchSide)));
    const double f = g.factor;
    g.pitch = chart.pitch / f;
    g.side = chart.side / f;
    const double gridW = ((g.cols - 1) * chart.pitch + chart.side) / f;
    const double gridH = ((g.rows - 1) * chart.pitch + chart.side) / f;
    g.minMargin = kMinMarginSides * g.side;
    const double maxMargin = kMaxMarginSteps * g.pitch;
    // A little slack for the blur of the reduced image and a rectangle fitted
    // around pixel blocks.
    g.minW = gridW + 2.0 * g.minMargin - 2.0;
    g.maxW = gridW + 2.0 * maxMargin + 2.0;
    g.minH = gridH + 2.0 * g.minMargin - 2.0;
    g.maxH = gridH + 2.0 * maxMargin + 2.0;
    const double diagonal = std::hypot(g.minW, g.minH) * f;
    // Whole blocks of the reduction only: the reduced image's size.
    const int reducedCols = photo.cols / g.factor;
    const int reducedRows = photo.rows / g.factor;
    if (reducedCols < g.minW || reducedRows < g.minH ||
        static_cast<double>(photo.cols) * photo.rows < 0.5 * diagonal * diagonal) {
        location.reason = "the photo is smaller than the chart's card";
        return location;
    }

    const cv::Mat reduced = reducePhoto(photo, g.factor, chart.linearInput);
    cv::Mat reducedF;
    reduced.convertTo(reducedF, CV_32F);
    cv::Mat smoothed;
    cv::blur(reducedF, smoothed, cv::Size(3, 3));
    std::vector<cv::Mat> channels;
    cv::split(reduced, channels);
    cv::Mat value;
    cv::Mat lowest;
    cv::max(channels[0], channels[1], value);
    cv::max(value, channels[2], value);
    cv::min(channels[0], channels[1], lowest);
    cv::min(lowest, channels[2], lowest);
    cv::Mat whiteness = value - 2 * (value - lowest);  // saturates at 0

    std::vector<int> levels(std::begin(kFixedLevels), std::end(kFixedLevels));
    {
        const int histSize = 256;
        std::vector<int> hist(histSize, 0);
        for (int y = 0; y < whiteness.rows; ++y) {
            const uchar* row = whiteness.ptr<uchar>(y);
            for (int x = 0; x < whiteness.cols; ++x) ++hist[row[x]];
        }
        const long long total = static_cast<long long>(whiteness.total());
        long long seen = 0;
        int top = 255;
        for (; top > 0; --top) {
            seen += hist[static_cast<std::size_t>(top)];
            if (seen * 200 >= total) break;  // the brightest half percent
        }
        for (double share : kRelativeLevels) levels.push_back(static_cast<int>(share * top));
    }
    std::sort(levels.begin(), levels.end());
    levels.erase(std::unique(levels.begin(), levels.end()), levels.end());

    const double minArea = 0.5 * g.minW * g.minH;
    std::vector<Candidate> accepted;
    std::vector<Candidate> rejected;
    cv::Mat mask;
    for (int level : levels) {
        if (level <= 0) continue;
        cv::compare(whiteness, level, mask, cv::CMP_GT);
        cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, cv::Mat());
        std::vector<std::vector<cv::Point>> contours;
        cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
        for (const std::vector<cv::Point>& contour : contours) {
            const cv::Rect box = cv::boundingRect(contour);
            if (static_cast<double>(box.width) * box.height < minArea) continue;
            Candidate candidate = judgeContour(g, contour, reducedF, smoothed);
            (candidate.accepted ? accepted : rejected).push_back(std::move(candidate));
        }
    }

    auto toPhotoCorners = [&](const CardRect& rect) {
        std::array<cv::Point2d, 4> corners = rect.corners();
        for (cv::Point2d& c : corners) c = toPhoto(c, g.factor);
        return corners;
    };
    if (accepted.empty()) {
        // Keep the most card-like of the rejected regions, one per place.
        std::sort(rejected.begin(), rejected.end(), [](const Candidate& a, const Candidate& b) {
            return a.grid.score != b.grid.score
                       ? a.grid.score > b.grid.score
                       : a.rect.width * a.rect.height > b.rect.width * b.rect.height;
        });
        for (const Candidate& c : rejected) {
            if (static_cast<int>(location.rejected.size()) >= kMaxRejectedKept) break;
            const bool seen = std::any_of(
                location.rejected.begin(), location.rejected.end(),
                [&](const ChartCardCandidate& k) {
                    const cv::Point2d centre = toPhoto(c.rect.centre, g.factor);
                    const cv::Point2d other =
                        0.5 * (cv::Point2d(k.corners[0]) + cv::Point2d(k.corners[2]));
                    return std::hypot(centre.x - other.x, centre.y - other.y) < chart.pitch;
                });
            if (seen) continue;
            location.rejected.push_back({toFloat(toPhotoCorners(c.rect)), c.reason, c.grid.score});
        }
        location.reason = location.rejected.empty()
                              ? "no bright area of the card's size"
                              : "no card with the chart's patches; the most card-like area: " +
                                    location.rejected.front().reason;
        return location;
    }
    // The same card is usually cut out at several levels, more or less well
    // (a hand or a pale object beside it may join it at a low level). Of the
    // candidates with (nearly) the best grid, the one whose outline the
    // photo's edges confirm best wins.
    double bestScore = 0.0;
    for (const Candidate& c : accepted) bestScore = std::max(bestScore, c.grid.score);
    const Candidate* best = nullptr;
    RefinedCorners bestCorners;
    const double gridHalfW = 0.5 * ((g.cols - 1) * chart.pitch + chart.side);
    const double gridHalfH = 0.5 * ((g.rows - 1) * chart.pitch + chart.side);
    std::vector<const Candidate*> measured;
    for (const Candidate& c : accepted) {
        if (c.grid.score < bestScore - 0.1) continue;
        // Several levels often cut out the same outline: measure it once.
        const bool same = std::any_of(measured.begin(), measured.end(), [&](const Candidate* m) {
            return std::hypot(m->rect.centre.x - c.rect.centre.x,
                              m->rect.centre.y - c.rect.centre.y) < 0.75 &&
                   std::fabs(m->rect.width - c.rect.width) < 1.0 &&
                   std::fabs(m->rect.height - c.rect.height) < 1.0 &&
                   std::fabs(m->rect.angleDeg - c.rect.angleDeg) < 0.5 && m->du == c.du &&
                   m->dv == c.dv;
        });
        if (same) continue;
        measured.push_back(&c);
        PlacedGrid grid;
        grid.u = c.rect.alongRow();
        grid.v = c.rect.downColumn();
        grid.centre = toPhoto(c.rect.centre + grid.u * c.du + grid.v * c.dv, g.factor);
        grid.halfW = gridHalfW;
        grid.halfH = gridHalfH;
        const RefinedCorners refined =
            refineCorners(photo, grid, 0.2 * chart.side, kMaxMarginSteps * chart.pitch + 2.0 * f,
                          toPhotoCorners(c.rect));
        if (best == nullptr || refined.edgePoints > bestCorners.edgePoints ||
            (refined.edgePoints == bestCorners.edgePoints && c.grid.score > best->grid.score)) {
            best = &c;
            bestCorners = refined;
        }
    }
    const std::array<cv::Point2d, 4>& corners = bestCorners.corners;
    location.found = true;
    location.corners = toFloat(corners);
    location.score = best->grid.score;
    location.regionOfInterest = boxAround(corners, 0.2 * chart.pitch, photo.size());
    // The ground level the grid check measured, back from its score's samples.
    double level = 0.0;
    cv::Vec3f groundCast(1.0f, 1.0f, 1.0f);
    {
        std::vector<float> values;
        std::vector<cv::Vec3f> casts;
        const cv::Point2d u = best->rect.alongRow();
        const cv::Point2d v = best->rect.downColumn();
        const cv::Point2d origin = best->rect.centre + u * best->du + v * best->dv;
        for (int r = 0; r <= g.rows; ++r) {
            for (int c = 0; c <= g.cols; ++c) {
                const cv::Point2d p = origin + u * ((c - 0.5 * g.cols) * g.pitch) +
                                      v * ((r - 0.5 * g.rows) * g.pitch);
                cv::Vec3f colour;
                if (sampleColor(reducedF, p, colour)) {
                    values.push_back(brightest(colour));
                    casts.push_back(colour * (1.0f / std::max(1.0f, brightest(colour))));
                }
            }
        }
        if (!values.empty()) {
            const std::size_t q = values.size() * 3 / 4;
            std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(q),
                             values.end());
            level = values[q];
            // The ground's colour cast: per channel median of the samples' ratios to
            // their brightest channel.
            for (int ch = 0; ch < 3; ++ch) {
                std::vector<float> ratios;
                for (const cv::Vec3f& c : casts) ratios.push_back(c[ch]);
                std::nth_element(ratios.begin(),
                                 ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2),
                                 ratios.end());
                groundCast[ch] = ratios[ratios.size() / 2];
            }
        }
    }
    // The patches' area in reduced pixels, a pixel beyond the outer patches' edges.
    std::array<cv::Point2d, 4> gridBox;
    {
        const cv::Point2d u = best->rect.alongRow();
        const cv::Point2d v = best->rect.downColumn();
        const cv::Point2d origin = best->rect.centre + u * best->du + v * best->dv;
        const double halfW = 0.5 * ((g.cols - 1) * g.pitch + g.side) + 1.0;
        const double halfH = 0.5 * ((g.rows - 1) * g.pitch + g.side) + 1.0;
        gridBox = {origin - u * halfW - v * halfH, origin + u * halfW - v * halfH,
                   origin + u * halfW + v * halfH, origin - u * halfW + v * halfH};
    }
    location.supportMask = buildSupportMask(photo.size(), corners, kSupportInset, reduced, g.factor,
                                            level, groundCast, gridBox);
    return location;
}

}  // namespace CardLocation
}  // namespace DataLayer
