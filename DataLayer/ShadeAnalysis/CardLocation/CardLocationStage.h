#pragma once

// The card location stage: finds the chart's card in a photo (or in a region
// of it) and, for a card that is not at the chart's nominal scale facing the
// camera, plans its rectification into the chart's nominal frame. One
// stateless entry over the public classes `CChartCardLocator` and
// `CCardRectification`, so that it finds what they find, bit for bit.
// Internal to the library; safe to call from any number of threads at once.

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CCardRectification.h"
#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"

namespace DataLayer {

/// Everything the card location stage reads.
struct CardLocationInput {
    /// The photo: CV_32FC3 on a 0..255 scale (or CV_8UC3), blue-green-red.
    /// Values that are not finite count as black.
    const cv::Mat& photo;
    /// The chart's parameter set: its patch side, grid length, rows and columns.
    const Base::IParameterSetColorCalibrationTarget& parameters;
    /// Whether the photo's values are linear light rather than display-encoded.
    bool linearInput = false;
    /// Where to search, in photo pixels; none: the whole photo. It must be
    /// non-empty and inside the photo.
    std::optional<cv::Rect> region = std::nullopt;
};

/// A card-shaped region the locator turned down, in photo pixels.
struct CardCandidate {
    /// Top left, top right, bottom right, bottom left.
    std::array<cv::Point2d, 4> corners{};
    /// Why it is not the chart's card.
    std::string reason;
    /// How card-like it was, 0..1.
    double score = 0.0;
};

/// What the stage found. Every position is in pixels of the whole photo,
/// also when a region was searched. The fields mean what the fields of the
/// same names of `ChartCardLocation` mean.
struct CardLocationResult {
    /// `eNone` when the card was found (and, where needed, its frame
    /// planned). `eCardRegionOutsidePhoto` for a region that is empty or not
    /// inside the photo; `eNoCardFound` with the locator's reason in the
    /// message; `eCardNotRectifiable` with the reason the frame could not be
    /// planned (the card's fields are then filled, `rectification` is null).
    CalibrationError failure;
    /// Whether the locator found a card.
    bool found = false;
    /// Top left, top right, bottom right, bottom left of the upright card.
    std::array<cv::Point2d, 4> corners{};
    /// The region to segment: the card's box grown by a fifth of a grid step.
    cv::Rect regionOfInterest;
    /// CV_8UC1 of the photo's size: 0 on the card's visible white ground, 255
    /// everywhere else (outside a searched region too).
    cv::Mat supportMask;
    double score = 0.0;
    /// The chart's nominal card frame to the photo.
    cv::Matx33d homography = cv::Matx33d::eye();
    /// The found layout, rows x columns.
    int gridRows = 0;
    int gridColumns = 0;
    double scale = 0.0;
    double tiltDeg = 0.0;
    double rotationDeg = 0.0;
    /// At the nominal scale and facing the camera: calibrated on the photo
    /// as it is; otherwise through `rectification`.
    bool nominal = false;
    /// The most card-like regions turned down, best first.
    std::vector<CardCandidate> rejected;
    /// The card's frame, planned for a found card that is not `nominal`
    /// (null otherwise, and when it could not be planned).
    std::shared_ptr<const CCardRectification> rectification;
};

/// The card location stage: checks the region (before any pixel is read),
/// looks for the chart's card there with `CChartCardLocator`, moves what it
/// found into the whole photo's pixels, and plans `CCardRectification` for a
/// card that is not nominal. Never throws for the photo's content or size.
CardLocationResult locateCard(const CardLocationInput& in);

/// The located card in the terms of the public locator (the rejected
/// candidates and the reason left out), as `CCardRectification` takes it.
ChartCardLocation toChartCardLocation(const CardLocationResult& card);

}  // namespace DataLayer
