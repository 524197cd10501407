#pragma once

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/matx.hpp>

#include "Base/Export.h"
#include "Base/IParameterSetColorCalibrationTarget.h"

namespace DataLayer {

/// A card-shaped region that the locator looked at and turned down.
struct ChartCardCandidate {
    /// Corners in photo pixels: top left, top right, bottom right, bottom left.
    std::array<cv::Point2f, 4> corners{};
    /// Why it is not the chart's card (size, shape, patches or ground).
    std::string reason;
    /// How card-like it was, 0..1 (the fraction of grid positions with a patch).
    double score = 0.0;
};

/// Where the chart's card lies in a photo, as `CChartCardLocator::locate` found it.
struct ChartCardLocation {
    /// Whether a card with the chart's patches was found. Every field below
    /// except `reason` and `rejected` is meaningful only when it is.
    bool found = false;
    /// The card's corners in photo pixels (x right, y down, pixel centres at
    /// integers): top left, top right, bottom right, bottom left of the
    /// upright card.
    std::array<cv::Point2f, 4> corners{};
    /// The card's bounding box grown by a fifth of a grid step and clipped to
    /// the photo: the region to segment.
    cv::Rect regionOfInterest;
    /// CV_8UC1 of the photo's size: 0 on the card's visible white ground,
    /// 255 everywhere else (the scene, anything lying over the card, the
    /// card's edge band). This is the engine's colour image ROI convention:
    /// non-zero pixels are no usable white. Patches on the card may be 0 or
    /// 255; the engine excludes them itself.
    cv::Mat supportMask;
    /// Confidence, 0..1: the fraction of the chart's grid positions that hold
    /// a patch, times the fraction of ground samples between them that look
    /// like card ground.
    double score = 0.0;
    /// The homography from the chart's nominal card frame to the photo. The
    /// nominal frame is the card as the chart's parameter set draws it, in its
    /// pixels (patch side `GetSegmentSideLength`, pitch `GetGridLength`), x
    /// along the rows and y down the columns, with the origin at the centre of
    /// the grid of patches: patch (row r, column c) of the found layout has its
    /// centre at ((c - (gridColumns - 1) / 2) * pitch, (r - (gridRows - 1) / 2) * pitch).
    /// The found layout keeps the card's axes closest to the photo's: the card
    /// is turned by at most 45 degrees against the frame, never mirrored.
    cv::Matx33d homography = cv::Matx33d::eye();
    /// The found layout: the parameter set's rows x columns, or columns x rows
    /// for a card turned by a quarter turn (or printed that way round).
    int gridRows = 0;
    int gridColumns = 0;
    /// Photo pixels per nominal pixel at the grid's centre (the root of the
    /// homography's local area scale there).
    double scale = 0.0;
    /// How far the card plane is tilted from facing the camera, in degrees,
    /// estimated from how unequally the homography stretches the two axes at
    /// the grid's centre (within about half a degree from 15 degrees up; a
    /// card facing the camera reads up to about 4).
    double tiltDeg = 0.0;
    /// The angle of the grid's rows against the photo's x axis, degrees,
    /// counter-clockwise as the photo shows it, within (-45, 45].
    double rotationDeg = 0.0;
    /// Whether the card lies as the chart's parameter set expects it: at its
    /// nominal scale (within 5 %) and facing the camera (a tilt estimate
    /// within 5 degrees; the estimate of a facing card scatters up to about 4).
    /// Such a card is calibrated on the photo as it is; any other is first
    /// brought into the nominal frame (`CCardRectification`).
    bool nominal = false;
    /// Why nothing was found (empty when found).
    std::string reason;
    /// The best few regions that were turned down, best first.
    std::vector<ChartCardCandidate> rejected;
};

/// Finds a chart's card anywhere in a photo, so that a caller without a host
/// can calibrate without a region of interest or a support mask.
///
/// The card is found by its patches: uniform, convex patches darker or more
/// colourful than the card's white ground, on a regular lattice of the
/// chart's rows x columns (either way round) with card ground between them,
/// at any size (a patch side from about 15 pixels up to what the photo holds:
/// 0.3 to 4 times the parameter set's side and more), under perspective (the
/// card tilted up to 40 degrees from facing the camera) and turned by any
/// angle. A candidate counts as the card only when at (nearly) every position
/// of the chart's grid a patch differs clearly from the ground around it, the
/// ground between the patches looks like card ground, the patches show
/// several distinct colours and no patch of the same lattice lies beyond the
/// grid: a sheet of white paper, a chessboard, tiles, a printed grid of
/// squares or a facade's windows are never taken for the card. A card at the
/// nominal scale facing the camera is also measured as a bright region of its
/// size; where that outline agrees with the lattice's, it is kept exactly.
///
/// The search runs on a copy of the photo of about 1.6 million pixels (a finer
/// one where that finds nothing in a large photo); the card's edges are then
/// measured on the photo itself, so the corners are accurate to a pixel or
/// two. Where an edge has no contrast (a white card on a white desk), the
/// card is taken as its grid of patches plus a margin of 0.3 patch side on
/// that side, so the support mask never holds a background that merely looks
/// like the card.
///
/// The object holds only the chart's geometry; it is immutable and `locate`
/// may run on any number of threads at once.
class COLORCAL_EXPORT CChartCardLocator {
  public:
    /// Reads the chart's geometry from `parameters` (patch side, grid length,
    /// rows and columns). A set without a usable geometry (rows or columns 0,
    /// a side or grid length that is not positive and finite, or patches
    /// larger than their pitch) makes every `locate` fail with a reason.
    /// `linearInput`: the photo's values are linear light rather than
    /// display-encoded (only the brightness tests use it).
    explicit CChartCardLocator(const Base::IParameterSetColorCalibrationTarget& parameters,
                               bool linearInput = false);

    /// Looks for the card in `photo`: CV_8UC3, or CV_32FC3 on a 0..255 scale
    /// (values that are not finite count as black), blue-green-red. Never
    /// throws for a photo's content or size: an empty photo, another type, a
    /// photo smaller than the card or one without the card returns
    /// `found == false` with the reason.
    ChartCardLocation locate(const cv::Mat& photo) const;

  private:
    float m_sideLength = 0.0f;
    float m_gridLength = 0.0f;
    int m_rows = 0;
    int m_columns = 0;
    bool m_linearInput = false;
};

}  // namespace DataLayer
