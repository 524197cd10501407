#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "CalibrationFile.h"

/// The colour part of a calibration (the matrix, without the flat-field) in
/// the formats other programs read: an ICC v4 input profile and a 3D LUT in
/// the .cube format.
namespace ColorCalFrontend {

/// The ICC profile (v4, display class) of what a correction writes: sRGB,
/// or with `linear` sRGB's primaries and white with a linear curve. Made
/// with LittleCMS; throws `FrontendError` when it fails.
std::vector<unsigned char> makeOutputSpaceProfile(bool linear);

/// The .cube sizes accepted (points per axis) and the default.
constexpr int kMinCubeSize = 2;
constexpr int kMaxCubeSize = 129;
constexpr int kDefaultCubeSize = 33;
/// The largest .cube `parseCube` reads (the format's usual limit).
constexpr int kMaxReadCubeSize = 256;

/// An ICC v4 input profile (device class input, RGB to PCS XYZ) of the
/// calibration, made with LittleCMS. Device values are the photo's values
/// in red-green-blue order on 0..1, in the calibration's encoding. Its
/// AToB0 tag is a lutAtoBType holding the calibration exactly (up to the
/// format's 16.16 fixed-point numbers): for the srgb and linear encodings,
/// M curves that decode the device values to linear light (the sRGB curve
/// as a parametric curve, or the identity), the matrix with its offset
/// composed with sRGB's primaries adapted to D50 (Bradford, as LittleCMS's
/// own sRGB profile), and identity B curves; for the none encoding, where
/// the matrix works on encoded values, A curves (identity), a 49-point CLUT
/// of the matrix clamped to 0..1, M curves that decode sRGB (identity with
/// `linearRgb`), the primaries' matrix and identity B curves. Values the
/// matrix sends outside 0..1 are clipped by the consumer at the end, as
/// `apply` clamps them. Also: a description (chart type, encoding, date
/// `date`), a copyright tag, the D50 media white point and the
/// chromatic-adaptation tag. Throws `FrontendError` when LittleCMS refuses
/// the profile or cannot read it back.
std::vector<unsigned char> makeIccProfile(const CalibrationData& calibration,
                                          const std::string& date);

/// The text of a .cube 3D LUT of `size` points per axis (kMinCubeSize..
/// kMaxCubeSize): input and output the photo's values in the calibration's
/// encoding on 0..1 (DOMAIN_MIN 0 0 0, DOMAIN_MAX 1 1 1), red changing
/// fastest; each entry is the grid colour corrected without flat-field
/// (`CorrectionModel::correctColor`) with six decimals. Throws
/// `FrontendError` for a size out of range.
std::string formatCube(const CalibrationData& calibration, int size);

/// A 3D LUT as read from a .cube file.
struct CubeLut {
    int size = 0;
    std::array<double, 3> domainMin{0.0, 0.0, 0.0};
    std::array<double, 3> domainMax{1.0, 1.0, 1.0};
    /// size^3 entries (r, g, b), red changing fastest.
    std::vector<std::array<float, 3>> table;
};

/// Reads the text of a .cube 3D LUT (TITLE, LUT_3D_SIZE, DOMAIN_MIN/MAX,
/// comments, then size^3 lines of three numbers). Throws `FrontendError`
/// naming the line for anything else, for a second LUT_3D_SIZE, for more or
/// fewer entries than the size says, and for a domain that is not finite
/// or whose minimum is not below its maximum in every channel.
CubeLut parseCube(std::string_view text);

/// The LUT at (r, g, b) by tetrahedral interpolation, input clamped to the
/// domain: what programs reading the file compute. Throws `FrontendError`
/// for a LUT `parseCube` would refuse (incomplete table, empty domain) and
/// for a colour that is not a finite number.
std::array<double, 3> interpolateTetrahedral(const CubeLut& lut, const std::array<double, 3>& rgb);

/// Today's date (UTC) as YYYY-MM-DD, for the profile's description.
std::string todayDate();

}  // namespace ColorCalFrontend
