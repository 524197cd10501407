#pragma once

#include <cstdint>

#include <opencv2/core.hpp>

#include "SyntheticChart.h"

/// The hand-held render set: the realistic set's photos (colours, light,
/// optics, noise and JPEG from `realisticOptions`) with the card held in
/// front of a pinhole camera, seeded and repeatable, for measuring how often
/// the card is found at any scale, tilt and turn and on light backgrounds.
///
/// Each photo draws from its seed: a scale of 0.4 to 3 times nominal
/// (log-uniform), a tilt of 0 to 35 degrees about a random axis in the card's
/// plane, an in-plane rotation of up to 15 degrees either way plus a quarter
/// turn (90, 180 or 270 degrees) on a quarter of the photos, a focal length of
/// 0.8 to 1.6 times the photo's width, a photo of 1600 x 1200 up to
/// 6000 x 4000 (a third of them portrait) that holds the whole card with room
/// around it, distractors on half of the photos (paper sheet, bright object,
/// hand, white wall, grid distractors), a light background on a third (a light
/// desk, sometimes of exactly the card's white, white paper under or beside
/// the card, or a bright wall behind), and a dark or a textured background on
/// the rest. QCC X-Rite cards are drawn transposed (4 rows of 5, as printed)
/// on half of theirs.
namespace ChartSynth {

/// A card in front of a pinhole camera whose principal point is the photo's
/// centre ((width - 1) / 2, (height - 1) / 2) and whose pixels are square.
struct PinholeCard {
    /// Focal length in pixels, > 0.
    double focalLength = 1000.0;
    /// Projected patch side at the card's centre divided by the nominal one
    /// (the square root of the projection's Jacobian determinant there), > 0.
    double scale = 1.0;
    /// Angle between the card's normal and the camera's axis, degrees, 0..89.
    double tiltDeg = 0.0;
    /// Direction in the card's plane of the axis the card is tilted about,
    /// degrees from the card's u axis towards its v axis.
    double tiltAxisDeg = 0.0;
    /// In-plane turn, degrees counter-clockwise in the image (as
    /// `RenderOptions::rotationDeg`).
    double turnDeg = 0.0;
    /// Photo position of the card's centre.
    cv::Point2d centre;
};

/// The homography from card coordinates to photo pixels (the form of
/// `RenderOptions::cardToImage`) of `card` in a photo of `photo`. Throws
/// `std::invalid_argument` for a focal length or scale that is not positive
/// and finite, a tilt outside 0..89 degrees or a non-finite value.
cv::Matx33d pinholeCardToImage(const PinholeCard& card, cv::Size photo);

/// The kind of background around a hand-held card.
enum class Background {
    eLight,    ///< a light desk, white paper under or beside the card, or a bright wall
    eDark,     ///< a dark, faintly textured desk
    eTextured  ///< a strongly textured desk with many coloured objects
};

/// Name of a background for tables: "light", "dark" or "textured".
const char* backgroundName(Background background);

/// One photo of the hand-held set: what to render and what was drawn.
struct HandheldPhoto {
    RenderOptions options;
    /// The card's pose; `pose.turnDeg` is `inPlaneDeg` plus 90 times `quarterTurns`.
    PinholeCard pose;
    int quarterTurns = 0;     ///< 0..3
    double inPlaneDeg = 0.0;  ///< the turn beyond the quarter turns, -15..15
    Background background = Background::eDark;
    bool distractors = false;  ///< whether distractors lie in the scene
    bool transposed = false;   ///< the card's grid drawn as columns x rows
};

/// Photo `seed` of the hand-held set for `chart` in `encoding`. `maxPixels`
/// (when positive) caps the photo sizes drawn, for quick runs; when no
/// allowed size holds the card at its drawn scale with room around it, the
/// scale is lowered until the largest allowed size does (never below 0.4).
HandheldPhoto handheldOptions(EChart chart, Encoding encoding, std::uint64_t seed,
                              long long maxPixels = 0);

/// The twin of a hand-held photo for accuracy comparisons: the same colours,
/// light, optics, noise, background and distractors and the same photo size,
/// with the card unprojected at scale 1, its centre where the hand-held
/// card's is (moved inwards where the card would not fit) and only the
/// realistic set's rotation.
RenderOptions handheldTwinOptions(const HandheldPhoto& photo);

/// Chart-free photo `seed` for counting false detections: a hand-held scene
/// (`RenderOptions::noCard`) of mostly light surfaces (seven in ten), always
/// with a paper sheet and one to three grid distractors, on a third of them
/// also a sheet of white paper where the card would lie. The chart type whose
/// card would be there is drawn from the seed.
HandheldPhoto chartFreeOptions(Encoding encoding, std::uint64_t seed, long long maxPixels = 0);

}  // namespace ChartSynth
