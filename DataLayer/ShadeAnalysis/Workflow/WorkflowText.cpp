#include "DataLayer/ShadeAnalysis/Workflow/WorkflowText.h"

#include <cstdio>
#include <exception>
#include <new>

#include <opencv2/core.hpp>

namespace DataLayer {

namespace {

/// `text` with control bytes and backslashes escaped (\n, \r, \t, \xNN,
/// \\), so that it stays one line a terminal shows as it is.
std::string escapeControls(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '\\') {
            out += "\\\\";
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned>(byte));
            out += code;
        } else {
            out += ch;
        }
    }
    return out;
}

/// The code points of UTF-8 `text`; a byte that starts no valid sequence
/// stands for itself (as Latin-1).
std::wstring widen(const std::string& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xe  ? 3
                                   : (lead >> 3) == 0x1e ? 4
                                                         : 0;
        bool valid = length > 0 && i + length <= text.size();
        char32_t code = length == 1   ? lead
                        : length == 2 ? (lead & 0x1fU)
                        : length == 3 ? (lead & 0x0fU)
                                      : (lead & 0x07U);
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next >> 6) == 0x2;
            code = (code << 6) | (next & 0x3fU);
        }
        if (!valid) {
            out += static_cast<wchar_t>(lead);
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(code);
        i += length;
    }
    return out;
}

}  // namespace

CalibrationError workflowFailure(CalibrationFailure code, const std::string& message) {
    CalibrationError error;
    error.code = code;
    error.message = widen(message);
    return error;
}

std::string withHint(std::string text, const char* hint) {
    if (hint != nullptr && *hint != '\0') {
        text += ". Hint: ";
        text += hint;
    }
    return text;
}

std::string describeRunException(const std::string& task) {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return "not enough memory for " + task;
    } catch (const cv::Exception& error) {
        if (error.code == cv::Error::StsNoMem) {
            return "not enough memory for " + task;
        }
        return task + " failed inside OpenCV (" + escapeControls(error.func) + ")";
    } catch (const std::exception& error) {
        return task + " failed: " + escapeControls(error.what());
    } catch (...) {
        return task + " failed";
    }
}

}  // namespace DataLayer
