#include "ReferenceCsv.h"

#include <cstdio>

#include "CommandLine.h"
#include "Messages.h"
#include "SafeFiles.h"

namespace ColorCalCli {

namespace {

std::string_view trim(std::string_view text) {
    const auto isBlank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
    };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

ReferenceColors parseReferenceCsv(std::string_view text) {
    // Spreadsheets start their UTF-8 files with a byte-order mark.
    constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
    if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        text.remove_prefix(kUtf8Bom.size());
    } else if (text.substr(0, 2) == "\xFF\xFE" || text.substr(0, 2) == "\xFE\xFF") {
        throw UsageError("UTF-16 text: save it as UTF-8 or ASCII");
    }
    ReferenceColors colors{};
    int count = 0;
    int lineNumber = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find('\n', start);
        std::string_view line =
            text.substr(start, end == std::string_view::npos ? end : end - start);
        start = end == std::string_view::npos ? text.size() + 1 : end + 1;
        ++lineNumber;
        const std::size_t hash = line.find('#');
        if (hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        line = trim(line);
        if (line.empty()) {
            continue;
        }
        const std::string where = "line " + std::to_string(lineNumber);
        if (line.find('\0') != std::string_view::npos) {
            throw UsageError(where + ": contains a NUL character");
        }
        if (count == DataLayer::kChartPatchCount) {
            throw UsageError(where + ": more than 20 colours");
        }
        std::array<std::string_view, 3> fields;
        std::size_t fieldStart = 0;
        for (int k = 0; k < 3; ++k) {
            const std::size_t comma = line.find(',', fieldStart);
            if ((k < 2) != (comma != std::string_view::npos)) {
                throw UsageError(where + ": expected three numbers r,g,b");
            }
            fields[k] =
                trim(line.substr(fieldStart, k < 2 ? comma - fieldStart : std::string_view::npos));
            fieldStart = comma + 1;
        }
        for (int k = 0; k < 3; ++k) {
            double value = 0.0;
            try {
                value = parseDouble(fields[k], where);
            } catch (const UsageError&) {
                throw UsageError(where + ": " + quoteName(fields[k], 40) + " is not a number");
            }
            if (value < 0.0 || value > 255.0) {
                throw UsageError(where + ": value " + escapeText(fields[k].substr(0, 40)) +
                                 " outside 0..255");
            }
            colors[count][k] = static_cast<float>(value);
        }
        ++count;
    }
    if (count != DataLayer::kChartPatchCount) {
        throw UsageError("expected 20 colours, found " + std::to_string(count));
    }
    return colors;
}

ReferenceColors readReferenceCsv(const std::string& path) {
    const std::string text = readSmallFile(path, "reference file", kMaxReferenceFileBytes);
    try {
        return parseReferenceCsv(text);
    } catch (const UsageError& error) {
        throw UsageError("reference file " + quoteName(path) + ", " + error.what());
    }
}

std::string formatReferenceCsv(const ReferenceColors& colors, std::string_view comment) {
    std::string out;
    if (!comment.empty()) {
        out += "# " + std::string(comment) + "\n";
    }
    out += "# r,g,b (0..255) in the chart's reference order\n";
    char line[96];
    for (const std::array<float, 3>& rgb : colors) {
        std::snprintf(line, sizeof line, "%.6g,%.6g,%.6g\n", static_cast<double>(rgb[0]),
                      static_cast<double>(rgb[1]), static_cast<double>(rgb[2]));
        out += line;
    }
    return out;
}

}  // namespace ColorCalCli
