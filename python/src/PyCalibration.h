#pragma once

#include <chrono>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <opencv2/core.hpp>

#include "ArrayArguments.h"
#include "CalibrationSetup.h"
#include "CalibrationSummary.h"

namespace ColorCalPy {

/// The result of one calibration as the Python class `colorcal.Calibration`:
/// what the command-line tool reports (its summary and JSON), the white image
/// and what `apply` needs. Immutable once made, except for the white image
/// in the caller's encoding and channel order, made on first use.
class PyCalibration {
  public:
    using Clock = std::chrono::steady_clock;

    /// Runs a checked request: the tool's set-up, the engine and the
    /// summary. `start` is when the call began (the "load" timing runs from
    /// there to the engine). Needs no GIL; never throws for the engine's own
    /// failures, which come back with `ok() == false` and the reason.
    static PyCalibration run(const ColorCalCli::CalibrationRequest& request, ChannelOrder order,
                             Clock::time_point start);

    bool ok() const { return summary_.ok; }
    const ColorCalCli::CalibrationSummary& summary() const { return summary_; }
    ChannelOrder channelOrder() const { return order_; }

    /// 3 x 4 float64 in the caller's channel order, or None after a failure.
    py::object matrix() const;
    /// The white the photo was corrected to and the one picked on the chart,
    /// in the references' encoding and the caller's channel order, or None.
    py::object realWhite() const;
    py::object pickedWhite() const;
    /// The white image in the photo's encoding and the caller's channel
    /// order, a read-only view owned by `self`, or None after a failure.
    static py::object white(const py::object& self);
    /// The patches, found order, as dicts with the JSON's keys.
    py::list patches() const;
    /// The CIEDE2000 statistics after (`before` false) or before the matrix, or None.
    py::object deltaE2000Stats(bool before) const;
    py::dict segmentation() const;
    py::dict timingsMs() const;

    /// Corrects `image`, an array like the calibrated photo of its size:
    /// flat field and matrix in the calibration's encoding; the result has
    /// the image's dtype, scale and channel order.
    py::array apply(const py::handle& image) const;

    /// The tool's JSON document of this calibration.
    std::string toJson() const;
    std::string repr() const;

  private:
    ColorCalCli::CalibrationSummary summary_;
    ColorCalCli::EngineResult result_;  ///< the working-space white, real white and matrix
    ColorCalCli::Encoding encoding_ = ColorCalCli::Encoding::eSrgb;
    ChannelOrder order_ = ChannelOrder::eBgr;
    cv::Mat whiteForCaller_;  ///< made by `white` on first use
};

}  // namespace ColorCalPy
