#pragma once

#include <string>

/// The host framework's wide string. Paths and messages crossing the
/// interface are wide strings.
using CString = std::wstring;
