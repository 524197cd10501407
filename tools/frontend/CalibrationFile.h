#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <opencv2/core.hpp>

#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/ColorScience.h"

namespace ColorCalFrontend {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;
using Encoding = DataLayer::Color::Encoding;

/// The version of the calibration file this code writes and reads.
constexpr int kCalibrationFormatVersion = 1;

/// The largest calibration file read (a calibration with its 20 patches
/// takes about 10 KiB); the same limit as the reference file's.
constexpr std::size_t kMaxCalibrationFileBytes = std::size_t{1} << 20;

/// What correcting another photo needs from a calibration, as the JSON of
/// `colorcal calibrate` holds it. Colours are blue-green-red on the 0..255
/// scale, as in the library.
struct CalibrationData {
    EChart chart = EChart::eCCTPrint;
    /// How the photo's values are encoded: eSrgb photos are decoded to linear
    /// light before the matrix and encoded again after it.
    Encoding encoding = Encoding::eSrgb;
    /// With eNone: whether the values are linear sRGB (`linear_rgb`);
    /// otherwise they are taken as sRGB-encoded (for ICC profiles and tags).
    bool linearRgb = false;
    /// Row-major 3 x 4: corrected channel k = m[4k]·B + m[4k+1]·G + m[4k+2]·R
    /// + m[4k+3], on the flat-field corrected values of the working space
    /// (linear light for eSrgb and eLinear, the values as given for eNone).
    std::array<double, 12> matrixBgr{};
    /// The white the flat-field maps the white image onto, in the photo's
    /// encoding (as the JSON's `real_white_bgr`), each component positive.
    std::array<double, 3> realWhiteBgr{};
    /// The size of the calibrated photo, which its white image has.
    cv::Size imageSize;

    /// "linear" when the matrix works on linear light, "encoded" otherwise.
    std::string matrixSpace() const { return encoding == Encoding::eNone ? "encoded" : "linear"; }
    /// The real white in the working space (sRGB decoded for eSrgb).
    std::array<double, 3> realWhiteWorking() const;
    /// Whether the corrected values are linear light (sRGB primaries, D65):
    /// eLinear, or eNone with `linearRgb`; otherwise they are sRGB-encoded.
    bool outputLinear() const {
        return encoding == Encoding::eLinear || (encoding == Encoding::eNone && linearRgb);
    }
};

/// The command-line name of a chart type (cct-print, qcc-print, cct-xrite,
/// qcc-xrite, qcc-print-small) and back; none for an unknown name.
std::string chartTypeName(EChart chart);
std::optional<EChart> chartTypeOfName(std::string_view name);
/// "srgb", "linear" or "none" and back.
std::string encodingTypeName(Encoding encoding);
std::optional<Encoding> encodingOfName(std::string_view name);

/// Reads a calibration from the JSON text `colorcal calibrate` writes:
/// `format_version` 1, `ok` true, a known `chart` and `encoding`, the
/// `matrix_space` that goes with it, `matrix` (3 rows of 4 finite numbers,
/// coefficients within ±1000, offsets within ±100000), `real_white_bgr`
/// (three numbers within 0..10000, each above 0), `image_size` (two whole
/// numbers within 1..1000000, at most 10^10 pixels) and, when present,
/// `linear_rgb` (true or false). Other keys are ignored. Throws
/// `FrontendError` naming the first fault: text that is no strict JSON (its
/// line and column), a failed calibration (with its reason), another
/// version, a missing key, a value of the wrong type, out of range or not
/// finite.
CalibrationData parseCalibration(std::string_view json);

/// Reads the calibration file `path` (a regular file of at most
/// `kMaxCalibrationFileBytes`) with `parseCalibration`. Throws
/// `FrontendError` ("calibration file 'name': ...") when it cannot be read
/// or used.
CalibrationData readCalibrationFile(const std::string& path);

/// `path` for messages: quoted, control characters and terminal escapes
/// shown escaped, cut after 200 bytes.
std::string quotedPath(std::string_view path);

}  // namespace ColorCalFrontend
