#pragma once

#include "CalibrationSummary.h"
#include "JsonReader.h"

namespace ColorCalPy {

/// The summary a calibration file describes (the JSON `formatSummaryJson`
/// writes), for the properties of a loaded or unpickled `Calibration`. A
/// successful calibration's own keys are checked by `parseCalibration`
/// first (a failed one keeps `ok` false and its `error`); the
/// report's keys (patches, statistics, card, segmentation, white estimate,
/// timings) are taken where present with the expected type and left at
/// their defaults otherwise, so that `to_json()` writes the file back.
ColorCalCli::CalibrationSummary summaryFromJson(const ColorCalFrontend::JsonValue& document);

}  // namespace ColorCalPy
