#include "DataLayer/Errors/OrvException.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <utility>

#include "Base/StringConversion.h"

namespace DataLayer {

namespace {

/// Longest formatted message, in wide characters (the buffer holds one more for the zero).
constexpr std::size_t kMaxFormattedLength = 8191;

struct FreeDeleter {
    void operator()(wchar_t* p) const { std::free(p); }
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

/// Formats `format` with `args` and keeps at most the first 8191 characters.
///
/// `vswprintf` cannot be used on a fixed buffer here: glibc reports truncation
/// as -1 (the same as an encoding error) and leaves the buffer's contents
/// unspecified. A memory stream receives the whole output instead, whatever
/// its length, and the message is cut afterwards. Output written before an
/// encoding error stops the formatting is kept.
CString formatTruncated(const wchar_t* format, std::va_list args) {
    wchar_t* raw = nullptr;
    std::size_t length = 0;
    {
        std::unique_ptr<std::FILE, FileCloser> stream(open_wmemstream(&raw, &length));
        if (!stream) {
            CString fallback(format);
            fallback.resize(std::min(fallback.size(), kMaxFormattedLength));
            return fallback;
        }
        std::vfwprintf(stream.get(), format, args);
    }  // closing the stream finalises `raw` and `length`
    std::unique_ptr<wchar_t, FreeDeleter> owned(raw);
    if (raw == nullptr) {
        return CString();
    }
    return CString(raw, std::min(length, kMaxFormattedLength));
}

}  // namespace

OrvException::OrvException(const char* file, unsigned int line, const char* function,
                           const wchar_t* message)
    : CbException(file, line, function, message),
      std::exception(),
      m_narrowMessage(Base::WideToNarrow(message != nullptr ? message : L"")),
      m_message(message != nullptr ? message : L"") {}

OrvException::OrvException(const OrvException& other) = default;
OrvException& OrvException::operator=(const OrvException& other) = default;
OrvException::~OrvException() = default;

const char* OrvException::what() const noexcept { return m_narrowMessage.c_str(); }

const CString& OrvException::GetMessageText() const { return m_message; }

void ThrowOrvException(const char* file, unsigned int line, const char* function,
                       const wchar_t* format, ...) {
    CString message;
    if (format != nullptr) {
        if (std::wcschr(format, L'%') == nullptr) {
            message = format;
        } else {
            std::va_list args;
            va_start(args, format);
            message = formatTruncated(format, args);
            va_end(args);
        }
    }
    throw OrvException(file, line, function, message.c_str());
}

}  // namespace DataLayer
