#include "PhotoFiles.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <exception>
#include <filesystem>
#include <map>
#include <set>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "CalibrationExport.h"
#include "FrontendError.h"
#include "ImageConversion.h"
#include "Messages.h"
#include "PhotoMetadata.h"
#include "SafeFiles.h"

namespace ColorCalFrontend {

namespace fs = std::filesystem;

namespace {

std::string lowerExtension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

bool isJpeg(const std::string& ext) { return ext == ".jpg" || ext == ".jpeg" || ext == ".jpe"; }
bool isTiff(const std::string& ext) { return ext == ".tif" || ext == ".tiff"; }

/// Throws when a JPEG or PNG file lacks its end marker: the decoders fill a
/// photo cut short with grey and say so only on standard error.
void requireComplete(const std::string& path) {
    std::array<unsigned char, 8> head{};
    std::vector<unsigned char> tail;
    ColorCalCli::useRegularFile(path, "photo", [&](int fd, std::uint64_t size) {
        ColorCalCli::readAt(fd, 0, head.data(), head.size());
        const std::uint64_t count = std::min<std::uint64_t>(size, 65536);
        tail.resize(count);
        tail.resize(ColorCalCli::readAt(fd, size - count, tail.data(), tail.size()));
    });
    const auto contains = [&tail](std::initializer_list<unsigned char> pattern) {
        return std::search(tail.begin(), tail.end(), pattern.begin(), pattern.end()) != tail.end();
    };
    const bool jpeg = head[0] == 0xFF && head[1] == 0xD8;
    const bool png = head[0] == 0x89 && head[1] == 'P' && head[2] == 'N' && head[3] == 'G';
    if ((jpeg && !contains({0xFF, 0xD9})) || (png && !contains({'I', 'E', 'N', 'D'}))) {
        throw FrontendError("cannot read the photo " + quotedPath(path) +
                            ": it is damaged or cut short (no end marker)");
    }
}

/// The corrected image in a depth and channel count the output format holds.
cv::Mat forFormat(const cv::Mat& corrected, const std::string& ext, bool unitScale) {
    cv::Mat image = corrected;
    const int depth = image.depth();
    if (isJpeg(ext)) {
        if (image.channels() == 4) {
            cv::cvtColor(image, image, cv::COLOR_BGRA2BGR);
        }
        if (depth == CV_16U) {
            image.convertTo(image, CV_8U, 255.0 / 65535.0);
        } else if (depth == CV_32F) {
            image.convertTo(image, CV_8U, unitScale ? 255.0 : 1.0);
        }
    } else if (ext == ".png" && depth == CV_32F) {
        image.convertTo(image, CV_16U, unitScale ? 65535.0 : 65535.0 / 255.0);
    }
    return image;
}

bool writePhoto(const std::string& path, const std::string& ext, const cv::Mat& image) {
    std::vector<int> params;
    if (isJpeg(ext)) {
        params = {cv::IMWRITE_JPEG_QUALITY, 95};
    } else if (isTiff(ext)) {
        // LZW keeps float values exact (OpenCV's default for float is lossy).
        constexpr int kTiffCompressionLzw = 5;
        params = {cv::IMWRITE_TIFF_COMPRESSION, kTiffCompressionLzw};
    }
    try {
        return cv::imwrite(path, image, params);
    } catch (const cv::Exception&) {
        return false;
    }
}

/// A file's identity on disk, when it exists.
std::optional<std::pair<dev_t, ino_t>> identity(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return std::make_pair(info.st_dev, info.st_ino);
}

fs::path place(const std::string& path) {
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(fs::path(path), error);
    if (error) {
        resolved = fs::absolute(fs::path(path), error).lexically_normal();
    }
    return resolved;
}

}  // namespace

std::optional<PhotoFormat> photoFormatOfName(const std::string& name) {
    if (name == "png") return PhotoFormat::ePng;
    if (name == "jpg" || name == "jpeg") return PhotoFormat::eJpeg;
    if (name == "tiff" || name == "tif") return PhotoFormat::eTiff;
    return std::nullopt;
}

std::string correctedPhotoName(const std::string& input, const std::string& outDir,
                               PhotoFormat format) {
    fs::path name = fs::path(input).filename();
    switch (format) {
        case PhotoFormat::ePng:
            name.replace_extension(".png");
            break;
        case PhotoFormat::eJpeg:
            name.replace_extension(".jpg");
            break;
        case PhotoFormat::eTiff:
            name.replace_extension(".tif");
            break;
        case PhotoFormat::eSame:
            break;
    }
    return (fs::path(outDir) / name).string();
}

void requireDistinctOutputs(const std::vector<PhotoJob>& jobs,
                            const std::vector<std::string>& otherInputs) {
    std::map<std::pair<dev_t, ino_t>, std::string> inputFiles;
    std::map<fs::path, std::string> inputPlaces;
    const auto addInput = [&](const std::string& path) {
        if (const auto id = identity(path)) inputFiles.emplace(*id, path);
        inputPlaces.emplace(place(path), path);
    };
    for (const PhotoJob& job : jobs) addInput(job.input);
    for (const std::string& path : otherInputs) {
        if (!path.empty()) addInput(path);
    }
    std::map<fs::path, std::string> outputPlaces;
    for (const PhotoJob& job : jobs) {
        const auto clash = [&job](const std::string& other, const char* kind) {
            return FrontendError("the output " + quotedPath(job.output) + " and the " + kind + " " +
                                 quotedPath(other) + " are the same file");
        };
        const fs::path where = place(job.output);
        if (const auto id = identity(job.output)) {
            const auto it = inputFiles.find(*id);
            if (it != inputFiles.end()) throw clash(it->second, "input");
        }
        if (const auto it = inputPlaces.find(where); it != inputPlaces.end()) {
            throw clash(it->second, "input");
        }
        if (const auto [it, added] = outputPlaces.emplace(where, job.output); !added) {
            throw FrontendError("two photos would be written to " + quotedPath(job.output) +
                                " (photos of one name from different folders; correct them "
                                "into separate folders)");
        }
        std::error_code error;
        if (fs::is_directory(job.output, error)) {
            throw FrontendError("cannot write " + quotedPath(job.output) + ": it is a directory");
        }
        const fs::path target(job.output);
        const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
        if (!fs::is_directory(folder, error)) {
            throw FrontendError("cannot write " + quotedPath(job.output) + ": the folder " +
                                quotedPath(folder.string()) + " does not exist");
        }
    }
}

void applyToPhotoFile(const PhotoJob& job, const ApplySettings& settings,
                      std::mutex& metadataLock) {
    const CorrectionModel& model = *settings.model;
    cv::Mat photo;
    try {
        requireComplete(job.input);
        photo = ColorCalCli::readImageFile(job.input, "photo", settings.maxMegapixels, false);
    } catch (const FrontendError&) {
        throw;
    } catch (const std::exception&) {
        throw FrontendError(ColorCalCli::describeCurrentException("reading the photo"));
    }
    if (!settings.white.empty() && photo.size() != settings.white.size()) {
        throw FrontendError("the photo " + quotedPath(job.input) + " is " +
                            std::to_string(photo.cols) + " x " + std::to_string(photo.rows) +
                            ", the white image " + std::to_string(settings.white.cols) + " x " +
                            std::to_string(settings.white.rows) +
                            " (the flat-field needs photos of its size)");
    }
    bool unitScale = false;
    if (photo.depth() == CV_32F) {
        double lo = 0.0;
        double hi = 0.0;
        cv::minMaxLoc(photo.reshape(1), &lo, &hi);
        unitScale = hi <= 1.0;
    }
    cv::Mat corrected;
    try {
        corrected = model.correct(photo, settings.white);
    } catch (const FrontendError& error) {
        throw FrontendError("the photo " + quotedPath(job.input) + ": " + error.what());
    }
    photo.release();
    const std::string ext = lowerExtension(job.output);
    const cv::Mat image = forFormat(corrected, ext, unitScale);
    const bool linear = model.calibration().outputLinear();
    const std::vector<unsigned char> profile =
        holdsMetadata(ext) ? makeOutputSpaceProfile(linear) : std::vector<unsigned char>();
    try {
        ColorCalCli::writeOutputFile(job.output, "corrected photo", [&](const std::string& path) {
            if (!writePhoto(path, ext, image)) {
                throw FrontendError("OpenCV cannot write this image (" +
                                    std::to_string(image.channels()) + " channels of " +
                                    (image.depth() == CV_8U    ? "8"
                                     : image.depth() == CV_16U ? "16"
                                                               : "32-bit float") +
                                    (image.depth() == CV_32F ? "" : "-bit") +
                                    " values) in this format; choose one with --format");
            }
            carryMetadata(job.input, path, ext, linear, profile, metadataLock);
            return true;
        });
    } catch (const std::exception& error) {
        throw FrontendError(error.what());
    }
}

std::vector<std::string> applyToPhotoFiles(const std::vector<PhotoJob>& jobs,
                                           const ApplySettings& settings,
                                           const std::function<void(std::size_t)>& done) {
    std::vector<std::string> errors(jobs.size());
    std::mutex metadataLock;
    std::mutex progressLock;
    std::size_t finished = 0;
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, jobs.size(), 1),
        [&](const tbb::blocked_range<std::size_t>& range) {
            for (std::size_t i = range.begin(); i != range.end(); ++i) {
                try {
                    applyToPhotoFile(jobs[i], settings, metadataLock);
                } catch (const FrontendError& error) {
                    errors[i] = error.what();
                } catch (...) {
                    errors[i] = ColorCalCli::describeCurrentException("correcting the photo " +
                                                                      quotedPath(jobs[i].input));
                }
                const std::lock_guard<std::mutex> guard(progressLock);
                ++finished;
                if (done) done(finished);
            }
        },
        tbb::simple_partitioner());
    return errors;
}

}  // namespace ColorCalFrontend
