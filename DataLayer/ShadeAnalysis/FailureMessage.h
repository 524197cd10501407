#pragma once

// Failures whose messages name the values that failed a check. Internal.

#include <string>

#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"

namespace DataLayer {

/// A failure of `code` whose message is formatted printf-style (wide).
CalibrationError failureWithMessage(CalibrationFailure code, const wchar_t* format, ...);

/// Wide text formatted printf-style.
std::wstring wideMessage(const wchar_t* format, ...);

}  // namespace DataLayer
