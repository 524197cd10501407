#pragma once

#include "Base/Export.h"
#include "Base/Logging/CLogger.h"

namespace DataLayer {

/// The engine logger, "ORV2.CColorCalibration": the calibration pipeline's error lines.
COLORCAL_EXPORT Logging::CLogger& ColorCalibrationLogger();
/// The parameter-set logger, "ORV2.CColorCalibrationTargetParameterSet" (nothing writes to it).
COLORCAL_EXPORT Logging::CLogger& ParameterSetLogger();

}  // namespace DataLayer
