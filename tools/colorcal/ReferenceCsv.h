#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "DataLayer/ShadeAnalysis/ChartConstants.h"

namespace ColorCalCli {

/// The chart's 20 reference colours, (r, g, b) each, in reference order.
using ReferenceColors = std::array<std::array<float, 3>, DataLayer::kChartPatchCount>;

/// The largest reference file the tool reads (20 colours take about 300 bytes).
constexpr std::size_t kMaxReferenceFileBytes = 1 << 20;

/// Parses a reference file: 20 lines "r,g,b" with numbers in 0..255, in the
/// chart's reference order. `#` starts a comment running to the end of the
/// line; blank lines and blanks around the numbers are ignored; line ends may
/// be "\n" or "\r\n"; a UTF-8 byte-order mark at the start is skipped.
/// Throws `UsageError` naming the line ("line 7: ...") for a malformed line,
/// for fewer or more than 20 colours, and for UTF-16 text.
ReferenceColors parseReferenceCsv(std::string_view text);

/// Reads and parses a reference file, a regular file of at most
/// `kMaxReferenceFileBytes`; throws `UsageError` when it cannot be read, is
/// too large or is malformed (the message names the file).
ReferenceColors readReferenceCsv(const std::string& path);

/// The text of a reference file holding `colors`, with a comment header.
std::string formatReferenceCsv(const ReferenceColors& colors, std::string_view comment);

}  // namespace ColorCalCli
