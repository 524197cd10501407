#pragma once

// How the photo workflow words its failures: the one failure type with its
// message, and the text a user is shown.

#include <string>

#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"

namespace DataLayer {

/// A failure of `code` whose message is `message` (UTF-8).
CalibrationError workflowFailure(CalibrationFailure code, const std::string& message);

/// `text` followed by the common cause a user can fix (". Hint: ..."), when
/// `hint` is not empty.
std::string withHint(std::string text, const char* hint);

/// Called inside a catch block: one line describing the exception in flight:
/// "not enough memory for <task>" for a failed allocation, "<task> failed
/// inside OpenCV (<function>)" for another OpenCV error, "<task> failed:
/// <message>" for another standard exception, control characters escaped.
std::string describeRunException(const std::string& task);

}  // namespace DataLayer
