#include "PyCalibration.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "CalibrationExport.h"
#include "CalibrationFile.h"
#include "FrontendError.h"
#include "ImageConversion.h"
#include "JsonReader.h"
#include "SafeFiles.h"
#include "SummaryFromJson.h"

namespace ColorCalPy {

namespace {

using ColorCalFrontend::FrontendError;

double millisecondsSince(PyCalibration::Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(PyCalibration::Clock::now() - start).count();
}

py::tuple rgbTuple(const std::array<double, 3>& rgb) {
    return py::make_tuple(rgb[0], rgb[1], rgb[2]);
}

ColorCalFrontend::ChannelOrder frontendOrder(ChannelOrder order) {
    return order == ChannelOrder::eBgr ? ColorCalFrontend::ChannelOrder::eBgr
                                       : ColorCalFrontend::ChannelOrder::eRgb;
}

/// Runs a file operation, raising OSError with its one-line reason.
template <typename Work>
void fileOperation(const std::string& fn, Work work) {
    try {
        work();
    } catch (const FrontendError& error) {
        throw py::value_error(fn + error.what());
    } catch (const std::runtime_error& error) {
        // The shared file helpers' errors: cannot read or write the file.
        PyErr_SetString(PyExc_OSError, (fn + error.what()).c_str());
        throw py::error_already_set();
    }
}

void writeBinary(const std::string& path, const std::vector<unsigned char>& data,
                 const std::string& what) {
    ColorCalCli::writeOutputFile(path, what, [&data](const std::string& writePath) {
        std::ofstream file(writePath, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
        file.close();
        return !file.fail();
    });
}

std::string lowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

}  // namespace

void PyCalibration::finish() {
    json_ = ColorCalCli::formatSummaryJson(summary_);
    if (summary_.ok) {
        model_ = std::make_shared<const ColorCalFrontend::CorrectionModel>(
            ColorCalFrontend::parseCalibration(json_));
    }
}

PyCalibration PyCalibration::run(const DataLayer::PhotoCalibrationRequest& request,
                                 ChannelOrder order, Clock::time_point start) {
    PyCalibration calibration;
    calibration.order_ = order;
    const double loadMs = millisecondsSince(start);
    DataLayer::PhotoCalibrationResult result = DataLayer::calibratePhoto(request);
    result.labels.release();
    calibration.summary_ =
        ColorCalCli::summarize(result, request.referencesRgb, request.chart, request.photo.size());
    auto& timings = calibration.summary_.timingsMs;
    timings.insert(timings.begin(), {"load", loadMs});
    // The module writes no files: the tool's "outputs" stage takes no time here.
    timings.emplace_back("outputs", 0.0);
    timings.emplace_back("total", millisecondsSince(start));
    if (result.ok()) {
        calibration.white_ = result.whiteImage;
    }
    calibration.finish();
    return calibration;
}

PyCalibration PyCalibration::restore(const std::string& json, const cv::Mat& white,
                                     ChannelOrder order, bool allowFailed) {
    const ColorCalFrontend::JsonValue document = [&] {
        try {
            return ColorCalFrontend::parseJson(json);
        } catch (const FrontendError& error) {
            throw FrontendError(std::string("not JSON: ") + error.what());
        }
    }();
    const ColorCalFrontend::JsonValue* ok = document.find("ok");
    const bool failed = ok != nullptr && ok->type == ColorCalFrontend::JsonValue::Type::eBool &&
                        !ok->boolean && document.find("format_version") != nullptr;
    if (!(failed && allowFailed)) {
        ColorCalFrontend::parseCalibration(json);
    }
    PyCalibration calibration;
    calibration.order_ = order;
    calibration.summary_ = summaryFromJson(document);
    if (calibration.summary_.ok && !white.empty()) {
        if (white.type() != CV_32FC3 || white.size() != calibration.summary_.imageSize) {
            throw FrontendError("the white image is " + std::to_string(white.cols) + " x " +
                                std::to_string(white.rows) + ", the calibrated photo " +
                                std::to_string(calibration.summary_.imageSize.width) + " x " +
                                std::to_string(calibration.summary_.imageSize.height));
        }
        calibration.white_ = white;
    }
    calibration.finish();
    return calibration;
}

void PyCalibration::requireOk(const std::string& fn) const {
    if (!ok()) {
        throw std::runtime_error(fn + "the calibration failed (" + summary_.error +
                                 "), there is nothing to apply");
    }
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
    if (!calibration.ok() || calibration.white_.empty()) {
        return py::none();
    }
    cv::Mat& white = calibration.whiteForCaller_;
    if (white.empty()) {
        // The working white as it is where no conversion is asked for (no
        // copy); otherwise one converted image, kept for later calls.
        white =
            DataLayer::Color::toPhotoEncoding(calibration.white_, calibration.summary_.encoding);
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

py::array PyCalibration::apply(const py::handle& image, const py::handle& flatField) const {
    const std::string fn = "apply(): ";
    requireOk(fn);
    const ImageArray pixels = requireImage(image, fn + "image");
    const cv::Size size = pixels.size();
    const auto sizeText = [](cv::Size s) {
        return std::to_string(s.width) + " x " + std::to_string(s.height);
    };
    cv::Mat white;
    if (py::isinstance<py::bool_>(flatField)) {
        if (flatField.cast<bool>()) {
            if (white_.empty()) {
                throw py::value_error(fn +
                                      "this calibration has no white image (load it with "
                                      "white=...); pass flat_field=False for the matrix alone");
            }
            if (size != white_.size()) {
                throw py::value_error(fn + "image is " + sizeText(size) +
                                      ", the calibrated photo " + sizeText(white_.size()) +
                                      " (the white image is per pixel; flat_field=False applies "
                                      "the matrix alone)");
            }
            white = white_;
        }
    } else {
        const ImageArray whiteImage = requireImage(flatField, fn + "flat_field");
        if (whiteImage.depth != CV_32F) {
            throw py::type_error(fn + "flat_field must be True, False or a float32 white image");
        }
        if (whiteImage.size() != size) {
            throw py::value_error(fn + "flat_field is " + sizeText(whiteImage.size()) +
                                  ", the image " + sizeText(size));
        }
        const cv::Mat header(size, CV_32FC3, const_cast<void*>(whiteImage.array.data()));
        try {
            white = model_->workingWhite(header, frontendOrder(order_));
        } catch (const FrontendError& error) {
            throw py::value_error(fn + "flat_field: " + error.what());
        }
    }
    // The caller's pixels are only read: the correction writes a new image.
    const cv::Mat photo(size, CV_MAKETYPE(pixels.depth, 3), const_cast<void*>(pixels.array.data()));
    cv::Mat corrected;
    std::string failure;
    {
        const py::gil_scoped_release release;
        try {
            corrected = model_->correct(photo, white, frontendOrder(order_));
        } catch (const FrontendError& error) {
            failure = error.what();
        }
    }
    if (!failure.empty()) {
        throw py::value_error(fn + "image: " + failure);
    }
    py::array out(py::dtype(pixels.array.dtype()), {size.height, size.width, 3});
    std::memcpy(out.mutable_data(), corrected.data, corrected.total() * corrected.elemSize());
    return out;
}

void PyCalibration::save(const std::string& path, const py::handle& whitePath) const {
    const std::string fn = "save(): ";
    std::string whiteFile;
    if (!whitePath.is_none()) {
        whiteFile = whitePath.cast<std::string>();
        const std::string ext = lowerExtension(whiteFile);
        if (ext != ".tif" && ext != ".tiff") {
            throw py::value_error(fn + "white_path " + ColorCalFrontend::quotedPath(whiteFile) +
                                  ": the white image is written as a 32-bit float TIFF; give a "
                                  ".tif or .tiff name");
        }
        if (white_.empty()) {
            throw py::value_error(fn + "this calibration has no white image to write");
        }
    }
    fileOperation(fn, [&] {
        ColorCalCli::requireUsableOutputs({}, {{"path", path}, {"white_path", whiteFile}});
        ColorCalCli::writeTextOutput(path, json_, "calibration file");
        if (!whiteFile.empty()) {
            const cv::Mat white = DataLayer::Color::toPhotoEncoding(white_, summary_.encoding);
            ColorCalCli::writeOutputFile(whiteFile, "white image", [&white](const std::string& p) {
                return ColorCalCli::writeFloatTiff(p, white);
            });
        }
    });
}

void PyCalibration::toIcc(const std::string& path) const {
    const std::string fn = "to_icc(): ";
    requireOk(fn);
    fileOperation(fn, [&] {
        writeBinary(
            path,
            ColorCalFrontend::makeIccProfile(model_->calibration(), ColorCalFrontend::todayDate()),
            "ICC profile");
    });
}

void PyCalibration::toCube(const std::string& path, int size) const {
    const std::string fn = "to_cube(): ";
    requireOk(fn);
    if (size < ColorCalFrontend::kMinCubeSize || size > ColorCalFrontend::kMaxCubeSize) {
        throw py::value_error(fn + "size is " + std::to_string(size) + " (expected " +
                              std::to_string(ColorCalFrontend::kMinCubeSize) + ".." +
                              std::to_string(ColorCalFrontend::kMaxCubeSize) + ")");
    }
    fileOperation(fn, [&] {
        ColorCalCli::writeTextOutput(
            path, ColorCalFrontend::formatCube(model_->calibration(), size), ".cube file");
    });
}

py::tuple PyCalibration::getState() const {
    py::object white = py::none();
    if (!white_.empty()) {
        py::array_t<float> copy({white_.rows, white_.cols, 3});
        const cv::Mat continuous = white_.isContinuous() ? white_ : white_.clone();
        std::memcpy(copy.mutable_data(), continuous.data,
                    continuous.total() * continuous.elemSize());
        white = std::move(copy);
    }
    return py::make_tuple(json_, order_ == ChannelOrder::eBgr ? "bgr" : "rgb", white);
}

PyCalibration PyCalibration::setState(const py::tuple& state) {
    if (state.size() != 3) {
        throw std::runtime_error("Calibration: invalid pickled state");
    }
    const auto json = state[0].cast<std::string>();
    const ChannelOrder order =
        parseChannelOrder(state[1].cast<std::string>(), "Calibration: channel order");
    cv::Mat white;
    if (!state[2].is_none()) {
        const ImageArray image = requireImage(state[2], "Calibration: white");
        white = cv::Mat(image.size(), CV_32FC3, const_cast<void*>(image.array.data())).clone();
    }
    try {
        return restore(json, white, order, true);
    } catch (const FrontendError& error) {
        throw py::value_error(std::string("Calibration: invalid pickled state: ") + error.what());
    }
}

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
