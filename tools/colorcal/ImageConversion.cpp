#include "ImageConversion.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "CommandLine.h"
#include "ImageHeader.h"
#include "Messages.h"
#include "SafeFiles.h"

namespace ColorCalCli {

namespace {

std::string lowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

std::string pixelsText(std::uint64_t width, std::uint64_t height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

}  // namespace

cv::Mat readImageFile(const std::string& path, const std::string& what, double maxMegapixels,
                      bool captureDecoderMessages) {
    const std::string fail = "cannot read the " + what + " " + quoteName(path) + ": ";
    const auto requireWithinLimit = [&](std::uint64_t width, std::uint64_t height) {
        if (static_cast<double>(width) * static_cast<double>(height) > maxMegapixels * 1e6) {
            char limit[32];
            std::snprintf(limit, sizeof limit, "%g", maxMegapixels);
            throw UsageError(fail + "it is " + pixelsText(width, height) + ", over the " + limit +
                             " MP limit (--max-megapixels)");
        }
    };
    cv::Mat raw;
    std::string complaints;
    useRegularFile(path, what, [&](int fd, std::uint64_t) {
        const std::optional<ImageDimensions> declared =
            probeImageDimensions([fd](std::uint64_t offset, unsigned char* out, std::size_t count) {
                return readAt(fd, offset, out, count);
            });
        if (declared) {
            requireWithinLimit(declared->width, declared->height);
        }
        // The decoder opens the very file checked above, through its descriptor.
        const std::string byDescriptor = "/proc/self/fd/" + std::to_string(fd);
        const bool viaDescriptor = ::access(byDescriptor.c_str(), F_OK) == 0;
        const auto outOfMemory = [&] {
            return UsageError(
                fail + "not enough memory to decode it" +
                (declared ? " (" + pixelsText(declared->width, declared->height) + " pixels)"
                          : std::string()));
        };
        const auto decode = [&] {
            raw = cv::imread(viaDescriptor ? byDescriptor : path, cv::IMREAD_UNCHANGED);
        };
        try {
            // Codec libraries print to standard error; their words stay out of the tool's.
            if (captureDecoderMessages) {
                complaints = captureStandardError(decode);
            } else {
                decode();
            }
        } catch (const std::bad_alloc&) {
            throw outOfMemory();
        } catch (const cv::Exception& error) {
            if (error.code == cv::Error::StsNoMem) {
                throw outOfMemory();
            }
            throw UsageError(fail + "OpenCV could not decode it (damaged, or over its own limits)");
        }
        if (!raw.empty() && !complaints.empty()) {
            std::cerr << "colorcal: warning: the " << what << " " << quoteName(path)
                      << ": the decoder warned about it (the file may be damaged or cut short)\n";
        }
    });
    if (raw.empty()) {
        throw UsageError(fail + (complaints.empty() ? "not an image OpenCV can decode"
                                                    : "it is damaged or cut short"));
    }
    requireWithinLimit(static_cast<std::uint64_t>(raw.cols), static_cast<std::uint64_t>(raw.rows));
    return raw;
}

LoadedImage toLibraryScale(const cv::Mat& raw, const std::string& what) {
    if (raw.empty() || raw.dims != 2) {
        throw UsageError(what + " holds no pixels");
    }
    cv::Mat three;
    switch (raw.channels()) {
        case 1:
            cv::cvtColor(raw, three, cv::COLOR_GRAY2BGR);
            break;
        case 3:
            three = raw;
            break;
        case 4:
            cv::cvtColor(raw, three, cv::COLOR_BGRA2BGR);
            break;
        default:
            throw UsageError(what + " has " + std::to_string(raw.channels()) +
                             " channels (expected 1, 3 or 4)");
    }
    LoadedImage loaded;
    loaded.sourceDepth = three.depth();
    switch (three.depth()) {
        case CV_8U:
            three.convertTo(loaded.bgr, CV_32FC3);
            break;
        case CV_16U:
            three.convertTo(loaded.bgr, CV_32FC3, 255.0 / 65535.0);
            break;
        case CV_32F:
        case CV_64F: {
            loaded.sourceDepth = CV_32F;
            if (!cv::checkRange(three, true, nullptr, -1e30, 1e30)) {
                throw UsageError(what + " holds values that are not finite");
            }
            double lo = 0.0;
            double hi = 0.0;
            cv::minMaxLoc(three.reshape(1), &lo, &hi);
            three.convertTo(loaded.bgr, CV_32FC3, hi <= 1.0 ? 255.0 : 1.0);
            break;
        }
        default:
            throw UsageError(what +
                             " has an unsupported pixel type (expected 8-bit, 16-bit or float)");
    }
    return loaded;
}

LoadedImage loadColorImage(const std::string& path, const std::string& what, double maxMegapixels) {
    return toLibraryScale(readImageFile(path, what, maxMegapixels, true),
                          "the " + what + " " + quoteName(path));
}

cv::Mat loadMask(const std::string& path, const std::string& what, double maxMegapixels) {
    const cv::Mat raw = readImageFile(path, what, maxMegapixels, true);
    if (raw.depth() != CV_8U || raw.dims != 2) {
        throw UsageError("the " + what + " " + quoteName(path) + " is not an 8-bit image");
    }
    if (raw.channels() == 1) {
        return raw;
    }
    std::vector<cv::Mat> planes;
    cv::split(raw, planes);
    cv::Mat mask = cv::Mat::zeros(raw.size(), CV_8U);
    for (const cv::Mat& plane : planes) {
        mask |= plane;
    }
    return mask;
}

void requireImageFormat(const std::string& option, const std::string& path) {
    if (path.empty()) {
        return;
    }
    bool known = false;
    try {
        known = cv::haveImageWriter(path);
    } catch (const cv::Exception&) {
        known = false;
    }
    if (!known) {
        throw UsageError(option + " " + quoteName(path) +
                         ": no image format for this name (use .png, .jpg, .tif, ...)");
    }
}

bool writeFloatTiff(const std::string& path, const cv::Mat& image) {
    // OpenCV compresses float TIFFs with the lossy LogLuv scheme unless told
    // otherwise, which changes values by about 1 %; LZW keeps them exact.
    constexpr int kTiffCompressionLzw = 5;
    try {
        return cv::imwrite(path, image, {cv::IMWRITE_TIFF_COMPRESSION, kTiffCompressionLzw});
    } catch (const cv::Exception&) {
        return false;
    }
}

bool writeImage(const std::string& path, const cv::Mat& image, bool sixteenBit) {
    const std::string ext = lowerExtension(path);
    try {
        if (ext == ".tif" || ext == ".tiff") {
            return writeFloatTiff(path, image);
        }
        cv::Mat out;
        if (sixteenBit && (ext == ".png" || ext == ".pgm" || ext == ".ppm")) {
            image.convertTo(out, CV_16UC3, 65535.0 / 255.0);
        } else {
            image.convertTo(out, CV_8UC3);
        }
        return cv::imwrite(path, out);
    } catch (const cv::Exception&) {
        return false;
    }
}

}  // namespace ColorCalCli
