#pragma once

#include <string>

#include "CommandLine.h"
#include "synth/SyntheticChart.h"

namespace ColorCalCli {

/// The camera colour cast of the tool's synthetic photos: a warm, slightly
/// mixed affine transform of linear BGR that keeps the white ground below 255.
cv::Matx34d demoCameraCast();

/// The largest hand-held photo `render --handheld` writes, in pixels.
constexpr long long kHandheldMaxPixels = 12000000;

/// Renderer options of `colorcal render`: random chart-like colours from the
/// seed, the camera cast, a slight blur, the given rotation, noise, falloff,
/// size and encoding; with `handheld` photo `seed` of the hand-held set (its
/// checker colours, pose, light, background and size, up to 12 MP).
ChartSynth::RenderOptions makeRenderOptions(const RenderCommandOptions& options);

/// The ground truth of a rendered photo as JSON: chart, encoding, photo size,
/// chart region, patches in found order (reference index and centre), the
/// reference colours and the rendering parameters.
std::string formatTruthJson(const ChartSynth::RenderedChart& rendered,
                            const ChartSynth::RenderOptions& options);

}  // namespace ColorCalCli
