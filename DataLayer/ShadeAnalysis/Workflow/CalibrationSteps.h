#pragma once

// The steps around the calibration stage that the engine
// (`CColorCalibration::startColorCalibration`) and the photo workflow
// (`calibratePhoto`) share: the check of the reference colours, the
// external white a chart type asks for, and how a failure or a turned chart
// is logged. Logged through the engine's logger with the lines of the
// failure table, so both report a failure alike.

#include <array>

#include <opencv2/core.hpp>

#include "Base/IImageData2D.h"
#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"

namespace DataLayer {

/// Why the 20 reference colours leave nothing to fit, if they do: colours
/// never set (all zero, `eReferencesNotSet`) or all the same
/// (`eReferencesEqual`). `eNone` otherwise. Not logged.
CalibrationError checkReferenceColours(const std::array<std::array<float, 3>, 20>& colours);

/// The white image a chart type calibrates with: for a parameter set that
/// uses an external white image, the host's image `host` replaces `white`
/// (CV_32FC3, the estimated white) when it has its shape; `white` is then a
/// new image when `shared` (someone else holds the estimated white's
/// pixels, which are never written), and written in place otherwise. A
/// host image without pixels or of another shape is logged (the run goes
/// on with the estimated white); no host image at all fails with
/// `eMissingExternalWhite`, not logged. Other parameter sets keep `white`.
CalibrationError takeExternalWhite(const Base::IParameterSetColorCalibrationTarget& parameters,
                                   const Base::IImageData2D* host, cv::Mat& white, bool shared);

/// Logs `error` as the engine reports it: its message at level 4 with the
/// line the failure table gives its code.
void logCalibrationFailure(const CalibrationError& error);

/// Logs the warning (level 3) of a chart paired other than in the grid's
/// order: `orientation` 180 (upside down), 90 or 270 (a quarter turn); other
/// values log nothing.
void logPairingWarning(int orientation);

}  // namespace DataLayer
