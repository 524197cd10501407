#include "Base/StringConversion.h"

#include <climits>
#include <cwchar>

namespace Base {

namespace {

void appendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;  // not a Unicode scalar value: the replacement character
    }
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string toUtf8(const std::wstring& wide) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t wc : wide) {
        appendUtf8(out, static_cast<char32_t>(wc));
    }
    return out;
}

}  // namespace

std::string WideToNarrow(const std::wstring& wide) {
    std::string out;
    out.reserve(wide.size());
    std::mbstate_t state{};
    char buffer[MB_LEN_MAX];
    for (wchar_t wc : wide) {
        if (wc >= 0 && wc < 0x80) {
            out.push_back(static_cast<char>(wc));
            continue;
        }
        const std::size_t n = std::wcrtomb(buffer, wc, &state);
        if (n == static_cast<std::size_t>(-1)) {
            return toUtf8(wide);  // the locale cannot represent it
        }
        out.append(buffer, n);
    }
    return out;
}

}  // namespace Base
