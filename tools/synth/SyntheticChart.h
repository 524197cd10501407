#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/ColorScience.h"

/// Synthetic photos of calibration charts with known ground truth, for the
/// tests, the benchmarks and the command-line demo.
namespace ChartSynth {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

/// One colour, (red, green, blue) on the 0..255 scale.
using Rgb = std::array<float, 3>;

/// How the photo's values are encoded: linear or sRGB (`eNone` is refused).
using Encoding = DataLayer::Color::Encoding;

/// Where a sheet of white paper lies relative to the card (in the card's plane).
enum class CardPaper {
    eNone,   ///< no sheet
    eUnder,  ///< under the card, with one or two of the card's edges on the sheet
    eBeside  ///< beside the card, touching one of its edges
};

/// Grid-like things that lie in a scene and look a little like a chart.
enum class GridDistractor {
    eChessboard,        ///< black and white squares
    eCalibrationBoard,  ///< a chessboard with a white border
    eTiles,             ///< square tiles of one colour with grout lines
    eColourGrid,        ///< equal coloured squares printed on white (never the chart's grid)
    eSudoku,            ///< a 9 x 9 grid of lines with dark digits
    eFacade             ///< a regular grid of dark windows on a light wall
};

/// What to render. Geometry is that of the chart type's parameter set: patch
/// side `GetSegmentSideLength()`, centre-to-centre pitch `GetGridLength()`;
/// CCT types have 4 rows x 5 columns, QCC types 5 rows x 4 columns.
///
/// Card coordinates: nominal pixels of the chart type, origin at the card's
/// centre, u to the right and v down on the upright card. By default the card
/// is placed by `rotationDeg` and `offsetX`/`offsetY` at the nominal scale;
/// `cardToImage` projects it instead. Every option added after the distractors
/// is off by default, and a render that uses none of them is the same, value
/// for value, as before they existed.
struct RenderOptions {
    EChart chart = EChart::eCCTPrint;
    /// Reference colours in the chart's reference order (colour k is reference position k).
    std::array<Rgb, 20> referenceRgb{};
    /// Photo size in pixels; 0 means the chart region plus a margin of 60 px on each side.
    int photoWidth = 0;
    int photoHeight = 0;
    /// Extra white margin of the chart card around the outer patches, in patch pitches.
    double cardMargin = 0.75;
    /// Rotation of the chart in degrees (counter-clockwise in the image).
    double rotationDeg = 0.0;
    /// Position of the chart centre relative to the photo centre, sub-pixel.
    double offsetX = 0.0;
    double offsetY = 0.0;
    /// Illumination: relative loss at the darkest corner of the chart card's
    /// bounding box (0.3 = 30 % darker there than under full illumination), made
    /// of a radial vignette around the chart centre and a linear gradient
    /// (`gradientShare` of the falloff) that darkens towards `gradientAngleDeg`
    /// (image angle, 0 = towards +x, 90 = towards +y). The illumination is
    /// 1 - falloff * ((1 - share) * r^2 / rmax^2 + share * t), t running from 0
    /// to 1 across the box, and never drops below 0.05.
    double falloff = 0.0;
    double gradientShare = 0.5;
    double gradientAngleDeg = 30.0;
    /// Linear brightness of the white ground at full illumination (0..255).
    float whiteLevel = 235.0f;
    /// Camera colour transform applied to linear BGR colours: out = M·(B, G, R, 1).
    cv::Matx34d cameraTransform = cv::Matx34d(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0);
    /// Gaussian blur sigma in pixels (0 = none).
    double blurSigma = 0.0;
    /// Gaussian noise sigma in output values (0 = none).
    double noiseSigma = 0.0;
    /// Supersampling factor per axis for anti-aliased edges.
    int supersample = 4;
    /// Round to 8-bit values (after noise) as a camera would.
    bool quantize = true;
    /// Encoding of the output photo.
    Encoding encoding = Encoding::eLinear;
    /// Seed of the noise.
    std::uint64_t seed = 1;

    // ---- Realistic effects (all off by default) ------------------------------
    /// A lamp close to the card: a point source at height `hotSpotHeight`
    /// (pixels) above the photo point (`hotSpotX`, `hotSpotY`) given relative to
    /// the chart centre. Its irradiance, (h^2 / (d^2 + h^2))^1.5 at distance d,
    /// is added to the illumination with the weight `hotSpotGain` (0 = no lamp).
    double hotSpotGain = 0.0;
    double hotSpotX = 0.0;
    double hotSpotY = 0.0;
    double hotSpotHeight = 1.0;
    /// Channel-dependent shading: channel k (B, G, R) sees the illumination raised
    /// to the power 1 + channelShading[k], so its falloff differs from the others'.
    std::array<double, 3> channelShading{};
    /// When positive: the light is scaled so that the brightest channel of the
    /// brightest pixel of the card's white ground reaches this value in the
    /// photo's encoding (exposure). The camera transform's offsets are not scaled.
    double exposureTarget = 0.0;
    /// Sensor noise added to the linear camera values before encoding: a
    /// Gaussian of variance shotNoise * value + readNoise^2 (values on 0..255).
    double shotNoise = 0.0;
    double readNoise = 0.0;
    /// JPEG quality (1..100) the 8-bit photo is compressed with and read back
    /// at (the photo is then always quantised); 0 = no compression.
    int jpegQuality = 0;
    /// The surround: linear level, relative amplitude of its texture (coarse
    /// and fine) and the number of coloured objects lying around the card.
    float surroundLevel = 80.0f;
    float surroundTexture = 0.1f;
    int clutterCount = 0;
    /// Margin in pixels around the card's bounding box of the region a host
    /// would hand to the library (`RenderedChart::hostRegion`).
    int regionMargin = 0;

    // ---- Distractors (all off by default) ------------------------------------
    /// Things that lie in a photo beside a card, placed from the seed where
    /// they keep at least one grid step away from the card (the hand excepted):
    /// a sheet of white paper of about the card's size without patches, a white
    /// wall along one side of the photo, a second bright, slightly tinted
    /// object, and a hand whose fingers reach over part of the card's margin
    /// (never over a patch). A distractor that finds no free place is left out.
    bool paperSheet = false;
    bool whiteWall = false;
    bool brightObject = false;
    bool hand = false;

    // ---- Projection and layout (off by default) ------------------------------
    /// When set: the homography from card coordinates to photo pixel
    /// coordinates (pixel centres at integers), as a pinhole camera sees a
    /// card lying in its own plane. `rotationDeg`, `offsetX` and `offsetY` are
    /// then ignored, the photo size must be given, and all four card corners
    /// must lie in front of the camera. The card's geometry (masks, box,
    /// corners, centres) and everything placed relative to it (distractors,
    /// the hand, the illumination's centre, the clutter, `hotSpotX`/`Y`, which
    /// stay in photo pixels) follow the projection.
    std::optional<cv::Matx33d> cardToImage;
    /// The pinhole camera's focal length in pixels (principal point at the
    /// photo's centre) when `cardToImage` came from one; only used to report
    /// the card's tilt (`RenderedChart::tiltDeg`). 0: unknown.
    double focalLength = 0.0;
    /// Lay the grid out as columns x rows instead of rows x columns (a type of
    /// 5 rows of 4 drawn as 4 rows of 5); the reference colours are read
    /// row-major over the drawn grid through the chart's colour index table.
    bool transposedLayout = false;
    /// The same scene without the card: nothing of the card is drawn and the
    /// card and patch masks are empty; the geometric truth (corners, centres,
    /// box) still says where it would lie, and the light is exposed as if it
    /// were there.
    bool noCard = false;

    // ---- Light surroundings and grid distractors (off by default) ------------
    /// Gains on the surround's (B, G, R) values, for a faintly tinted desk.
    std::array<double, 3> surroundTint{{1.0, 1.0, 1.0}};
    /// A sheet of white paper in the card's plane, under or beside the card;
    /// its level is `cardPaperLevel` times `whiteLevel` and its tint
    /// `cardPaperTint` (B, G, R gains).
    CardPaper cardPaper = CardPaper::eNone;
    double cardPaperLevel = 0.95;
    std::array<double, 3> cardPaperTint{{1.0, 1.0, 1.0}};
    /// A bright wall behind the desk: the photo above a nearly horizontal line
    /// (drawn from the seed; it runs above the card when there is room, and
    /// behind it otherwise) is a smooth wall at `brightWallLevel` times
    /// `whiteLevel`. 0: no wall.
    double brightWallLevel = 0.0;
    /// Grid-like objects lying in the scene at least one grid step away from
    /// the card, each placed from the seed and seen in a mild perspective (one
    /// that finds no free place is left out).
    std::vector<GridDistractor> gridDistractors;
};

/// A rendered photo with its ground truth.
struct RenderedChart {
    /// The photo, CV_32FC3, BGR, 0..255 (integral values when quantised).
    cv::Mat photo;
    /// The photo as CV_8UC3 (rounded and saturated).
    cv::Mat photo8u;
    /// The chart card's bounding box inside the photo (the region to segment).
    cv::Rect chartRegion;
    /// Patch centres in photo coordinates, in found order: rows top to bottom,
    /// each from left to right, as the segmentation reports them.
    std::vector<cv::Point2d> centers;
    /// Reference position of each centre (the chart's colour index table entry).
    std::vector<int> referenceIndex;
    /// The illumination of the white ground at every photo pixel, CV_32FC3,
    /// BGR, in the photo's encoding (what a perfect white image would hold).
    cv::Mat whiteField;
    /// Number of patch rows and columns.
    int rows = 0;
    int cols = 0;
    /// The card's corners in photo coordinates: top left, top right, bottom
    /// right, bottom left of the upright card.
    std::array<cv::Point2d, 4> cardCorners;
    /// CV_8UC1, photo size: 255 where the pixel centre lies on the card and
    /// nothing (the hand) covers it.
    cv::Mat cardMask;
    /// CV_8UC1, photo size: 255 where the pixel centre lies on a patch.
    cv::Mat patchMask;
    /// The card's bounding box grown by `RenderOptions::regionMargin`, clipped
    /// to the photo: the region a host would segment.
    cv::Rect hostRegion;
    /// Photo position of the centre of the patch holding reference colour k.
    std::array<cv::Point2d, 20> referenceCenters{};
    /// Projected patch side at the card's centre divided by the nominal side:
    /// the square root of the determinant of the projection's Jacobian there
    /// (1 without `cardToImage`).
    double scale = 1.0;
    /// Angle between the card's normal and the camera's axis in degrees: 0
    /// without `cardToImage`, NaN when the projection's focal length is not
    /// known (`RenderOptions::focalLength` 0).
    double tiltDeg = 0.0;
    /// In-plane turn of the card in degrees, counter-clockwise in the image,
    /// in (-180, 180]: the direction of the card's u axis at its centre
    /// (`rotationDeg` without `cardToImage`).
    double turnDeg = 0.0;
};

/// Renders a chart photo. Throws `std::invalid_argument` for an unknown chart
/// type, an encoding other than linear or sRGB, a photo side outside 0..16384, a supersampling
/// factor outside 1..16, non-finite geometry or noise parameters, or a
/// `cardToImage` that is singular, puts a card corner behind the camera or
/// comes without a photo size.
///
/// The reference colours are taken in the photo's encoding: with
/// `Encoding::eSrgb` they are decoded to linear light first, so an identity
/// camera under even illumination reproduces them exactly. Everything
/// (card, patches and the darker surround) is lit by the illumination field in
/// linear light, blurred, passed through `cameraTransform`, encoded, and then
/// noise is added and the values are quantised.
RenderedChart renderChart(const RenderOptions& options);

/// Twenty colours like those of a real chart (skin tones, primaries, greys),
/// (R, G, B), deterministic.
std::array<Rgb, 20> defaultReferenceColors();

/// Twenty random colours drawn like real chart colours from `seed`: mid-range
/// saturation and lightness, some near-neutral greys including similar pairs,
/// none too close to the white ground.
std::array<Rgb, 20> randomReferenceColors(std::uint64_t seed);

/// Number of patch rows and columns of a chart type (as its parameter set
/// says; `RenderOptions::transposedLayout` swaps them).
int chartRows(EChart chart);
int chartCols(EChart chart);

/// Side of one patch of a chart type in photo pixels (the parameter set's
/// `GetSegmentSideLength()`).
double chartSideLength(EChart chart);

/// Distance between neighbouring patch centres of a chart type in photo pixels
/// (the parameter set's `GetGridLength()`).
double chartPitch(EChart chart);

/// The chart type's colour index table: found patch i (rows top to bottom,
/// each left to right, chart upright) has reference position `lut[i]`.
std::array<int, 20> chartColorIndexLut(EChart chart);

}  // namespace ChartSynth
