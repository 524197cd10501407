#include "ArrayArguments.h"

#include <Python.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include <opencv2/imgproc.hpp>

#include "CommandLine.h"
#include "Messages.h"

namespace ColorCalPy {

namespace {

std::string typeName(const py::handle& object) {
    return py::str(py::type::handle_of(object).attr("__name__"));
}

std::string shapeText(const py::array& array) { return py::str(array.attr("shape")); }

std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string sizeText(cv::Size size) {
    return std::to_string(size.width) + " x " + std::to_string(size.height);
}

/// `array` C-contiguous in native byte order (a copy only where it is not).
template <typename T>
py::array contiguous(const py::array& array, const std::string& what) {
    py::array out = py::array_t<T, py::array::c_style>::ensure(array);
    if (!out) {
        throw py::value_error(what + ": the array cannot be read as " +
                              std::string(py::str(py::dtype::of<T>())));
    }
    return out;
}

bool sameType(const py::array& array, const py::dtype& type) {
    return array.dtype().num() == type.num();
}

}  // namespace

ChannelOrder parseChannelOrder(const std::string& name, const std::string& what) {
    if (name == "bgr") {
        return ChannelOrder::eBgr;
    }
    if (name == "rgb") {
        return ChannelOrder::eRgb;
    }
    throw py::value_error(what + " must be 'bgr' or 'rgb', not " + ColorCalCli::quoteName(name));
}

cv::Size ImageArray::size() const {
    return {static_cast<int>(array.shape(1)), static_cast<int>(array.shape(0))};
}

ImageArray requireImage(const py::handle& object, const std::string& what) {
    if (!py::isinstance<py::array>(object)) {
        throw py::type_error(what + " must be a numpy array (H x W x 3), not " + typeName(object));
    }
    const auto array = py::reinterpret_borrow<py::array>(object);
    ImageArray image;
    if (sameType(array, py::dtype::of<std::uint8_t>())) {
        image.depth = CV_8U;
    } else if (sameType(array, py::dtype::of<std::uint16_t>())) {
        image.depth = CV_16U;
    } else if (sameType(array, py::dtype::of<float>())) {
        image.depth = CV_32F;
    } else {
        throw py::type_error(what + " has dtype " + std::string(py::str(array.dtype())) +
                             " (expected uint8, uint16 or float32)");
    }
    if (array.ndim() != 3 || array.shape(2) != 3) {
        throw py::value_error(what + " must be H x W x 3, not shape " + shapeText(array));
    }
    if (array.shape(0) < 1 || array.shape(1) < 1) {
        throw py::value_error(what + " holds no pixels (shape " + shapeText(array) + ")");
    }
    if (array.shape(0) > INT_MAX / 4 || array.shape(1) > INT_MAX / 4) {
        throw py::value_error(what + " is too large (shape " + shapeText(array) + ")");
    }
    switch (image.depth) {
        case CV_8U:
            image.array = contiguous<std::uint8_t>(array, what);
            break;
        case CV_16U:
            image.array = contiguous<std::uint16_t>(array, what);
            break;
        default:
            image.array = contiguous<float>(array, what);
            break;
    }
    return image;
}

namespace {

/// A read-only OpenCV header over the caller's pixels.
cv::Mat header(const ImageArray& image) {
    const cv::Size size = image.size();
    // The header is only read from: every conversion below writes a new image.
    return cv::Mat(size.height, size.width, CV_MAKETYPE(image.depth, 3),
                   const_cast<void*>(image.array.data()));
}

}  // namespace

ColorCalCli::LoadedImage toLibraryImage(const ImageArray& image, ChannelOrder order,
                                        const std::string& what) {
    const cv::Mat pixels = header(image);
    ColorCalCli::LoadedImage loaded;
    try {
        loaded = ColorCalCli::toLibraryScale(pixels, what);
    } catch (const ColorCalCli::UsageError& error) {
        throw py::value_error(error.what());
    }
    if (loaded.bgr.data == pixels.data) {
        loaded.bgr = loaded.bgr.clone();
    }
    if (order == ChannelOrder::eRgb) {
        cv::cvtColor(loaded.bgr, loaded.bgr, cv::COLOR_RGB2BGR);
    }
    return loaded;
}

bool isUnitScale(const ImageArray& image) {
    if (image.depth != CV_32F) {
        return false;
    }
    double lo = 0.0;
    double hi = 0.0;
    cv::minMaxLoc(header(image).reshape(1), &lo, &hi);
    return hi <= 1.0;
}

py::array fromLibraryImage(const cv::Mat& image, int depth, bool unitScale, ChannelOrder order) {
    CV_Assert(image.type() == CV_32FC3);
    const std::vector<py::ssize_t> shape = {image.rows, image.cols, 3};
    py::array out;
    double scale = 1.0;
    switch (depth) {
        case CV_8U:
            out = py::array_t<std::uint8_t>(shape);
            break;
        case CV_16U:
            out = py::array_t<std::uint16_t>(shape);
            scale = 65535.0 / 255.0;
            break;
        default:
            out = py::array_t<float>(shape);
            scale = unitScale ? 1.0 / 255.0 : 1.0;
            break;
    }
    cv::Mat target(image.rows, image.cols, CV_MAKETYPE(depth, 3), out.mutable_data());
    {
        const py::gil_scoped_release release;
        cv::Mat ordered = image;
        if (order == ChannelOrder::eRgb) {
            cv::cvtColor(image, ordered, cv::COLOR_BGR2RGB);
        }
        ordered.convertTo(target, target.type(), scale);
    }
    return out;
}

py::array viewImage(const cv::Mat& image, const py::handle& owner) {
    CV_Assert(image.type() == CV_32FC3 && image.isContinuous());
    py::array view(py::dtype::of<float>(), {image.rows, image.cols, 3}, {}, image.ptr<float>(),
                   owner);
    view.attr("setflags")(py::arg("write") = false);
    return view;
}

cv::Mat toSupportMask(const py::handle& object, cv::Size size, const std::string& what) {
    if (!py::isinstance<py::array>(object)) {
        throw py::type_error(what + " must be a numpy array (H x W), not " + typeName(object));
    }
    const auto array = py::reinterpret_borrow<py::array>(object);
    const bool isBool = sameType(array, py::dtype::of<bool>());
    if (!isBool && !sameType(array, py::dtype::of<std::uint8_t>())) {
        throw py::type_error(what + " has dtype " + std::string(py::str(array.dtype())) +
                             " (expected uint8 or bool)");
    }
    if (array.ndim() != 2 || array.shape(0) != size.height || array.shape(1) != size.width) {
        throw py::value_error(what + " must be H x W of the photo (" + std::to_string(size.height) +
                              ", " + std::to_string(size.width) + "), not shape " +
                              shapeText(array));
    }
    const py::array pixels =
        isBool ? contiguous<bool>(array, what) : contiguous<std::uint8_t>(array, what);
    return cv::Mat(size, CV_8U, const_cast<void*>(pixels.data())).clone();
}

ColorCalCli::ReferenceColors toReferences(const py::handle& object, const std::string& what) {
    const std::string form = what + " must be 20 x 3 numbers ((r, g, b) rows in reference order)";
    py::array array;
    try {
        array = py::module_::import("numpy").attr("asarray")(object);
    } catch (const py::error_already_set&) {
        throw py::value_error(form);
    }
    const char kind = array.dtype().kind();
    if (kind != 'i' && kind != 'u' && kind != 'f') {
        throw py::type_error(form + ", not dtype " + std::string(py::str(array.dtype())));
    }
    if (array.ndim() != 2 || array.shape(0) != 20 || array.shape(1) != 3) {
        throw py::value_error(form + ", not shape " + shapeText(array));
    }
    const auto values =
        py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!values) {
        throw py::value_error(form);
    }
    ColorCalCli::ReferenceColors references{};
    const double* v = values.data();
    for (int k = 0; k < 20; ++k) {
        for (int c = 0; c < 3; ++c) {
            const double value = v[3 * k + c];
            if (!(value >= 0.0 && value <= 255.0)) {
                throw py::value_error(what + "[" + std::to_string(k) + "][" + std::to_string(c) +
                                      "] is " + numberText(value) +
                                      " (expected a number within 0..255)");
            }
            references[k][c] = static_cast<float>(value);
        }
    }
    return references;
}

py::sequence requireSequence(const py::handle& object, std::size_t count, const std::string& what,
                             const std::string& form) {
    if (py::isinstance<py::str>(object) || !PySequence_Check(object.ptr())) {
        throw py::type_error(what + " must be " + form + ", not " + typeName(object));
    }
    const auto items = py::reinterpret_borrow<py::sequence>(object);
    if (items.size() != count) {
        throw py::value_error(what + " must be " + form + ", not " + std::to_string(items.size()) +
                              " values");
    }
    return items;
}

long long toInteger(const py::handle& object, long long lo, long long hi, const std::string& what) {
    const std::string form = what + " must be an integer";
    PyObject* index = PyNumber_Index(object.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        throw py::type_error(form + ", not " + typeName(object));
    }
    const auto value = py::reinterpret_steal<py::int_>(index);
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || result < lo || result > hi) {
        throw py::value_error(what + " is " + std::string(py::str(static_cast<py::handle>(value))) +
                              " (expected " + std::to_string(lo) + ".." + std::to_string(hi) + ")");
    }
    return result;
}

double toNumber(const py::handle& object, double lo, double hi, const std::string& what) {
    if (py::isinstance<py::str>(object) || !PyNumber_Check(object.ptr())) {
        throw py::type_error(what + " must be a number, not " + typeName(object));
    }
    PyObject* number = PyNumber_Float(object.ptr());
    if (number == nullptr) {
        PyErr_Clear();
        throw py::type_error(what + " must be a number, not " + typeName(object));
    }
    const double value = py::reinterpret_steal<py::float_>(number);
    if (!(value >= lo && value <= hi)) {
        throw py::value_error(what + " is " + numberText(value) + " (expected a number within " +
                              numberText(lo) + ".." + numberText(hi) + ")");
    }
    return value;
}

cv::Rect toRoi(const py::handle& object, cv::Size size, const std::string& what) {
    const py::sequence items =
        requireSequence(object, 4, what, "four integers (x, y, width, height)");
    std::array<long long, 4> v{};
    for (std::size_t i = 0; i < 4; ++i) {
        v[i] = toInteger(items[i], LLONG_MIN, LLONG_MAX, what + "[" + std::to_string(i) + "]");
    }
    const std::string text = "(" + std::to_string(v[0]) + ", " + std::to_string(v[1]) + ", " +
                             std::to_string(v[2]) + ", " + std::to_string(v[3]) + ")";
    if (v[2] < 1 || v[3] < 1) {
        throw py::value_error(what + " " + text + " must have a positive width and height");
    }
    if (v[0] < 0 || v[1] < 0 || v[2] > size.width || v[3] > size.height ||
        v[0] > size.width - v[2] || v[1] > size.height - v[3]) {
        throw py::value_error(what + " " + text + " lies outside the photo (" + sizeText(size) +
                              ")");
    }
    return {static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
            static_cast<int>(v[3])};
}

std::array<double, 3> toTriple(const py::handle& object, ChannelOrder order, double lo, double hi,
                               const std::string& what) {
    const py::sequence items = requireSequence(object, 3, what, "three numbers");
    std::array<double, 3> values{};
    for (std::size_t i = 0; i < 3; ++i) {
        values[i] = toNumber(items[i], lo, hi, what + "[" + std::to_string(i) + "]");
    }
    if (order == ChannelOrder::eRgb) {
        std::swap(values[0], values[2]);
    }
    return values;
}

py::array tripleArray(const std::array<double, 3>& bgr, ChannelOrder order) {
    py::array_t<double> out(3);
    double* v = out.mutable_data();
    for (int c = 0; c < 3; ++c) {
        v[c] = order == ChannelOrder::eBgr ? bgr[c] : bgr[2 - c];
    }
    return out;
}

}  // namespace ColorCalPy
