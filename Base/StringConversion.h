#pragma once

#include <string>

namespace Base {

/// Converts a wide string to a narrow one with the process locale's multibyte
/// conversion; when that locale cannot represent a character (for example the
/// default "C" locale and non-ASCII text) the whole string is encoded as UTF-8
/// instead. Pure ASCII comes back unchanged in either case.
std::string WideToNarrow(const std::wstring& wide);

}  // namespace Base
