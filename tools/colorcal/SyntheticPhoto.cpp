#include "SyntheticPhoto.h"

#include "JsonWriter.h"
#include "synth/HandheldSet.h"

namespace ColorCalCli {

cv::Matx34d demoCameraCast() {
    // Rows give output blue, green, red from linear (B, G, R, 1).
    return cv::Matx34d(0.78, 0.05, 0.02, 4.0,  //
                       0.04, 0.90, 0.04, 3.0,  //
                       0.01, 0.08, 0.93, 2.0);
}

ChartSynth::RenderOptions makeRenderOptions(const RenderCommandOptions& o) {
    if (o.handheld) {
        return ChartSynth::handheldOptions(o.chart, o.encoding, o.seed, kHandheldMaxPixels).options;
    }
    ChartSynth::RenderOptions options;
    options.chart = o.chart;
    options.referenceRgb = ChartSynth::randomReferenceColors(o.seed);
    options.photoWidth = o.width;
    options.photoHeight = o.height;
    options.rotationDeg = o.rotationDeg;
    options.falloff = o.falloff;
    options.noiseSigma = o.noise;
    options.blurSigma = 0.7;
    options.cameraTransform = demoCameraCast();
    options.encoding = o.encoding;
    options.seed = o.seed;
    options.paperSheet = o.distractors;
    options.brightObject = o.distractors;
    options.hand = o.distractors;
    return options;
}

std::string formatTruthJson(const ChartSynth::RenderedChart& rendered,
                            const ChartSynth::RenderOptions& options) {
    JsonWriter json;
    json.beginObject();
    json.key("chart").value(chartName(options.chart));
    json.key("encoding").value(encodingName(options.encoding));
    json.key("image_size")
        .beginArray(true)
        .value(rendered.photo.cols)
        .value(rendered.photo.rows)
        .endArray();
    const cv::Rect& r = rendered.chartRegion;
    json.key("chart_region")
        .beginArray(true)
        .value(r.x)
        .value(r.y)
        .value(r.width)
        .value(r.height)
        .endArray();
    json.key("card_corners").beginArray();
    for (const cv::Point2d& corner : rendered.cardCorners) {
        const double xy[2] = {corner.x, corner.y};
        json.numbers(xy, 2);
    }
    json.endArray();
    json.key("rows").value(rendered.rows);
    json.key("cols").value(rendered.cols);
    json.key("patches").beginArray();
    for (std::size_t i = 0; i < rendered.centers.size(); ++i) {
        json.beginObject();
        json.key("reference_index").value(rendered.referenceIndex[i]);
        const double center[2] = {rendered.centers[i].x, rendered.centers[i].y};
        json.key("center").numbers(center, 2);
        json.endObject();
    }
    json.endArray();
    json.key("reference_rgb").beginArray();
    for (const ChartSynth::Rgb& rgb : options.referenceRgb) {
        const double values[3] = {rgb[0], rgb[1], rgb[2]};
        json.numbers(values, 3);
    }
    json.endArray();
    json.key("seed").value(static_cast<double>(options.seed));
    json.key("rotation_deg").value(options.rotationDeg);
    json.key("noise_sigma").value(options.noiseSigma);
    json.key("falloff").value(options.falloff);
    json.key("white_level_linear").value(static_cast<double>(options.whiteLevel));
    json.key("camera_transform").beginArray();
    for (int k = 0; k < 3; ++k) {
        const double row[4] = {options.cameraTransform(k, 0), options.cameraTransform(k, 1),
                               options.cameraTransform(k, 2), options.cameraTransform(k, 3)};
        json.numbers(row, 4);
    }
    json.endArray();
    json.endObject();
    return json.str();
}

}  // namespace ColorCalCli
