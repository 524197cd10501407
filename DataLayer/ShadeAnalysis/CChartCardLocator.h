#pragma once

#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

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
    /// Why nothing was found (empty when found).
    std::string reason;
    /// The best few regions that were turned down, best first.
    std::vector<ChartCardCandidate> rejected;
};

/// Finds a chart's card anywhere in a photo, so that a caller without a host
/// can calibrate without a region of interest or a support mask.
///
/// The card is a bright, nearly neutral quadrilateral of the size the
/// chart's parameter set implies (its rows x columns grid of patches of
/// `GetSegmentSideLength` at a pitch of `GetGridLength`, plus a white margin
/// of 0.3 patch side to one and a half grid steps), rotated by at most
/// 15 degrees. A candidate counts as the card only when at (nearly) every
/// position of the chart's grid inside it a patch differs clearly from the
/// ground around it and the ground between the patches looks like card
/// ground: a sheet of white paper, a white wall or any other bright area
/// without the chart's patches is never taken for the card.
///
/// The search runs on a copy of the photo reduced so that a patch is about
/// eight pixels wide; the card's edges are then measured on the photo itself,
/// so the corners are accurate to a pixel or two.
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
