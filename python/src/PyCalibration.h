#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <opencv2/core.hpp>

#include "ArrayArguments.h"
#include "CalibrationSummary.h"
#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"
#include "PhotoCorrection.h"

namespace ColorCalPy {

/// The result of one calibration as the Python class `colorcal.Calibration`:
/// what the command-line tool reports (its summary and JSON, which is also
/// the calibration file), the white image and what `apply` and the exports
/// need. Made by a calibration, or restored from a calibration file or a
/// pickle. Immutable once made, except for the white image in the caller's
/// encoding and channel order, made on first use.
class PyCalibration {
  public:
    using Clock = std::chrono::steady_clock;

    /// Runs a checked request: the library's `calibratePhoto` and the
    /// tool's summary. `start` is when the call began (the "load" timing runs from
    /// there to the engine). Needs no GIL; never throws for the engine's own
    /// failures, which come back with `ok() == false` and the reason.
    static PyCalibration run(const DataLayer::PhotoCalibrationRequest& request, ChannelOrder order,
                             Clock::time_point start);

    /// A calibration from the JSON text of a calibration file: a successful
    /// one checked by `parseCalibration` (a failed one only where
    /// `allowFailed`); `white` is its white image in the working space,
    /// blue-green-red CV_32FC3 of the calibrated photo's size, or empty.
    /// Throws `ColorCalFrontend::FrontendError` for a file it cannot use.
    static PyCalibration restore(const std::string& json, const cv::Mat& white, ChannelOrder order,
                                 bool allowFailed);

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
    /// order, a read-only view owned by `self`, or None after a failure or
    /// when the calibration was loaded without it.
    static py::object white(const py::object& self);
    /// The patches, found order, as dicts with the JSON's keys.
    py::list patches() const;
    /// The CIEDE2000 statistics after (`before` false) or before the matrix, or None.
    py::object deltaE2000Stats(bool before) const;
    py::dict segmentation() const;
    py::dict timingsMs() const;

    /// Corrects `image` (H x W x 3 uint8, uint16 or float32 in the caller's
    /// channel order and the calibration's encoding) with the matrix and
    /// the flat-field chosen by `flatField`: True, the calibration's own
    /// white image (the image must have its size); False, none; or a white
    /// image (an array like the one `white` returns) of the image's size.
    /// The result has the image's dtype, scale and channel order.
    py::array apply(const py::handle& image, const py::handle& flatField) const;

    /// Writes the calibration file (the tool's JSON) to `path`, and the
    /// white image as a 32-bit float TIFF to `whitePath` when it is not None.
    void save(const std::string& path, const py::handle& whitePath) const;
    /// Writes the ICC profile or the .cube 3D LUT of the colour part.
    void toIcc(const std::string& path) const;
    void toCube(const std::string& path, int size) const;

    /// The pickled state: (the JSON text, the channel order, the working
    /// white image as an array or None) and back.
    py::tuple getState() const;
    static PyCalibration setState(const py::tuple& state);

    /// The tool's JSON document of this calibration.
    std::string toJson() const { return json_; }
    std::string repr() const;

  private:
    /// The model and the JSON once the summary is set.
    void finish();
    void requireOk(const std::string& fn) const;

    ColorCalCli::CalibrationSummary summary_;
    std::string json_;
    std::shared_ptr<const ColorCalFrontend::CorrectionModel> model_;  ///< null after a failure
    cv::Mat white_;  ///< working space, blue-green-red, or empty
    ChannelOrder order_ = ChannelOrder::eRgb;
    cv::Mat whiteForCaller_;  ///< made by `white` on first use
};

}  // namespace ColorCalPy
