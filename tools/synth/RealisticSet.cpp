#include "RealisticSet.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>

#include "DataLayer/ShadeAnalysis/ColorScience.h"

namespace ChartSynth {

namespace {

using DataLayer::Color::srgbDecode;

// Checker entries that always take part: dark skin, foliage and the three
// darkest neutrals (their colours lie close to each other and to a dark scene).
constexpr int kAlwaysDrawn[] = {0, 3, 21, 22, 23};
constexpr int kCheckerWhite = 18;

/// How far the card's centre may move from the photo's centre along x and y
/// while the host's region (the rotated card plus the region margin) stays
/// 12 px inside the photo.
std::pair<double, double> spareAroundCard(EChart chart, const RenderOptions& o) {
    const double side = chartSideLength(chart);
    const double pitch = chartPitch(chart);
    const double halfW = 0.5 * (chartCols(chart) - 1) * pitch + 0.5 * side + o.cardMargin * pitch;
    const double halfH = 0.5 * (chartRows(chart) - 1) * pitch + 0.5 * side + o.cardMargin * pitch;
    const double angle = o.rotationDeg * 3.14159265358979323846 / 180.0;
    const double extentX = halfW * std::fabs(std::cos(angle)) + halfH * std::fabs(std::sin(angle));
    const double extentY = halfW * std::fabs(std::sin(angle)) + halfH * std::fabs(std::cos(angle));
    return {std::max(0.0, 0.5 * o.photoWidth - extentX - o.regionMargin - 12.0),
            std::max(0.0, 0.5 * o.photoHeight - extentY - o.regionMargin - 12.0)};
}

}  // namespace

const std::array<Rgb, 24>& classicCheckerColors() {
    static const std::array<Rgb, 24> colors = {{
        {{115, 82, 68}},   {{194, 150, 130}}, {{98, 122, 157}},  {{87, 108, 67}},
        {{133, 128, 177}}, {{103, 189, 170}}, {{214, 126, 44}},  {{80, 91, 166}},
        {{193, 90, 99}},   {{94, 60, 108}},   {{157, 188, 64}},  {{224, 163, 46}},
        {{56, 61, 150}},   {{70, 148, 73}},   {{175, 54, 60}},   {{231, 199, 31}},
        {{187, 86, 149}},  {{8, 133, 161}},   {{243, 243, 242}}, {{200, 200, 200}},
        {{160, 160, 160}}, {{122, 122, 121}}, {{85, 85, 85}},    {{52, 52, 52}},
    }};
    return colors;
}

std::array<Rgb, 20> checkerReferenceColors(std::uint64_t seed) {
    std::mt19937_64 rng(seed * 0x2545F4914F6CDD1DULL + 11);
    std::vector<int> optional;
    for (int k = 0; k < 24; ++k) {
        if (k != kCheckerWhite && std::find(std::begin(kAlwaysDrawn), std::end(kAlwaysDrawn), k) ==
                                      std::end(kAlwaysDrawn)) {
            optional.push_back(k);
        }
    }
    std::shuffle(optional.begin(), optional.end(), rng);
    std::vector<int> drawn(std::begin(kAlwaysDrawn), std::end(kAlwaysDrawn));
    drawn.insert(drawn.end(), optional.begin(), optional.begin() + (20 - drawn.size()));
    std::shuffle(drawn.begin(), drawn.end(), rng);
    std::array<Rgb, 20> colors{};
    for (int i = 0; i < 20; ++i) {
        colors[i] = classicCheckerColors()[drawn[i]];
    }
    return colors;
}

RenderOptions realisticOptions(EChart chart, Encoding encoding, std::uint64_t seed) {
    std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ULL + static_cast<std::uint64_t>(chart) * 131 +
                        (encoding == Encoding::eSrgb ? 7 : 3));
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };

    RenderOptions o;
    o.chart = chart;
    o.encoding = encoding;
    o.seed = seed;
    o.referenceRgb = checkerReferenceColors(seed);
    if (encoding == Encoding::eLinear) {
        for (Rgb& rgb : o.referenceRgb) {
            for (float& v : rgb) v = static_cast<float>(srgbDecode(v));
        }
    }

    // Camera: colour mixing whose rows keep neutrals neutral, then a white
    // balance that is off by up to 20 % per channel.
    cv::Matx34d camera;
    for (int k = 0; k < 3; ++k) {
        double row[3];
        double sum = 0.0;
        for (int j = 0; j < 3; ++j) {
            row[j] = j == k ? 1.0 : uniform(-0.12, 0.12);
            sum += row[j];
        }
        const double balance = uniform(0.8, 1.2);
        for (int j = 0; j < 3; ++j) camera(k, j) = balance * row[j] / sum;
        camera(k, 3) = 0.0;
    }
    o.cameraTransform = camera;

    // Light: vignetting and a gradient, a lamp near the card, shading that
    // differs per channel, and an exposure that puts the card white at 200-235.
    o.falloff = uniform(0.10, 0.35);
    o.gradientShare = uniform(0.2, 0.6);
    o.gradientAngleDeg = uniform(0.0, 360.0);
    const double side = chartSideLength(chart);
    const double pitch = chartPitch(chart);
    const double cardHalfDiagonal =
        0.5 * std::hypot(chartCols(chart) * pitch + side, chartRows(chart) * pitch + side);
    const double lampAngle = uniform(0.0, 2.0 * 3.14159265358979323846);
    const double lampDistance = cardHalfDiagonal * uniform(0.3, 1.2);
    o.hotSpotX = lampDistance * std::cos(lampAngle);
    o.hotSpotY = lampDistance * std::sin(lampAngle);
    o.hotSpotHeight = cardHalfDiagonal * uniform(0.7, 1.6);
    o.hotSpotGain = uniform(0.15, 0.6);
    for (double& s : o.channelShading) s = uniform(-0.15, 0.15);
    o.exposureTarget = uniform(200.0, 235.0);

    // Optics and sensor.
    o.blurSigma = uniform(0.5, 1.5);
    o.shotNoise = uniform(0.02, 0.15);
    o.readNoise = uniform(0.1, 0.5);
    o.jpegQuality = unit(rng) < 0.5 ? static_cast<int>(uniform(85.0, 95.999)) : 0;
    o.supersample = 3;

    // Geometry: card margin in patch sides, rotation, a surround with objects,
    // the photo size and a sub-pixel position that keeps the host's region
    // inside the photo.
    o.cardMargin = uniform(0.5, 0.75) * side / pitch;
    o.rotationDeg = uniform(-12.0, 12.0);
    o.surroundLevel = static_cast<float>(uniform(25.0, 110.0));
    o.surroundTexture = static_cast<float>(uniform(0.1, 0.3));
    o.clutterCount = static_cast<int>(uniform(4.0, 12.999));
    o.regionMargin = static_cast<int>(uniform(0.0, 0.4) * pitch);
    const bool large = unit(rng) < 0.5;
    o.photoWidth = large ? 2592 : 1600;
    o.photoHeight = large ? 1944 : 1200;
    const auto [spareX, spareY] = spareAroundCard(chart, o);
    o.offsetX = uniform(-spareX, spareX);
    o.offsetY = uniform(-spareY, spareY);
    return o;
}

RenderOptions sceneOptions(EChart chart, Encoding encoding, std::uint64_t seed,
                           long long maxPixels) {
    RenderOptions o = realisticOptions(chart, encoding, seed);
    std::mt19937_64 rng(seed * 0xC2B2AE3D27D4EB4FULL + static_cast<std::uint64_t>(chart) * 977 +
                        (encoding == Encoding::eSrgb ? 5 : 1));
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    constexpr int kSizes[4][2] = {{1600, 1200}, {2592, 1944}, {4000, 3000}, {6000, 4000}};
    int choices = 4;
    while (choices > 1 && maxPixels > 0 &&
           static_cast<long long>(kSizes[choices - 1][0]) * kSizes[choices - 1][1] > maxPixels) {
        --choices;
    }
    const int pick = std::min(choices - 1, static_cast<int>(unit(rng) * choices));
    o.photoWidth = kSizes[pick][0];
    o.photoHeight = kSizes[pick][1];
    const auto [spareX, spareY] = spareAroundCard(chart, o);
    o.offsetX = (2.0 * unit(rng) - 1.0) * spareX;
    o.offsetY = (2.0 * unit(rng) - 1.0) * spareY;
    const bool distractors = seed % 2 == 1;
    o.paperSheet = distractors;
    o.brightObject = distractors;
    o.hand = distractors;
    o.whiteWall = distractors && seed % 4 == 1;
    return o;
}

}  // namespace ChartSynth
