#include "SyntheticChart.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#if defined(COLORCAL_HAVE_IMGCODECS)
#include <opencv2/imgcodecs.hpp>
#endif
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/ColorScience.h"

namespace ChartSynth {

namespace {

using DataLayer::Color::Lab;
using DataLayer::Color::labToSrgb;
using DataLayer::Color::srgbDecode;

constexpr double kPi = 3.14159265358979323846;
constexpr int kPatches = 20;
constexpr int kMaxPhotoSide = 16384;
/// The surround texture varies on these scales (pixels): a coarse one and,
/// for a rougher surround, a fine one.
constexpr int kTextureCell = 24;
constexpr int kFineTextureCell = 6;

bool isKnownChart(EChart chart) {
    const int value = static_cast<int>(chart);
    return value >= 0 && value <= 4;
}

void requireKnownChart(EChart chart) {
    if (!isKnownChart(chart)) {
        throw std::invalid_argument("renderChart(): unknown chart type " +
                                    std::to_string(static_cast<int>(chart)));
    }
}

/// Where the chart lies in the photo and what each grid cell holds.
struct Layout {
    int rows = 0;
    int cols = 0;
    double side = 0.0;
    double pitch = 0.0;
    double halfCardW = 0.0;  ///< card half extents in chart coordinates
    double halfCardH = 0.0;
    double cosA = 1.0;  ///< rotation
    double sinA = 0.0;
    double cx = 0.0;  ///< chart centre in pixel-index coordinates
    double cy = 0.0;
    double extentX = 0.0;  ///< half extents of the card's bounding box in the image
    double extentY = 0.0;

    /// Chart coordinates (u right, v down on the upright chart) of image point (x, y).
    void toChart(double x, double y, double& u, double& v) const {
        const double dx = x - cx;
        const double dy = y - cy;
        u = dx * cosA - dy * sinA;
        v = dx * sinA + dy * cosA;
    }

    /// Image point of chart coordinates (u, v).
    cv::Point2d toImage(double u, double v) const {
        return {cx + u * cosA + v * sinA, cy - u * sinA + v * cosA};
    }

    /// Grid cell index (row * cols + col) of the patch containing (u, v), -1 for
    /// the card's white ground, -2 outside the card.
    int classify(double u, double v) const {
        if (std::fabs(u) > halfCardW || std::fabs(v) > halfCardH) {
            return -2;
        }
        const double cu = u / pitch + 0.5 * (cols - 1);
        const double cv_ = v / pitch + 0.5 * (rows - 1);
        const double col = std::floor(cu + 0.5);
        const double row = std::floor(cv_ + 0.5);
        if (col < 0 || col >= cols || row < 0 || row >= rows) {
            return -1;
        }
        const double halfSideInPitches = 0.5 * side / pitch;
        if (std::fabs(cu - col) > halfSideInPitches || std::fabs(cv_ - row) > halfSideInPitches) {
            return -1;
        }
        return static_cast<int>(row) * cols + static_cast<int>(col);
    }

    /// Half of the card's diagonal.
    double halfDiagonal() const { return std::hypot(halfCardW, halfCardH); }
};

/// Colour of a sample point: a patch, the white ground or the surround.
struct Palette {
    std::array<cv::Vec3f, kPatches> patch;
    cv::Vec3f white;
};

void validate(const RenderOptions& o) {
    requireKnownChart(o.chart);
    if (o.photoWidth < 0 || o.photoWidth > kMaxPhotoSide || o.photoHeight < 0 ||
        o.photoHeight > kMaxPhotoSide) {
        throw std::invalid_argument("renderChart(): photo size outside 0.." +
                                    std::to_string(kMaxPhotoSide));
    }
    if (o.supersample < 1 || o.supersample > 16) {
        throw std::invalid_argument("renderChart(): supersample outside 1..16");
    }
    if (o.encoding != Encoding::eLinear && o.encoding != Encoding::eSrgb) {
        throw std::invalid_argument("renderChart(): the encoding must be linear or sRGB");
    }
    const double finiteChecks[] = {o.cardMargin,
                                   o.rotationDeg,
                                   o.offsetX,
                                   o.offsetY,
                                   o.falloff,
                                   o.gradientShare,
                                   o.gradientAngleDeg,
                                   o.blurSigma,
                                   o.noiseSigma,
                                   static_cast<double>(o.whiteLevel),
                                   o.hotSpotGain,
                                   o.hotSpotX,
                                   o.hotSpotY,
                                   o.hotSpotHeight,
                                   o.channelShading[0],
                                   o.channelShading[1],
                                   o.channelShading[2],
                                   o.exposureTarget,
                                   o.shotNoise,
                                   o.readNoise,
                                   static_cast<double>(o.surroundLevel),
                                   static_cast<double>(o.surroundTexture)};
    for (double value : finiteChecks) {
        if (!std::isfinite(value)) {
            throw std::invalid_argument("renderChart(): non-finite parameter");
        }
    }
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) {
            if (!std::isfinite(o.cameraTransform(r, c))) {
                throw std::invalid_argument("renderChart(): non-finite camera transform");
            }
        }
    }
    for (const Rgb& rgb : o.referenceRgb) {
        for (float value : rgb) {
            if (!std::isfinite(value)) {
                throw std::invalid_argument("renderChart(): non-finite reference colour");
            }
        }
    }
    if (o.cardMargin < 0.0 || o.cardMargin > 10.0 || std::fabs(o.offsetX) > kMaxPhotoSide ||
        std::fabs(o.offsetY) > kMaxPhotoSide || o.blurSigma < 0.0 || o.blurSigma > 100.0 ||
        o.noiseSigma < 0.0 || o.hotSpotGain < 0.0 || !(o.hotSpotHeight > 0.0) ||
        o.exposureTarget < 0.0 || o.exposureTarget > 255.0 || o.shotNoise < 0.0 ||
        o.readNoise < 0.0 || o.jpegQuality < 0 || o.jpegQuality > 100 || o.clutterCount < 0 ||
        o.clutterCount > 1000 || o.regionMargin < 0 || o.regionMargin > kMaxPhotoSide ||
        o.surroundLevel < 0.0f || o.surroundTexture < 0.0f) {
        throw std::invalid_argument("renderChart(): parameter out of range");
    }
}

Layout makeLayout(const RenderOptions& o, int& width, int& height) {
    Layout g;
    g.rows = chartRows(o.chart);
    g.cols = chartCols(o.chart);
    g.side = chartSideLength(o.chart);
    g.pitch = chartPitch(o.chart);
    g.halfCardW = 0.5 * (g.cols - 1) * g.pitch + 0.5 * g.side + o.cardMargin * g.pitch;
    g.halfCardH = 0.5 * (g.rows - 1) * g.pitch + 0.5 * g.side + o.cardMargin * g.pitch;
    const double angle = o.rotationDeg * kPi / 180.0;
    g.cosA = std::cos(angle);
    g.sinA = std::sin(angle);
    g.extentX = g.halfCardW * std::fabs(g.cosA) + g.halfCardH * std::fabs(g.sinA);
    g.extentY = g.halfCardW * std::fabs(g.sinA) + g.halfCardH * std::fabs(g.cosA);
    constexpr int kDefaultMargin = 60;
    width = o.photoWidth > 0
                ? o.photoWidth
                : static_cast<int>(std::ceil(2.0 * g.extentX)) + 1 + 2 * kDefaultMargin;
    height = o.photoHeight > 0
                 ? o.photoHeight
                 : static_cast<int>(std::ceil(2.0 * g.extentY)) + 1 + 2 * kDefaultMargin;
    g.cx = 0.5 * (width - 1) + o.offsetX;
    g.cy = 0.5 * (height - 1) + o.offsetY;
    return g;
}

/// Pixels whose area touches the card's bounding box, clipped to the photo.
cv::Rect cardBox(const Layout& g, int width, int height) {
    const double left = std::floor(g.cx - g.extentX + 0.5);
    const double top = std::floor(g.cy - g.extentY + 0.5);
    const double right = std::floor(g.cx + g.extentX + 0.5) + 1.0;
    const double bottom = std::floor(g.cy + g.extentY + 0.5) + 1.0;
    const int x0 = static_cast<int>(std::clamp(left, 0.0, static_cast<double>(width)));
    const int y0 = static_cast<int>(std::clamp(top, 0.0, static_cast<double>(height)));
    const int x1 = static_cast<int>(std::clamp(right, 0.0, static_cast<double>(width)));
    const int y1 = static_cast<int>(std::clamp(bottom, 0.0, static_cast<double>(height)));
    return {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
}

/// A rotated rectangle of `size` placed from `rng` inside the photo and at
/// least one grid step away from the card's bounding box; false when 40
/// draws find no such place.
bool placeAwayFromCard(const Layout& g, cv::Size photo, cv::Size2f size, cv::RNG& rng,
                       cv::RotatedRect& placed) {
    const double gap = g.pitch;
    const cv::Rect2d card(g.cx - g.extentX - gap, g.cy - g.extentY - gap, 2.0 * (g.extentX + gap),
                          2.0 * (g.extentY + gap));
    for (int attempt = 0; attempt < 40; ++attempt) {
        const cv::RotatedRect box(
            cv::Point2f(static_cast<float>(rng.uniform(0.0, static_cast<double>(photo.width))),
                        static_cast<float>(rng.uniform(0.0, static_cast<double>(photo.height)))),
            size, static_cast<float>(rng.uniform(-20.0, 20.0)));
        const cv::Rect2f bounds = box.boundingRect2f();
        const bool insidePhoto = bounds.x >= 0.0f && bounds.y >= 0.0f &&
                                 bounds.x + bounds.width <= static_cast<float>(photo.width) &&
                                 bounds.y + bounds.height <= static_cast<float>(photo.height);
        if (insidePhoto && (cv::Rect2d(bounds) & card).area() <= 0.0) {
            placed = box;
            return true;
        }
    }
    return false;
}

void fillRotatedRect(cv::Mat& image, const cv::RotatedRect& box, const cv::Scalar& colour) {
    cv::Point2f corners[4];
    box.points(corners);
    std::vector<cv::Point> polygon;
    for (const cv::Point2f& c : corners) polygon.emplace_back(cv::Point(c));
    cv::fillConvexPoly(image, polygon, colour, cv::LINE_AA);
}

/// The paper sheet, the white wall and the bright object of `o`, drawn into
/// the surround (linear light, before the illumination).
void addDistractors(const RenderOptions& o, const Layout& g, cv::RNG& rng, cv::Mat& surround) {
    const cv::Size photo = surround.size();
    const double white = o.whiteLevel;
    if (o.whiteWall) {
        // A band along the photo's side farthest from the card, ending a grid
        // step before the card's box.
        const double gaps[4] = {
            g.cx - g.extentX - g.pitch, photo.width - (g.cx + g.extentX + g.pitch),
            g.cy - g.extentY - g.pitch, photo.height - (g.cy + g.extentY + g.pitch)};
        const int side = static_cast<int>(std::max_element(gaps, gaps + 4) - gaps);
        const double depth = std::min(gaps[side], 0.4 * (side < 2 ? photo.width : photo.height));
        if (depth > 20.0) {
            const int d = static_cast<int>(depth);
            const cv::Rect band = side == 0   ? cv::Rect(0, 0, d, photo.height)
                                  : side == 1 ? cv::Rect(photo.width - d, 0, d, photo.height)
                                  : side == 2 ? cv::Rect(0, 0, photo.width, d)
                                              : cv::Rect(0, photo.height - d, photo.width, d);
            const double level = white * rng.uniform(0.8, 1.0);
            surround(band).setTo(cv::Scalar(level, level * rng.uniform(0.97, 1.03), level));
        }
    }
    const double cardW = 2.0 * g.halfCardW;
    const double cardH = 2.0 * g.halfCardH;
    if (o.paperSheet) {
        const double scale = rng.uniform(0.8, 1.4);
        cv::RotatedRect box;
        if (placeAwayFromCard(
                g, photo,
                cv::Size2f(static_cast<float>(cardW * scale), static_cast<float>(cardH * scale)),
                rng, box)) {
            const double level = white * rng.uniform(0.85, 1.0);
            fillRotatedRect(surround, box,
                            cv::Scalar(level, level, level * rng.uniform(0.97, 1.03)));
        }
    }
    if (o.brightObject) {
        cv::RotatedRect box;
        if (placeAwayFromCard(g, photo,
                              cv::Size2f(static_cast<float>(cardW * rng.uniform(0.4, 1.0)),
                                         static_cast<float>(cardH * rng.uniform(0.4, 1.0))),
                              rng, box)) {
            // Pale and slightly tinted: a box, a cup, a book's pages.
            const cv::Scalar colour(white * rng.uniform(0.6, 0.95), white * rng.uniform(0.6, 0.95),
                                    white * rng.uniform(0.6, 0.95));
            if (rng.uniform(0, 2) == 0) {
                cv::ellipse(surround, box, colour, -1, cv::LINE_AA);
            } else {
                fillRotatedRect(surround, box, colour);
            }
        }
    }
}

/// CV_8UC1, photo size: 255 under the hand of `o` (empty when it has none).
/// The fingers reach from outside across one edge of the card into its margin.
cv::Mat handMask(const RenderOptions& o, const Layout& g, int width, int height) {
    if (!o.hand) {
        return {};
    }
    cv::RNG rng(o.seed ^ 0x4a4e44ULL);
    cv::Mat mask = cv::Mat::zeros(height, width, CV_8U);
    const int edge = rng.uniform(0, 4);
    // Edge frame in chart coordinates: `along` runs along the edge, `out` points away from the
    // card.
    const bool horizontal = edge < 2;
    const double half = horizontal ? g.halfCardW : g.halfCardH;
    const double outward = horizontal ? g.halfCardH : g.halfCardW;
    const double sign = edge % 2 == 0 ? -1.0 : 1.0;
    const double margin = o.cardMargin * g.pitch;
    const double at = half * rng.uniform(-0.5, 0.5);
    auto toImage = [&](double along, double out) {
        const double u = horizontal ? along : sign * (outward + out);
        const double v = horizontal ? sign * (outward + out) : along;
        return cv::Point2f(g.toImage(u, v));
    };
    const double angleDeg =
        std::atan2(g.toImage(horizontal ? 0 : sign, horizontal ? sign : 0).y - g.cy,
                   g.toImage(horizontal ? 0 : sign, horizontal ? sign : 0).x - g.cx) *
        180.0 / kPi;
    const double fingerLength = 1.6 * g.side;
    const double fingerWidth = 0.4 * g.side;
    for (int finger = 0; finger < 4; ++finger) {
        const double depth = margin * rng.uniform(0.3, 0.75);
        const double along = at + (finger - 1.5) * 0.5 * g.side;
        const cv::Point2f centre = toImage(along, -depth + 0.5 * fingerLength);
        cv::ellipse(mask,
                    cv::RotatedRect(centre,
                                    cv::Size2f(static_cast<float>(fingerLength),
                                               static_cast<float>(fingerWidth)),
                                    static_cast<float>(angleDeg)),
                    cv::Scalar(255), -1, cv::LINE_8);
    }
    const double palmLength = 2.4 * g.side;
    const cv::Point2f palm = toImage(at, 0.8 * fingerLength + 0.5 * palmLength - 0.2 * margin);
    cv::ellipse(
        mask,
        cv::RotatedRect(
            palm, cv::Size2f(static_cast<float>(palmLength), static_cast<float>(2.2 * g.side)),
            static_cast<float>(angleDeg)),
        cv::Scalar(255), -1, cv::LINE_8);
    return mask;
}

/// The surround: a neutral texture around `o.surroundLevel` (coarse, plus a
/// fine grain when `fine`), with `o.clutterCount` coloured objects lying around
/// the card; linear light, CV_32FC3. Deterministic in `o.seed`.
cv::Mat surroundImage(const RenderOptions& o, const Layout& g, int width, int height, bool fine) {
    cv::RNG rng(o.seed ^ 0x5eedf00dULL);
    const float amplitude = o.surroundTexture * o.surroundLevel;
    cv::Mat coarse(height / kTextureCell + 2, width / kTextureCell + 2, CV_32F);
    rng.fill(coarse, cv::RNG::UNIFORM, -amplitude, amplitude);
    cv::Mat texture;
    cv::resize(coarse, texture, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    texture += o.surroundLevel;
    if (fine) {
        cv::Mat grain(height / kFineTextureCell + 2, width / kFineTextureCell + 2, CV_32F);
        rng.fill(grain, cv::RNG::UNIFORM, -0.5f * amplitude, 0.5f * amplitude);
        cv::Mat grainFull;
        cv::resize(grain, grainFull, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
        texture += grainFull;
        cv::max(texture, 0.0f, texture);
    }
    cv::Mat surround;
    cv::merge(std::vector<cv::Mat>{texture, texture, texture}, surround);
    // Objects of about patch size around the card, some of them close enough
    // to fall inside a region drawn generously around it.
    for (int i = 0; i < o.clutterCount; ++i) {
        const double angle = rng.uniform(0.0, 2.0 * kPi);
        const double distance = g.halfDiagonal() * rng.uniform(0.75, 1.6);
        const cv::Point2d centre(g.cx + distance * std::cos(angle),
                                 g.cy + distance * std::sin(angle));
        const cv::Size2f size(static_cast<float>(2.0 * g.side * rng.uniform(0.25, 1.1)),
                              static_cast<float>(2.0 * g.side * rng.uniform(0.25, 1.1)));
        const cv::Scalar colour(rng.uniform(5.0, 200.0), rng.uniform(5.0, 200.0),
                                rng.uniform(5.0, 200.0));
        const double tilt = rng.uniform(0.0, 180.0);
        if (rng.uniform(0, 2) == 0) {
            cv::ellipse(surround,
                        cv::RotatedRect(cv::Point2f(centre), size, static_cast<float>(tilt)),
                        colour, -1, cv::LINE_8);
        } else {
            const cv::RotatedRect box(cv::Point2f(centre), size, static_cast<float>(tilt));
            cv::Point2f corners[4];
            box.points(corners);
            std::vector<cv::Point> polygon;
            for (const cv::Point2f& c : corners) polygon.emplace_back(cv::Point(c));
            cv::fillConvexPoly(surround, polygon, colour, cv::LINE_8);
        }
    }
    addDistractors(o, g, rng, surround);
    return surround;
}

/// Relative illumination along one image row.
class IlluminationModel {
  public:
    IlluminationModel(const RenderOptions& o, const Layout& g)
        : m_falloff(o.falloff),
          m_share(std::clamp(o.gradientShare, 0.0, 1.0)),
          m_cx(g.cx),
          m_cy(g.cy),
          m_rmax2(std::max(1.0, g.extentX * g.extentX + g.extentY * g.extentY)) {
        const double angle = o.gradientAngleDeg * kPi / 180.0;
        m_dirX = std::cos(angle);
        m_dirY = std::sin(angle);
        m_dmax = std::max(1e-9, g.extentX * std::fabs(m_dirX) + g.extentY * std::fabs(m_dirY));
    }

    void row(int y, int width, float* light) const {
        if (m_falloff == 0.0) {
            std::fill(light, light + width, 1.0f);
            return;
        }
        const double dy = y - m_cy;
        for (int x = 0; x < width; ++x) {
            const double dx = x - m_cx;
            const double t = 0.5 * ((dx * m_dirX + dy * m_dirY) / m_dmax + 1.0);
            const double loss =
                m_falloff * ((1.0 - m_share) * (dx * dx + dy * dy) / m_rmax2 + m_share * t);
            light[x] = static_cast<float>(std::max(0.05, 1.0 - loss));
        }
    }

  private:
    double m_falloff;
    double m_share;
    double m_cx;
    double m_cy;
    double m_rmax2;
    double m_dirX = 1.0;
    double m_dirY = 0.0;
    double m_dmax = 1.0;
};

/// Mean colour of the chart's supersamples over pixel (x, y); samples off the
/// card take `surround`.
cv::Vec3f cardPixel(const Layout& g, const Palette& palette, int x, int y, int n,
                    const cv::Vec3f& surround) {
    cv::Vec3d sum(0, 0, 0);
    for (int sy = 0; sy < n; ++sy) {
        const double py = y + (sy + 0.5) / n - 0.5;
        for (int sx = 0; sx < n; ++sx) {
            const double px = x + (sx + 0.5) / n - 0.5;
            double u = 0.0;
            double v = 0.0;
            g.toChart(px, py, u, v);
            const int cell = g.classify(u, v);
            if (cell >= 0) {
                sum += cv::Vec3d(palette.patch[cell]);
            } else if (cell == -1) {
                sum += cv::Vec3d(palette.white);
            } else {
                sum += cv::Vec3d(surround);
            }
        }
    }
    return cv::Vec3f(sum * (1.0 / (n * n)));
}

/// Camera transform of linear BGR, clamped at zero.
cv::Vec3f camera(const cv::Matx34f& m, const cv::Vec3f& bgr) {
    cv::Vec3f out;
    for (int k = 0; k < 3; ++k) {
        const float value = m(k, 0) * bgr[0] + m(k, 1) * bgr[1] + m(k, 2) * bgr[2] + m(k, 3);
        out[k] = std::max(value, 0.0f);
    }
    return out;
}

/// sRGB-encodes `n` non-negative linear values in place; `scratch` holds n floats.
void encodeRow(float* values, int n, std::vector<float>& scratch) {
    constexpr float kLinearLimit = 0.0031308f * 255.0f;
    scratch.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        scratch[i] = std::max(values[i], 0.0f) / 255.0f;
    }
    cv::Mat row(1, n, CV_32F, scratch.data());
    cv::pow(row, 1.0 / 2.4, row);  // vectorised; a per-value std::pow would dominate
    for (int i = 0; i < n; ++i) {
        values[i] = values[i] <= kLinearLimit ? 12.92f * values[i]
                                              : (1.055f * scratch[i] - 0.055f) * 255.0f;
    }
}

}  // namespace

int chartRows(EChart chart) {
    return (chart == EChart::eCCTPrint || chart == EChart::eCCTXRite) ? 4 : 5;
}

int chartCols(EChart chart) {
    return (chart == EChart::eCCTPrint || chart == EChart::eCCTXRite) ? 5 : 4;
}

double chartSideLength(EChart chart) {
    switch (chart) {
        case EChart::eCCTPrint:
            return 56.0;
        case EChart::eQCCPrint:
            return 76.0;
        case EChart::eCCTXRite:
        case EChart::eQCCXRite:
        case EChart::eQCCPrintSmall:
            return 60.0;
    }
    requireKnownChart(chart);
    return 0.0;
}

double chartPitch(EChart chart) {
    switch (chart) {
        case EChart::eCCTXRite:
            return 107.0;
        case EChart::eQCCXRite:
            return 105.0;
        case EChart::eCCTPrint:
        case EChart::eQCCPrint:
        case EChart::eQCCPrintSmall:
            // The printed charts space their patches by the patch diagonal.
            return static_cast<double>(static_cast<float>(chartSideLength(chart) * std::sqrt(2.0)));
    }
    requireKnownChart(chart);
    return 0.0;
}

std::array<int, 20> chartColorIndexLut(EChart chart) {
    requireKnownChart(chart);
    std::array<int, 20> lut{};
    const bool columnMajor = chart == EChart::eQCCPrint || chart == EChart::eQCCPrintSmall;
    for (int i = 0; i < kPatches; ++i) {
        lut[i] = columnMajor ? (i % 4) * 5 + i / 4 : i;
    }
    return lut;
}

RenderedChart renderChart(const RenderOptions& options) {
    validate(options);
    int width = 0;
    int height = 0;
    const Layout g = makeLayout(options, width, height);

    RenderedChart out;
    out.rows = g.rows;
    out.cols = g.cols;
    out.chartRegion = cardBox(g, width, height);

    // Every grid cell keeps the colour it carries on the upright chart; the
    // found order is then read off the rotated image, rows top to bottom.
    const std::array<int, 20> lut = chartColorIndexLut(options.chart);
    std::vector<int> cellOrder(kPatches);
    std::vector<cv::Point2d> cellCenter(kPatches);
    std::vector<cv::Point2d> residual(kPatches);
    const double quarterTurns = std::round(options.rotationDeg / 90.0);
    const double residualAngle = (options.rotationDeg - 90.0 * quarterTurns) * kPi / 180.0;
    for (int r = 0; r < g.rows; ++r) {
        for (int c = 0; c < g.cols; ++c) {
            const int cell = r * g.cols + c;
            const double u = (c - 0.5 * (g.cols - 1)) * g.pitch;
            const double v = (r - 0.5 * (g.rows - 1)) * g.pitch;
            cellCenter[cell] = g.toImage(u, v);
            // Undo only the rotation beyond the nearest quarter turn: the grid
            // becomes axis-aligned as the image sees it.
            const double dx = cellCenter[cell].x - g.cx;
            const double dy = cellCenter[cell].y - g.cy;
            residual[cell] = {dx * std::cos(residualAngle) - dy * std::sin(residualAngle),
                              dx * std::sin(residualAngle) + dy * std::cos(residualAngle)};
            cellOrder[cell] = cell;
        }
    }
    std::sort(cellOrder.begin(), cellOrder.end(),
              [&](int a, int b) { return residual[a].y < residual[b].y; });
    for (std::size_t start = 0; start < cellOrder.size();) {
        std::size_t end = start + 1;
        while (end < cellOrder.size() &&
               residual[cellOrder[end]].y - residual[cellOrder[start]].y < 0.5 * g.pitch) {
            ++end;
        }
        std::sort(cellOrder.begin() + static_cast<std::ptrdiff_t>(start),
                  cellOrder.begin() + static_cast<std::ptrdiff_t>(end),
                  [&](int a, int b) { return residual[a].x < residual[b].x; });
        start = end;
    }
    for (int cell : cellOrder) {
        out.centers.push_back(cellCenter[cell]);
        out.referenceIndex.push_back(lut[cell]);
    }

    const bool srgb = options.encoding == Encoding::eSrgb;
    Palette palette;
    for (int cell = 0; cell < kPatches; ++cell) {
        const Rgb& rgb = options.referenceRgb[lut[cell]];
        for (int k = 0; k < 3; ++k) {
            const double value = rgb[2 - k];
            palette.patch[cell][k] = static_cast<float>(srgb ? srgbDecode(value) : value);
        }
    }
    palette.white = cv::Vec3f(options.whiteLevel, options.whiteLevel, options.whiteLevel);

    const bool realistic = options.clutterCount > 0 || options.shotNoise > 0.0 ||
                           options.readNoise > 0.0 || options.jpegQuality > 0;
    const cv::Mat surround = surroundImage(options, g, width, height, realistic);
    const IlluminationModel illumination(options, g);
    const cv::Matx34f cameraMatrix(options.cameraTransform);
    const cv::Rect& box = out.chartRegion;
    const int n = options.supersample;
    const bool shaded = options.channelShading[0] != 0.0 || options.channelShading[1] != 0.0 ||
                        options.channelShading[2] != 0.0;
    const double lampHeightSq = options.hotSpotHeight * options.hotSpotHeight;
    const double lampX = g.cx + options.hotSpotX;
    const double lampY = g.cy + options.hotSpotY;

    // The light of every pixel and channel, the card and patch masks, and the
    // white field in linear light: the white ground under the same light
    // through the camera.
    cv::Mat light3(height, width, CV_32FC3);
    out.cardMask = cv::Mat::zeros(height, width, CV_8U);
    out.patchMask = cv::Mat::zeros(height, width, CV_8U);
    out.whiteField.create(height, width, CV_32FC3);
    auto computeWhite = [&](int y0, int y1, float scale) {
        for (int y = y0; y < y1; ++y) {
            const auto* lit = light3.ptr<cv::Vec3f>(y);
            auto* white = out.whiteField.ptr<cv::Vec3f>(y);
            for (int x = 0; x < width; ++x) {
                white[x] = camera(cameraMatrix, lit[x] * (options.whiteLevel * scale));
            }
        }
    };
    tbb::parallel_for(
        tbb::blocked_range<int>(0, height, 8), [&](const tbb::blocked_range<int>& range) {
            std::vector<float> light(static_cast<std::size_t>(width));
            for (int y = range.begin(); y != range.end(); ++y) {
                illumination.row(y, width, light.data());
                auto* lit = light3.ptr<cv::Vec3f>(y);
                for (int x = 0; x < width; ++x) {
                    float l = light[x];
                    if (options.hotSpotGain > 0.0) {
                        const double dx = x - lampX;
                        const double dy = y - lampY;
                        const double cosine = lampHeightSq / (dx * dx + dy * dy + lampHeightSq);
                        l = static_cast<float>(
                            l * (1.0 + options.hotSpotGain * cosine * std::sqrt(cosine)));
                    }
                    lit[x] = cv::Vec3f(l, l, l);
                    if (shaded) {
                        for (int k = 0; k < 3; ++k) {
                            lit[x][k] = static_cast<float>(
                                std::pow(static_cast<double>(l), 1.0 + options.channelShading[k]));
                        }
                    }
                }
                if (y >= box.y && y < box.y + box.height) {
                    uchar* card = out.cardMask.ptr<uchar>(y);
                    uchar* patch = out.patchMask.ptr<uchar>(y);
                    for (int x = box.x; x < box.x + box.width; ++x) {
                        double u = 0.0;
                        double v = 0.0;
                        g.toChart(x, y, u, v);
                        const int cell = g.classify(u, v);
                        card[x] = cell >= -1 ? 255 : 0;
                        patch[x] = cell >= 0 ? 255 : 0;
                    }
                }
            }
            computeWhite(range.begin(), range.end(), 1.0f);
        });
    if (options.exposureTarget > 0.0) {
        // Exposure: the brightest white of the card's ground reaches the target.
        float brightest = 0.0f;
        for (int y = box.y; y < box.y + box.height; ++y) {
            const auto* white = out.whiteField.ptr<cv::Vec3f>(y);
            const uchar* card = out.cardMask.ptr<uchar>(y);
            const uchar* patch = out.patchMask.ptr<uchar>(y);
            for (int x = box.x; x < box.x + box.width; ++x) {
                if (card[x] != 0 && patch[x] == 0) {
                    brightest = std::max({brightest, white[x][0], white[x][1], white[x][2]});
                }
            }
        }
        const double target = srgb ? srgbDecode(options.exposureTarget) : options.exposureTarget;
        if (brightest > 0.0f) {
            const float scale = static_cast<float>(target / brightest);
            light3 *= scale;
            tbb::parallel_for(tbb::blocked_range<int>(0, height, 8),
                              [&](const tbb::blocked_range<int>& range) {
                                  computeWhite(range.begin(), range.end(), 1.0f);
                              });
        }
    }
    if (srgb) {
        tbb::parallel_for(tbb::blocked_range<int>(0, height, 8),
                          [&](const tbb::blocked_range<int>& range) {
                              std::vector<float> scratch;
                              for (int y = range.begin(); y != range.end(); ++y) {
                                  encodeRow(out.whiteField.ptr<float>(y), 3 * width, scratch);
                              }
                          });
    }

    // A hand over the card's margin hides the card there.
    const cv::Mat hand = handMask(options, g, width, height);
    const cv::Vec3f skin(80.0f, 105.0f, 185.0f);  // linear BGR of a light skin
    if (!hand.empty()) {
        out.cardMask.setTo(0, hand);
    }

    // Lit radiance of the scene.
    cv::Mat radiance(height, width, CV_32FC3);
    tbb::parallel_for(
        tbb::blocked_range<int>(0, height, 8), [&](const tbb::blocked_range<int>& range) {
            for (int y = range.begin(); y != range.end(); ++y) {
                const auto* light = light3.ptr<cv::Vec3f>(y);
                const auto* scene = surround.ptr<cv::Vec3f>(y);
                auto* lit = radiance.ptr<cv::Vec3f>(y);
                const bool cardRow = y >= box.y && y < box.y + box.height;
                for (int x = 0; x < width; ++x) {
                    const bool onCard = cardRow && x >= box.x && x < box.x + box.width;
                    const bool underHand = !hand.empty() && hand.at<uchar>(y, x) != 0;
                    const cv::Vec3f reflected =
                        underHand ? skin
                                  : (onCard ? cardPixel(g, palette, x, y, n, scene[x]) : scene[x]);
                    lit[x] = reflected.mul(light[x]);
                }
            }
        });
    if (options.blurSigma > 0.0) {
        cv::GaussianBlur(radiance, radiance, cv::Size(), options.blurSigma, options.blurSigma,
                         cv::BORDER_REPLICATE);
    }

    // Camera, sensor noise, encoding, noise (one generator per row, so the
    // result does not depend on how the rows are shared among threads) and
    // quantisation.
    const bool sensorNoise = options.shotNoise > 0.0 || options.readNoise > 0.0;
    out.photo.create(height, width, CV_32FC3);
    out.photo8u.create(height, width, CV_8UC3);
    tbb::parallel_for(
        tbb::blocked_range<int>(0, height, 8), [&](const tbb::blocked_range<int>& range) {
            std::vector<float> scratch;
            for (int y = range.begin(); y != range.end(); ++y) {
                const auto* lit = radiance.ptr<cv::Vec3f>(y);
                auto* photo = out.photo.ptr<cv::Vec3f>(y);
                for (int x = 0; x < width; ++x) {
                    photo[x] = camera(cameraMatrix, lit[x]);
                }
                float* values = out.photo.ptr<float>(y);
                if (sensorNoise) {
                    cv::RNG rng(options.seed * 0xD1B54A32D192ED03ULL +
                                static_cast<std::uint64_t>(y) + 1);
                    const double readVariance = options.readNoise * options.readNoise;
                    for (int i = 0; i < 3 * width; ++i) {
                        const double variance =
                            options.shotNoise * std::max(0.0, static_cast<double>(values[i])) +
                            readVariance;
                        values[i] += static_cast<float>(std::sqrt(variance) * rng.gaussian(1.0));
                    }
                }
                if (srgb) {
                    encodeRow(values, 3 * width, scratch);
                }
                if (options.noiseSigma > 0.0) {
                    cv::RNG rng(options.seed * 0x9E3779B97F4A7C15ULL +
                                static_cast<std::uint64_t>(y) + 1);
                    const float sigma = static_cast<float>(options.noiseSigma);
                    for (int i = 0; i < 3 * width; ++i) {
                        values[i] += sigma * static_cast<float>(rng.gaussian(1.0));
                    }
                }
                std::uint8_t* bytes = out.photo8u.ptr<std::uint8_t>(y);
                for (int i = 0; i < 3 * width; ++i) {
                    bytes[i] = cv::saturate_cast<std::uint8_t>(values[i]);
                    values[i] =
                        options.quantize ? static_cast<float>(bytes[i]) : std::max(values[i], 0.0f);
                }
            }
        });
    if (options.jpegQuality > 0) {
#if defined(COLORCAL_HAVE_IMGCODECS)
        std::vector<uchar> compressed;
        cv::imencode(".jpg", out.photo8u, compressed,
                     {cv::IMWRITE_JPEG_QUALITY, options.jpegQuality});
        out.photo8u = cv::imdecode(compressed, cv::IMREAD_COLOR);
        out.photo8u.convertTo(out.photo, CV_32FC3);
#else
        throw std::invalid_argument("renderChart(): JPEG needs OpenCV's imgcodecs");
#endif
    }

    const cv::Point2d corners[4] = {
        g.toImage(-g.halfCardW, -g.halfCardH), g.toImage(g.halfCardW, -g.halfCardH),
        g.toImage(g.halfCardW, g.halfCardH), g.toImage(-g.halfCardW, g.halfCardH)};
    std::copy(std::begin(corners), std::end(corners), out.cardCorners.begin());
    const int m = options.regionMargin;
    out.hostRegion = cv::Rect(box.x - m, box.y - m, box.width + 2 * m, box.height + 2 * m) &
                     cv::Rect(0, 0, width, height);
    return out;
}

std::array<Rgb, 20> defaultReferenceColors() {
    // Skin tones, natural colours, primaries and secondaries and four greys,
    // sRGB-encoded.
    return {{{{112, 80, 66}},   {{198, 148, 126}}, {{92, 120, 160}},  {{84, 106, 62}},
             {{128, 126, 180}}, {{96, 186, 168}},  {{218, 122, 40}},  {{74, 88, 170}},
             {{196, 86, 96}},   {{90, 58, 104}},   {{152, 190, 60}},  {{228, 160, 44}},
             {{50, 58, 146}},   {{66, 146, 70}},   {{178, 50, 56}},   {{226, 196, 36}},
             {{184, 82, 152}},  {{20, 130, 164}},  {{168, 168, 166}}, {{82, 82, 84}}}};
}

std::array<Rgb, 20> randomReferenceColors(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };
    std::array<Rgb, 20> colors{};
    auto store = [](const std::array<double, 3>& rgb) {
        return Rgb{static_cast<float>(std::round(rgb[0])), static_cast<float>(std::round(rgb[1])),
                   static_cast<float>(std::round(rgb[2]))};
    };
    auto inGamut = [](const std::array<double, 3>& rgb) {
        return std::all_of(rgb.begin(), rgb.end(), [](double v) { return v >= 8.0 && v <= 247.0; });
    };
    int count = 0;
    // Three pairs of similar near-neutral greys.
    for (int pair = 0; pair < 3; ++pair) {
        const double lightness = uniform(28.0, 74.0);
        const double step = uniform(4.0, 8.0);
        for (int k = 0; k < 2; ++k) {
            const Lab lab{lightness + k * step, uniform(-2.0, 2.0), uniform(-2.0, 2.0)};
            colors[count++] = store(labToSrgb(lab));
        }
    }
    // Chromatic colours of mid-range lightness and saturation.
    while (count < kPatches) {
        const double hue = uniform(0.0, 2.0 * kPi);
        const double chroma = uniform(20.0, 65.0);
        const Lab lab{uniform(28.0, 82.0), chroma * std::cos(hue), chroma * std::sin(hue)};
        const std::array<double, 3> rgb = labToSrgb(lab);
        if (inGamut(rgb)) {
            colors[count++] = store(rgb);
        }
    }
    std::shuffle(colors.begin(), colors.end(), rng);
    return colors;
}

}  // namespace ChartSynth
