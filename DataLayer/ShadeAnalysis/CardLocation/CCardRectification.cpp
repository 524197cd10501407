// The rectification of a located card into the chart's nominal frame, and
// the way back for the engine's results.
#include "DataLayer/ShadeAnalysis/CCardRectification.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CardLocation/CardSearch.h"

namespace DataLayer {

namespace {

using CardLocation::applyHomography;

constexpr int kMaxFrameSide = 16384;
/// The frame reaches this many grid steps beyond the card's outline, and the
/// region of interest this many beyond it.
constexpr double kFrameMarginSteps = 0.5;
constexpr double kRegionMarginSteps = 0.2;
/// The photo's white is sampled on a grid of this many photo pixels and
/// interpolated (where the photo's sides are multiples of it).
constexpr int kWhiteGridStep = 2;

bool finite(const cv::Matx33d& m) {
    for (int k = 0; k < 9; ++k) {
        if (!std::isfinite(m.val[k])) return false;
    }
    return true;
}

/// The third homogeneous coordinate of `p` under `h`.
double depth(const cv::Matx33d& h, const cv::Point2d& p) {
    return h(2, 0) * p.x + h(2, 1) * p.y + h(2, 2);
}

/// The singular values of the homography's local linear map at `p`.
void localStretch(const cv::Matx33d& h, const cv::Point2d& p, double& smallest, double& largest) {
    cv::Point2d a;
    cv::Point2d b;
    cv::Point2d c;
    cv::Point2d d;
    smallest = 1.0;
    largest = 1.0;
    if (!applyHomography(h, p + cv::Point2d(0.5, 0), a) ||
        !applyHomography(h, p - cv::Point2d(0.5, 0), b) ||
        !applyHomography(h, p + cv::Point2d(0, 0.5), c) ||
        !applyHomography(h, p - cv::Point2d(0, 0.5), d)) {
        return;
    }
    const cv::Matx22d jacobian(a.x - b.x, c.x - d.x, a.y - b.y, c.y - d.y);
    cv::Matx21d singular;
    cv::SVD::compute(jacobian, singular);
    largest = singular(0);
    smallest = singular(1);
}

/// Non-finite values of a float image replaced by 0 (a copy when there are any).
cv::Mat finiteValues(const cv::Mat& image) {
    if (image.depth() != CV_32F || cv::checkRange(image)) return image;
    cv::Mat copy = image.clone();
    for (int y = 0; y < copy.rows; ++y) {
        float* row = copy.ptr<float>(y);
        for (int x = 0; x < copy.cols * copy.channels(); ++x) {
            if (!std::isfinite(row[x])) row[x] = 0.0f;
        }
    }
    return copy;
}

/// The columns [first, last] of row `y` whose centres lie inside the convex
/// quadrilateral `corners`; false when none does.
bool rowSpan(const std::array<cv::Point2f, 4>& corners, double y, int width, int& first,
             int& last) {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    for (std::size_t k = 0; k < 4; ++k) {
        const cv::Point2d a(corners[k]);
        const cv::Point2d b(corners[(k + 1) % 4]);
        if ((a.y <= y && b.y >= y) || (b.y <= y && a.y >= y)) {
            if (std::fabs(b.y - a.y) < 1e-12) {
                lo = std::min({lo, a.x, b.x});
                hi = std::max({hi, a.x, b.x});
            } else {
                const double x = a.x + (y - a.y) * (b.x - a.x) / (b.y - a.y);
                lo = std::min(lo, x);
                hi = std::max(hi, x);
            }
        }
    }
    if (!(lo <= hi)) return false;
    // Clamped to the row before the conversion: a corner far outside the
    // photo must not overflow an int.
    first = static_cast<int>(std::clamp(std::ceil(lo), 0.0, static_cast<double>(width)));
    last = static_cast<int>(std::clamp(std::floor(hi), -1.0, width - 1.0));
    return first <= last;
}

/// Holds `white` within [lo, hi] per channel outside the card and wherever it
/// is not finite or not positive.
void clampOutside(cv::Mat& white, const std::array<cv::Point2f, 4>& corners, const cv::Vec3f& lo,
                  const cv::Vec3f& hi) {
    tbb::parallel_for(tbb::blocked_range<int>(0, white.rows, 16),
                      [&](const tbb::blocked_range<int>& range) {
                          for (int y = range.begin(); y != range.end(); ++y) {
                              auto* row = white.ptr<cv::Vec3f>(y);
                              int first = 0;
                              int last = -1;
                              if (!rowSpan(corners, y, white.cols, first, last)) {
                                  first = 0;
                                  last = -1;
                              }
                              for (int x = 0; x < white.cols; ++x) {
                                  const bool inside = x >= first && x <= last;
                                  for (int c = 0; c < 3; ++c) {
                                      float& v = row[x][c];
                                      if (!(v > 0.0f) || !std::isfinite(v)) {
                                          v = lo[c];
                                      } else if (!inside) {
                                          v = std::clamp(v, lo[c], hi[c]);
                                      }
                                  }
                              }
                          }
                      });
}

/// The range of `white` (CV_32FC3) over its positive finite values where
/// `support` is zero (all pixels when `support` is empty); false when there
/// is none.
bool whiteRange(const cv::Mat& white, const cv::Mat& support, cv::Vec3f& lo, cv::Vec3f& hi) {
    bool any = false;
    for (int c = 0; c < 3; ++c) {
        lo[c] = std::numeric_limits<float>::max();
        hi[c] = 0.0f;
    }
    for (int y = 0; y < white.rows; ++y) {
        const auto* row = white.ptr<cv::Vec3f>(y);
        const uchar* usable = support.empty() ? nullptr : support.ptr<uchar>(y);
        for (int x = 0; x < white.cols; ++x) {
            if (usable != nullptr && usable[x] != 0) continue;
            const cv::Vec3f& v = row[x];
            if (!(v[0] > 0.0f && v[1] > 0.0f && v[2] > 0.0f && std::isfinite(v[0]) &&
                  std::isfinite(v[1]) && std::isfinite(v[2]))) {
                continue;
            }
            any = true;
            for (int c = 0; c < 3; ++c) {
                lo[c] = std::min(lo[c], v[c]);
                hi[c] = std::max(hi[c], v[c]);
            }
        }
    }
    return any;
}

}  // namespace

CCardRectification::CCardRectification(const Base::IParameterSetColorCalibrationTarget& parameters,
                                       const ChartCardLocation& card, cv::Size photoSize)
    : m_photoSize(photoSize), m_cardCorners(card.corners) {
    const double pitch = parameters.GetGridLength();
    if (!card.found) {
        m_error = "no card was found to rectify";
        return;
    }
    if (!(std::isfinite(pitch) && pitch > 0.0) || photoSize.width <= 0 || photoSize.height <= 0) {
        m_error = "the chart's geometry or the photo's size is not usable";
        return;
    }
    const cv::Matx33d& h = card.homography;
    if (!finite(h) || !(std::fabs(cv::determinant(h)) > 1e-12)) {
        m_error = "the card's homography is not usable";
        return;
    }
    const cv::Matx33d inverse = h.inv();
    double minX = std::numeric_limits<double>::infinity();
    double minY = minX;
    double maxX = -minX;
    double maxY = -minX;
    for (const cv::Point2f& corner : card.corners) {
        cv::Point2d p;
        if (!applyHomography(inverse, cv::Point2d(corner), p)) {
            m_error = "the card's outline maps to infinity";
            return;
        }
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    const double margin = kFrameMarginSteps * pitch;
    const double x0 = std::floor(minX - margin);
    const double y0 = std::floor(minY - margin);
    const double width = std::ceil(maxX + margin) - x0 + 1.0;
    const double height = std::ceil(maxY + margin) - y0 + 1.0;
    if (!(width >= 8.0 && height >= 8.0 && width <= kMaxFrameSide && height <= kMaxFrameSide)) {
        m_error = "the card's frame would be " + std::to_string(width) + " x " +
                  std::to_string(height) + " pixels";
        return;
    }
    m_frameSize = cv::Size(static_cast<int>(width), static_cast<int>(height));
    m_frameToPhoto = h * cv::Matx33d(1, 0, x0, 0, 1, y0, 0, 0, 1);
    // The frame must lie wholly on the photo's side of the horizon.
    const double centreDepth = depth(m_frameToPhoto, {0.5 * width, 0.5 * height});
    const cv::Point2d frameCorners[4] = {
        {-0.5, -0.5}, {width - 0.5, -0.5}, {width - 0.5, height - 0.5}, {-0.5, height - 0.5}};
    for (const cv::Point2d& c : frameCorners) {
        if (!(depth(m_frameToPhoto, c) * centreDepth > 0.0)) {
            m_error = "the card's frame reaches beyond the horizon of its plane";
            return;
        }
    }
    m_photoToFrame = m_frameToPhoto.inv();
    const double regionMargin = kRegionMarginSteps * pitch;
    const int rx0 = std::max(0, static_cast<int>(std::floor(minX - regionMargin - x0)));
    const int ry0 = std::max(0, static_cast<int>(std::floor(minY - regionMargin - y0)));
    const int rx1 =
        std::min(m_frameSize.width, static_cast<int>(std::ceil(maxX + regionMargin - x0)) + 1);
    const int ry1 =
        std::min(m_frameSize.height, static_cast<int>(std::ceil(maxY + regionMargin - y0)) + 1);
    m_regionOfInterest = cv::Rect(rx0, ry0, std::max(0, rx1 - rx0), std::max(0, ry1 - ry0));
    m_minScale = std::numeric_limits<double>::infinity();
    const cv::Point2d samples[5] = {frameCorners[0],
                                    frameCorners[1],
                                    frameCorners[2],
                                    frameCorners[3],
                                    {0.5 * width, 0.5 * height}};
    for (const cv::Point2d& p : samples) {
        double smallest = 1.0;
        double largest = 1.0;
        localStretch(m_frameToPhoto, p, smallest, largest);
        m_minScale = std::min(m_minScale, smallest);
    }
    m_valid = true;
}

cv::Point2d CCardRectification::toPhoto(const cv::Point2d& framePoint) const {
    cv::Point2d out(0, 0);
    applyHomography(m_frameToPhoto, framePoint, out);
    return out;
}

cv::Point2d CCardRectification::toFrame(const cv::Point2d& photoPoint) const {
    cv::Point2d out(0, 0);
    applyHomography(m_photoToFrame, photoPoint, out);
    return out;
}

cv::Rect CCardRectification::photoRegion() const {
    const cv::Rect& r = m_regionOfInterest;
    const cv::Point2d corners[4] = {{r.x - 0.5, r.y - 0.5},
                                    {r.x + r.width - 0.5, r.y - 0.5},
                                    {r.x + r.width - 0.5, r.y + r.height - 0.5},
                                    {r.x - 0.5, r.y + r.height - 0.5}};
    double minX = std::numeric_limits<double>::infinity();
    double minY = minX;
    double maxX = -minX;
    double maxY = -minX;
    for (const cv::Point2d& c : corners) {
        const cv::Point2d p = toPhoto(c);
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    const double w = m_photoSize.width;
    const double h = m_photoSize.height;
    const int x0 = static_cast<int>(std::clamp(std::floor(minX), 0.0, w));
    const int y0 = static_cast<int>(std::clamp(std::floor(minY), 0.0, h));
    const int x1 = static_cast<int>(std::clamp(std::ceil(maxX) + 1.0, 0.0, w));
    const int y1 = static_cast<int>(std::clamp(std::ceil(maxY) + 1.0, 0.0, h));
    return {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
}

cv::Rect CCardRectification::photoFootprint() const {
    const cv::Rect all(0, 0, m_frameSize.width, m_frameSize.height);
    const cv::Matx33d& m = m_frameToPhoto;
    double minX = std::numeric_limits<double>::infinity();
    double minY = minX;
    double maxX = -minX;
    double maxY = -minX;
    const cv::Point2d corners[4] = {{-1.0, -1.0},
                                    {all.width + 0.0, -1.0},
                                    {all.width + 0.0, all.height + 0.0},
                                    {-1.0, all.height + 0.0}};
    for (const cv::Point2d& c : corners) {
        cv::Point2d p(0, 0);
        applyHomography(m, c, p);
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    const double w = m_photoSize.width;
    const double h = m_photoSize.height;
    const int x0 = static_cast<int>(std::clamp(std::floor(minX) - 2.0, 0.0, w - 1.0));
    const int y0 = static_cast<int>(std::clamp(std::floor(minY) - 2.0, 0.0, h - 1.0));
    const int x1 = static_cast<int>(std::clamp(std::ceil(maxX) + 3.0, x0 + 1.0, w));
    const int y1 = static_cast<int>(std::clamp(std::ceil(maxY) + 3.0, y0 + 1.0, h));
    return cv::Rect(x0, y0, x1 - x0, y1 - y0);
}

cv::Mat CCardRectification::rectifyImage(const cv::Mat& image) const {
    if (!m_valid) throw std::invalid_argument("rectifyImage(): " + m_error);
    if (image.size() != m_photoSize ||
        (image.type() != CV_8UC3 && image.type() != CV_32FC3 && image.type() != CV_32FC1)) {
        throw std::invalid_argument(
            "rectifyImage(): the image must be CV_8UC3, CV_32FC3 or "
            "CV_32FC1 of the photo's size");
    }
    const cv::Rect footprint = photoFootprint();
    cv::Mat source = finiteValues(image(footprint));
    // Where the card is larger in the photo than in the frame, the photo is
    // first averaged down (area-correct) by the smallest shrink the frame
    // needs; the warp below then shrinks by at most the card's spread of
    // scales, which its supersampling averages.
    double scaleX = 1.0;
    double scaleY = 1.0;
    if (m_minScale > 1.25) {
        const cv::Size reducedSize(
            std::max(1, static_cast<int>(std::lround(source.cols / m_minScale))),
            std::max(1, static_cast<int>(std::lround(source.rows / m_minScale))));
        cv::Mat reduced;
        cv::resize(source, reduced, reducedSize, 0, 0, cv::INTER_AREA);
        scaleX = static_cast<double>(source.cols) / reducedSize.width;
        scaleY = static_cast<double>(source.rows) / reducedSize.height;
        source = reduced;
    }
    // Supersampled frame pixel -> frame -> photo -> source pixel (source
    // pixel j covers photo pixels [x0 + j s, x0 + (j + 1) s)).
    const cv::Matx33d superToFrame(0.5, 0, -0.25, 0, 0.5, -0.25, 0, 0, 1);
    const cv::Matx33d photoToSource(1.0 / scaleX, 0, (0.5 - footprint.x) / scaleX - 0.5, 0,
                                    1.0 / scaleY, (0.5 - footprint.y) / scaleY - 0.5, 0, 0, 1);
    const cv::Matx33d map = photoToSource * m_frameToPhoto * superToFrame;
    cv::Mat super;
    cv::warpPerspective(source, super, cv::Mat(map), m_frameSize * 2,
                        cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
    cv::Mat frame;
    cv::resize(super, frame, m_frameSize, 0, 0, cv::INTER_AREA);
    return frame;
}

cv::Mat CCardRectification::rectifyMask(const cv::Mat& mask) const {
    if (!m_valid) throw std::invalid_argument("rectifyMask(): " + m_error);
    if (mask.size() != m_photoSize || mask.type() != CV_8UC1) {
        throw std::invalid_argument("rectifyMask(): the mask must be CV_8UC1 of the photo's size");
    }
    // Any excluded photo pixel under a frame pixel excludes it: the mask as
    // 0 / 1 floats, resampled like an image, is positive there.
    const cv::Rect footprint = photoFootprint();
    cv::Mat excluded;
    cv::compare(mask(footprint), 0, excluded, cv::CMP_NE);
    cv::Mat values;
    excluded.convertTo(values, CV_32F, 1.0 / 255.0);
    cv::Mat frame;
    {
        // Beyond the photo (and so beyond the crop) everything is excluded.
        const cv::Matx33d superToFrame(0.5, 0, -0.25, 0, 0.5, -0.25, 0, 0, 1);
        const cv::Matx33d photoToCrop(1, 0, -footprint.x, 0, 1, -footprint.y, 0, 0, 1);
        cv::Mat super;
        cv::warpPerspective(values, super, cv::Mat(photoToCrop * m_frameToPhoto * superToFrame),
                            m_frameSize * 2, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                            cv::BORDER_CONSTANT, cv::Scalar(1.0));
        cv::resize(super, frame, m_frameSize, 0, 0, cv::INTER_AREA);
    }
    // Where the card is larger in the photo than in the frame, a frame pixel
    // covers photo pixels the bilinear samples miss: grow by one pixel.
    cv::Mat result;
    cv::compare(frame, 0.0, result, cv::CMP_GT);
    if (m_minScale > 1.0) cv::dilate(result, result, cv::Mat());
    return result;
}

cv::Mat CCardRectification::whiteToPhoto(const cv::Mat& frameWhite,
                                         const cv::Mat& frameSupport) const {
    if (!m_valid) throw std::invalid_argument("whiteToPhoto(): " + m_error);
    if (frameWhite.size() != m_frameSize || frameWhite.type() != CV_32FC3 ||
        (!frameSupport.empty() &&
         (frameSupport.size() != m_frameSize || frameSupport.type() != CV_8UC1))) {
        throw std::invalid_argument(
            "whiteToPhoto(): the white must be CV_32FC3 and the support CV_8UC1 of the frame's "
            "size");
    }
    cv::Vec3f lo;
    cv::Vec3f hi;
    if (!whiteRange(frameWhite, frameSupport, lo, hi) &&
        !whiteRange(frameWhite, cv::Mat(), lo, hi)) {
        // Nothing positive to continue from: a white of 1 changes nothing.
        lo = hi = cv::Vec3f(1.0f, 1.0f, 1.0f);
    }
    cv::Mat photoWhite;
    const cv::Mat field = finiteValues(frameWhite);
    constexpr int kStep = kWhiteGridStep;
    if (m_photoSize.width % kStep == 0 && m_photoSize.height % kStep == 0) {
        // The field is smooth: sampled on a grid of every second photo pixel
        // (cell centres) and interpolated bilinearly up to the photo.
        const cv::Size coarseSize(m_photoSize.width / kStep, m_photoSize.height / kStep);
        const double c = 0.5 * (kStep - 1);
        const cv::Matx33d coarseToPhoto(kStep, 0, c, 0, kStep, c, 0, 0, 1);
        cv::Mat coarse;
        cv::warpPerspective(field, coarse, cv::Mat(m_photoToFrame * coarseToPhoto), coarseSize,
                            cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
        cv::resize(coarse, photoWhite, m_photoSize, 0, 0, cv::INTER_LINEAR);
    } else {
        cv::warpPerspective(field, photoWhite, cv::Mat(m_photoToFrame), m_photoSize,
                            cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
    }
    clampOutside(photoWhite, m_cardCorners, lo, hi);
    return photoWhite;
}

cv::Mat CCardRectification::labelsToPhoto(const cv::Mat& regionLabels,
                                          const cv::Rect& photoBox) const {
    if (!m_valid) throw std::invalid_argument("labelsToPhoto(): " + m_error);
    if (regionLabels.type() != CV_32SC1 || regionLabels.size() != m_regionOfInterest.size()) {
        throw std::invalid_argument(
            "labelsToPhoto(): the labels must be CV_32SC1 of the region's size");
    }
    cv::Mat values;
    regionLabels.convertTo(values, CV_32F);
    const cv::Matx33d boxToRegion =
        cv::Matx33d(1, 0, -m_regionOfInterest.x, 0, 1, -m_regionOfInterest.y, 0, 0, 1) *
        m_photoToFrame * cv::Matx33d(1, 0, photoBox.x, 0, 1, photoBox.y, 0, 0, 1);
    cv::Mat mapped;
    cv::warpPerspective(values, mapped, cv::Mat(boxToRegion), photoBox.size(),
                        cv::INTER_NEAREST | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT,
                        cv::Scalar(0.0));
    cv::Mat labels;
    mapped.convertTo(labels, CV_32S);
    return labels;
}

bool boundWhiteOutsideCard(cv::Mat& white, const std::array<cv::Point2f, 4>& cardCorners,
                           const cv::Mat& support) {
    if (white.empty() || white.type() != CV_32FC3 ||
        (!support.empty() && (support.size() != white.size() || support.type() != CV_8UC1))) {
        return false;
    }
    for (const cv::Point2f& c : cardCorners) {
        if (!std::isfinite(c.x) || !std::isfinite(c.y)) return false;
    }
    cv::Vec3f lo;
    cv::Vec3f hi;
    if (!whiteRange(white, support, lo, hi)) {
        // The white inside the card (its rows' spans: corners may lie far
        // outside the image).
        cv::Mat inside(white.size(), CV_8UC1, cv::Scalar(255));
        for (int y = 0; y < inside.rows; ++y) {
            int first = 0;
            int last = -1;
            if (rowSpan(cardCorners, y, inside.cols, first, last)) {
                inside.row(y).colRange(first, last + 1).setTo(0);
            }
        }
        if (!whiteRange(white, inside, lo, hi)) return false;
    }
    clampOutside(white, cardCorners, lo, hi);
    return true;
}

}  // namespace DataLayer
