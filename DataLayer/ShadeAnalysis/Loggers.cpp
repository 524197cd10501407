#include "DataLayer/ShadeAnalysis/Loggers.h"

namespace DataLayer {

namespace {

// The two library-wide loggers: constructed when the library is loaded and
// destroyed when it is unloaded.
Logging::CLogger g_colorCalibrationLogger(L"ORV2.CColorCalibration");
Logging::CLogger g_parameterSetLogger(L"ORV2.CColorCalibrationTargetParameterSet");

}  // namespace

Logging::CLogger& ColorCalibrationLogger() { return g_colorCalibrationLogger; }
Logging::CLogger& ParameterSetLogger() { return g_parameterSetLogger; }

}  // namespace DataLayer
