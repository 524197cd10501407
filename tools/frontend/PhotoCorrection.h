#pragma once

#include <array>
#include <cstdint>

#include <opencv2/core.hpp>

#include "CalibrationFile.h"

namespace ColorCalFrontend {

/// Channel order of a photo's pixels: blue-green-red as OpenCV reads files,
/// or red-green-blue as most Python readers hand them over.
enum class ChannelOrder { eBgr, eRgb };

/// A calibration prepared for correcting photos: the matrix and real white
/// in the working space and the tables of the encoding. Immutable; one model
/// may correct any number of photos on any number of threads at once.
class CorrectionModel {
  public:
    /// Prepares `calibration` (checked by `parseCalibration`).
    explicit CorrectionModel(const CalibrationData& calibration);

    const CalibrationData& calibration() const { return m_calibration; }

    /// Corrects a photo as the library corrects the chart before measuring
    /// it, in one pass over its rows (parallel with oneTBB): each value is
    /// brought to the library's 0..255 scale (16-bit values times
    /// 255/65535, float photos whose values all lie within 0..1 times 255,
    /// other float photos as they are) and into the working space (sRGB
    /// decoded for an eSrgb calibration, whatever the photo's depth); then
    /// the flat-field gain real white / white (single precision; gain 1
    /// where the white is not positive and finite; the product clamped above
    /// at 255), then the matrix, clamped to 0..255 (0 where not finite);
    /// then encoded again and brought back to the photo's depth and scale
    /// (8- and 16-bit rounded). The result equals the library's
    /// `applyColorCorrection` followed by the encoding and the depth
    /// conversion the tool's `--corrected-out` uses, value for value.
    ///
    /// `photo`: CV_8U, CV_16U or CV_32F with 1 (grey, replicated), 3 or 4
    /// channels (the fourth, alpha, is copied unchanged), in `order`; float
    /// values must be finite. `white`: empty (no flat-field: the matrix
    /// alone), or CV_32FC3 of the photo's size in the working space,
    /// blue-green-red (see `workingWhite`). The result has the photo's
    /// depth, 3 channels (4 with alpha) in `order`. Throws `FrontendError`
    /// for another type, a white of another size, or non-finite float values.
    cv::Mat correct(const cv::Mat& photo, const cv::Mat& white,
                    ChannelOrder order = ChannelOrder::eBgr) const;

    /// As `correct` above, into `out`: its buffer is kept when it already
    /// has the result's size and type (a batch that corrects photos of one
    /// size into one buffer spares the allocation and the operating system's
    /// clearing of the new pages), else `out` gets a new one. `out` may be
    /// `photo` itself; it must not otherwise share memory with `photo` or
    /// `white`. On a `FrontendError`, `out` is left as it was.
    void correct(const cv::Mat& photo, const cv::Mat& white, cv::Mat& out,
                 ChannelOrder order = ChannelOrder::eBgr) const;

    /// A white image as `--white-out` writes it (CV_32FC3 on the 0..255
    /// scale in the photo's encoding, in `order`) brought into the working
    /// space, blue-green-red, for `correct`. Throws `FrontendError` for
    /// another type or for values that are not finite.
    cv::Mat workingWhite(const cv::Mat& white, ChannelOrder order = ChannelOrder::eBgr) const;

    /// One colour (B, G, R) on the 0..255 scale in the photo's encoding
    /// corrected without flat-field, in double precision: what `correct`
    /// computes for it up to the single-precision arithmetic.
    std::array<double, 3> correctColor(const std::array<double, 3>& bgr) const;

  private:
    CalibrationData m_calibration;
    cv::Matx34f m_matrix;
    /// Whether no row of the matrix can overflow on working values within
    /// 0..256 (256 times the sum of its factors' magnitudes, plus its
    /// offset's, at most 1e30): its results are then all finite.
    bool m_boundedMatrix = false;
    std::array<float, 3> m_realWhite{};
    std::array<float, 256> m_decode8{};  ///< 8-bit code to working value
    /// The 8-bit encoding by cells of working values (128 per octave, see
    /// the source): each cell's code at its least value and where in the cell
    /// the next code begins, so that a value's code is one look-up and one
    /// comparison that round as the tool's float conversion does.
    static constexpr int kEncodeCells = 2048;
    std::array<std::int32_t, kEncodeCells> m_encode8Cell{};
};

}  // namespace ColorCalFrontend
