#pragma once

#include <array>
#include <string>

#include <opencv2/core.hpp>

#include "Base/Export.h"
#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"

namespace DataLayer {

/// Brings a located card into the chart's nominal frame, so that the engine,
/// whose parameter sets fix the patch side and pitch in pixels, calibrates a
/// card photographed at any distance, tilt and turn as it calibrates one at
/// its nominal scale; and maps the engine's results back onto the photo.
///
/// The frame is the card's nominal frame (`ChartCardLocation::homography`)
/// cropped to the card's outline plus half a grid step on every side, in
/// whole pixels: frame pixel (u, v) lies at nominal point (u + x0, v + y0).
/// Images are resampled area-correctly when the card is larger in the photo
/// than in the frame (the photo is first averaged over whole blocks, then
/// sampled at twice the frame's resolution and averaged down) and bilinearly
/// when it is smaller. What lies beyond the photo's edge is excluded from the
/// support.
///
/// A hand-made host does what the tool does:
/// ```
/// CCardRectification frame(parameters, card, photo.size());
/// cv::Mat chart = frame.rectifyImage(photo);            // the engine's whole image
/// cv::Mat support = frame.rectifyMask(card.supportMask); // its support mask
/// // ... run the engine on `chart` with `frame.regionOfInterest()` ...
/// cv::Point2d centre = frame.toPhoto(seedInFrame);
/// cv::Mat white = frame.whiteToPhoto(engineWhite, support);  // the photo's white image
/// ```
/// The object is immutable; its methods may run on any number of threads.
class COLORCAL_EXPORT CCardRectification {
  public:
    /// Plans the frame of `card` (found by `CChartCardLocator` for the chart
    /// of `parameters`) in a photo of `photoSize`. A card that was not found,
    /// a homography that is not finite or sends part of the frame to infinity,
    /// or a frame larger than 16384 pixels a side leaves the object invalid
    /// with the reason in `error()`.
    CCardRectification(const Base::IParameterSetColorCalibrationTarget& parameters,
                       const ChartCardLocation& card, cv::Size photoSize);

    /// Whether the frame could be planned; every other method needs it.
    bool valid() const { return m_valid; }
    /// Why the frame could not be planned (empty when valid).
    const std::string& error() const { return m_error; }

    /// The frame's size in pixels.
    cv::Size frameSize() const { return m_frameSize; }
    /// The region to segment in the frame: the card's outline plus a fifth
    /// of a grid step, inside the frame.
    cv::Rect regionOfInterest() const { return m_regionOfInterest; }
    /// The homography from frame pixels to photo pixels.
    const cv::Matx33d& frameToPhoto() const { return m_frameToPhoto; }

    /// A frame point in the photo, and a photo point in the frame (a point
    /// that maps to infinity comes back as the frame's or the photo's origin).
    cv::Point2d toPhoto(const cv::Point2d& framePoint) const;
    cv::Point2d toFrame(const cv::Point2d& photoPoint) const;

    /// `image` (the photo's size, CV_8UC3, CV_32FC3 or CV_32FC1; values that
    /// are not finite are taken as 0) resampled into the frame, of the same
    /// type. Throws `std::invalid_argument` for another size or type.
    cv::Mat rectifyImage(const cv::Mat& image) const;

    /// A mask of the photo's size (CV_8UC1, non-zero: excluded) in the frame:
    /// 255 wherever any photo pixel under a frame pixel is non-zero, and
    /// beyond the photo's edge. Throws `std::invalid_argument` for another
    /// size or type.
    cv::Mat rectifyMask(const cv::Mat& mask) const;

    /// A white image of the whole photo (CV_32FC3, the photo's size) from the
    /// frame's white image (CV_32FC3, the frame's size): the frame's field
    /// mapped through the homography (sampled on every second photo pixel
    /// and interpolated, within 1e-4 of the field mapped pixel by pixel),
    /// continued beyond the frame with its
    /// border values, and, outside the card's outline, held within the range
    /// (per channel) the white takes on the frame's usable support
    /// (`frameSupport` zero there; empty: the whole frame), so that no pixel is
    /// zero, negative or not finite. Throws `std::invalid_argument` for
    /// images of other sizes or types.
    cv::Mat whiteToPhoto(const cv::Mat& frameWhite, const cv::Mat& frameSupport) const;

    /// A label image of the frame's region of interest (CV_32SC1) mapped into
    /// the photo box `photoBox` (nearest label; -1 outside the region).
    cv::Mat labelsToPhoto(const cv::Mat& regionLabels, const cv::Rect& photoBox) const;

    /// The photo's box around the frame's region of interest, inside the photo.
    cv::Rect photoRegion() const;

  private:
    /// The photo's pixels the frame covers, a few wider for the interpolation.
    cv::Rect photoFootprint() const;

    bool m_valid = false;
    std::string m_error;
    cv::Size m_photoSize;
    cv::Size m_frameSize;
    cv::Rect m_regionOfInterest;
    cv::Matx33d m_frameToPhoto = cv::Matx33d::eye();
    cv::Matx33d m_photoToFrame = cv::Matx33d::eye();
    /// The card's outline in the photo.
    std::array<cv::Point2f, 4> m_cardCorners{};
    /// The smallest and largest number of photo pixels per frame pixel.
    double m_minScale = 1.0;
};

/// Keeps a whole photo's white image (CV_32FC3) a white image outside the
/// card: every pixel outside the quadrilateral `cardCorners` (photo pixels),
/// and every pixel that is not finite or not positive, is held within the
/// range, per channel, the white takes where `support` is zero (CV_8UC1 of
/// the white's size; a range that is empty or not positive is replaced by
/// the positive finite values of the white inside the card). Returns false,
/// leaving `white` as it is, when the sizes or types do not fit or nothing
/// usable is left to take the range from.
COLORCAL_EXPORT bool boundWhiteOutsideCard(cv::Mat& white,
                                           const std::array<cv::Point2f, 4>& cardCorners,
                                           const cv::Mat& support);

}  // namespace DataLayer
