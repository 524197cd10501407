// Feeds the calibration file reader (`parseCalibration`, through the strict
// JSON reader) with arbitrary text, as `colorcal apply` and `export` and the
// Python module read a file a user may have edited. Malformed text must end
// in a FrontendError; an accepted calibration must hold what the reader
// promises, and must export (a small .cube and the ICC profile) or be
// refused with a FrontendError, never crash. The same text goes to the .cube
// reader, which reads exported LUTs back; a cube it accepts must interpolate.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "CalibrationExport.h"
#include "CalibrationFile.h"
#include "FrontendError.h"
#include "JsonReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > ColorCalFrontend::kMaxCalibrationFileBytes) {
        return 0;  // the file reader refuses larger files before parsing
    }
    FuzzedDataProvider fdp(data, size);
    const bool exportIt = fdp.ConsumeBool();
    const std::string text = fdp.ConsumeRemainingBytesAsString();
    try {
        (void)ColorCalFrontend::parseJson(text);
    } catch (const ColorCalFrontend::FrontendError&) {
    }
    try {
        const ColorCalFrontend::CubeLut lut = ColorCalFrontend::parseCube(text);
        for (const double v : {-1.0, 0.0, 0.37, 1.0, 2.0}) {
            (void)ColorCalFrontend::interpolateTetrahedral(lut, {v, 1.0 - v, v * v});
        }
    } catch (const ColorCalFrontend::FrontendError&) {
    }
    ColorCalFrontend::CalibrationData calibration;
    try {
        calibration = ColorCalFrontend::parseCalibration(text);
    } catch (const ColorCalFrontend::FrontendError&) {
        return 0;
    }
    for (double m : calibration.matrixBgr) {
        if (!std::isfinite(m) || std::fabs(m) > 100000.0) __builtin_trap();
    }
    for (double w : calibration.realWhiteBgr) {
        if (!(w > 0.0 && w <= 10000.0)) __builtin_trap();
    }
    if (calibration.imageSize.width < 1 || calibration.imageSize.height < 1) __builtin_trap();
    if (!exportIt) {
        return 0;
    }
    try {
        const std::string cube = ColorCalFrontend::formatCube(calibration, 3);
        const ColorCalFrontend::CubeLut lut = ColorCalFrontend::parseCube(cube);
        for (const auto& entry : lut.table) {
            for (float v : entry) {
                if (!std::isfinite(v)) __builtin_trap();
            }
        }
        const auto profile = ColorCalFrontend::makeIccProfile(calibration, "2026-01-01");
        if (profile.size() < 128) __builtin_trap();  // shorter than an ICC header
    } catch (const ColorCalFrontend::FrontendError&) {
    }
    return 0;
}
