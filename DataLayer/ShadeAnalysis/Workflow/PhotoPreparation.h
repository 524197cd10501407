#pragma once

// The first part of a photo calibration: the card located, the region and
// support chosen, the encoding resolved and the values the stages run on
// made (in the photo, or in the card's rectified frame).

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/CCardRectification.h"
#include "DataLayer/ShadeAnalysis/CardLocation/CardLocationStage.h"
#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"

namespace DataLayer {

/// What the stages of one chart run read; every colour in the working space.
struct ChartRunInput {
    Base::IParameterSetColorCalibrationTarget::EParameterSet chart =
        Base::IParameterSetColorCalibrationTarget::eCCTPrint;
    cv::Mat photo;  ///< CV_32FC3, the whole image the chart lies in
    cv::Rect roi;   ///< the chart's region, inside `photo`
    /// The region's values display-encoded (sRGB), CV_32FC3, to segment
    /// instead of the working values: the segmentation's Lab clustering
    /// expects values as a display shows them. Empty: segment the working values.
    cv::Mat segmentationRegion;
    cv::Mat support;        ///< CV_8U, photo size; non-zero: not usable white ground
    cv::Mat externalWhite;  ///< CV_32FC3 of the photo's size, or empty
    std::optional<std::array<double, 3>> realWhiteBgr;
    std::array<std::array<double, 3>, 20> referenceRgb{};  ///< reference order
    /// The white estimate's ridge fit everywhere instead of the engine's choice.
    bool ridgeWhite = false;
};

/// A request made ready for the stages.
struct PreparedPhoto {
    /// False when the calibration cannot run: `failure` says why, and `input`
    /// holds only the chart and the searched area as the region.
    bool ready = true;
    CalibrationError failure;
    LocatedCard card;  ///< `searched` false when the request gave region and support
    ChartRunInput input;
    Color::Encoding encoding = Color::Encoding::eSrgb;  ///< resolved
    bool valuesLinear = false;
    /// Set when the card is calibrated in its rectified frame: `input` then
    /// holds the frame's image, region, support and external white.
    std::shared_ptr<const CCardRectification> rectification;
    /// The chart's region in photo pixels: `input.roi`, or the photo's box
    /// around the rectified frame's region.
    cv::Rect photoRoi;
};

/// Finds the chart's card in a photo: the card location stage (`locateCard`),
/// or a stand-in in tests.
using CardLocator = std::function<CardLocationResult(const CardLocationInput&)>;

/// Resolves the encoding and builds the stages' input: the photo, the
/// external white, the real white and the references in the working space,
/// the region to segment display-encoded (eSrgb and eLinear). Unless both a
/// region and a support mask are given, the card is located with `locate`
/// first (on the photo's own values, inside the region when there is one);
/// its box is the region and, without a support mask, its white ground the
/// support. A card that is not at the nominal scale facing the camera is
/// calibrated in its rectified frame.
PreparedPhoto preparePhoto(const PhotoCalibrationRequest& request, const CardLocator& locate);

/// The region a second segmentation of a rectified card looks at: inside the
/// card's outline, wherever its ground is not usable white and outside the
/// patches' own squares, the ground's local level takes the place of what
/// covers it. Empty when there is no frame, nothing is covered or no ground
/// is left to take the level from.
cv::Mat coveredGroundFilled(const PreparedPhoto& prepared);

}  // namespace DataLayer
