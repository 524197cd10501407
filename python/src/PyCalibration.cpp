#include "PyCalibration.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

#include <opencv2/imgproc.hpp>

namespace ColorCalPy {

namespace {

double millisecondsSince(PyCalibration::Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(PyCalibration::Clock::now() - start).count();
}

py::tuple rgbTuple(const std::array<double, 3>& rgb) {
    return py::make_tuple(rgb[0], rgb[1], rgb[2]);
}

}  // namespace

PyCalibration PyCalibration::run(const ColorCalCli::CalibrationRequest& request, ChannelOrder order,
                                 Clock::time_point start) {
    PyCalibration calibration;
    calibration.order_ = order;
    const cv::Size size = request.photo.bgr.size();
    ColorCalCli::EngineResult result;
    ColorCalCli::Encoding encoding = ColorCalCli::Encoding::eSrgb;
    bool valuesLinear = false;
    double loadMs = 0.0;
    double setupMs = 0.0;
    cv::Rect roi;
    ColorCalCli::CardResult card;
    {
        // The working photo lives only as long as the engine needs it.
        const Clock::time_point setupStart = Clock::now();
        const ColorCalCli::PreparedCalibration prepared =
            ColorCalCli::prepareCalibration(request, ColorCalCli::locateCard);
        encoding = prepared.encoding;
        valuesLinear = prepared.valuesLinear;
        loadMs = millisecondsSince(start);
        setupMs = millisecondsSince(setupStart);
        result = ColorCalCli::runPrepared(prepared);
        roi = prepared.photoRoi;
        card = prepared.card;
    }
    result.labels.release();
    calibration.summary_ = ColorCalCli::summarize(result, request.references, request.chart,
                                                  encoding, valuesLinear, size, roi);
    calibration.summary_.card = std::move(card);
    auto& timings = calibration.summary_.timingsMs;
    timings.insert(timings.begin(), {"load", loadMs});
    if (calibration.summary_.card.searched) {
        timings.insert(timings.begin() + 1, {"locate_card", setupMs});
    }
    // The module writes no files: the tool's "outputs" stage takes no time here.
    timings.emplace_back("outputs", 0.0);
    timings.emplace_back("total", millisecondsSince(start));
    calibration.encoding_ = encoding;
    calibration.result_ = std::move(result);
    return calibration;
}

py::object PyCalibration::matrix() const {
    if (!ok()) {
        return py::none();
    }
    py::array_t<double> out({3, 4});
    double* m = out.mutable_data();
    const std::array<double, 12>& bgr = summary_.matrix;
    for (int k = 0; k < 3; ++k) {
        // In red-green-blue order, output row k and input column j are the
        // blue-green-red row 2 - k and column 2 - j; the offset stays last.
        const int row = order_ == ChannelOrder::eBgr ? k : 2 - k;
        for (int j = 0; j < 3; ++j) {
            const int col = order_ == ChannelOrder::eBgr ? j : 2 - j;
            m[4 * k + j] = bgr[4 * row + col];
        }
        m[4 * k + 3] = bgr[4 * row + 3];
    }
    return std::move(out);
}

py::object PyCalibration::realWhite() const {
    return ok() ? py::object(tripleArray(summary_.realWhiteBgr, order_)) : py::none();
}

py::object PyCalibration::pickedWhite() const {
    return ok() ? py::object(tripleArray(summary_.pickedWhiteBgr, order_)) : py::none();
}

py::object PyCalibration::white(const py::object& self) {
    auto& calibration = self.cast<PyCalibration&>();
    if (!calibration.ok()) {
        return py::none();
    }
    cv::Mat& white = calibration.whiteForCaller_;
    if (white.empty()) {
        // The engine's white as it is where no conversion is asked for (no
        // copy); otherwise one converted image, kept for later calls.
        white = ColorCalCli::toPhotoEncoding(calibration.result_.whiteImage, calibration.encoding_);
        if (calibration.order_ == ChannelOrder::eRgb) {
            cv::Mat swapped;
            cv::cvtColor(white, swapped, cv::COLOR_BGR2RGB);
            white = swapped;
        }
        if (!white.isContinuous()) {
            white = white.clone();
        }
    }
    return viewImage(white, self);
}

py::list PyCalibration::patches() const {
    py::list out;
    for (const ColorCalCli::PatchRow& row : summary_.patches) {
        py::dict patch;
        patch["reference_index"] = row.referenceIndex;
        patch["center"] = py::make_tuple(row.center.x, row.center.y);
        patch["measured_rgb"] = rgbTuple(row.measuredRgb);
        patch["reference_rgb"] = rgbTuple(row.referenceRgb);
        patch["corrected_rgb"] = rgbTuple(row.correctedRgb);
        patch["delta_e2000"] = row.deltaEAfter;
        patch["delta_e2000_before"] = row.deltaEBefore;
        out.append(patch);
    }
    return out;
}

py::object PyCalibration::deltaE2000Stats(bool before) const {
    if (!ok()) {
        return py::none();
    }
    const ColorCalCli::ErrorStats& stats = before ? summary_.before : summary_.after;
    py::dict out;
    out["mean"] = stats.mean;
    out["median"] = stats.median;
    out["p90"] = stats.p90;
    out["max"] = stats.max;
    return std::move(out);
}

py::dict PyCalibration::segmentation() const {
    const DataLayer::SegmentationDiagnostics& s = summary_.segmentation;
    py::dict out;
    out["seeds_found"] = s.seedsFound;
    out["grid_found"] = s.gridFound;
    out["recovered"] = s.recovered;
    out["reason"] = s.reason.empty() ? py::object(py::none()) : py::object(py::str(s.reason));
    return out;
}

py::dict PyCalibration::timingsMs() const {
    py::dict out;
    for (const auto& [stage, ms] : summary_.timingsMs) {
        out[py::str(stage)] = ms;
    }
    return out;
}

py::array PyCalibration::apply(const py::handle& image) const {
    const std::string what = "apply(): image";
    if (!ok()) {
        throw std::runtime_error("apply(): the calibration failed (" + summary_.error +
                                 "), there is nothing to apply");
    }
    const ImageArray pixels = requireImage(image, what);
    const cv::Size size = summary_.imageSize;
    if (pixels.size() != size) {
        throw py::value_error(what + " is " + std::to_string(pixels.size().width) + " x " +
                              std::to_string(pixels.size().height) + ", the calibrated photo " +
                              std::to_string(size.width) + " x " + std::to_string(size.height) +
                              " (the white image is per pixel)");
    }
    const bool unitScale = isUnitScale(pixels);
    const ColorCalCli::LoadedImage loaded = toLibraryImage(pixels, order_, what);
    cv::Mat corrected;
    {
        const py::gil_scoped_release release;
        corrected = ColorCalCli::correctedPhoto(ColorCalCli::toWorkingImage(loaded.bgr, encoding_),
                                                result_, encoding_);
    }
    return fromLibraryImage(corrected, pixels.depth, unitScale, order_);
}

std::string PyCalibration::toJson() const { return ColorCalCli::formatSummaryJson(summary_); }

std::string PyCalibration::repr() const {
    const std::string chart = ColorCalCli::chartName(summary_.chart);
    if (!ok()) {
        return "<colorcal.Calibration " + chart + ": failed: " + summary_.error + ">";
    }
    char text[160];
    std::snprintf(text, sizeof text, ": ok, CIEDE2000 mean %.2f (before %.2f), matrix %s>",
                  summary_.after.mean, summary_.before.mean,
                  summary_.matrixSpace() == "linear" ? "in linear light" : "on encoded values");
    return "<colorcal.Calibration " + chart + text;
}

}  // namespace ColorCalPy
