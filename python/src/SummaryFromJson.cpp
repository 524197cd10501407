#include "SummaryFromJson.h"

#include "CalibrationFile.h"

namespace ColorCalPy {

namespace {

using ColorCalFrontend::JsonValue;
using Type = JsonValue::Type;

const JsonValue* member(const JsonValue& object, const char* key, Type type) {
    const JsonValue* value = object.find(key);
    return value != nullptr && value->type == type ? value : nullptr;
}

double numberOr(const JsonValue& object, const char* key, double fallback) {
    const JsonValue* value = member(object, key, Type::eNumber);
    return value != nullptr ? value->number : fallback;
}

bool flagOr(const JsonValue& object, const char* key, bool fallback) {
    const JsonValue* value = member(object, key, Type::eBool);
    return value != nullptr ? value->boolean : fallback;
}

std::string textOr(const JsonValue& object, const char* key) {
    const JsonValue* value = member(object, key, Type::eString);
    return value != nullptr ? value->text : std::string();
}

/// `N` numbers of an array member, when it has them.
template <std::size_t N>
bool numbers(const JsonValue& object, const char* key, std::array<double, N>& out) {
    const JsonValue* value = member(object, key, Type::eArray);
    if (value == nullptr || value->items.size() != N) return false;
    for (std::size_t i = 0; i < N; ++i) {
        if (value->items[i].type != Type::eNumber) return false;
        out[i] = value->items[i].number;
    }
    return true;
}

ColorCalCli::ErrorStats stats(const JsonValue& document, const char* key) {
    ColorCalCli::ErrorStats out;
    if (const JsonValue* value = member(document, key, Type::eObject)) {
        out.mean = numberOr(*value, "mean", 0.0);
        out.median = numberOr(*value, "median", 0.0);
        out.p90 = numberOr(*value, "p90", 0.0);
        out.max = numberOr(*value, "max", 0.0);
    }
    return out;
}

int clampedInt(double value) { return value >= 0.0 && value <= 2e9 ? static_cast<int>(value) : 0; }

}  // namespace

ColorCalCli::CalibrationSummary summaryFromJson(const JsonValue& document) {
    ColorCalFrontend::CalibrationData data;
    data.chart = ColorCalFrontend::chartTypeOfName(textOr(document, "chart")).value_or(data.chart);
    data.encoding =
        ColorCalFrontend::encodingOfName(textOr(document, "encoding")).value_or(data.encoding);
    data.linearRgb = flagOr(document, "linear_rgb", false);
    ColorCalCli::CalibrationSummary s;
    s.ok = flagOr(document, "ok", false);
    s.error = textOr(document, "error");
    s.chart = data.chart;
    s.encoding = data.encoding;
    s.valuesLinear = data.outputLinear();
    if (const JsonValue* matrix = member(document, "matrix", Type::eArray)) {
        for (std::size_t k = 0; k < 3 && k < matrix->items.size(); ++k) {
            for (std::size_t j = 0; j < 4 && j < matrix->items[k].items.size(); ++j) {
                s.matrix[4 * k + j] = matrix->items[k].items[j].number;
            }
        }
    }
    numbers(document, "real_white_bgr", s.realWhiteBgr);
    numbers(document, "picked_white_bgr", s.pickedWhiteBgr);
    std::array<double, 2> size{};
    numbers(document, "image_size", size);
    s.imageSize = cv::Size(clampedInt(size[0]), clampedInt(size[1]));
    std::array<double, 4> roi{};
    if (numbers(document, "roi", roi)) {
        s.roi = cv::Rect(clampedInt(roi[0]), clampedInt(roi[1]), clampedInt(roi[2]),
                         clampedInt(roi[3]));
    }
    if (const JsonValue* turn = member(document, "orientation", Type::eNumber)) {
        s.orientation = clampedInt(turn->number);
    }
    if (const JsonValue* card = member(document, "card", Type::eObject)) {
        s.card.searched = true;
        s.card.found = flagOr(*card, "found", false);
        s.card.score = numberOr(*card, "score", 0.0);
        s.card.scale = numberOr(*card, "scale", 0.0);
        s.card.tiltDeg = numberOr(*card, "tilt_deg", 0.0);
        s.card.rotationDeg = numberOr(*card, "rotation_deg", 0.0);
        s.card.nominal = !flagOr(*card, "rectified", false);
        std::array<double, 2> grid{};
        numbers(*card, "grid", grid);
        s.card.gridRows = clampedInt(grid[0]);
        s.card.gridColumns = clampedInt(grid[1]);
        if (const JsonValue* corners = member(*card, "corners", Type::eArray)) {
            for (std::size_t k = 0; k < 4 && k < corners->items.size(); ++k) {
                const auto& xy = corners->items[k].items;
                if (xy.size() == 2) s.card.corners[k] = cv::Point2d(xy[0].number, xy[1].number);
            }
        }
    }
    if (const JsonValue* segmentation = member(document, "segmentation", Type::eObject)) {
        s.segmentation.seedsFound = clampedInt(numberOr(*segmentation, "seeds_found", 0.0));
        s.segmentation.gridFound = flagOr(*segmentation, "grid_found", false);
        s.segmentation.recovered = flagOr(*segmentation, "recovered", false);
        s.segmentation.reason = textOr(*segmentation, "reason");
    }
    if (const JsonValue* patches = member(document, "patches", Type::eArray)) {
        for (const JsonValue& patch : patches->items) {
            if (patch.type != Type::eObject) continue;
            ColorCalCli::PatchRow row;
            row.referenceIndex = clampedInt(numberOr(patch, "reference_index", 0.0));
            std::array<double, 2> center{};
            numbers(patch, "center", center);
            row.center = cv::Point2d(center[0], center[1]);
            numbers(patch, "measured_rgb", row.measuredRgb);
            numbers(patch, "reference_rgb", row.referenceRgb);
            numbers(patch, "corrected_rgb", row.correctedRgb);
            row.deltaEAfter = numberOr(patch, "delta_e2000", 0.0);
            row.deltaEBefore = numberOr(patch, "delta_e2000_before", 0.0);
            s.patches.push_back(row);
        }
    }
    s.after = stats(document, "delta_e2000_stats");
    s.before = stats(document, "delta_e2000_stats_before");
    if (const JsonValue* white = member(document, "white_estimate", Type::eObject)) {
        s.whiteEstimate.available = true;
        s.whiteEstimate.method = textOr(*white, "method");
        s.whiteEstimate.centres = clampedInt(numberOr(*white, "centres", 0.0));
        s.whiteEstimate.samples = clampedInt(numberOr(*white, "samples", 0.0));
        s.whiteEstimate.residualRms = numberOr(*white, "residual_rms", 0.0);
        s.whiteFalloffPercent = numberOr(*white, "falloff", -1.0);
    }
    if (const JsonValue* timings = member(document, "timings_ms", Type::eObject)) {
        for (std::size_t i = 0; i < timings->keys.size(); ++i) {
            if (timings->values[i].type == Type::eNumber) {
                s.timingsMs.emplace_back(timings->keys[i], timings->values[i].number);
            }
        }
    }
    return s;
}

}  // namespace ColorCalPy
