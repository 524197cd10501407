#pragma once

#include <array>
#include <optional>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <opencv2/core.hpp>

#include "ImageConversion.h"
#include "ReferenceCsv.h"

/// Checks and conversions of the Python module's arguments. Every function
/// raises a Python TypeError (wrong kind of object or dtype) or ValueError
/// (wrong shape, size or value) whose message starts with `what`, the
/// function and argument ("calibrate(): photo"). Nothing the caller passes is
/// written to; the results own their memory. Call with the GIL held.
namespace ColorCalPy {

namespace py = pybind11;

/// Channel order of the caller's arrays and colour triples.
enum class ChannelOrder { eBgr, eRgb };

/// "bgr" or "rgb".
ChannelOrder parseChannelOrder(const std::string& name, const std::string& what);

/// An image argument: the numpy array H x W x 3 of uint8, uint16 or float32
/// (any strides and byte order), kept alive, with its pixel type.
struct ImageArray {
    py::array array;  ///< C-contiguous, native byte order
    int depth = CV_8U;
    cv::Size size() const;
};

/// Checks an image argument without converting its values.
ImageArray requireImage(const py::handle& object, const std::string& what);

/// The image on the library's scale, blue-green-red: 8-bit values kept,
/// 16-bit scaled by 255/65535, float images whose values all lie within 0..1
/// scaled by 255, other float images taken as they are (the tool's rules for
/// image files). Raises ValueError when a float image holds NaN or infinity.
ColorCalCli::LoadedImage toLibraryImage(const ImageArray& image, ChannelOrder order,
                                        const std::string& what);

/// Whether a float32 image's values all lie within 0..1 (the scale an
/// output in that dtype is given back on).
bool isUnitScale(const ImageArray& image);

/// A new numpy array of `dtype` (uint8, uint16 or float32 as `depth`)
/// holding `image` (CV_32FC3 on the library's scale, blue-green-red) in the
/// given channel order: rounded and saturated for the integer types
/// (scaled by 65535/255 for uint16), divided by 255 for float32 when
/// `unitScale`. Releases the GIL while it converts.
py::array fromLibraryImage(const cv::Mat& image, int depth, bool unitScale, ChannelOrder order);

/// A read-only numpy array H x W x 3 float32 viewing `image` (CV_32FC3,
/// continuous) without a copy; the array keeps `owner`, which must keep the
/// pixels unchanged and alive, alive.
py::array viewImage(const cv::Mat& image, const py::handle& owner);

/// A support mask: a 2-D numpy array of uint8 or bool of `size`, copied.
cv::Mat toSupportMask(const py::handle& object, cv::Size size, const std::string& what);

/// 20 x 3 finite numbers within 0..255 (an array-like), in reference order.
ColorCalCli::ReferenceColors toReferences(const py::handle& object, const std::string& what);

/// (x, y, width, height) of integers lying inside an image of `size`, with a
/// positive width and height.
cv::Rect toRoi(const py::handle& object, cv::Size size, const std::string& what);

/// Three finite numbers within `lo`..`hi`, returned in blue-green-red order.
std::array<double, 3> toTriple(const py::handle& object, ChannelOrder order, double lo, double hi,
                               const std::string& what);

/// The items of a sequence of `count` values (not a string): TypeError for
/// another kind of object, ValueError for another length. `form` says what
/// is expected ("four integers (x, y, width, height)").
py::sequence requireSequence(const py::handle& object, std::size_t count, const std::string& what,
                             const std::string& form);

/// A finite number within `lo`..`hi`.
double toNumber(const py::handle& object, double lo, double hi, const std::string& what);

/// A Python integer within `lo`..`hi`.
long long toInteger(const py::handle& object, long long lo, long long hi, const std::string& what);

/// A numpy array of three doubles in the given channel order from a
/// blue-green-red triple.
py::array tripleArray(const std::array<double, 3>& bgr, ChannelOrder order);

}  // namespace ColorCalPy
