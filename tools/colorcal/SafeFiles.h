#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

/// How the tool touches files. Inputs are read only from regular files (a
/// folder, a device or a pipe is refused before it is opened for reading, so
/// nothing blocks or reads without end). Outputs never replace an input or
/// each other and are written to a temporary file in the target's folder,
/// renamed onto the target only once complete: a failed run leaves either
/// the old file or none, never a half-written one. Every failure is a
/// `UsageError` of one line naming the file (escaped) and the reason.
namespace ColorCalCli {

/// A file named on the command line, with the option that named it.
struct NamedFile {
    std::string option;  ///< for example "--json"
    std::string path;    ///< empty: the option was not given
};

/// Whether `a` and `b` name one file: the same file on disk when both exist
/// (also through other spellings, symbolic or hard links), otherwise the same
/// place once links, "." and ".." are resolved.
bool sameFile(const std::string& a, const std::string& b);

/// Before any work: throws when an output names the same file as an input or
/// as another output ("--json 'a' and --image 'b' are the same file"), when
/// an output is a folder, or when an output's folder does not exist. Entries
/// with an empty path are skipped.
void requireUsableOutputs(const std::vector<NamedFile>& inputs,
                          const std::vector<NamedFile>& outputs);

/// Opens `path` for reading if it is a regular file and hands `use` the open
/// descriptor and the file's size in bytes; the file is closed afterwards
/// (also when `use` throws). Throws "cannot read the <what> '<path>': no such
/// file" (or: it is a directory, it is not a regular file, permission denied).
void useRegularFile(const std::string& path, std::string_view what,
                    const std::function<void(int fd, std::uint64_t size)>& use);

/// Reads up to `count` bytes at `offset` of an open file; returns how many it read.
std::size_t readAt(int fd, std::uint64_t offset, unsigned char* out, std::size_t count);

/// The whole content of a regular file of at most `maxBytes` bytes; throws
/// as `useRegularFile` does, and "... it is N bytes, over the limit of M
/// bytes" for a larger file (also one that grows while it is read).
std::string readSmallFile(const std::string& path, std::string_view what, std::size_t maxBytes);

/// Writes the output `path` through a temporary file: `write` is called with
/// the temporary file's path, which lies in the same folder and ends in the
/// same extension (image writers choose the format by it), and returns
/// whether it succeeded. A symbolic link is followed (the file it points to is
/// replaced, the link kept); a replaced file keeps its permissions. An
/// existing device or pipe (/dev/null, /dev/stdout) is written directly.
/// Throws "cannot write the <what> '<path>': <reason>"; the temporary file is
/// removed on every failure.
void writeOutputFile(const std::string& path, std::string_view what,
                     const std::function<bool(const std::string& writePath)>& write);

/// `writeOutputFile` for a text.
void writeTextOutput(const std::string& path, std::string_view content, std::string_view what);

}  // namespace ColorCalCli
