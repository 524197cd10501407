// The lattice search for a chart's card: the chart is found by its patches,
// whatever its size, perspective and turn in the photo, and whether or not
// its card stands out from what lies around it.
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CardLocation/CardOutline.h"
#include "DataLayer/ShadeAnalysis/CardLocation/CardSearch.h"
#include "DataLayer/ShadeAnalysis/CardLocation/PatchLattice.h"
#include "DataLayer/ShadeAnalysis/CardLocation/PhotoSampling.h"

namespace DataLayer {
namespace CardLocation {

namespace {

using namespace PatchLattice;

/// The reduced image the search runs on holds about this many pixels; a
/// second, finer pass runs where the first finds nothing in a large photo.
constexpr double kWorkingPixels = 1.6e6;
/// Lattice steps between neighbouring patches, in units of the root of a
/// patch's area, and the angle between the two steps of a lattice cell.
constexpr double kMinStepRatio = 1.05;
constexpr double kMaxStepRatio = 2.5;
constexpr double kMinCellAngleDeg = 50.0;
constexpr double kMaxCellAngleDeg = 130.0;
/// Fewer matched blobs than this are not worth checking; a chart's window
/// holds at least `kMinPatchesInWindow` of them (a patch or two too pale or
/// too small to cut out is allowed for; a lattice along the grid's diagonals
/// holds every second position only).
constexpr int kMinMatched = 10;
constexpr int kMinPatchesInWindow = 14;
/// At least this share of a lattice's blobs whose edges can be read run their
/// edges along the lattice's steps: a chart's patches line up with its grid,
/// the squares of its diagonal lattice at 45 degrees do not.
constexpr double kMinAlignedShare = 0.7;
constexpr int kMaxRejectedKept = 5;
constexpr int kMaxHypothesesPerBlob = 6;
/// Objects beside the card that a lattice may hold beyond the chart's window.
constexpr int kMaxStrayBlobs = 2;

/// Whether the lattice's steps run along the edges of its blobs (where they
/// can be read) for at least `kMinAlignedShare` of them.
bool alignedWithPatches(const Lattice& lattice, const std::vector<Blob>& blobs) {
    int readable = 0;
    int aligned = 0;
    for (const auto& [point, index] : lattice.at) {
        const Blob& blob = blobs[static_cast<std::size_t>(index)];
        if (!blob.edges) continue;
        cv::Point2d p;
        cv::Point2d si;
        cv::Point2d sj;
        if (!predict(lattice.model, point.first, point.second, p, si, sj)) continue;
        ++readable;
        const double worst =
            std::max(std::min(lineAngleDeg(si, blob.edge[0]), lineAngleDeg(si, blob.edge[1])),
                     std::min(lineAngleDeg(sj, blob.edge[0]), lineAngleDeg(sj, blob.edge[1])));
        if (worst <= kEdgeAlignDeg) ++aligned;
    }
    return readable == 0 || aligned >= kMinAlignedShare * readable;
}

/// Judges a grown lattice: an oversized one is remembered as turned down
/// (true: the blob it grew from is done), one whose window passes at exactly
/// one placement becomes a card (true), any other is remembered with the
/// reason of its best placement (false: the blob may try another cell).
bool judgeLattice(const Lattice& lattice, const std::vector<Blob>& blobs,
                  const ChartGeometry& chart, int factor, const cv::Mat& reduced,
                  const cv::Mat& smoothed, std::vector<bool>& tried, std::vector<bool>& taken,
                  LatticeSearch& search) {
    if (static_cast<int>(lattice.at.size()) < kMinMatched) return false;
    if (!alignedWithPatches(lattice, blobs)) return false;
    const int spanI = lattice.maxI - lattice.minI + 1;
    const int spanJ = lattice.maxJ - lattice.minJ + 1;
    if (lattice.oversized) {
        // A larger grid (a chessboard, tiles): none of its blobs starts another.
        for (const auto& entry : lattice.at) tried[static_cast<std::size_t>(entry.second)] = true;
        if (search.rejected.size() < static_cast<std::size_t>(kMaxRejectedKept)) {
            search.rejected.push_back(
                {windowCorners(lattice.model, lattice.minI, lattice.minJ, spanI, spanJ, factor),
                 "a grid of patches larger than the chart's (a chessboard, tiles?)", 0.0});
        }
        return true;
    }
    // Every placement of the chart's window, in either layout, over the lattice.
    {
        std::vector<std::array<int, 4>> passed;  // i0, j0, width, height
        WindowCheck passedCheck;
        WindowCheck bestFailed;
        std::array<int, 4> bestFailedWindow{};
        const int layouts[2][2] = {{chart.cols, chart.rows}, {chart.rows, chart.cols}};
        for (int l = 0; l < (chart.rows == chart.cols ? 1 : 2); ++l) {
            const int w = layouts[l][0];
            const int h = layouts[l][1];
            // Windows that hold all but at most two of the lattice's blobs
            // (objects lying where a patch of the lattice would).
            for (int i0 = lattice.minI - w + 1; i0 <= lattice.maxI; ++i0) {
                for (int j0 = lattice.minJ - h + 1; j0 <= lattice.maxJ; ++j0) {
                    int inside = 0;
                    for (const auto& entry : lattice.at) {
                        const GridPoint& g = entry.first;
                        if (g.first >= i0 && g.first < i0 + w && g.second >= j0 &&
                            g.second < j0 + h) {
                            ++inside;
                        }
                    }
                    if (inside < kMinPatchesInWindow ||
                        inside + kMaxStrayBlobs < static_cast<int>(lattice.at.size())) {
                        continue;
                    }
                    const WindowCheck check = checkWindow(lattice, i0, j0, w, h, smoothed);
                    if (check.passed) {
                        passed.push_back({i0, j0, w, h});
                        passedCheck = check;
                    } else if (check.score >= bestFailed.score) {
                        bestFailed = check;
                        bestFailedWindow = {i0, j0, w, h};
                    }
                }
            }
        }
        if (passed.size() == 1) {
            const auto& win = passed.front();
            LatticeCard card;
            // The map refitted to the blobs inside the window only: an object
            // beside the card must not pull it.
            std::map<GridPoint, int> inside;
            for (const auto& entry : lattice.at) {
                const GridPoint& g = entry.first;
                if (g.first >= win[0] && g.first < win[0] + win[2] && g.second >= win[1] &&
                    g.second < win[1] + win[3]) {
                    inside.insert(entry);
                }
            }
            cv::Matx33d model = lattice.model;
            fitModel(inside, blobs, model);
            card.matchedPatches = static_cast<int>(inside.size());
            const cv::Matx33d grid =
                uprightWindow(model, win[0], win[1], win[2], win[3], card.cols, card.rows);
            const double f = factor;
            const double half = 0.5 * (factor - 1);
            const cv::Matx33d toPhotoPixels(f, 0, half, 0, f, half, 0, 0, 1);
            card.gridToPhoto = toPhotoPixels * grid;
            card.score = passedCheck.score;
            card.reduced = reduced;
            card.factor = factor;
            card.groundLevel = passedCheck.level;
            card.groundCast = passedCheck.cast;
            search.cards.push_back(card);
            for (const auto& entry : lattice.at) {
                taken[static_cast<std::size_t>(entry.second)] = true;
            }
            return true;
        }
        if (search.rejected.size() < static_cast<std::size_t>(kMaxRejectedKept)) {
            if (passed.size() > 1) {
                const auto& win = passed.front();
                search.rejected.push_back(
                    {windowCorners(lattice.model, win[0], win[1], win[2], win[3], factor),
                     "the chart's grid fits the patches found in " + std::to_string(passed.size()) +
                         " places",
                     passedCheck.score});
            } else if (!bestFailed.reason.empty()) {
                search.rejected.push_back(
                    {windowCorners(lattice.model, bestFailedWindow[0], bestFailedWindow[1],
                                   bestFailedWindow[2], bestFailedWindow[3], factor),
                     bestFailed.reason, bestFailed.score});
            }
        }
    }
    return false;
}

/// One pass of the search on the photo reduced by `factor`.
void searchAtFactor(const cv::Mat& photo, const ChartGeometry& chart, int factor,
                    LatticeSearch& search) {
    const cv::Mat reduced = reducePhoto(photo, factor, chart.linearInput);
    if (reduced.rows < 8 || reduced.cols < 8) return;
    std::vector<cv::Mat> channels;
    cv::split(reduced, channels);
    cv::Mat lowest;
    cv::min(channels[0], channels[1], lowest);
    cv::min(lowest, channels[2], lowest);
    cv::Mat reducedF;
    reduced.convertTo(reducedF, CV_32F);
    cv::Mat smoothed;
    cv::blur(reducedF, smoothed, cv::Size(3, 3));

    const std::vector<Blob> blobs = findBlobs(lowest);
    if (blobs.size() < static_cast<std::size_t>(kMinMatched)) return;
    std::vector<double> sides;
    for (const Blob& b : blobs) sides.push_back(std::sqrt(b.area));
    std::nth_element(sides.begin(), sides.begin() + static_cast<std::ptrdiff_t>(sides.size() / 2),
                     sides.end());
    const BlobIndex index(blobs, reduced.size(), 2.0 * sides[sides.size() / 2]);
    const int maxSpan = std::max(chart.rows, chart.cols) + kMaxStrayBlobs;

    std::vector<bool> taken(blobs.size(), false);
    std::vector<bool> tried(blobs.size(), false);
    for (std::size_t a = 0; a < blobs.size(); ++a) {
        if (taken[a] || tried[a]) continue;
        const Blob& A = blobs[a];
        const double root = std::sqrt(A.area);
        // Neighbours one lattice step away: similar size, along an edge.
        std::vector<std::pair<double, int>> neighbours;
        index.near(A.centre, kMaxStepRatio * root, [&](int k) {
            if (static_cast<std::size_t>(k) == a || taken[static_cast<std::size_t>(k)]) return;
            const Blob& B = blobs[static_cast<std::size_t>(k)];
            if (B.area > kAreaSpread * A.area || B.area * kAreaSpread < A.area) return;
            const cv::Point2d step = B.centre - A.centre;
            const double d = norm(step);
            if (d < kMinStepRatio * root) return;
            if (A.edges && std::min(lineAngleDeg(step, A.edge[0]), lineAngleDeg(step, A.edge[1])) >
                               kEdgeAlignDeg) {
                return;
            }
            neighbours.emplace_back(d, k);
        });
        std::sort(neighbours.begin(), neighbours.end());
        int hypotheses = 0;
        bool done = false;
        for (std::size_t p = 0;
             p < neighbours.size() && hypotheses < kMaxHypothesesPerBlob && !done; ++p) {
            for (std::size_t q = p + 1;
                 q < neighbours.size() && hypotheses < kMaxHypothesesPerBlob && !done; ++q) {
                const int b = neighbours[p].second;
                const int c = neighbours[q].second;
                const cv::Point2d ab = blobs[static_cast<std::size_t>(b)].centre - A.centre;
                const cv::Point2d ac = blobs[static_cast<std::size_t>(c)].centre - A.centre;
                const double angle =
                    std::acos(std::clamp(ab.dot(ac) / (norm(ab) * norm(ac)), -1.0, 1.0)) * 180.0 /
                    kPi;
                const double ratio = norm(ab) / norm(ac);
                if (angle < kMinCellAngleDeg || angle > kMaxCellAngleDeg || ratio < 0.6 ||
                    ratio > 1.67) {
                    continue;
                }
                ++hypotheses;
                done = judgeLattice(growLattice(blobs, index, static_cast<int>(a), b, c, maxSpan),
                                    blobs, chart, factor, reduced, smoothed, tried, taken, search);
            }
        }
    }
}

}  // namespace

LatticeSearch searchPatchLattice(const cv::Mat& photo, const ChartGeometry& chart) {
    LatticeSearch search;
    const double pixels = static_cast<double>(photo.cols) * photo.rows;
    int factor = std::max(1, static_cast<int>(std::lround(std::sqrt(pixels / kWorkingPixels))));
    while (true) {
        searchAtFactor(photo, chart, factor, search);
        if (!search.cards.empty() || factor == 1) break;
        factor = std::max(1, factor / 2);
    }
    if (search.cards.empty()) {
        search.reason = search.rejected.empty()
                            ? "no grid of the chart's patches in the photo"
                            : "no card with the chart's patches; the most card-like grid: " +
                                  search.rejected.front().reason;
        return search;
    }
    std::stable_sort(
        search.cards.begin(), search.cards.end(), [](const LatticeCard& a, const LatticeCard& b) {
            return a.score != b.score ? a.score > b.score : a.matchedPatches > b.matchedPatches;
        });
    return search;
}

}  // namespace CardLocation
}  // namespace DataLayer
