#include "Base/Logging/WideFormat.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>

namespace Logging {

namespace {

struct FreeDeleter {
    void operator()(wchar_t* p) const { std::free(p); }
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::wstring FormatWide(const wchar_t* format, std::va_list args) {
    if (format == nullptr) {
        return std::wstring();
    }
    // vswprintf cannot be used on a fixed buffer: glibc reports truncation as
    // -1 (the same as a conversion error) and leaves the buffer's contents
    // unspecified. A memory stream receives the whole output instead and the
    // message is cut afterwards.
    wchar_t* raw = nullptr;
    std::size_t length = 0;
    {
        std::unique_ptr<std::FILE, FileCloser> stream(open_wmemstream(&raw, &length));
        if (!stream) {
            std::wstring fallback(format);
            fallback.resize(std::min(fallback.size(), kMaxFormattedLength));
            return fallback;
        }
        std::vfwprintf(stream.get(), format, args);
    }  // closing the stream finalises `raw` and `length`
    const std::unique_ptr<wchar_t, FreeDeleter> owned(raw);
    if (raw == nullptr) {
        return std::wstring();
    }
    return std::wstring(raw, std::min(length, kMaxFormattedLength));
}

}  // namespace Logging
