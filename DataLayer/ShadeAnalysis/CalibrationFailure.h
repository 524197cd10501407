#pragma once

// Why a calibration gave no matrix, in one type: a code and a message in
// words. The engine's own checks and the calibration stage's checks both
// fail with it, and one table says how the engine reports each code: the
// source line its log record carries (hosts filter their logs by these lines,
// so they never change), whether the run stops, and a hint for a user.

#include <string>

#include "Base/Export.h"

namespace DataLayer {

/// Why a calibration (`CColorCalibration::startColorCalibration`) gave no
/// matrix. Each value is one check.
enum class CalibrationFailure {
    eNone,
    // The calibration stage's checks, in the order it makes them.
    eRegionOutsideWhite,  ///< input empty, not CV_32FC3, or not inside the white image
    eLabelSize,           ///< label image not CV_32SC1 of the input's size
    eTooManySeeds,
    eTooFewSeeds,
    eSeedOutside,        ///< a seed outside the input image
    eColorIndex,         ///< a colour index outside 0 .. 19
    eSeedNotOnPatch,     ///< a seed on a label <= 1
    ePositionRepeated,   ///< two seeds with one reference position
    eSeedsShareAPatch,   ///< two seeds on one label
    eInputNotFinite,     ///< the input holds values that are not finite
    ePatchNotMeasured,   ///< a patch keeps no pixel after its mask is opened and eroded
    eMeasuredNotFinite,  ///< a measured colour is not finite
    eMatrixNotFinite,    ///< the fitted matrix is not finite
    eResidualTooLarge,   ///< no pairing passes the residual rule
    ePairingAmbiguous,   ///< more than one pairing passes the residual rule
    // The engine's own checks before the stage runs.
    eReferencesNotSet,            ///< the reference colours are all zero
    eReferencesEqual,             ///< the reference colours are all the same
    eInvalidImageArguments,       ///< a null buffer or an unusable size from the caller
    eWhiteEstimateFailed,         ///< the white image could not be estimated
    eMissingParameterSet,         ///< no parameter set for the chart
    eMissingExternalWhite,        ///< the chart type needs an external white image, none set
    eExternalWhiteWithoutPixels,  ///< the external white has the right shape but no pixels
    eExternalWhiteUnusable,       ///< the external white has another shape or pixel size
    // The card location stage's checks (the engine does not locate cards: line 0).
    eCardRegionOutsidePhoto,  ///< the region to search is empty or not inside the photo
    eNoCardFound,             ///< no card with the chart's patches in the photo or region
    eCardNotRectifiable,      ///< the card cannot be brought into the chart's nominal frame
    // The chart search's (`segmentChart`); the engine does not log them: a
    // calibration whose segmentation fails reports eWhiteEstimateFailed.
    eSegmentationInputUnusable,  ///< the region is empty or not a three-channel image
    eChartNotFound,              ///< no chart (complete, or part of one) found in the region
    // The photo workflow's own checks (`calibratePhoto`), which the engine never makes.
    eWhiteSupportTooWide,  ///< the white field misses its support: more than the card's ground
    eRunAborted,           ///< the run stopped on an exception (memory, OpenCV)
};

/// One failure: its code and what failed, in words, with the values that
/// failed the check. `code == eNone` (and an empty message) when nothing failed.
struct CalibrationError {
    CalibrationFailure code = CalibrationFailure::eNone;
    std::wstring message;

    /// Whether this holds a failure.
    bool failed() const { return code != CalibrationFailure::eNone; }
};

/// How the engine reports one failure code.
struct FailureReport {
    CalibrationFailure code;
    /// The source line of its log record (level 4, logger "ORV2.CColorCalibration").
    int line;
    /// Whether the run stops. An unusable external white does not stop it: it
    /// is logged and the estimated white is used.
    bool stopsTheRun;
    /// The common cause a user can fix, in words (UTF-8), or empty.
    const char* hint;
};

/// The report of `code` from the engine's table. `eNone` gives line 0, no
/// hint and `stopsTheRun == false`.
COLORCAL_EXPORT const FailureReport& failureReport(CalibrationFailure code);

/// The source line the engine logs `code` with (`failureReport(code).line`).
COLORCAL_EXPORT int reportedLine(CalibrationFailure code);

/// How a chart lay when the colours paired it other than in the grid's order,
/// reported as a warning (level 3) by a successful calibration.
enum class CalibrationWarning {
    eChartUpsideDown,   ///< paired in reverse order
    eChartQuarterTurn,  ///< paired as a chart turned a quarter turn
};

/// The source line the engine logs `warning` with.
COLORCAL_EXPORT int reportedLine(CalibrationWarning warning);

}  // namespace DataLayer
