#include "Messages.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <new>

#include <opencv2/core.hpp>

#include "CommandLine.h"
#include "Utf8.h"

namespace ColorCalCli {

namespace {

void appendHex(std::string& out, const char* pattern, unsigned value) {
    char buffer[12];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    out += buffer;
}

/// Code points that change how a terminal shows what follows them.
bool isInvisibleControl(std::uint32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

std::string escape(std::string_view text, bool quote) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (u >= 0x80) {
            std::uint32_t codePoint = 0;
            const std::size_t length = utf8Sequence(text.substr(i), codePoint);
            if (length == 0) {
                appendHex(out, "\\x%02x", u);
                ++i;
            } else {
                if (isInvisibleControl(codePoint)) {
                    appendHex(out, "\\u%04x", codePoint);
                } else {
                    out.append(text.substr(i, length));
                }
                i += length;
            }
            continue;
        }
        switch (u) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\'':
                out += quote ? "\\'" : "'";
                break;
            default:
                if (u < 0x20 || u == 0x7F) {
                    appendHex(out, "\\x%02x", u);
                } else {
                    out += static_cast<char>(u);
                }
        }
        ++i;
    }
    return out;
}

}  // namespace

std::string escapeText(std::string_view text) { return escape(text, false); }

std::string quoteName(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return "'" + escape(text, true) + "'";
    }
    return "'" + escape(text.substr(0, maxBytes), true) + "...'";
}

std::string describeCurrentException(std::string_view task) {
    const std::string what(task);
    try {
        throw;
    } catch (const UsageError& error) {
        return error.what();
    } catch (const std::bad_alloc&) {
        return "not enough memory for " + what;
    } catch (const cv::Exception& error) {
        if (error.code == cv::Error::StsNoMem) {
            return "not enough memory for " + what;
        }
        return what + " failed inside OpenCV (" + escapeText(error.func) + ")";
    } catch (const std::exception& error) {
        return what + " failed: " + escapeText(error.what());
    } catch (...) {
        return what + " failed";
    }
}

std::string captureStandardError(const std::function<void()>& work) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> sink(std::tmpfile(), &std::fclose);
    std::cerr.flush();
    std::fflush(stderr);
    const int saved = sink ? ::dup(STDERR_FILENO) : -1;
    if (saved < 0) {
        work();
        return {};
    }
    {
        // Puts standard error back when `work` returns or throws.
        struct Restore {
            int saved;
            Restore(const Restore&) = delete;
            Restore& operator=(const Restore&) = delete;
            ~Restore() {
                std::fflush(stderr);
                ::dup2(saved, STDERR_FILENO);
                ::close(saved);
            }
        } restore{saved};
        if (::dup2(::fileno(sink.get()), STDERR_FILENO) < 0) {
            work();
            return {};
        }
        work();
    }
    std::string captured(4096, '\0');
    std::rewind(sink.get());
    captured.resize(std::fread(captured.data(), 1, captured.size(), sink.get()));
    return captured;
}

}  // namespace ColorCalCli
