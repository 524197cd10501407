// Drives the export writers (`makeIccProfile`, `formatCube`) with
// calibrations at the edges of what the calibration file reader accepts:
// coefficients up to ±1000, offsets up to ±100000, real whites from just
// above 0 to 10000, every chart, encoding and `linear_rgb`. Each must give a
// profile LittleCMS reads and a .cube of finite numbers in 0..1, or a
// FrontendError with the reason.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <string>

#include <lcms2.h>

#include "CalibrationExport.h"
#include "CalibrationFile.h"
#include "FrontendError.h"

namespace {

using ColorCalFrontend::EChart;
using ColorCalFrontend::Encoding;

/// A value in [-limit, limit], often one of the edges or a tiny one.
double edgeValue(FuzzedDataProvider& fdp, double limit) {
    switch (fdp.ConsumeIntegralInRange(0, 5)) {
        case 0:
            return limit;
        case 1:
            return -limit;
        case 2:
            return 0.0;
        case 3:
            return fdp.PickValueInArray({1.0e-300, -1.0e-300, 4.9e-324, 1.0e-7});
        default:
            return fdp.ConsumeFloatingPointInRange(-limit, limit);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    ColorCalFrontend::CalibrationData c;
    c.chart = fdp.PickValueInArray({EChart::eCCTPrint, EChart::eQCCPrint, EChart::eCCTXRite,
                                    EChart::eQCCXRite, EChart::eQCCPrintSmall});
    c.encoding = fdp.PickValueInArray({Encoding::eSrgb, Encoding::eLinear, Encoding::eNone});
    c.linearRgb = c.encoding == Encoding::eNone && fdp.ConsumeBool();
    for (int k = 0; k < 12; ++k) {
        c.matrixBgr[static_cast<std::size_t>(k)] = edgeValue(fdp, k % 4 == 3 ? 100000.0 : 1000.0);
    }
    for (double& w : c.realWhiteBgr) {
        w = fdp.PickValueInArray({1.0e-300, 1.0e-6, 1.0, 255.0, 10000.0});
        if (fdp.ConsumeBool()) w = fdp.ConsumeFloatingPointInRange(1.0e-9, 10000.0);
    }
    c.imageSize =
        cv::Size(fdp.ConsumeIntegralInRange(1, 100000), fdp.ConsumeIntegralInRange(1, 100000));
    const int cubeSize = fdp.ConsumeIntegralInRange(ColorCalFrontend::kMinCubeSize, 5);

    try {
        const ColorCalFrontend::CubeLut lut =
            ColorCalFrontend::parseCube(ColorCalFrontend::formatCube(c, cubeSize));
        if (lut.size != cubeSize) __builtin_trap();
        for (const auto& entry : lut.table) {
            for (float v : entry) {
                if (!(v >= 0.0f && v <= 1.0f)) __builtin_trap();  // corrected values are clamped
            }
        }
    } catch (const ColorCalFrontend::FrontendError&) {
    }
    try {
        const auto profile = ColorCalFrontend::makeIccProfile(c, "2026-01-01");
        cmsHPROFILE check =
            cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
        if (check == nullptr) __builtin_trap();  // a returned profile is a readable profile
        cmsCloseProfile(check);
    } catch (const ColorCalFrontend::FrontendError&) {
    }
    return 0;
}
