#include "CalibrationFile.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "ChartNames.h"
#include "FrontendError.h"
#include "JsonReader.h"
#include "Messages.h"
#include "SafeFiles.h"

namespace ColorCalFrontend {

namespace {

using Type = JsonValue::Type;

const char* typeName(Type type) {
    switch (type) {
        case Type::eNull:
            return "null";
        case Type::eBool:
            return "true or false";
        case Type::eNumber:
            return "a number";
        case Type::eString:
            return "a string";
        case Type::eArray:
            return "an array";
        case Type::eObject:
            break;
    }
    return "an object";
}

/// The member `key` of the document, of `type`; throws when it is missing or of another type.
const JsonValue& member(const JsonValue& document, const std::string& key, Type type) {
    const JsonValue* value = document.find(key);
    if (value == nullptr) {
        throw FrontendError("it has no \"" + key + "\"");
    }
    if (value->type != type) {
        throw FrontendError("\"" + key + "\" is " + typeName(value->type) + ", expected " +
                            typeName(type));
    }
    return *value;
}

/// A number within lo..hi; `name` names it in messages.
double number(const JsonValue& item, double lo, double hi, const std::string& name) {
    if (item.type != Type::eNumber) {
        throw FrontendError(name + " is " + typeName(item.type) + ", expected a number");
    }
    if (!(item.number >= lo && item.number <= hi)) {
        char range[96];
        std::snprintf(range, sizeof range, "%g lies outside %g..%g", item.number, lo, hi);
        throw FrontendError(name + ": " + range);
    }
    return item.number;
}

/// `count` numbers within lo..hi from an array; `what` names it in messages.
std::vector<double> numbers(const JsonValue& array, std::size_t count, double lo, double hi,
                            const std::string& what) {
    if (array.type != Type::eArray || array.items.size() != count) {
        throw FrontendError(what + " must be an array of " + std::to_string(count) + " numbers");
    }
    std::vector<double> out;
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(number(array.items[i], lo, hi, what + "[" + std::to_string(i) + "]"));
    }
    return out;
}

}  // namespace

std::array<double, 3> CalibrationData::realWhiteWorking() const {
    std::array<double, 3> white{};
    for (int c = 0; c < 3; ++c) {
        white[c] = encoding == Encoding::eSrgb ? DataLayer::Color::srgbDecode(realWhiteBgr[c])
                                               : realWhiteBgr[c];
    }
    return white;
}

std::string chartTypeName(EChart chart) { return ColorCalCli::chartTypeName(chart); }

std::optional<EChart> chartTypeOfName(std::string_view name) {
    return ColorCalCli::chartTypeOfName(name);
}

std::string encodingTypeName(Encoding encoding) { return ColorCalCli::encodingTypeName(encoding); }

std::optional<Encoding> encodingOfName(std::string_view name) {
    for (const Encoding encoding : {Encoding::eSrgb, Encoding::eLinear, Encoding::eNone}) {
        if (name == encodingTypeName(encoding)) {
            return encoding;
        }
    }
    return std::nullopt;
}

std::string quotedPath(std::string_view path) { return ColorCalCli::quoteName(path, 200); }

CalibrationData parseCalibration(std::string_view json) {
    JsonValue document;
    try {
        document = parseJson(json);
    } catch (const FrontendError& error) {
        throw FrontendError(std::string("not JSON: ") + error.what());
    }
    if (document.type != Type::eObject) {
        throw FrontendError("not a calibration (the document is not a JSON object)");
    }
    const JsonValue* version = document.find("format_version");
    if (version == nullptr) {
        throw FrontendError(
            "not a calibration file of this version (no \"format_version\"; run calibrate again)");
    }
    if (version->type != Type::eNumber || version->number != kCalibrationFormatVersion) {
        char shown[48] = "not a number";
        if (version->type == Type::eNumber) {
            std::snprintf(shown, sizeof shown, "%g", version->number);
        }
        throw FrontendError(std::string("format_version ") + shown +
                            " is not supported (this version reads format_version " +
                            std::to_string(kCalibrationFormatVersion) + ")");
    }
    if (!member(document, "ok", Type::eBool).boolean) {
        const JsonValue* error = document.find("error");
        const std::string reason = error != nullptr && error->type == Type::eString
                                       ? ColorCalCli::escapeText(error->text.substr(0, 200))
                                       : "no reason given";
        throw FrontendError("the calibration failed (" + reason + "); there is nothing to apply");
    }
    CalibrationData data;
    const std::string& chart = member(document, "chart", Type::eString).text;
    const std::optional<EChart> chartType = chartTypeOfName(chart);
    if (!chartType) {
        throw FrontendError("unknown chart type " + ColorCalCli::quoteName(chart, 40));
    }
    data.chart = *chartType;
    const std::string& encoding = member(document, "encoding", Type::eString).text;
    const std::optional<Encoding> encodingType = encodingOfName(encoding);
    if (!encodingType) {
        throw FrontendError("unknown encoding " + ColorCalCli::quoteName(encoding, 40) +
                            " (expected srgb, linear or none)");
    }
    data.encoding = *encodingType;
    const std::string& space = member(document, "matrix_space", Type::eString).text;
    if (space != data.matrixSpace()) {
        throw FrontendError("matrix_space " + ColorCalCli::quoteName(space, 40) +
                            " does not go with encoding " + encoding + " (expected " +
                            data.matrixSpace() + ")");
    }
    if (const JsonValue* linearRgb = document.find("linear_rgb"); linearRgb != nullptr) {
        if (linearRgb->type != Type::eBool) {
            throw FrontendError(std::string("\"linear_rgb\" is ") + typeName(linearRgb->type) +
                                ", expected true or false");
        }
        data.linearRgb = linearRgb->boolean;
    }
    const JsonValue& matrix = member(document, "matrix", Type::eArray);
    if (matrix.items.size() != 3) {
        throw FrontendError("matrix must hold 3 rows of 4 numbers");
    }
    for (int k = 0; k < 3; ++k) {
        const std::string row = "matrix[" + std::to_string(k) + "]";
        const JsonValue& items = matrix.items[k];
        if (items.type != Type::eArray || items.items.size() != 4) {
            throw FrontendError(row + " must be an array of 4 numbers");
        }
        for (int j = 0; j < 4; ++j) {
            const std::string name = row + "[" + std::to_string(j) + "]";
            data.matrixBgr[4 * k + j] = j < 3 ? number(items.items[j], -1000.0, 1000.0, name)
                                              : number(items.items[j], -1e5, 1e5, name);
        }
    }
    const std::vector<double> white =
        numbers(member(document, "real_white_bgr", Type::eArray), 3, 0.0, 1e4, "real_white_bgr");
    for (int c = 0; c < 3; ++c) {
        if (!(white[c] > 0.0)) {
            throw FrontendError("real_white_bgr[" + std::to_string(c) + "] must be above 0");
        }
        data.realWhiteBgr[c] = white[c];
    }
    const std::vector<double> size =
        numbers(member(document, "image_size", Type::eArray), 2, 1.0, 1e6, "image_size");
    if (size[0] != std::floor(size[0]) || size[1] != std::floor(size[1])) {
        throw FrontendError("image_size must hold whole numbers");
    }
    if (size[0] * size[1] > 1e10) {
        throw FrontendError("image_size is larger than 10^10 pixels");
    }
    data.imageSize = cv::Size(static_cast<int>(size[0]), static_cast<int>(size[1]));
    return data;
}

CalibrationData readCalibrationFile(const std::string& path) {
    std::string text;
    try {
        text = ColorCalCli::readSmallFile(path, "calibration file", kMaxCalibrationFileBytes);
    } catch (const std::runtime_error& error) {
        throw FrontendError(error.what());
    }
    try {
        return parseCalibration(text);
    } catch (const FrontendError& error) {
        throw FrontendError("calibration file " + quotedPath(path) + ": " + error.what());
    }
}

}  // namespace ColorCalFrontend
