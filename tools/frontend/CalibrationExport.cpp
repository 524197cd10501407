#include "CalibrationExport.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>

#include "FrontendError.h"
#include "PhotoCorrection.h"

namespace ColorCalFrontend {

namespace {

/// XYZ in LittleCMS's pipelines is scaled so that 1.0 stands for the
/// largest value the PCS encodes, 1 + 32767/32768.
constexpr double kMaxEncodableXyz = 1.0 + 32767.0 / 32768.0;

/// Grid points per axis of the CLUT that holds a matrix on encoded values.
constexpr int kEncodedClutPoints = 49;

/// A LittleCMS context whose error messages are kept for the exception.
class LcmsContext {
  public:
    LcmsContext() : m_context(cmsCreateContext(nullptr, &m_message)) {
        if (m_context == nullptr) {
            throw FrontendError("LittleCMS could not start (out of memory)");
        }
        cmsSetLogErrorHandlerTHR(m_context, &LcmsContext::log);
    }
    LcmsContext(const LcmsContext&) = delete;
    LcmsContext& operator=(const LcmsContext&) = delete;
    ~LcmsContext() { cmsDeleteContext(m_context); }
    cmsContext get() const { return m_context; }
    /// Throws with LittleCMS's last message unless `ok`.
    void require(bool ok, const std::string& what) const {
        if (!ok) {
            throw FrontendError("the ICC profile: " + what + " failed in LittleCMS" +
                                (m_message.empty() ? std::string() : " (" + m_message + ")"));
        }
    }

  private:
    static void log(cmsContext context, cmsUInt32Number, const char* text) {
        auto* message = static_cast<std::string*>(cmsGetContextUserData(context));
        if (message != nullptr && text != nullptr) {
            *message = std::string(text).substr(0, 200);
        }
    }
    std::string m_message;
    cmsContext m_context;
};

struct ProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

struct PipelineFreer {
    void operator()(cmsPipeline* lut) const { cmsPipelineFree(lut); }
};
struct CurveFreer {
    void operator()(cmsToneCurve* curve) const { cmsFreeToneCurve(curve); }
};
using Curve = std::unique_ptr<cmsToneCurve, CurveFreer>;
struct MluFreer {
    void operator()(cmsMLU* mlu) const { cmsMLUfree(mlu); }
};
struct TransformFreer {
    void operator()(void* transform) const { cmsDeleteTransform(transform); }
};

/// A stage of three copies of one tone curve: the sRGB decoding curve
/// (IEC 61966-2-1 as parametric curve type 4) or the identity.
cmsStage* curveStage(const LcmsContext& lcms, bool srgbDecoding) {
    const cmsFloat64Number srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    const Curve curve(srgbDecoding ? cmsBuildParametricToneCurve(lcms.get(), 4, srgb)
                                   : cmsBuildGamma(lcms.get(), 1.0));
    lcms.require(curve != nullptr, "a tone curve");
    cmsToneCurve* curves[3] = {curve.get(), curve.get(), curve.get()};
    cmsStage* stage = cmsStageAllocToneCurves(lcms.get(), 3, curves);
    lcms.require(stage != nullptr, "a curve stage");
    return stage;
}

/// Linear sRGB (red, green, blue on 0..1) to XYZ relative to D50 in
/// LittleCMS's pipeline scale: the colorants of LittleCMS's own sRGB
/// profile (the primaries adapted from D65 with Bradford), row-major.
std::array<double, 9> srgbToPcs(const LcmsContext& lcms, cmsHPROFILE srgb) {
    const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                     cmsSigBlueColorantTag};
    std::array<double, 9> m{};
    for (int j = 0; j < 3; ++j) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(srgb, tags[j]));
        lcms.require(xyz != nullptr, "reading sRGB's colorants");
        m[0 + j] = xyz->X / kMaxEncodableXyz;
        m[3 + j] = xyz->Y / kMaxEncodableXyz;
        m[6 + j] = xyz->Z / kMaxEncodableXyz;
    }
    return m;
}

void writeText(const LcmsContext& lcms, cmsHPROFILE profile, cmsTagSignature tag,
               const std::string& text) {
    const std::unique_ptr<cmsMLU, MluFreer> mlu(cmsMLUalloc(lcms.get(), 1));
    lcms.require(mlu != nullptr && cmsMLUsetASCII(mlu.get(), "en", "US", text.c_str()) != 0,
                 "a text tag");
    lcms.require(cmsWriteTag(profile, tag, mlu.get()) != 0, "writing a text tag");
}

/// The calibration's matrix in red-green-blue order on 0..1: 3 x 3 gains
/// (row-major) and the offset.
void rgbMatrix(const CalibrationData& c, std::array<double, 9>& gains,
               std::array<double, 3>& offset) {
    const std::array<double, 12>& m = c.matrixBgr;
    for (int i = 0; i < 3; ++i) {
        // Output red is the blue-green-red row 2, input red its column 2.
        for (int j = 0; j < 3; ++j) {
            gains[3 * i + j] = m[4 * (2 - i) + (2 - j)];
        }
        offset[i] = m[4 * (2 - i) + 3] / 255.0;
    }
}

struct ClutCargo {
    const CorrectionModel* model;
};

/// CLUT sampler: the device colour (r, g, b as 16-bit codes, the only CLUT
/// precision the format stores) corrected on encoded values, clamped.
cmsInt32Number sampleEncoded(const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) {
    const CorrectionModel& model = *static_cast<ClutCargo*>(cargo)->model;
    constexpr double kScale = 255.0 / 65535.0;
    const std::array<double, 3> bgr =
        model.correctColor({kScale * in[2], kScale * in[1], kScale * in[0]});
    for (int c = 0; c < 3; ++c) {
        out[c] = static_cast<cmsUInt16Number>(std::lround(bgr[2 - c] / kScale));
    }
    return 1;
}

/// The device-to-PCS pipeline of a calibration (see `makeIccProfile`). With
/// `perceptual`, the PCS values are those of ICC v4's perceptual intent:
/// XYZ scaled per component so that black lands on the perceptual reference
/// black and D50 stays, which LittleCMS's black-point compensation for v4
/// perceptual transforms undoes exactly; otherwise colorimetric.
cmsPipeline* devicePipeline(const LcmsContext& lcms, const CalibrationData& calibration,
                            std::array<double, 9> toPcs, bool perceptual) {
    std::array<double, 3> pcsOffset{};
    if (perceptual) {
        const cmsCIEXYZ* d50 = cmsD50_XYZ();
        const double white[3] = {d50->X, d50->Y, d50->Z};
        const double black[3] = {cmsPERCEPTUAL_BLACK_X, cmsPERCEPTUAL_BLACK_Y,
                                 cmsPERCEPTUAL_BLACK_Z};
        for (int i = 0; i < 3; ++i) {
            const double scale = (white[i] - black[i]) / white[i];
            for (int j = 0; j < 3; ++j) {
                toPcs[3 * i + j] *= scale;
            }
            pcsOffset[i] = black[i] / kMaxEncodableXyz;
        }
    }
    std::unique_ptr<cmsPipeline, PipelineFreer> lut(cmsPipelineAlloc(lcms.get(), 3, 3));
    lcms.require(lut != nullptr, "a pipeline");
    const auto append = [&](cmsStage* stage) {
        lcms.require(stage != nullptr && cmsPipelineInsertStage(lut.get(), cmsAT_END, stage) != 0,
                     "a pipeline stage");
    };
    if (calibration.encoding != Encoding::eNone) {
        // M curves, matrix (the calibration composed with sRGB's primaries), B curves.
        std::array<double, 9> gains{};
        std::array<double, 3> offset{};
        rgbMatrix(calibration, gains, offset);
        cmsFloat64Number matrix[9];
        cmsFloat64Number shift[3];
        for (int i = 0; i < 3; ++i) {
            shift[i] = pcsOffset[i];
            for (int j = 0; j < 3; ++j) {
                double sum = 0.0;
                for (int k = 0; k < 3; ++k) {
                    sum += toPcs[3 * i + k] * gains[3 * k + j];
                }
                matrix[3 * i + j] = sum;
                shift[i] += toPcs[3 * i + j] * offset[j];
            }
        }
        append(curveStage(lcms, calibration.encoding == Encoding::eSrgb));
        append(cmsStageAllocMatrix(lcms.get(), 3, 3, matrix, shift));
        append(curveStage(lcms, false));
    } else {
        // A curves, the matrix on encoded values as a CLUT, M curves decoding
        // the corrected values, sRGB's primaries, B curves.
        const CorrectionModel model(calibration);
        ClutCargo cargo{&model};
        cmsStage* clut = cmsStageAllocCLut16bit(lcms.get(), kEncodedClutPoints, 3, 3, nullptr);
        lcms.require(clut != nullptr, "a CLUT");
        if (cmsStageSampleCLut16bit(clut, &sampleEncoded, &cargo, 0) == 0) {
            cmsStageFree(clut);
            lcms.require(false, "sampling the CLUT");
        }
        append(curveStage(lcms, false));
        append(clut);
        append(curveStage(lcms, !calibration.linearRgb));
        cmsFloat64Number matrix[9];
        std::copy(toPcs.begin(), toPcs.end(), matrix);
        cmsFloat64Number shift[3] = {pcsOffset[0], pcsOffset[1], pcsOffset[2]};
        append(cmsStageAllocMatrix(lcms.get(), 3, 3, matrix, shift));
        append(curveStage(lcms, false));
    }
    return lut.release();
}

std::string describe(const CalibrationData& c, const std::string& date) {
    const std::string encoding = c.encoding == Encoding::eSrgb ? "sRGB-encoded"
                                 : c.encoding == Encoding::eLinear
                                     ? "linear"
                                     : (c.linearRgb ? "linear (as given)" : "as given");
    return "colorcal calibration, " + chartTypeName(c.chart) + " chart, " + encoding +
           " device values, matrix in " + (c.encoding == Encoding::eNone ? "encoded" : "linear") +
           " values (colour part only, no flat-field), " + date;
}

}  // namespace

std::string todayDate() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
    return text;
}

std::vector<unsigned char> makeIccProfile(const CalibrationData& calibration,
                                          const std::string& date) {
    const LcmsContext lcms;
    const Profile srgb(cmsCreate_sRGBProfileTHR(lcms.get()));
    lcms.require(srgb != nullptr, "the sRGB profile");
    const Profile profile(cmsCreateProfilePlaceholder(lcms.get()));
    lcms.require(profile != nullptr, "a new profile");
    cmsHPROFILE p = profile.get();
    cmsSetProfileVersion(p, 4.3);
    cmsSetDeviceClass(p, cmsSigInputClass);
    cmsSetColorSpace(p, cmsSigRgbData);
    cmsSetPCS(p, cmsSigXYZData);
    cmsSetHeaderRenderingIntent(p, INTENT_PERCEPTUAL);
    writeText(lcms, p, cmsSigProfileDescriptionTag, describe(calibration, date));
    writeText(lcms, p, cmsSigCopyrightTag,
              "No copyright: made by colorcal from a chart photo's calibration");
    lcms.require(cmsWriteTag(p, cmsSigMediaWhitePointTag, cmsD50_XYZ()) != 0, "the white point");
    const void* chad = cmsReadTag(srgb.get(), cmsSigChromaticAdaptationTag);
    lcms.require(chad != nullptr && cmsWriteTag(p, cmsSigChromaticAdaptationTag, chad) != 0,
                 "the chromatic adaptation tag");

    const std::array<double, 9> toPcs = srgbToPcs(lcms, srgb.get());
    for (const bool perceptual : {true, false}) {
        const std::unique_ptr<cmsPipeline, PipelineFreer> lut(
            devicePipeline(lcms, calibration, toPcs, perceptual));
        lcms.require(cmsWriteTag(p, perceptual ? cmsSigAToB0Tag : cmsSigAToB1Tag, lut.get()) != 0,
                     "writing the AToB tags");
    }

    cmsUInt32Number bytes = 0;
    lcms.require(cmsSaveProfileToMem(p, nullptr, &bytes) != 0 && bytes > 0, "saving the profile");
    std::vector<unsigned char> data(bytes);
    lcms.require(cmsSaveProfileToMem(p, data.data(), &bytes) != 0, "saving the profile");
    data.resize(bytes);

    // The profile must be readable and usable as an input profile.
    const Profile check(cmsOpenProfileFromMemTHR(lcms.get(), data.data(), bytes));
    lcms.require(check != nullptr, "reading the profile back");
    const std::unique_ptr<void, TransformFreer> transform(
        cmsCreateTransformTHR(lcms.get(), check.get(), TYPE_RGB_DBL, srgb.get(), TYPE_RGB_DBL,
                              INTENT_PERCEPTUAL, cmsFLAGS_NOOPTIMIZE));
    lcms.require(transform != nullptr, "a transform from the profile to sRGB");
    return data;
}

std::vector<unsigned char> makeOutputSpaceProfile(bool linear) {
    const LcmsContext lcms;
    Profile profile;
    if (linear) {
        cmsCIExyY d65{};
        lcms.require(cmsWhitePointFromTemp(&d65, 6504) != 0, "the D65 white point");
        const cmsCIExyYTRIPLE primaries = {
            {0.6400, 0.3300, 1.0}, {0.3000, 0.6000, 1.0}, {0.1500, 0.0600, 1.0}};
        const Curve identity(cmsBuildGamma(lcms.get(), 1.0));
        lcms.require(identity != nullptr, "a tone curve");
        cmsToneCurve* curves[3] = {identity.get(), identity.get(), identity.get()};
        profile.reset(cmsCreateRGBProfileTHR(lcms.get(), &d65, &primaries, curves));
        lcms.require(profile != nullptr, "the linear sRGB profile");
        writeText(lcms, profile.get(), cmsSigProfileDescriptionTag,
                  "linear sRGB (sRGB primaries and white, linear curve)");
    } else {
        profile.reset(cmsCreate_sRGBProfileTHR(lcms.get()));
        lcms.require(profile != nullptr, "the sRGB profile");
    }
    cmsUInt32Number bytes = 0;
    lcms.require(cmsSaveProfileToMem(profile.get(), nullptr, &bytes) != 0 && bytes > 0,
                 "saving the profile");
    std::vector<unsigned char> data(bytes);
    lcms.require(cmsSaveProfileToMem(profile.get(), data.data(), &bytes) != 0,
                 "saving the profile");
    data.resize(bytes);
    return data;
}

std::string formatCube(const CalibrationData& calibration, int size) {
    if (size < kMinCubeSize || size > kMaxCubeSize) {
        throw FrontendError("the cube size " + std::to_string(size) + " lies outside " +
                            std::to_string(kMinCubeSize) + ".." + std::to_string(kMaxCubeSize));
    }
    const CorrectionModel model(calibration);
    std::string text;
    text.reserve(static_cast<std::size_t>(size) * size * size * 28 + 512);
    text += "# colorcal calibration of a " + chartTypeName(calibration.chart) +
            " chart photo: the colour matrix without the flat-field.\n"
            "# Input and output: the photo's values in its encoding (" +
            encodingTypeName(calibration.encoding) + "), 0..1, red changing fastest.\n";
    text += "TITLE \"colorcal " + chartTypeName(calibration.chart) + " calibration\"\n";
    text += "LUT_3D_SIZE " + std::to_string(size) + "\n";
    text += "DOMAIN_MIN 0.0 0.0 0.0\nDOMAIN_MAX 1.0 1.0 1.0\n";
    const double step = 255.0 / (size - 1);
    char line[64];
    for (int b = 0; b < size; ++b) {
        for (int g = 0; g < size; ++g) {
            for (int r = 0; r < size; ++r) {
                const std::array<double, 3> out =
                    model.correctColor({b * step, g * step, r * step});
                std::snprintf(line, sizeof line, "%.6f %.6f %.6f\n", out[2] / 255.0, out[1] / 255.0,
                              out[0] / 255.0);
                text += line;
            }
        }
    }
    return text;
}

namespace {

std::size_t cubeEntries(int size) {
    return static_cast<std::size_t>(size) * static_cast<std::size_t>(size) *
           static_cast<std::size_t>(size);
}

}  // namespace

CubeLut parseCube(std::string_view text) {
    CubeLut lut;
    std::istringstream in{std::string(text)};
    std::string line;
    int lineNumber = 0;
    const auto fail = [&lineNumber](const std::string& what) {
        return FrontendError("line " + std::to_string(lineNumber) + ": " + what);
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        std::istringstream words(line.substr(first));
        std::string keyword;
        words >> keyword;
        if (keyword == "TITLE") continue;
        if (keyword == "LUT_3D_SIZE") {
            // Once, before the entries. The table grows with the lines read
            // rather than with the size declared, so a short file declaring
            // a large size costs nothing before it is refused.
            if (lut.size != 0 || !(words >> lut.size) || lut.size < kMinCubeSize ||
                lut.size > kMaxReadCubeSize) {
                throw fail("bad LUT_3D_SIZE");
            }
            continue;
        }
        if (keyword == "DOMAIN_MIN" || keyword == "DOMAIN_MAX") {
            std::array<double, 3>& d = keyword == "DOMAIN_MIN" ? lut.domainMin : lut.domainMax;
            if (!(words >> d[0] >> d[1] >> d[2]) || !std::isfinite(d[0]) || !std::isfinite(d[1]) ||
                !std::isfinite(d[2])) {
                throw fail("bad " + keyword);
            }
            continue;
        }
        std::istringstream values(line);
        std::array<float, 3> entry{};
        if (lut.size == 0 || !(values >> entry[0] >> entry[1] >> entry[2])) {
            throw fail("expected three numbers after LUT_3D_SIZE");
        }
        if (lut.table.size() == cubeEntries(lut.size)) {
            throw fail("more than " + std::to_string(cubeEntries(lut.size)) + " entries");
        }
        lut.table.push_back(entry);
    }
    const std::size_t expected = cubeEntries(lut.size);
    if (lut.size == 0 || lut.table.size() != expected) {
        throw FrontendError("the cube holds " + std::to_string(lut.table.size()) +
                            " entries, expected " + std::to_string(expected));
    }
    for (int c = 0; c < 3; ++c) {
        if (!(lut.domainMin[c] < lut.domainMax[c])) {
            throw FrontendError("the cube's DOMAIN_MIN is not below its DOMAIN_MAX");
        }
    }
    return lut;
}

std::array<double, 3> interpolateTetrahedral(const CubeLut& lut, const std::array<double, 3>& rgb) {
    const int n = lut.size;
    if (n < kMinCubeSize || n > kMaxReadCubeSize || lut.table.size() != cubeEntries(n)) {
        throw FrontendError("not a complete cube: size " + std::to_string(n) + ", " +
                            std::to_string(lut.table.size()) + " entries");
    }
    int i0[3];
    int i1[3];
    double d[3];
    for (int c = 0; c < 3; ++c) {
        const double span = lut.domainMax[c] - lut.domainMin[c];
        if (!(span > 0.0) || !std::isfinite(span) || !std::isfinite(rgb[c])) {
            throw FrontendError(
                "cannot interpolate a cube with an empty domain or a colour "
                "that is not a number");
        }
        const double t = std::clamp((rgb[c] - lut.domainMin[c]) / span, 0.0, 1.0) * (n - 1);
        i0[c] = std::min(static_cast<int>(t), n - 1);
        i1[c] = std::min(i0[c] + 1, n - 1);
        d[c] = t - i0[c];
    }
    const auto at = [&](int r, int g, int b) {
        return lut.table[(static_cast<std::size_t>(b) * n + g) * n + r];
    };
    const auto c000 = at(i0[0], i0[1], i0[2]);
    const auto c111 = at(i1[0], i1[1], i1[2]);
    const double dr = d[0];
    const double dg = d[1];
    const double db = d[2];
    std::array<double, 3> out{};
    for (int c = 0; c < 3; ++c) {
        const double v000 = c000[c];
        const double v111 = c111[c];
        double v = 0.0;
        if (dr > dg) {
            if (dg > db) {
                const double v100 = at(i1[0], i0[1], i0[2])[c];
                const double v110 = at(i1[0], i1[1], i0[2])[c];
                v = (1 - dr) * v000 + (dr - dg) * v100 + (dg - db) * v110 + db * v111;
            } else if (dr > db) {
                const double v100 = at(i1[0], i0[1], i0[2])[c];
                const double v101 = at(i1[0], i0[1], i1[2])[c];
                v = (1 - dr) * v000 + (dr - db) * v100 + (db - dg) * v101 + dg * v111;
            } else {
                const double v001 = at(i0[0], i0[1], i1[2])[c];
                const double v101 = at(i1[0], i0[1], i1[2])[c];
                v = (1 - db) * v000 + (db - dr) * v001 + (dr - dg) * v101 + dg * v111;
            }
        } else {
            if (db > dg) {
                const double v001 = at(i0[0], i0[1], i1[2])[c];
                const double v011 = at(i0[0], i1[1], i1[2])[c];
                v = (1 - db) * v000 + (db - dg) * v001 + (dg - dr) * v011 + dr * v111;
            } else if (db > dr) {
                const double v010 = at(i0[0], i1[1], i0[2])[c];
                const double v011 = at(i0[0], i1[1], i1[2])[c];
                v = (1 - dg) * v000 + (dg - db) * v010 + (db - dr) * v011 + dr * v111;
            } else {
                const double v010 = at(i0[0], i1[1], i0[2])[c];
                const double v110 = at(i1[0], i1[1], i0[2])[c];
                v = (1 - dg) * v000 + (dg - dr) * v010 + (dr - db) * v110 + db * v111;
            }
        }
        out[c] = v;
    }
    return out;
}

}  // namespace ColorCalFrontend
