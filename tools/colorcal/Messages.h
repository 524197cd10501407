#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

/// Text that the tool shows to its user: names from the command line or from
/// files are escaped so that they cannot break a one-line message or drive
/// the terminal, and failures of OpenCV or of the standard library are put
/// in the tool's own words.
namespace ColorCalCli {

/// `text` with everything a terminal would act on shown escaped: newline,
/// carriage return and tab as \n, \r, \t; other control bytes (escape
/// sequences included) and bytes that are not UTF-8 as \xNN; the C1 controls
/// and the bidirectional-text controls as \uNNNN; a backslash as \\.
/// Printable ASCII and other valid UTF-8 pass unchanged.
std::string escapeText(std::string_view text);

/// `text` escaped as by `escapeText`, a single quote also escaped, between
/// single quotes. Longer texts are cut after `maxBytes` bytes of the
/// original and end in "...".
std::string quoteName(std::string_view text, std::size_t maxBytes = 1024);

/// Called inside a catch block: one line describing the exception in flight
/// for a user. A failed allocation (std::bad_alloc, or OpenCV's out-of-memory
/// error) reads "not enough memory for <task>", another OpenCV error
/// "<task> failed inside OpenCV (<function>)", another standard exception
/// "<task> failed: <its message, escaped>". A `UsageError` keeps its message.
std::string describeCurrentException(std::string_view task);

/// Runs `work` with the process's standard error sent to a temporary file and
/// returns what was written there (at most 4 KiB): image codecs print their
/// warnings and errors straight to standard error, which would break the
/// tool's one-line messages. Standard error is restored also when `work`
/// throws. Without a temporary file `work` runs with standard error as it is.
std::string captureStandardError(const std::function<void()>& work);

}  // namespace ColorCalCli
