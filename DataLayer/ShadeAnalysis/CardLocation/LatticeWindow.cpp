// The chart's window placed on a grown lattice: whether the image shows the
// chart there, and the window's outline and upright grid in the photo.
#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "DataLayer/ShadeAnalysis/CardLocation/CardOutline.h"
#include "DataLayer/ShadeAnalysis/CardLocation/CardSearch.h"
#include "DataLayer/ShadeAnalysis/CardLocation/PatchLattice.h"
#include "DataLayer/ShadeAnalysis/CardLocation/PhotoSampling.h"

namespace DataLayer {
namespace CardLocation {
namespace PatchLattice {

namespace {

/// Grid positions that may lack a patch, the share of ground samples that
/// must look like card ground, and the distinct colours the patches show.
constexpr int kMissingPatchesAllowed = 2;
constexpr double kMinGroundShare = 0.8;
constexpr int kMinDistinctColours = 6;

}  // namespace

/// Checks the window of `width` x `height` grid points from (i0, j0) of the
/// lattice's model against the image: a patch at (nearly) every position,
/// card ground between them, several distinct colours, and no blob of the
/// lattice on the ring of positions around the window.
WindowCheck checkWindow(const Lattice& lattice, int i0, int j0, int width, int height,
                        const cv::Mat& smoothed) {
    WindowCheck check;
    const std::size_t positions =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<cv::Vec3f> centre(positions);
    std::vector<float> centreSpread(positions, 0.0f);
    std::vector<bool> centreInside(positions, false);
    std::vector<std::array<cv::Vec3f, 4>> ground(positions);
    std::vector<std::array<bool, 4>> groundInside(positions);
    std::vector<float> levels;
    std::vector<cv::Vec3f> casts;
    const double offsets[4][2] = {{0.5, 0.0}, {-0.5, 0.0}, {0.0, 0.5}, {0.0, -0.5}};
    const double centreOffsets[5][2] = {{0, 0}, {0.12, 0}, {-0.12, 0}, {0, 0.12}, {0, -0.12}};
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            const std::size_t k = static_cast<std::size_t>(r) * width + c;
            const double i = i0 + c;
            const double j = j0 + r;
            cv::Vec3f sum(0, 0, 0);
            cv::Vec3f lo(1e9f, 1e9f, 1e9f);
            cv::Vec3f hi(-1e9f, -1e9f, -1e9f);
            int n = 0;
            for (const auto& o : centreOffsets) {
                cv::Point2d p;
                cv::Vec3f colour;
                if (applyHomography(lattice.model, {i + o[0], j + o[1]}, p) &&
                    sampleColor(smoothed, p, colour)) {
                    sum += colour;
                    for (int ch = 0; ch < 3; ++ch) {
                        lo[ch] = std::min(lo[ch], colour[ch]);
                        hi[ch] = std::max(hi[ch], colour[ch]);
                    }
                    ++n;
                }
            }
            if (n == 5) {
                centre[k] = sum * 0.2f;
                centreInside[k] = true;
                centreSpread[k] = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
            }
            for (int s = 0; s < 4; ++s) {
                cv::Point2d p;
                groundInside[k][s] =
                    applyHomography(lattice.model, {i + offsets[s][0], j + offsets[s][1]}, p) &&
                    sampleColor(smoothed, p, ground[k][s]);
                if (groundInside[k][s]) {
                    const float v = brightest(ground[k][s]);
                    levels.push_back(v);
                    casts.push_back(ground[k][s] * (1.0f / std::max(1.0f, v)));
                }
            }
        }
    }
    if (levels.size() < positions) {
        check.reason = "the grid reaches beyond the photo";
        return check;
    }
    std::vector<float> sorted = levels;
    const std::size_t q = sorted.size() * 3 / 4;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(q), sorted.end());
    check.level = sorted[q];
    for (int ch = 0; ch < 3; ++ch) {
        std::vector<float> ratios;
        for (std::size_t s = 0; s < casts.size(); ++s) {
            if (levels[s] >= 0.6 * check.level) ratios.push_back(casts[s][ch]);
        }
        if (ratios.empty()) ratios.push_back(1.0f);
        std::nth_element(ratios.begin(),
                         ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2),
                         ratios.end());
        check.cast[ch] = ratios[ratios.size() / 2];
    }
    auto isGround = [&](const cv::Vec3f& colour) {
        const float v = brightest(colour);
        if (v < 0.6 * check.level || v < 24.0f) return false;
        for (int ch = 0; ch < 3; ++ch) {
            if (std::fabs(colour[ch] / v - check.cast[ch]) > 0.1f) return false;
        }
        return true;
    };
    std::vector<cv::Vec3f> patchColours;
    for (std::size_t k = 0; k < positions; ++k) {
        cv::Vec3f sum(0, 0, 0);
        int n = 0;
        for (int s = 0; s < 4; ++s) {
            ++check.groundTotal;
            if (groundInside[k][s] && isGround(ground[k][s])) {
                ++check.groundOk;
                sum += ground[k][s];
                ++n;
            }
        }
        if (n < 2 || !centreInside[k]) continue;
        const cv::Vec3f groundColour = sum * (1.0f / static_cast<float>(n));
        const float groundValue = brightest(groundColour);
        float difference = 0.0f;
        for (int ch = 0; ch < 3; ++ch) {
            difference = std::max(difference, std::fabs(centre[k][ch] - groundColour[ch]));
        }
        const bool uniform = centreSpread[k] <= std::max(24.0f, 0.5f * difference);
        if (difference >= std::max(12.0f, 0.1f * groundValue) && uniform) {
            ++check.patches;
            cv::Vec3f relative;
            for (int ch = 0; ch < 3; ++ch) {
                relative[ch] = centre[k][ch] / std::max(1.0f, groundColour[ch]);
            }
            patchColours.push_back(relative);
        }
    }
    check.score = (static_cast<double>(check.patches) / static_cast<double>(positions)) *
                  (static_cast<double>(check.groundOk) / std::max(1, check.groundTotal));
    if (check.patches < static_cast<int>(positions) - kMissingPatchesAllowed) {
        check.reason = "only " + std::to_string(check.patches) + " of " +
                       std::to_string(positions) + " grid positions hold a patch";
        return check;
    }
    if (check.groundOk < kMinGroundShare * check.groundTotal) {
        check.reason = "the ground between the patches is not card ground (" +
                       std::to_string(check.groundOk) + " of " + std::to_string(check.groundTotal) +
                       " samples)";
        return check;
    }
    // A chart's patches show many colours; a chessboard, tiles or windows one or two.
    std::vector<cv::Vec3f> distinct;
    for (const cv::Vec3f& colour : patchColours) {
        const bool seen = std::any_of(distinct.begin(), distinct.end(), [&](const cv::Vec3f& d) {
            return std::max({std::fabs(d[0] - colour[0]), std::fabs(d[1] - colour[1]),
                             std::fabs(d[2] - colour[2])}) < 0.08f;
        });
        if (!seen) distinct.push_back(colour);
    }
    if (static_cast<int>(distinct.size()) < kMinDistinctColours) {
        check.reason = "the patches show only " + std::to_string(distinct.size()) +
                       " distinct colours (a regular pattern, not a chart)";
        return check;
    }
    // Nothing of the lattice beyond the window: a larger grid (a chessboard,
    // tiles, a second chart beside this one) is not the chart. A single
    // object that happens to lie where a patch of the lattice would is
    // tolerated; two along one side, or three around it, are not. (Blobs of
    // a textured desk that merely lie near a ring position but do not
    // continue the lattice, and objects without ground around them, do not
    // count.)
    int ringTotal = 0;
    int ringSide[4] = {0, 0, 0, 0};  // top, bottom, left, right
    for (int j = j0 - 1; j <= j0 + height; ++j) {
        for (int i = i0 - 1; i <= i0 + width; ++i) {
            if (i >= i0 && i < i0 + width && j >= j0 && j < j0 + height) continue;
            if (lattice.at.count({i, j}) == 0) continue;
            // A square of a larger grid sits on that grid's ground; an object
            // lying beside the card has the desk around it.
            int groundAround = 0;
            for (const auto& o : offsets) {
                cv::Point2d p;
                cv::Vec3f colour;
                if (applyHomography(lattice.model, {i + o[0], j + o[1]}, p) &&
                    sampleColor(smoothed, p, colour) && isGround(colour)) {
                    ++groundAround;
                }
            }
            if (groundAround < 3) continue;
            ++ringTotal;
            if (j == j0 - 1) ++ringSide[0];
            if (j == j0 + height) ++ringSide[1];
            if (i == i0 - 1) ++ringSide[2];
            if (i == i0 + width) ++ringSide[3];
        }
    }
    if (ringTotal >= 3 || *std::max_element(ringSide, ringSide + 4) >= 2) {
        check.reason = "the grid of patches reaches beyond the chart's";
        return check;
    }
    check.passed = true;
    return check;
}

/// The candidate's outline for the report: the window's corners half a step
/// beyond the outer positions, in photo pixels.
std::array<cv::Point2f, 4> windowCorners(const cv::Matx33d& model, double i0, double j0, int width,
                                         int height, int factor) {
    const double corners[4][2] = {{i0 - 0.5, j0 - 0.5},
                                  {i0 + width - 0.5, j0 - 0.5},
                                  {i0 + width - 0.5, j0 + height - 0.5},
                                  {i0 - 0.5, j0 + height - 0.5}};
    std::array<cv::Point2f, 4> out{};
    for (int k = 0; k < 4; ++k) {
        cv::Point2d p(0, 0);
        applyHomography(model, {corners[k][0], corners[k][1]}, p);
        out[static_cast<std::size_t>(k)] = cv::Point2f(toPhoto(p, factor));
    }
    return out;
}

/// The lattice's model turned so that the window's first axis runs as close
/// to the photo's x axis as it can, its second axis downward: grid point
/// (c, r) of the result is the window's column c and row r.
cv::Matx33d uprightWindow(const cv::Matx33d& model, int i0, int j0, int width, int height,
                          int& columns, int& rows) {
    const double ci = i0 + 0.5 * (width - 1);
    const double cj = j0 + 0.5 * (height - 1);
    cv::Point2d p;
    cv::Point2d si;
    cv::Point2d sj;
    predict(model, ci, cj, p, si, sj);
    // Candidate x axes: +-i, +-j; the one pointing most along +x wins.
    struct Axis {
        cv::Point2d image;
        int di, dj;
    };
    const Axis axes[4] = {{si, 1, 0}, {-si, -1, 0}, {sj, 0, 1}, {-sj, 0, -1}};
    int best = 0;
    for (int k = 1; k < 4; ++k) {
        if (axes[k].image.x / norm(axes[k].image) > axes[best].image.x / norm(axes[best].image)) {
            best = k;
        }
    }
    const Axis& x = axes[best];
    // The y axis: the other lattice axis, signed so that x and y are not mirrored.
    Axis y = x.di != 0 ? Axis{sj, 0, 1} : Axis{si, 1, 0};
    if (cross(x.image, y.image) < 0.0) {
        y = {-y.image, -y.di, -y.dj};
    }
    const bool xAlongI = x.di != 0;
    columns = xAlongI ? width : height;
    rows = xAlongI ? height : width;
    // Grid point (c, r) -> lattice point (i, j).
    const double originI = (x.di < 0 || y.di < 0) ? i0 + width - 1 : i0;
    const double originJ = (x.dj < 0 || y.dj < 0) ? j0 + height - 1 : j0;
    const cv::Matx33d toLattice(x.di, y.di, originI, x.dj, y.dj, originJ, 0, 0, 1);
    return model * toLattice;
}

}  // namespace PatchLattice
}  // namespace CardLocation
}  // namespace DataLayer
