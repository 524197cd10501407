#include "CalibrationSummary.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "DataLayer/ShadeAnalysis/ColorScience.h"
#include "JsonWriter.h"

namespace ColorCalCli {

std::string CalibrationSummary::matrixSpace() const {
    return encoding == Encoding::eNone ? "encoded" : "linear";
}

double whiteFalloffAtCentres(const cv::Mat& white, const std::vector<cv::Point2d>& centres) {
    if (white.empty() || white.type() != CV_32FC3 || centres.empty()) return -1.0;
    double lo = 0.0;
    double hi = 0.0;
    bool first = true;
    for (const cv::Point2d& c : centres) {
        const int x = static_cast<int>(std::lround(c.x));
        const int y = static_cast<int>(std::lround(c.y));
        if (x < 0 || y < 0 || x >= white.cols || y >= white.rows) continue;
        const cv::Vec3f& bgr = white.at<cv::Vec3f>(y, x);
        const double luminance = 0.0722 * bgr[0] + 0.7152 * bgr[1] + 0.2126 * bgr[2];
        if (!std::isfinite(luminance)) return -1.0;
        lo = first ? luminance : std::min(lo, luminance);
        hi = first ? luminance : std::max(hi, luminance);
        first = false;
    }
    if (first || !(hi > 0.0)) return -1.0;
    return 100.0 * (1.0 - lo / hi);
}

CalibrationSummary summarize(const DataLayer::PhotoCalibrationResult& result,
                             const ReferenceColors& fileReferences, EChart chart,
                             cv::Size imageSize) {
    const Encoding encoding = result.encoding;
    const bool valuesLinear = result.valuesLinear;
    const auto toFile = [encoding](double working) {
        return DataLayer::Color::toEncodedValue(working, encoding);
    };
    CalibrationSummary summary;
    summary.ok = result.ok();
    summary.error = result.error;
    summary.chart = chart;
    summary.encoding = encoding;
    summary.valuesLinear = valuesLinear;
    summary.imageSize = imageSize;
    summary.roi = result.photoRoi;
    summary.card = result.card;
    summary.timingsMs = result.timingsMs;
    summary.segmentation = result.segmentation;
    summary.whiteEstimate = result.whiteEstimate;
    if (!result.ok()) {
        return summary;
    }
    summary.whiteFalloffPercent = whiteFalloffAtCentres(result.whiteImage, result.centers);
    summary.matrix = result.matrix;
    summary.orientation = result.orientation;
    for (int c = 0; c < 3; ++c) {
        summary.realWhiteBgr[c] = toFile(result.realWhiteBgr[c]);
        summary.pickedWhiteBgr[c] = toFile(result.pickedWhiteBgr[c]);
    }
    std::vector<double> before;
    std::vector<double> after;
    for (std::size_t i = 0; i < result.centers.size(); ++i) {
        const int index = result.referenceIndex[i];
        if (index < 0 || index >= 20) {
            continue;
        }
        PatchRow row;
        row.referenceIndex = index;
        row.center = result.centers[i];
        const std::array<double, 3>& measured = result.measuredRgb[index];
        const std::array<double, 3> corrected =
            DataLayer::applyMatrixBgr(result.matrix, {measured[2], measured[1], measured[0]});
        for (int c = 0; c < 3; ++c) {
            row.measuredRgb[c] = toFile(measured[c]);
            row.correctedRgb[c] = toFile(corrected[2 - c]);
            row.referenceRgb[c] = fileReferences[index][c];
        }
        row.deltaEBefore = rgbDeltaE2000(row.measuredRgb, row.referenceRgb, valuesLinear);
        row.deltaEAfter = rgbDeltaE2000(row.correctedRgb, row.referenceRgb, valuesLinear);
        before.push_back(row.deltaEBefore);
        after.push_back(row.deltaEAfter);
        summary.patches.push_back(row);
    }
    summary.before = computeErrorStats(before);
    summary.after = computeErrorStats(after);
    return summary;
}

namespace {

int clampedCount(long long count) {
    return static_cast<int>(std::clamp<long long>(count, 0, INT_MAX));
}

void writeStats(JsonWriter& json, const ErrorStats& stats) {
    json.beginObject();
    json.key("mean").value(stats.mean);
    json.key("median").value(stats.median);
    json.key("p90").value(stats.p90);
    json.key("max").value(stats.max);
    json.endObject();
}

}  // namespace

std::string formatSummaryJson(const CalibrationSummary& s) {
    JsonWriter json;
    json.beginObject();
    // The JSON is also the calibration file `apply` and `export` read.
    json.key("format_version").value(1);
    json.key("ok").value(s.ok);
    if (s.ok) {
        json.key("error").null();
    } else {
        json.key("error").value(s.error);
    }
    json.key("chart").value(chartName(s.chart));
    json.key("encoding").value(encodingName(s.encoding));
    json.key("matrix_space").value(s.matrixSpace());
    json.key("linear_rgb").value(s.encoding == Encoding::eNone && s.valuesLinear);
    json.key("image_size")
        .beginArray(true)
        .value(s.imageSize.width)
        .value(s.imageSize.height)
        .endArray();
    json.key("roi")
        .beginArray(true)
        .value(s.roi.x)
        .value(s.roi.y)
        .value(s.roi.width)
        .value(s.roi.height)
        .endArray();
    if (s.card.searched) {
        json.key("card").beginObject();
        json.key("found").value(s.card.found);
        if (s.card.found) {
            json.key("corners").beginArray();
            for (const cv::Point2d& corner : s.card.corners) {
                const double xy[2] = {corner.x, corner.y};
                json.numbers(xy, 2);
            }
            json.endArray();
            json.key("score").value(s.card.score);
            json.key("scale").value(s.card.scale);
            json.key("tilt_deg").value(s.card.tiltDeg);
            json.key("rotation_deg").value(s.card.rotationDeg);
            json.key("grid")
                .beginArray(true)
                .value(s.card.gridRows)
                .value(s.card.gridColumns)
                .endArray();
            json.key("rectified").value(!s.card.nominal);
        } else {
            json.key("corners").null();
            json.key("score").null();
        }
        json.endObject();
    } else {
        json.key("card").null();
    }
    json.key("segmentation").beginObject();
    json.key("seeds_found").value(s.segmentation.seedsFound);
    json.key("grid_found").value(s.segmentation.gridFound);
    json.key("recovered").value(s.segmentation.recovered);
    if (s.segmentation.reason.empty()) {
        json.key("reason").null();
    } else {
        json.key("reason").value(s.segmentation.reason);
    }
    json.endObject();
    if (s.ok && s.orientation >= 0) {
        json.key("orientation").value(s.orientation);
    } else {
        json.key("orientation").null();
    }
    if (!s.ok) {
        json.key("matrix").null();
        json.key("real_white_bgr").null();
        json.key("picked_white_bgr").null();
        json.key("patches").beginArray().endArray();
        json.key("delta_e2000_stats").null();
        json.key("delta_e2000_stats_before").null();
    } else {
        json.key("matrix").beginArray();
        for (int k = 0; k < 3; ++k) {
            json.exactNumbers(&s.matrix[4 * k], 4);
        }
        json.endArray();
        json.key("real_white_bgr").exactNumbers(s.realWhiteBgr.data(), 3);
        json.key("picked_white_bgr").numbers(s.pickedWhiteBgr.data(), 3);
        json.key("patches").beginArray();
        for (const PatchRow& row : s.patches) {
            json.beginObject();
            json.key("reference_index").value(row.referenceIndex);
            const double center[2] = {row.center.x, row.center.y};
            json.key("center").numbers(center, 2);
            json.key("measured_rgb").numbers(row.measuredRgb.data(), 3);
            json.key("reference_rgb").numbers(row.referenceRgb.data(), 3);
            json.key("corrected_rgb").numbers(row.correctedRgb.data(), 3);
            json.key("delta_e2000").value(row.deltaEAfter);
            json.key("delta_e2000_before").value(row.deltaEBefore);
            json.endObject();
        }
        json.endArray();
        json.key("delta_e2000_stats");
        writeStats(json, s.after);
        json.key("delta_e2000_stats_before");
        writeStats(json, s.before);
    }
    if (s.whiteEstimate.available) {
        json.key("white_estimate").beginObject();
        json.key("method").value(s.whiteEstimate.method);
        json.key("centres").value(clampedCount(s.whiteEstimate.centres));
        json.key("samples").value(clampedCount(s.whiteEstimate.samples));
        json.key("residual_rms").value(s.whiteEstimate.residualRms);
        if (s.whiteFalloffPercent >= 0.0) {
            json.key("falloff").value(s.whiteFalloffPercent);
        } else {
            json.key("falloff").null();
        }
        json.endObject();
    } else {
        json.key("white_estimate").null();
    }
    json.key("timings_ms").beginObject();
    for (const auto& [stage, ms] : s.timingsMs) {
        json.key(stage).value(ms);
    }
    json.endObject();
    json.endObject();
    return json.str();
}

}  // namespace ColorCalCli
