#pragma once

#include <array>
#include <cstdint>

#include "SyntheticChart.h"

/// The realistic render set: chart photos as a camera delivers them, seeded
/// and repeatable, for measuring how often the chart is found and how well the
/// white and the colours come out.
///
/// Each photo draws from its seed: 20 patch colours from the classic 24-patch
/// colour checker (never its white), a camera colour mixing with white balance
/// off by up to 20 %, vignetting of 10-35 % with a linear gradient, a lamp close
/// to the card, channel-dependent shading, an exposure that puts the card white
/// at 200-235, blur of 0.5-1.5 px, shot and read noise, JPEG (quality 85-95) on
/// half of the photos, a rotation of up to 12 degrees either way at a sub-pixel
/// position, a card margin of 0.5-0.75 patch side, a textured darker surround
/// with coloured objects, and a photo of 1600 x 1200 or 2592 x 1944.
namespace ChartSynth {

/// The published sRGB values (R, G, B) of the classic 24-patch colour checker,
/// row by row: dark skin, light skin, ..., black. Entry 18 is its white.
const std::array<Rgb, 24>& classicCheckerColors();

/// Twenty of the 23 non-white checker colours drawn from `seed`, sRGB-encoded,
/// in random order. The hardest ones for a segmentation (dark skin, foliage and
/// the three darkest neutrals) are always among them.
std::array<Rgb, 20> checkerReferenceColors(std::uint64_t seed);

/// The options of photo `seed` of the realistic set for `chart` in `encoding`.
/// The reference colours are the checker colours in the photo's encoding (the
/// linear values of the same physical colours for a linear photo).
/// `RenderedChart::hostRegion` of the rendered photo is the card's bounding box
/// grown by 0-0.4 patch pitch, the region a host would hand over.
RenderOptions realisticOptions(EChart chart, Encoding encoding, std::uint64_t seed);

/// Photo `seed` of the realistic set re-rendered as a wider scene: the same
/// card, light, camera and surround (`realisticOptions`) in a photo of
/// 1600 x 1200, 2592 x 1944, 4000 x 3000 or 6000 x 4000 with the card placed
/// anywhere in it, and on every odd seed the distractors: a sheet of white
/// paper, a bright object, a hand over the card's margin and, on every other
/// of those, a white wall. `maxPixels` (when positive) caps the photo sizes
/// drawn, for quick runs.
RenderOptions sceneOptions(EChart chart, Encoding encoding, std::uint64_t seed,
                           long long maxPixels = 0);

}  // namespace ChartSynth
