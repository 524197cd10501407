#pragma once

#include <array>

#include "Base/Export.h"

/// Colour science on the library's 0..255 scale: the sRGB transfer curves,
/// CIE L*a*b* (D65) and the CIEDE2000 colour difference, shared by the
/// command-line tool, the Python module, the synthetic renderer and the tests.
/// The functions are pure and may run on any number of threads at once.
/// (The engine's own orientation check uses OpenCV's Lab conversion.)
namespace DataLayer::Color {

/// How the values of an image are encoded.
enum class Encoding {
    eLinear,  ///< values proportional to light
    eSrgb,    ///< the sRGB transfer curve applied to the linear values
    eNone,    ///< an encoding not known here: values are used as they are
};

/// A CIE L*a*b* colour (D65 white).
struct Lab {
    double L = 0.0;
    double a = 0.0;
    double b = 0.0;
};

/// Encodes a linear value on the 0..255 scale with the sRGB transfer curve
/// (IEC 61966-2-1, piecewise: linear below 0.0031308). Negative input gives the
/// mirrored curve; values above 255 follow the curve's extension. NaN stays NaN.
COLORCAL_EXPORT double srgbEncode(double linear255);

/// Decodes an sRGB-encoded value on the 0..255 scale to linear light on the
/// same scale (linear below 0.04045). Inverse of `srgbEncode`.
COLORCAL_EXPORT double srgbDecode(double encoded255);

/// CIE L*a*b* (D65) of a colour (r, g, b) given on the 0..255 scale, as linear
/// sRGB values when `linear` is true, otherwise as sRGB-encoded values.
COLORCAL_EXPORT Lab rgbToLab(const std::array<double, 3>& rgb, bool linear);

/// sRGB-encoded (r, g, b) on the 0..255 scale of a CIE L*a*b* (D65) colour,
/// unclipped (components may leave 0..255 for colours outside the gamut).
COLORCAL_EXPORT std::array<double, 3> labToSrgb(const Lab& lab);

/// The CIEDE2000 colour difference of two Lab colours (kL = kC = kH = 1).
COLORCAL_EXPORT double deltaE2000(const Lab& x, const Lab& y);

}  // namespace DataLayer::Color
