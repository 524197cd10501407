#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace Logging {

/// Longest message the formatting below keeps, in wide characters.
constexpr std::size_t kMaxFormattedLength = 8191;

/// printf-style wide formatting shared by the loggers and the library's
/// exception, so both turn one format and its arguments into the same text.
///
/// The whole output is formatted, whatever its length, and then cut to its
/// first `kMaxFormattedLength` characters. When the formatting stops at an
/// argument that cannot be converted (for example a narrow string that is not
/// valid in the current locale), the text written before it is kept. A null
/// `format` gives an empty message. `args` is consumed.
std::wstring FormatWide(const wchar_t* format, std::va_list args);

}  // namespace Logging
