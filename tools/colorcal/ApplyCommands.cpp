#include "ApplyCommands.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "CalibrationExport.h"
#include "CalibrationFile.h"
#include "FrontendError.h"
#include "ImageConversion.h"
#include "Messages.h"
#include "PhotoCorrection.h"
#include "PhotoFiles.h"
#include "SafeFiles.h"

namespace ColorCalCli {

namespace {

namespace fs = std::filesystem;
using namespace ColorCalFrontend;

/// Runs `work`, turning the front end's errors into the tool's usage errors.
template <typename Work>
auto usage(Work work) -> decltype(work()) {
    try {
        return work();
    } catch (const FrontendError& error) {
        throw UsageError(error.what());
    }
}

/// A progress bar on a terminal's file descriptor: "apply [#####     ] 12/50".
class ProgressBar {
  public:
    ProgressBar(int fd, std::size_t total) : m_fd(fd), m_total(total) {}
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    ~ProgressBar() {
        if (m_fd >= 0) {
            // Clears the bar's line.
            write("\r\x1b[K");
            ::close(m_fd);
        }
    }
    void show(std::size_t done) {
        if (m_fd < 0) return;
        constexpr std::size_t kWidth = 30;
        const std::size_t filled = m_total == 0 ? kWidth : kWidth * done / m_total;
        write("\rapply [" + std::string(filled, '#') + std::string(kWidth - filled, ' ') + "] " +
              std::to_string(done) + "/" + std::to_string(m_total) + " photos");
    }

  private:
    void write(const std::string& text) const {
        std::size_t written = 0;
        while (written < text.size()) {
            const ssize_t n = ::write(m_fd, text.data() + written, text.size() - written);
            if (n <= 0) return;
            written += static_cast<std::size_t>(n);
        }
    }
    int m_fd;
    std::size_t m_total;
};

/// The first line of `text`, escaped and shortened, for a warning.
std::string firstLine(const std::string& text) {
    const std::string line = text.substr(0, text.find('\n'));
    return escapeText(line.substr(0, 160));
}

}  // namespace

void writeCalibrationExports(const std::string& calibrationJson, const std::string& icc,
                             const std::string& cube, int cubeSize) {
    const CalibrationData data = usage([&] { return parseCalibration(calibrationJson); });
    if (!icc.empty()) {
        const std::vector<unsigned char> profile =
            usage([&] { return makeIccProfile(data, todayDate()); });
        writeOutputFile(icc, "ICC profile", [&profile](const std::string& path) {
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(profile.data()),
                       static_cast<std::streamsize>(profile.size()));
            file.close();
            return !file.fail();
        });
    }
    if (!cube.empty()) {
        writeTextOutput(cube, usage([&] { return formatCube(data, cubeSize); }), ".cube file");
    }
}

int runExport(const ExportOptions& o, std::ostream& out) {
    requireUsableOutputs({{"--calibration", o.calibration}},
                         {{"--icc", o.icc}, {"--cube", o.cube}});
    const std::string json =
        readSmallFile(o.calibration, "calibration file", kMaxCalibrationFileBytes);
    try {
        parseCalibration(json);
    } catch (const FrontendError& error) {
        throw UsageError("calibration file " + quoteName(o.calibration) + ": " + error.what());
    }
    writeCalibrationExports(json, o.icc, o.cube, o.cubeSize);
    if (!o.icc.empty()) {
        out << "ICC profile: " << escapeText(o.icc) << "\n";
    }
    if (!o.cube.empty()) {
        out << ".cube 3D LUT (" << o.cubeSize << " points per axis): " << escapeText(o.cube)
            << "\n";
    }
    return 0;
}

int runApply(const ApplyOptions& o, std::ostream& out) {
    const CalibrationData calibration = usage([&] { return readCalibrationFile(o.calibration); });
    const CorrectionModel model(calibration);
    const PhotoFormat format = o.format.empty() ? PhotoFormat::eSame : *photoFormatOfName(o.format);

    std::vector<PhotoJob> jobs;
    if (!o.out.empty()) {
        requireImageFormat("--out", o.out);
        jobs.push_back({o.photos.front(), o.out});
    } else {
        std::error_code error;
        fs::create_directories(o.outDir, error);
        if (error || !fs::is_directory(o.outDir)) {
            throw UsageError("cannot create the output folder " + quoteName(o.outDir));
        }
        for (const std::string& photo : o.photos) {
            jobs.push_back({photo, correctedPhotoName(photo, o.outDir, format)});
        }
    }
    usage([&] { requireDistinctOutputs(jobs, {o.calibration, o.white}); });

    ApplySettings settings;
    settings.model = &model;
    settings.format = format;
    settings.maxMegapixels = o.maxMegapixels;
    if (!o.white.empty()) {
        const cv::Mat white = readImageFile(o.white, "white image", o.maxMegapixels, true);
        if (white.type() != CV_32FC3) {
            throw UsageError("the white image " + quoteName(o.white) +
                             " is not a 3-channel 32-bit float image (use the file "
                             "calibrate --white-out writes)");
        }
        if (white.size() != calibration.imageSize) {
            throw UsageError("the white image " + quoteName(o.white) + " is " +
                             std::to_string(white.cols) + " x " + std::to_string(white.rows) +
                             ", the calibrated photo " +
                             std::to_string(calibration.imageSize.width) + " x " +
                             std::to_string(calibration.imageSize.height) +
                             " (a white image of another calibration?)");
        }
        settings.white = usage([&] {
            try {
                return model.workingWhite(white);
            } catch (const FrontendError& error) {
                throw FrontendError("the white image " + quoteName(o.white) + ": " + error.what());
            }
        });
    }

    // The codecs and the metadata library print warnings straight to standard
    // error; during the batch they are collected and summed up afterwards, and
    // the progress bar goes to the terminal directly.
    const bool showProgress = !o.quiet && ::isatty(STDERR_FILENO) != 0;
    std::vector<std::string> errors;
    std::string warnings;
    {
        ProgressBar bar(showProgress ? ::dup(STDERR_FILENO) : -1, jobs.size());
        bar.show(0);
        warnings = captureStandardError([&] {
            errors =
                applyToPhotoFiles(jobs, settings, [&bar](std::size_t done) { bar.show(done); });
        });
    }
    std::size_t failed = 0;
    for (const std::string& error : errors) {
        if (!error.empty()) {
            ++failed;
            std::cerr << "colorcal: error: " << error << "\n";
        }
    }
    if (!warnings.empty()) {
        std::cerr << "colorcal: warning: the image decoders or the metadata library complained "
                     "about a file (it may be damaged): "
                  << firstLine(warnings) << "\n";
    }
    if (!o.quiet) {
        out << "apply: corrected " << (jobs.size() - failed) << " of " << jobs.size()
            << (jobs.size() == 1 ? " photo" : " photos") << " into "
            << escapeText(o.out.empty() ? o.outDir : o.out)
            << (settings.white.empty() ? " (matrix only, no --white)" : " (flat-field and matrix)");
        if (failed > 0) {
            out << "; " << failed << " failed (listed above)";
        }
        out << "\n";
    }
    return failed > 0 ? 1 : 0;
}

}  // namespace ColorCalCli
