#pragma once

// Chart photos shared by several test programs: every chart type, and a
// realistic photo of a card held in front of a pinhole camera.

#include <cstdint>

#include <opencv2/core.hpp>

#include "synth/HandheldSet.h"
#include "synth/RealisticSet.h"
#include "synth/SyntheticChart.h"

namespace TestPhotos {

/// Every chart type the library calibrates.
inline const ChartSynth::EChart kAllCharts[] = {
    ChartSynth::EChart::eCCTPrint, ChartSynth::EChart::eQCCPrint, ChartSynth::EChart::eCCTXRite,
    ChartSynth::EChart::eQCCXRite, ChartSynth::EChart::eQCCPrintSmall};

/// A realistic sRGB photo of `chart` of `size`, its card at `scale` times the
/// nominal size, tilted by `tiltDeg` about an axis `tiltAxisDeg` off its rows,
/// turned by `turnDeg`, centred at `centre` (the photo's middle, a little high,
/// when not given), seen with a focal length of `focalPerWidth` photo widths.
inline ChartSynth::RenderOptions handheld(ChartSynth::EChart chart, double scale, double tiltDeg,
                                          double turnDeg, cv::Size size, std::uint64_t seed,
                                          double tiltAxisDeg = 30.0, double focalPerWidth = 1.2,
                                          cv::Point2d centre = {-1.0, -1.0}) {
    ChartSynth::RenderOptions options =
        ChartSynth::realisticOptions(chart, ChartSynth::Encoding::eSrgb, seed);
    options.photoWidth = size.width;
    options.photoHeight = size.height;
    options.supersample = 2;
    ChartSynth::PinholeCard pose;
    pose.focalLength = focalPerWidth * size.width;
    pose.scale = scale;
    pose.tiltDeg = tiltDeg;
    pose.tiltAxisDeg = tiltAxisDeg;
    pose.turnDeg = turnDeg;
    pose.centre = centre.x < 0.0 ? cv::Point2d(0.5 * size.width, 0.45 * size.height) : centre;
    options.cardToImage = ChartSynth::pinholeCardToImage(pose, size);
    options.focalLength = pose.focalLength;
    return options;
}

}  // namespace TestPhotos
