#pragma once

#include <string>

#include "CommandLine.h"
#include "synth/SyntheticChart.h"

namespace ColorCalCli {

/// The camera colour cast of the tool's synthetic photos: a warm, slightly
/// mixed affine transform of linear BGR that keeps the white ground below 255.
cv::Matx34d demoCameraCast();

/// Renderer options of `colorcal render`: random chart-like colours from the
/// seed, the camera cast, a slight blur, the given rotation, noise, falloff,
/// size and encoding.
ChartSynth::RenderOptions makeRenderOptions(const RenderCommandOptions& options);

/// The ground truth of a rendered photo as JSON: chart, encoding, photo size,
/// chart region, patches in found order (reference index and centre), the
/// reference colours and the rendering parameters.
std::string formatTruthJson(const ChartSynth::RenderedChart& rendered,
                            const ChartSynth::RenderOptions& options);

}  // namespace ColorCalCli
