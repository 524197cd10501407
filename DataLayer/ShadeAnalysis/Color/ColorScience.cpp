// The sRGB transfer curves, CIE L*a*b* (D65) and CIEDE2000 on the 0..255 scale.
#include "DataLayer/ShadeAnalysis/ColorScience.h"

#include <cmath>

namespace DataLayer::Color {

namespace {

constexpr double kPi = 3.14159265358979323846;

// D65 reference white of the sRGB space, Y = 1.
constexpr double kWhiteX = 0.95047;
constexpr double kWhiteY = 1.0;
constexpr double kWhiteZ = 1.08883;

double labF(double t) {
    constexpr double kDelta = 6.0 / 29.0;
    return t > kDelta * kDelta * kDelta ? std::cbrt(t) : t / (3.0 * kDelta * kDelta) + 4.0 / 29.0;
}

double labFInverse(double f) {
    constexpr double kDelta = 6.0 / 29.0;
    return f > kDelta ? f * f * f : 3.0 * kDelta * kDelta * (f - 4.0 / 29.0);
}

double degrees(double radians) { return radians * 180.0 / kPi; }
double radians(double deg) { return deg * kPi / 180.0; }

}  // namespace

double srgbEncode(double linear255) {
    const double v = linear255 / 255.0;
    const double m = std::fabs(v);
    const double e = m <= 0.0031308 ? 12.92 * m : 1.055 * std::pow(m, 1.0 / 2.4) - 0.055;
    return std::copysign(e, v) * 255.0;
}

double srgbDecode(double encoded255) {
    const double v = encoded255 / 255.0;
    const double m = std::fabs(v);
    const double d = m <= 0.04045 ? m / 12.92 : std::pow((m + 0.055) / 1.055, 2.4);
    return std::copysign(d, v) * 255.0;
}

Lab rgbToLab(const std::array<double, 3>& rgb, bool linear) {
    double lin[3];
    for (int k = 0; k < 3; ++k) {
        lin[k] = (linear ? rgb[k] : srgbDecode(rgb[k])) / 255.0;
    }
    const double x = 0.4124564 * lin[0] + 0.3575761 * lin[1] + 0.1804375 * lin[2];
    const double y = 0.2126729 * lin[0] + 0.7151522 * lin[1] + 0.0721750 * lin[2];
    const double z = 0.0193339 * lin[0] + 0.1191920 * lin[1] + 0.9503041 * lin[2];
    const double fx = labF(x / kWhiteX);
    const double fy = labF(y / kWhiteY);
    const double fz = labF(z / kWhiteZ);
    return Lab{116.0 * fy - 16.0, 500.0 * (fx - fy), 200.0 * (fy - fz)};
}

std::array<double, 3> labToSrgb(const Lab& lab) {
    const double fy = (lab.L + 16.0) / 116.0;
    const double fx = fy + lab.a / 500.0;
    const double fz = fy - lab.b / 200.0;
    const double x = kWhiteX * labFInverse(fx);
    const double y = kWhiteY * labFInverse(fy);
    const double z = kWhiteZ * labFInverse(fz);
    const double r = 3.2404542 * x - 1.5371385 * y - 0.4985314 * z;
    const double g = -0.9692660 * x + 1.8760108 * y + 0.0415560 * z;
    const double b = 0.0556434 * x - 0.2040259 * y + 1.0572252 * z;
    return {srgbEncode(r * 255.0), srgbEncode(g * 255.0), srgbEncode(b * 255.0)};
}

double deltaE2000(const Lab& x, const Lab& y) {
    const double c1 = std::hypot(x.a, x.b);
    const double c2 = std::hypot(y.a, y.b);
    const double cMean = 0.5 * (c1 + c2);
    const double cMean7 = std::pow(cMean, 7.0);
    const double g = 0.5 * (1.0 - std::sqrt(cMean7 / (cMean7 + std::pow(25.0, 7.0))));
    const double a1 = (1.0 + g) * x.a;
    const double a2 = (1.0 + g) * y.a;
    const double c1p = std::hypot(a1, x.b);
    const double c2p = std::hypot(a2, y.b);
    auto hueAngle = [](double b, double a) {
        if (a == 0.0 && b == 0.0) {
            return 0.0;
        }
        const double h = degrees(std::atan2(b, a));
        return h < 0.0 ? h + 360.0 : h;
    };
    const double h1p = hueAngle(x.b, a1);
    const double h2p = hueAngle(y.b, a2);

    const double dLp = y.L - x.L;
    const double dCp = c2p - c1p;
    double dhp = 0.0;
    if (c1p * c2p != 0.0) {
        dhp = h2p - h1p;
        if (dhp > 180.0) {
            dhp -= 360.0;
        } else if (dhp < -180.0) {
            dhp += 360.0;
        }
    }
    const double dHp = 2.0 * std::sqrt(c1p * c2p) * std::sin(radians(dhp / 2.0));

    const double lMean = 0.5 * (x.L + y.L);
    const double cpMean = 0.5 * (c1p + c2p);
    double hpMean = h1p + h2p;
    if (c1p * c2p != 0.0) {
        if (std::fabs(h1p - h2p) <= 180.0) {
            hpMean *= 0.5;
        } else if (h1p + h2p < 360.0) {
            hpMean = 0.5 * (h1p + h2p + 360.0);
        } else {
            hpMean = 0.5 * (h1p + h2p - 360.0);
        }
    }
    const double t = 1.0 - 0.17 * std::cos(radians(hpMean - 30.0)) +
                     0.24 * std::cos(radians(2.0 * hpMean)) +
                     0.32 * std::cos(radians(3.0 * hpMean + 6.0)) -
                     0.20 * std::cos(radians(4.0 * hpMean - 63.0));
    const double dTheta = 30.0 * std::exp(-std::pow((hpMean - 275.0) / 25.0, 2.0));
    const double cpMean7 = std::pow(cpMean, 7.0);
    const double rc = 2.0 * std::sqrt(cpMean7 / (cpMean7 + std::pow(25.0, 7.0)));
    const double l50 = (lMean - 50.0) * (lMean - 50.0);
    const double sl = 1.0 + 0.015 * l50 / std::sqrt(20.0 + l50);
    const double sc = 1.0 + 0.045 * cpMean;
    const double sh = 1.0 + 0.015 * cpMean * t;
    const double rt = -std::sin(radians(2.0 * dTheta)) * rc;
    const double tl = dLp / sl;
    const double tc = dCp / sc;
    const double th = dHp / sh;
    return std::sqrt(tl * tl + tc * tc + th * th + rt * tc * th);
}

}  // namespace DataLayer::Color
