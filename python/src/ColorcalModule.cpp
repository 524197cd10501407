// The Python module `colorcal`: calibrates numpy images with the library, as
// the command-line tool's `calibrate` does, and renders synthetic chart photos.

#include <climits>
#include <optional>
#include <stdexcept>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>
#include <opencv2/imgproc.hpp>

#include "ArrayArguments.h"
#include "CalibrationExport.h"
#include "CalibrationFile.h"
#include "CommandLine.h"
#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"
#include "FrontendError.h"
#include "ImageConversion.h"
#include "Messages.h"
#include "PyCalibration.h"
#include "SafeFiles.h"
#include "SyntheticPhoto.h"
#include "synth/RealisticSet.h"
#include "synth/SyntheticChart.h"

namespace py = pybind11;

namespace ColorCalPy {

namespace {

using ColorCalCli::Encoding;

ColorCalCli::EChart toChart(const std::string& name, const std::string& what) {
    try {
        return ColorCalCli::parseChartName(name);
    } catch (const ColorCalCli::UsageError& error) {
        throw py::value_error(what + error.what());
    }
}

std::optional<Encoding> toEncoding(const std::string& name, const std::string& what) {
    if (name == "auto") {
        return std::nullopt;
    }
    try {
        return ColorCalCli::parseEncoding(name);
    } catch (const ColorCalCli::UsageError&) {
        throw py::value_error(what + "encoding must be 'auto', 'srgb', 'linear' or 'none', not " +
                              ColorCalCli::quoteName(name));
    }
}

bool needsExternalWhite(ColorCalCli::EChart chart) {
    return chart == ColorCalCli::EChart::eCCTXRite || chart == ColorCalCli::EChart::eQCCXRite;
}

PyCalibration calibrate(const py::handle& photo, const std::string& chart,
                        const py::handle& references, const py::handle& roi,
                        const py::handle& support, const py::handle& externalWhite,
                        const py::handle& realWhite, const std::string& encoding, bool linearRgb,
                        const std::string& channelOrder) {
    const PyCalibration::Clock::time_point start = PyCalibration::Clock::now();
    const std::string fn = "calibrate(): ";
    // Every argument is checked before a pixel is converted.
    DataLayer::PhotoCalibrationRequest request;
    request.chart = toChart(chart, fn);
    request.encoding = toEncoding(encoding, fn);
    const ChannelOrder order = parseChannelOrder(channelOrder, fn + "channel_order");
    if (linearRgb && request.encoding != Encoding::eNone) {
        throw py::value_error(fn + "linear_rgb=True needs encoding='none'");
    }
    request.linearRgb = linearRgb;
    request.referencesRgb = toReferences(references, fn + "references");
    const ImageArray image = requireImage(photo, fn + "photo");
    const cv::Size size = image.size();
    if (!roi.is_none()) {
        request.roi = toRoi(roi, size, fn + "roi");
    }
    if (!support.is_none()) {
        request.support = toSupportMask(support, size, fn + "support");
    }
    if (needsExternalWhite(request.chart) && externalWhite.is_none()) {
        throw py::value_error(
            fn + "chart type " + chart +
            " needs external_white (its white comes from a separate white image)");
    }
    std::optional<ImageArray> white;
    if (!externalWhite.is_none()) {
        white = requireImage(externalWhite, fn + "external_white");
        if (white->size() != size) {
            throw py::value_error(fn + "external_white is " + std::to_string(white->size().width) +
                                  " x " + std::to_string(white->size().height) + ", the photo " +
                                  std::to_string(size.width) + " x " + std::to_string(size.height));
        }
    }
    if (!realWhite.is_none()) {
        request.realWhiteBgr = toTriple(realWhite, order, 1.0, 255.0, fn + "real_white");
    }
    const ColorCalCli::LoadedImage loaded = toLibraryImage(image, order, fn + "photo");
    request.photo = loaded.bgr;
    request.sourceDepth = loaded.sourceDepth;
    if (white) {
        request.externalWhite = toLibraryImage(*white, order, fn + "external_white").bgr;
    }
    const py::gil_scoped_release release;
    return PyCalibration::run(request, order, start);
}

/// A str or os.PathLike argument as a path (None stays empty).
std::string pathText(const py::handle& object) {
    if (object.is_none()) return {};
    return py::str(py::module_::import("os").attr("fspath")(object)).cast<std::string>();
}

PyCalibration load(const std::filesystem::path& file, const py::handle& white,
                   const std::string& channelOrder) {
    const std::string path = file.string();
    const std::string fn = "load(): ";
    const ChannelOrder order = parseChannelOrder(channelOrder, fn + "channel_order");
    std::string json;
    cv::Mat whiteImage;
    try {
        json = ColorCalCli::readSmallFile(path, "calibration file",
                                          ColorCalFrontend::kMaxCalibrationFileBytes);
        if (!white.is_none()) {
            whiteImage = ColorCalCli::readImageFile(pathText(white), "white image", 1000.0, false);
        }
    } catch (const ColorCalFrontend::FrontendError&) {
        throw;
    } catch (const std::runtime_error& error) {
        PyErr_SetString(PyExc_OSError, (fn + error.what()).c_str());
        throw py::error_already_set();
    }
    try {
        const ColorCalFrontend::CalibrationData data = ColorCalFrontend::parseCalibration(json);
        cv::Mat working;
        if (!whiteImage.empty()) {
            if (whiteImage.type() != CV_32FC3) {
                throw ColorCalFrontend::FrontendError(
                    "the white image is not a 3-channel 32-bit float image (use the file "
                    "calibrate --white-out or save(white_path=...) writes)");
            }
            working = ColorCalFrontend::CorrectionModel(data).workingWhite(whiteImage);
        }
        // The white file is blue-green-red as OpenCV reads it; the order asked
        // for applies to what the calibration hands out and takes in.
        return PyCalibration::restore(json, working, order, false);
    } catch (const ColorCalFrontend::FrontendError& error) {
        throw py::value_error(fn + ColorCalFrontend::quotedPath(path) + ": " + error.what());
    }
}

py::array toArray8u(const cv::Mat& image, ChannelOrder order) {
    cv::Mat values;
    image.convertTo(values, CV_32FC3);
    return fromLibraryImage(values, CV_8U, false, order);
}

py::dict render(const std::string& chart, const py::handle& seed, const py::handle& rotation,
                const py::handle& noise, const py::handle& falloff, const py::handle& size,
                const std::string& encoding, bool realistic, bool handheld,
                const std::string& channelOrder) {
    const std::string fn = "render(): ";
    ColorCalCli::RenderCommandOptions o;
    o.chart = toChart(chart, fn);
    o.seed = static_cast<std::uint64_t>(toInteger(seed, 0, LLONG_MAX, fn + "seed"));
    if (encoding != "srgb" && encoding != "linear") {
        throw py::value_error(fn + "encoding must be 'srgb' or 'linear', not " +
                              ColorCalCli::quoteName(encoding));
    }
    o.encoding = encoding == "srgb" ? Encoding::eSrgb : Encoding::eLinear;
    const ChannelOrder order = parseChannelOrder(channelOrder, fn + "channel_order");
    if (realistic && handheld) {
        throw py::value_error(fn + "realistic=True and handheld=True are two different sets");
    }
    if ((realistic || handheld) &&
        !(rotation.is_none() && noise.is_none() && falloff.is_none() && size.is_none())) {
        throw py::value_error(fn + (handheld ? "handheld" : "realistic") +
                              "=True draws rotation, noise, falloff and size from the seed; "
                              "leave them None");
    }
    o.handheld = handheld;
    if (!rotation.is_none()) {
        o.rotationDeg = toNumber(rotation, -360.0, 360.0, fn + "rotation");
    }
    if (!noise.is_none()) {
        o.noise = toNumber(noise, 0.0, 100.0, fn + "noise");
    }
    if (!falloff.is_none()) {
        o.falloff = toNumber(falloff, 0.0, 0.9, fn + "falloff");
    }
    if (!size.is_none()) {
        const py::sequence items =
            requireSequence(size, 2, fn + "size", "two integers (width, height)");
        o.width = static_cast<int>(toInteger(items[0], 1, 16384, fn + "size[0]"));
        o.height = static_cast<int>(toInteger(items[1], 1, 16384, fn + "size[1]"));
    }
    const ChartSynth::RenderOptions options =
        realistic ? ChartSynth::realisticOptions(o.chart, o.encoding, o.seed)
                  : ColorCalCli::makeRenderOptions(o);
    ChartSynth::RenderedChart rendered;
    {
        const py::gil_scoped_release release;
        try {
            rendered = ChartSynth::renderChart(options);
        } catch (const std::invalid_argument& error) {
            throw std::invalid_argument(fn + error.what());
        }
    }
    py::dict out;
    out["chart"] = ColorCalCli::chartName(o.chart);
    out["encoding"] = encoding;
    out["photo"] = toArray8u(rendered.photo8u, order);
    py::array_t<double> references({20, 3});
    for (int k = 0; k < 20; ++k) {
        for (int c = 0; c < 3; ++c) {
            references.mutable_at(k, c) = options.referenceRgb[k][c];
        }
    }
    out["references"] = references;
    const cv::Rect& r = realistic || handheld ? rendered.hostRegion : rendered.chartRegion;
    out["roi"] = py::make_tuple(r.x, r.y, r.width, r.height);
    out["white"] = fromLibraryImage(rendered.whiteField, CV_32F, false, order);
    py::array_t<double> centers(
        {static_cast<py::ssize_t>(rendered.centers.size()), py::ssize_t{2}});
    py::list referenceIndex;
    for (std::size_t i = 0; i < rendered.centers.size(); ++i) {
        centers.mutable_at(i, 0) = rendered.centers[i].x;
        centers.mutable_at(i, 1) = rendered.centers[i].y;
        referenceIndex.append(rendered.referenceIndex[i]);
    }
    out["centers"] = centers;
    out["reference_index"] = referenceIndex;
    return out;
}

}  // namespace

}  // namespace ColorCalPy

PYBIND11_MODULE(colorcal, m) {
    using ColorCalPy::PyCalibration;
    m.doc() =
        "Colour calibration of chart photos held in numpy arrays.\n\n"
        "calibrate() finds the chart's 20 patches, estimates the illumination from the\n"
        "chart's white ground and fits the 3 x 4 colour-correction matrix, as the\n"
        "`colorcal calibrate` command does; render() draws synthetic chart photos.\n"
        "Images are numpy arrays H x W x 3 (uint8, uint16 or float32) in red-green-blue\n"
        "order, as Pillow, imageio, scikit-image and matplotlib hand them over; pass\n"
        "channel_order='bgr' for arrays from OpenCV. A Calibration is saved to and\n"
        "loaded from the calibration file `colorcal calibrate` writes (save(), load()),\n"
        "corrects photos (apply()), exports ICC profiles and .cube LUTs (to_icc(),\n"
        "to_cube()) and pickles, so maps over many photos run on Dask.";
    m.attr("__version__") = COLORCAL_VERSION;
    m.attr("CHARTS") =
        py::make_tuple("cct-print", "qcc-print", "cct-xrite", "qcc-xrite", "qcc-print-small");

    py::class_<PyCalibration>(m, "Calibration",
                              "The result of calibrate(): what `colorcal calibrate` reports, the\n"
                              "white image, and apply() to correct photos with it.")
        .def_property_readonly("ok", &PyCalibration::ok, "True when the calibration succeeded.")
        .def_property_readonly(
            "error",
            [](const PyCalibration& c) {
                return c.ok() ? py::object(py::none()) : py::object(py::str(c.summary().error));
            },
            "None, or why the calibration failed, in words, followed by '. Hint: ' and\n"
            "the common cause where one is known.")
        .def_property_readonly(
            "chart",
            [](const PyCalibration& c) { return ColorCalCli::chartName(c.summary().chart); },
            "The chart type.")
        .def_property_readonly(
            "encoding",
            [](const PyCalibration& c) { return ColorCalCli::encodingName(c.summary().encoding); },
            "The encoding used: 'srgb', 'linear' or 'none' ('auto' resolved).")
        .def_property_readonly(
            "matrix_space", [](const PyCalibration& c) { return c.summary().matrixSpace(); },
            "'linear' when the matrix works on linear light, 'encoded' otherwise.")
        .def_property_readonly(
            "channel_order",
            [](const PyCalibration& c) {
                return c.channelOrder() == ColorCalPy::ChannelOrder::eBgr ? "bgr" : "rgb";
            },
            "The channel order of the images, whites and matrix: 'bgr' or 'rgb'.")
        .def_property_readonly(
            "image_size",
            [](const PyCalibration& c) {
                return py::make_tuple(c.summary().imageSize.width, c.summary().imageSize.height);
            },
            "(width, height) of the photo.")
        .def_property_readonly(
            "roi",
            [](const PyCalibration& c) {
                const cv::Rect& r = c.summary().roi;
                return py::make_tuple(r.x, r.y, r.width, r.height);
            },
            "(x, y, width, height) of the chart's region.")
        .def_property_readonly(
            "card",
            [](const PyCalibration& c) -> py::object {
                const DataLayer::LocatedCard& card = c.summary().card;
                if (!card.searched) {
                    return py::none();
                }
                py::dict out;
                out["found"] = card.found;
                if (card.found) {
                    py::list corners;
                    for (const cv::Point2d& p : card.corners)
                        corners.append(py::make_tuple(p.x, p.y));
                    out["corners"] = corners;
                    out["score"] = card.score;
                    out["scale"] = card.scale;
                    out["tilt_deg"] = card.tiltDeg;
                    out["rotation_deg"] = card.rotationDeg;
                    out["grid"] = py::make_tuple(card.gridRows, card.gridColumns);
                    out["rectified"] = !card.nominal;
                } else {
                    out["corners"] = py::none();
                    out["score"] = py::none();
                }
                return std::move(out);
            },
            "The chart's card as located (unless roi and support were both given): a\n"
            "dict with found, corners ((x, y) top left, top right, bottom right, bottom\n"
            "left of the card as its grid lies in the photo, photo pixels), score,\n"
            "scale, tilt_deg, rotation_deg, grid (rows, columns) and rectified, as the\n"
            "JSON's card; None with roi and support.")
        .def_property_readonly(
            "orientation",
            [](const PyCalibration& c) -> py::object {
                const int turn = c.summary().orientation;
                return c.ok() && turn >= 0 ? py::object(py::int_(turn)) : py::object(py::none());
            },
            "How the chart lay, as the colours decided: 0, 90, 180 or 270 degrees\n"
            "clockwise from the grid of patches found (180 upside down, 90 and 270\n"
            "a quarter turn from the chart's layout), as the JSON's orientation;\n"
            "None after a failure.")
        .def_property_readonly("matrix", &PyCalibration::matrix,
                               "3 x 4 float64: output channel k = m[k,0] c0 + m[k,1] c1 + m[k,2] c2"
                               " + m[k,3]\n"
                               "for input channels c0, c1, c2 in channel_order, applied to the\n"
                               "flat-field corrected values in matrix_space (0..255); None after "
                               "a failure.")
        .def_property_readonly("real_white", &PyCalibration::realWhite,
                               "The white the photo was corrected to (3 values in channel_order,\n"
                               "in the references' encoding), or None.")
        .def_property_readonly("picked_white", &PyCalibration::pickedWhite,
                               "The white measured on the chart (as real_white), or None.")
        .def_property_readonly("white", &PyCalibration::white,
                               "The estimated white image: read-only H x W x 3 float32 on the\n"
                               "0..255 scale, in the photo's encoding and channel_order (what\n"
                               "`colorcal calibrate --white-out` writes), or None.")
        .def_property_readonly("patches", &PyCalibration::patches,
                               "The 20 patches in found order: dicts with reference_index,\n"
                               "center (x, y), measured_rgb, reference_rgb, corrected_rgb (r, g, "
                               "b in\n"
                               "the references' encoding), delta_e2000 and delta_e2000_before.")
        .def_property_readonly(
            "delta_e2000_stats", [](const PyCalibration& c) { return c.deltaE2000Stats(false); },
            "CIEDE2000 after the matrix: dict of mean, median, p90, max; or None.")
        .def_property_readonly(
            "delta_e2000_stats_before",
            [](const PyCalibration& c) { return c.deltaE2000Stats(true); },
            "CIEDE2000 before the matrix (flat-field corrected), as delta_e2000_stats.")
        .def_property_readonly("segmentation", &PyCalibration::segmentation,
                               "What the patch search found: seeds_found, grid_found, recovered,\n"
                               "reason (None, or where the search stopped).")
        .def_property_readonly("timings_ms", &PyCalibration::timingsMs,
                               "Milliseconds per stage: load (argument conversion), "
                               "segmentation,\n"
                               "white_estimation, calibration, outputs (0: no files), total.")
        .def("apply", &PyCalibration::apply, py::arg("image"), py::arg("flat_field") = true,
             "Corrects a photo taken under the calibrated light: H x W x 3 uint8,\n"
             "uint16 or float32 in channel_order (RGB unless the calibration was\n"
             "made with channel_order='bgr') and in the calibration's encoding,\n"
             "whatever its dtype (a uint16 photo of an srgb calibration is decoded\n"
             "as sRGB). flat_field: True (default) divides by the calibration's own\n"
             "white image first, so the image must have the calibrated photo's\n"
             "size; False applies the matrix alone (any size); or a white image\n"
             "(H x W x 3 float32 like `white`, in channel_order) of the image's size.\n"
             "The matrix follows, clamped to 0..255. Returns a new array of the\n"
             "image's dtype, scale and channel order: what `colorcal apply`\n"
             "writes. Raises RuntimeError when the calibration failed, ValueError\n"
             "for a size that does not match.")
        .def(
            "save",
            [](const PyCalibration& c, const std::filesystem::path& path, const py::handle& white) {
                const std::string whitePath = ColorCalPy::pathText(white);
                c.save(path.string(),
                       white.is_none() ? py::object(py::none()) : py::object(py::str(whitePath)));
            },
            py::arg("path"), py::arg("white_path") = py::none(),
            "Writes the calibration file (the JSON `colorcal calibrate` writes,\n"
            "which `colorcal apply` and load() read) and, with white_path, the white\n"
            "image as a 32-bit float TIFF (as --white-out). Files appear only when\n"
            "complete; OSError when they cannot be written.")
        .def(
            "to_icc",
            [](const PyCalibration& c, const std::filesystem::path& path) {
                c.toIcc(path.string());
            },
            py::arg("path"),
            "Writes the colour part (the matrix, not the flat-field) as an ICC v4\n"
            "input profile, as `colorcal export --icc` does.")
        .def(
            "to_cube",
            [](const PyCalibration& c, const std::filesystem::path& path, int size) {
                c.toCube(path.string(), size);
            },
            py::arg("path"), py::arg("size") = 33,
            "Writes the colour part as a .cube 3D LUT of size points per axis\n"
            "(2..129), input and output in the photo's encoding on 0..1, as\n"
            "`colorcal export --cube` does.")
        .def(py::pickle([](const PyCalibration& c) { return c.getState(); },
                        [](const py::tuple& state) { return PyCalibration::setState(state); }))
        .def("to_json", &PyCalibration::toJson,
             "The JSON document `colorcal calibrate` writes for the same inputs.")
        .def("__repr__", &PyCalibration::repr);

    m.def("calibrate", &ColorCalPy::calibrate, py::arg("photo"), py::arg("chart"),
          py::arg("references"), py::kw_only(), py::arg("roi") = py::none(),
          py::arg("support") = py::none(), py::arg("external_white") = py::none(),
          py::arg("real_white") = py::none(), py::arg("encoding") = "auto",
          py::arg("linear_rgb") = false, py::arg("channel_order") = "rgb",
          "Calibrates a photo of a colour chart, as `colorcal calibrate` does.\n\n"
          "photo: H x W x 3 numpy array, uint8, uint16 (scaled by 255/65535) or\n"
          "  float32 (values within 0..1 scaled by 255, others taken as 0..255).\n"
          "chart: one of CHARTS.\n"
          "references: 20 x 3 numbers (r, g, b within 0..255) in reference order.\n"
          "roi: (x, y, width, height) of the chart; default: the chart's card is\n"
          "  located in the photo (no card found: the calibration fails with\n"
          "  'no chart card found in the photo: ' and why).\n"
          "support: H x W uint8 or bool, non-zero where the photo is no usable\n"
          "  white ground; default the located card's white ground (with roi:\n"
          "  everything outside roi).\n"
          "external_white: the photo's white image (as photo); the x-rite charts need it.\n"
          "real_white: the white to correct to (3 numbers within 1..255).\n"
          "encoding: 'auto' (srgb for uint8, linear otherwise), 'srgb', 'linear' or 'none'.\n"
          "linear_rgb: with encoding='none', the values are linear sRGB (for CIEDE2000).\n"
          "channel_order: 'rgb' (default: red-green-blue, as Pillow, imageio,\n"
          "  scikit-image and matplotlib give arrays) or 'bgr' (arrays from OpenCV),\n"
          "  for every image and white passed and returned and the matrix's rows\n"
          "  and columns. An RGB array passed as 'bgr' calibrates with a matrix that\n"
          "  swaps red and blue.\n\n"
          "Wrong arguments raise TypeError or ValueError before any work; a\n"
          "calibration that fails returns ok == False with the reason. The\n"
          "arguments are not modified; the GIL is released while the engine runs.");

    m.def("render", &ColorCalPy::render, py::arg("chart"), py::kw_only(), py::arg("seed") = 1,
          py::arg("rotation") = py::none(), py::arg("noise") = py::none(),
          py::arg("falloff") = py::none(), py::arg("size") = py::none(),
          py::arg("encoding") = "srgb", py::arg("realistic") = false, py::arg("handheld") = false,
          py::arg("channel_order") = "rgb",
          "Renders a synthetic photo of a chart, as `colorcal render` does\n"
          "(defaults: rotation 2.5 degrees, noise 1.5, falloff 0.25, the chart with a\n"
          "60-pixel margin). realistic=True renders photo `seed` of the realistic\n"
          "set instead (1600 x 1200 or 2592 x 1944, JPEG, clutter; rotation, noise,\n"
          "falloff and size then come from the seed). handheld=True renders photo\n"
          "`seed` of the hand-held set: the card 0.4 to 3 times its nominal size,\n"
          "tilted up to 35 degrees and turned, on a light, dark or textured\n"
          "background, in a photo of up to 12 MP (all drawn from the seed).\n\n"
          "channel_order: 'rgb' (default) or 'bgr', for photo and white.\n\n"
          "Returns a dict: photo (H x W x 3 uint8), references (20 x 3, r, g, b in\n"
          "the photo's encoding), roi (the region to calibrate), white (the true\n"
          "white image, H x W x 3 float32, for external_white), centers (20 x 2,\n"
          "found order), reference_index, chart, encoding.");

    m.def("load", &ColorCalPy::load, py::arg("path"), py::kw_only(), py::arg("white") = py::none(),
          py::arg("channel_order") = "rgb",
          "Loads a calibration file (the JSON `colorcal calibrate` or\n"
          "Calibration.save() writes) as a Calibration, and with white the white\n"
          "image (the 32-bit float TIFF of --white-out or save(white_path=...)),\n"
          "which apply() needs for the flat-field. channel_order: 'rgb' (default)\n"
          "or 'bgr', for the arrays the Calibration takes and gives. A file that\n"
          "is no calibration of this version, a failed calibration, missing,\n"
          "non-finite or out-of-range entries raise ValueError; a file that cannot\n"
          "be read raises OSError.");
}
