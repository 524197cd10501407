#include "Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <string>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/ColorScience.h"

namespace ColorCalCli {

namespace {

const cv::Scalar kInk(30, 30, 30);
const cv::Scalar kMuted(110, 110, 110);
const cv::Scalar kBad(40, 40, 220);
const cv::Scalar kOutline(60, 230, 60);
const cv::Scalar kRegion(0, 215, 255);
const cv::Scalar kSeed(0, 140, 255);
const cv::Scalar kGrid(200, 40, 200);
const cv::Scalar kCard(255, 160, 0);
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;

void text(cv::Mat& canvas, const std::string& s, cv::Point at, double scale = 0.5,
          const cv::Scalar& color = kInk, int thickness = 1) {
    cv::putText(canvas, s, at, kFont, scale, color, thickness, cv::LINE_AA);
}

/// Writes `s` from `at` on as many lines as it needs to stay within
/// `maxWidth` pixels, breaking at spaces.
void wrappedText(cv::Mat& canvas, const std::string& s, cv::Point at, int maxWidth,
                 double scale = 0.45) {
    const int lineHeight = static_cast<int>(std::lround(36.0 * scale));
    std::string line;
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t end = s.find(' ', begin);
        if (end == std::string::npos) {
            end = s.size();
        }
        const std::string word = s.substr(begin, end - begin);
        const std::string longer = line.empty() ? word : line + " " + word;
        int baseline = 0;
        if (!line.empty() && cv::getTextSize(longer, kFont, scale, 1, &baseline).width > maxWidth) {
            text(canvas, line, at, scale);
            at.y += lineHeight;
            line = word;
        } else {
            line = longer;
        }
        begin = end + 1;
    }
    text(canvas, line, at, scale);
}

std::string format(const char* pattern, double a) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, pattern, a);
    return buffer;
}

/// Scales `image` to fit `box` (keeping its aspect ratio), draws it centred
/// there and returns the scale used and the placed rectangle.
double placeImage(cv::Mat& canvas, const cv::Mat& image, const cv::Rect& box, cv::Rect& placed) {
    const double scale = std::min(static_cast<double>(box.width) / image.cols,
                                  static_cast<double>(box.height) / image.rows);
    const cv::Size size(std::max(1, static_cast<int>(image.cols * scale)),
                        std::max(1, static_cast<int>(image.rows * scale)));
    cv::Mat resized;
    cv::resize(image, resized, size, 0, 0, scale < 1.0 ? cv::INTER_AREA : cv::INTER_LINEAR);
    placed = cv::Rect(box.x + (box.width - size.width) / 2, box.y + (box.height - size.height) / 2,
                      size.width, size.height);
    resized.copyTo(canvas(placed));
    return scale;
}

/// The photo with the region, the patch outlines, the centres and the reference indices.
cv::Mat annotatedPhoto(const CalibrationSummary& summary, const ReportImages& images) {
    cv::Mat photo = images.photoDisplay.clone();
    const int thickness = std::max(1, std::min(photo.cols, photo.rows) / 400);
    cv::rectangle(photo, summary.roi, kRegion, thickness);
    auto polygon = [](const std::array<cv::Point2d, 4>& corners) {
        std::vector<cv::Point> points;
        for (const cv::Point2d& c : corners) points.emplace_back(cv::Point(c));
        return points;
    };
    if (summary.card.found) {
        cv::polylines(photo, polygon(summary.card.corners), true, kCard, 2 * thickness,
                      cv::LINE_AA);
    } else if (summary.card.searched) {
        // The regions turned down, numbered as their reasons are listed.
        for (std::size_t k = 0; k < summary.card.rejected.size(); ++k) {
            const DataLayer::RejectedCardCandidate& rejected = summary.card.rejected[k];
            cv::polylines(photo, polygon(rejected.corners), true, kBad, 2 * thickness, cv::LINE_AA);
            cv::putText(photo, std::to_string(k + 1), cv::Point(rejected.corners[0]), kFont,
                        0.6 * thickness + 0.4, kBad, 2 * thickness, cv::LINE_AA);
        }
    }
    const cv::Rect roi = summary.roi;
    if (!images.labels.empty() && images.labels.size() == roi.size()) {
        for (const PatchRow& row : summary.patches) {
            const cv::Point local(static_cast<int>(std::lround(row.center.x)) - roi.x,
                                  static_cast<int>(std::lround(row.center.y)) - roi.y);
            if (!cv::Rect(0, 0, roi.width, roi.height).contains(local)) {
                continue;
            }
            const int label = images.labels.at<int>(local);
            if (label <= 1) {
                continue;
            }
            const cv::Mat mask = images.labels == label;
            std::vector<std::vector<cv::Point>> contours;
            cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, roi.tl());
            cv::drawContours(photo, contours, -1, kOutline, thickness, cv::LINE_AA);
        }
    }
    // The seeds the segmentation found (orange dots) and, when no chart came
    // of them, the last grid of patch positions it tried (magenta crosses).
    const auto inPhoto = [&](const std::array<int, 2>& p) {
        return cv::Point(p[0] + roi.x, p[1] + roi.y);
    };
    for (const auto& seed : summary.segmentation.seeds) {
        cv::circle(photo, inPhoto(seed), 3 * thickness + 2, kSeed, cv::FILLED, cv::LINE_AA);
    }
    if (summary.patches.empty()) {
        for (const auto& position : summary.segmentation.grid) {
            cv::drawMarker(photo, inPhoto(position), kGrid, cv::MARKER_TILTED_CROSS,
                           8 * thickness + 4, thickness + 1);
        }
    }
    const double fontScale = std::max(0.5, std::min(photo.cols, photo.rows) / 700.0);
    for (const PatchRow& row : summary.patches) {
        const cv::Point c(static_cast<int>(std::lround(row.center.x)),
                          static_cast<int>(std::lround(row.center.y)));
        const int arm = 4 * thickness + 2;
        cv::line(photo, c - cv::Point(arm, 0), c + cv::Point(arm, 0), cv::Scalar(255, 255, 255),
                 thickness + 2);
        cv::line(photo, c - cv::Point(0, arm), c + cv::Point(0, arm), cv::Scalar(255, 255, 255),
                 thickness + 2);
        cv::line(photo, c - cv::Point(arm, 0), c + cv::Point(arm, 0), kInk, thickness);
        cv::line(photo, c - cv::Point(0, arm), c + cv::Point(0, arm), kInk, thickness);
        const std::string index = std::to_string(row.referenceIndex);
        const cv::Point at = c + cv::Point(arm + 2, -arm - 2);
        cv::putText(photo, index, at, kFont, fontScale, cv::Scalar(255, 255, 255),
                    3 * thickness + 1, cv::LINE_AA);
        cv::putText(photo, index, at, kFont, fontScale, kInk, thickness, cv::LINE_AA);
    }
    return photo;
}

/// sRGB-encoded 8-bit BGR of a reported (r, g, b) colour.
cv::Scalar displayColor(const std::array<double, 3>& rgb, bool linear) {
    double out[3];
    for (int c = 0; c < 3; ++c) {
        const double v = linear ? DataLayer::Color::srgbEncode(rgb[c]) : rgb[c];
        out[c] = std::isfinite(v) ? std::clamp(v, 0.0, 255.0) : 0.0;
    }
    return cv::Scalar(out[2], out[1], out[0]);
}

/// Draws the white field as a false-colour map into `box` with a colour bar;
/// returns the caption.
std::string drawWhiteField(cv::Mat& canvas, const cv::Rect& box, const CalibrationSummary& summary,
                           const ReportImages& images) {
    if (images.whiteImage.empty() || images.whiteImage.type() != CV_32FC3) {
        text(canvas, "no white field", box.tl() + cv::Point(20, 40), 0.6, kMuted);
        return "white field: not available";
    }
    cv::Mat luminance;
    cv::transform(images.whiteImage, luminance, cv::Matx13f(0.0722f, 0.7152f, 0.2126f));
    // The falloff is measured over the patch grid (the box of the patch
    // centres), where the white matters; the surround may be far darker.
    cv::Rect area = summary.roi;
    if (summary.patches.size() >= 2) {
        std::vector<cv::Point> centers;
        for (const PatchRow& row : summary.patches) {
            centers.emplace_back(static_cast<int>(std::lround(row.center.x)),
                                 static_cast<int>(std::lround(row.center.y)));
        }
        area = cv::boundingRect(centers);
        area.width += 1;
        area.height += 1;
    }
    area &= cv::Rect(0, 0, luminance.cols, luminance.rows);
    if (area.area() == 0) {
        area = cv::Rect(0, 0, luminance.cols, luminance.rows);
    }
    double lo = 0.0;
    double hi = 0.0;
    cv::minMaxLoc(luminance(area), &lo, &hi);
    if (!(hi > 0.0) || !std::isfinite(hi) || !std::isfinite(lo)) {
        text(canvas, "white field not usable", box.tl() + cv::Point(20, 40), 0.6, kMuted);
        return "white field: not usable";
    }
    lo = std::max(0.0, lo);
    const double span = std::max(1e-6, hi - lo);
    cv::Mat scaled;
    luminance.convertTo(scaled, CV_8U, 255.0 / span, -255.0 * lo / span);
    cv::Mat colored;
    cv::applyColorMap(scaled, colored, cv::COLORMAP_VIRIDIS);
    cv::rectangle(colored, area, cv::Scalar(255, 255, 255),
                  std::max(1, std::min(colored.cols, colored.rows) / 400));

    const int barWidth = 18;
    const cv::Rect mapBox(box.x, box.y, box.width - barWidth - 60, box.height);
    cv::Rect placed;
    placeImage(canvas, colored, mapBox, placed);
    // Colour bar: top = brightest, bottom = darkest, labelled in % of the brightest.
    const cv::Rect bar(mapBox.x + mapBox.width + 10, placed.y, barWidth, placed.height);
    for (int y = 0; y < bar.height; ++y) {
        cv::Mat value(1, 1, CV_8U,
                      cv::Scalar(255.0 * (bar.height - 1 - y) / std::max(1, bar.height - 1)));
        cv::Mat color;
        cv::applyColorMap(value, color, cv::COLORMAP_VIRIDIS);
        const cv::Vec3b c = color.at<cv::Vec3b>(0, 0);
        cv::line(canvas, {bar.x, bar.y + y}, {bar.x + bar.width - 1, bar.y + y},
                 cv::Scalar(c[0], c[1], c[2]));
    }
    text(canvas, "100%", {bar.x + bar.width + 4, bar.y + 10}, 0.4);
    text(canvas, format("%.0f%%", 100.0 * lo / hi), {bar.x + bar.width + 4, bar.y + bar.height},
         0.4);
    const double falloff = 100.0 * (1.0 - lo / hi);
    const std::string method =
        summary.whiteEstimate.available ? " by " + summary.whiteEstimate.method : std::string();
    return "white field" + method +
           format(" (luminance, false colour): falloff %.1f%% across the patch grid (white box)",
                  falloff) +
           (images.whiteLinear ? "" : " (encoded values)");
}

}  // namespace

std::vector<int> worstPatches(const CalibrationSummary& summary, std::size_t count) {
    std::vector<const PatchRow*> rows;
    for (const PatchRow& row : summary.patches) {
        rows.push_back(&row);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const PatchRow* a, const PatchRow* b) {
        // NaN sorts last: it cannot be ranked.
        if (std::isnan(a->deltaEAfter) != std::isnan(b->deltaEAfter)) {
            return std::isnan(b->deltaEAfter);
        }
        return a->deltaEAfter > b->deltaEAfter;
    });
    std::vector<int> worst;
    for (std::size_t i = 0; i < rows.size() && i < count; ++i) {
        worst.push_back(rows[i]->referenceIndex);
    }
    return worst;
}

cv::Mat renderReport(const CalibrationSummary& summary, const ReportImages& images) {
    constexpr int kWidth = 1500;
    constexpr int kPanelHeight = 520;
    constexpr int kCellW = 142;
    constexpr int kCellH = 136;
    // Room below the panels for two caption lines each.
    const int swatchTop = 60 + kPanelHeight + 80;
    const int textTop = swatchTop + 2 * kCellH + 30;
    cv::Mat canvas(textTop + 190, kWidth, CV_8UC3, cv::Scalar(250, 250, 250));

    // Title.
    std::string title = "colorcal calibration report - chart " + chartName(summary.chart) +
                        ", encoding " + encodingName(summary.encoding) + " (matrix in " +
                        (summary.matrixSpace() == "linear" ? "linear light" : "encoded values") +
                        ")";
    text(canvas, title, {20, 32}, 0.7, kInk, 2);
    text(canvas,
         "photo " + std::to_string(summary.imageSize.width) + "x" +
             std::to_string(summary.imageSize.height) + ", chart region " +
             std::to_string(summary.roi.x) + "," + std::to_string(summary.roi.y) + " " +
             std::to_string(summary.roi.width) + "x" + std::to_string(summary.roi.height),
         {20, 52}, 0.45, kMuted);

    if (!summary.ok) {
        text(canvas, "calibration failed: " + summary.error, {420, 52}, 0.5, kBad, 1);
    }

    // Photo panel.
    const cv::Rect photoBox(20, 60, 720, kPanelHeight);
    if (!images.photoDisplay.empty()) {
        cv::Rect placed;
        placeImage(canvas, annotatedPhoto(summary, images), photoBox, placed);
    }
    const std::string cardNote =
        summary.card.found ? "; blue: card (score " + format("%.2f", summary.card.score) + ")" : "";
    wrappedText(
        canvas,
        (summary.patches.empty()
             ? std::string("patch search: seeds (orange), last grid tried (magenta); yellow: "
                           "chart region")
             : std::string("detected patches: outlines, centres, reference indices; seeds "
                           "(orange); yellow: chart region")) +
            cardNote,
        {photoBox.x, photoBox.y + photoBox.height + 22}, photoBox.width);

    // White field panel.
    const cv::Rect whiteBox(760, 60, 720, kPanelHeight);
    const std::string caption = drawWhiteField(canvas, whiteBox, summary, images);
    wrappedText(canvas, caption, {whiteBox.x, whiteBox.y + whiteBox.height + 22}, whiteBox.width);

    // Swatches in reference order: reference above, corrected below.
    const std::vector<int> worst = worstPatches(summary);
    text(canvas,
         "per patch: reference (top) vs corrected (bottom), CIEDE2000; red frame: five worst",
         {20, swatchTop - 10}, 0.5);
    std::array<const PatchRow*, 20> byIndex{};
    for (const PatchRow& row : summary.patches) {
        byIndex[row.referenceIndex] = &row;
    }
    for (int k = 0; k < 20; ++k) {
        const cv::Rect cell(20 + (k % 10) * (kCellW + 4), swatchTop + (k / 10) * kCellH, kCellW,
                            kCellH - 8);
        const PatchRow* row = byIndex[k];
        cv::rectangle(canvas, cell, cv::Scalar(225, 225, 225), cv::FILLED);
        if (row != nullptr) {
            const cv::Rect top(cell.x + 6, cell.y + 6, cell.width - 12, 40);
            const cv::Rect bottom(cell.x + 6, cell.y + 46, cell.width - 12, 40);
            cv::rectangle(canvas, top, displayColor(row->referenceRgb, summary.valuesLinear),
                          cv::FILLED);
            cv::rectangle(canvas, bottom, displayColor(row->correctedRgb, summary.valuesLinear),
                          cv::FILLED);
            const auto rank = std::find(worst.begin(), worst.end(), k);
            const bool bad = rank != worst.end();
            text(canvas, "#" + std::to_string(k) + "  " + format("%.2f", row->deltaEAfter),
                 {cell.x + 6, cell.y + 106}, 0.5, bad ? kBad : kInk, bad ? 2 : 1);
            text(canvas, "before " + format("%.2f", row->deltaEBefore), {cell.x + 6, cell.y + 123},
                 0.4, kMuted);
            if (bad) {
                cv::rectangle(canvas, cell, kBad, 3);
            }
        } else {
            text(canvas, "#" + std::to_string(k) + " not found", {cell.x + 6, cell.y + 60}, 0.45,
                 kBad);
        }
    }

    // Matrix and statistics.
    if (!summary.ok) {
        if (summary.card.searched && !summary.card.found) {
            text(canvas,
                 summary.card.rejected.empty()
                     ? "no card candidate: " + summary.card.reason
                     : "card candidates turned down (red, numbered in the photo):",
                 {20, textTop}, 0.5, kBad);
            for (std::size_t k = 0; k < summary.card.rejected.size(); ++k) {
                text(canvas, std::to_string(k + 1) + ": " + summary.card.rejected[k].reason,
                     {30, textTop + 26 + 24 * static_cast<int>(k)}, 0.45);
            }
        }
        return canvas;
    }
    text(canvas, "colour matrix (rows: output blue, green, red; columns: B, G, R, offset)",
         {20, textTop}, 0.5);
    const char* names[3] = {"B'", "G'", "R'"};
    for (int k = 0; k < 3; ++k) {
        char line[160];
        std::snprintf(line, sizeof line, "%s = %+9.4f B %+9.4f G %+9.4f R %+9.3f", names[k],
                      summary.matrix[4 * k], summary.matrix[4 * k + 1], summary.matrix[4 * k + 2],
                      summary.matrix[4 * k + 3]);
        text(canvas, line, {30, textTop + 28 + 24 * k}, 0.55);
    }
    const int statsX = 760;
    text(canvas, "CIEDE2000 over the 20 patches", {statsX, textTop}, 0.5);
    text(canvas, "mean      median    p90       max", {statsX + 120, textTop + 28}, 0.5, kMuted);
    auto statsLine = [&](const char* label, const ErrorStats& s, int y, const cv::Scalar& color) {
        char line[160];
        std::snprintf(line, sizeof line, "%-9.2f %-9.2f %-9.2f %-9.2f", s.mean, s.median, s.p90,
                      s.max);
        text(canvas, label, {statsX, y}, 0.55, color);
        text(canvas, line, {statsX + 120, y}, 0.55, color, 1);
    };
    statsLine("before", summary.before, textTop + 54, kMuted);
    statsLine("after", summary.after, textTop + 80, kInk);
    text(canvas, "before: flat-field corrected patch means; after: with the colour matrix",
         {statsX, textTop + 110}, 0.42, kMuted);
    return canvas;
}

}  // namespace ColorCalCli
