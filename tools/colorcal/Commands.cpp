#include "Commands.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "ApplyCommands.h"
#include "CalibrationSummary.h"
#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"
#include "ImageConversion.h"
#include "Messages.h"
#include "Report.h"
#include "SafeFiles.h"
#include "SyntheticPhoto.h"

namespace ColorCalCli {

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool needsExternalWhite(EChart chart) {
    return chart == EChart::eCCTXRite || chart == EChart::eQCCXRite;
}

void writeImageOutput(const std::string& path, const cv::Mat& image, bool sixteenBit,
                      const std::string& what) {
    writeOutputFile(path, what, [&](const std::string& writePath) {
        return writeImage(writePath, image, sixteenBit);
    });
}

std::string sizeText(const cv::Size& size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

}  // namespace

CalibrateRun runCalibrate(const CalibrateOptions& o, std::ostream& out, bool printJson) {
    const Clock::time_point start = Clock::now();
    requireUsableOutputs({{"--image", o.image},
                          {"--reference", o.reference},
                          {"--support", o.support},
                          {"--external-white", o.externalWhite}},
                         {{"--json", o.json},
                          {"--white-out", o.whiteOut},
                          {"--corrected-out", o.correctedOut},
                          {"--report", o.report},
                          {"--icc", o.icc},
                          {"--cube", o.cube}});
    requireImageFormat("--corrected-out", o.correctedOut);
    requireImageFormat("--report", o.report);
    const ReferenceColors fileReferences = readReferenceCsv(o.reference);
    const LoadedImage photo = loadColorImage(o.image, "photo", o.maxMegapixels);
    const cv::Size size = photo.bgr.size();

    if (o.roi) {
        const cv::Rect& roi = *o.roi;
        if (static_cast<long long>(roi.x) + roi.width > size.width ||
            static_cast<long long>(roi.y) + roi.height > size.height) {
            throw UsageError("--roi " + std::to_string(roi.x) + "," + std::to_string(roi.y) + "," +
                             std::to_string(roi.width) + "," + std::to_string(roi.height) +
                             " lies outside the photo (" + sizeText(size) + ")");
        }
    }

    DataLayer::PhotoCalibrationRequest request;
    request.chart = o.chart;
    request.photo = photo.bgr;
    request.sourceDepth = photo.sourceDepth;
    request.roi = o.roi;
    if (!o.support.empty()) {
        request.support = loadMask(o.support, "support mask", o.maxMegapixels);
        if (request.support.size() != size) {
            throw UsageError("the support mask " + quoteName(o.support) + " is " +
                             sizeText(request.support.size()) + ", the photo " + sizeText(size));
        }
    }
    if (needsExternalWhite(o.chart) && o.externalWhite.empty()) {
        throw UsageError("calibrate: chart type " + chartName(o.chart) +
                         " needs --external-white (its white comes from a separate white image)");
    }
    if (!o.externalWhite.empty()) {
        const LoadedImage white =
            loadColorImage(o.externalWhite, "external white image", o.maxMegapixels);
        if (white.bgr.size() != size) {
            throw UsageError("the external white image " + quoteName(o.externalWhite) + " is " +
                             sizeText(white.bgr.size()) + ", the photo " + sizeText(size));
        }
        request.externalWhite = white.bgr;
    }
    request.realWhiteBgr = o.realWhiteBgr;
    request.referencesRgb = fileReferences;
    request.encoding = o.encoding;
    request.linearRgb = o.linearRgb;
    const double loadMs = millisecondsSince(start);

    const DataLayer::PhotoCalibrationResult result = DataLayer::calibratePhoto(request);
    const Encoding encoding = result.encoding;
    CalibrateRun run;
    run.summary = summarize(result, fileReferences, o.chart, size);
    run.summary.timingsMs.insert(run.summary.timingsMs.begin(), {"load", loadMs});

    const Clock::time_point outputsStart = Clock::now();
    if (result.ok()) {
        if (!o.whiteOut.empty()) {
            const cv::Mat white = DataLayer::Color::toPhotoEncoding(result.whiteImage, encoding);
            writeOutputFile(o.whiteOut, "white image",
                            [&](const std::string& path) { return writeFloatTiff(path, white); });
        }
        if (!o.correctedOut.empty()) {
            const cv::Mat corrected = DataLayer::correctedPhoto(photo.bgr, result);
            writeImageOutput(o.correctedOut, corrected, photo.sourceDepth == CV_16U,
                             "corrected image");
        }
        if (!o.icc.empty() || !o.cube.empty()) {
            writeCalibrationExports(formatSummaryJson(run.summary), o.icc, o.cube, o.cubeSize);
        }
    }
    // The report is written for a failed run too: it shows the photo and the reason.
    if (!o.report.empty()) {
        ReportImages images;
        const cv::Mat display = encoding == Encoding::eLinear
                                    ? DataLayer::Color::srgbEncodeImage(photo.bgr)
                                    : photo.bgr;
        display.convertTo(images.photoDisplay, CV_8UC3);
        images.labels = result.labels;
        images.whiteImage = result.whiteImage;
        images.whiteLinear = encoding != Encoding::eNone || o.linearRgb;
        writeImageOutput(o.report, renderReport(run.summary, images), false, "report");
    }
    run.summary.timingsMs.emplace_back("outputs", millisecondsSince(outputsStart));
    run.summary.timingsMs.emplace_back("total", millisecondsSince(start));

    const std::string json = formatSummaryJson(run.summary);
    if (!o.json.empty()) {
        writeTextOutput(o.json, json, "JSON result");
    } else if (printJson) {
        out << json;
    }
    run.exitCode = result.ok() ? 0 : 1;
    return run;
}

int runRender(const RenderCommandOptions& o, std::ostream& out) {
    requireUsableOutputs({}, {{"--out", o.out},
                              {"--reference-out", o.referenceOut},
                              {"--truth-out", o.truthOut},
                              {"--white-out", o.whiteOut}});
    requireImageFormat("--out", o.out);
    const ChartSynth::RenderOptions options = makeRenderOptions(o);
    ChartSynth::RenderedChart rendered;
    try {
        rendered = ChartSynth::renderChart(options);
    } catch (...) {
        const std::string size =
            o.width > 0 ? std::to_string(o.width) + " x " + std::to_string(o.height) + " " : "";
        throw UsageError(describeCurrentException("a " + size + "render"));
    }
    writeImageOutput(o.out, rendered.photo, false, "photo");
    writeTextOutput(o.referenceOut,
                    formatReferenceCsv(options.referenceRgb,
                                       "reference colours of a synthetic " + chartName(o.chart) +
                                           " chart, seed " + std::to_string(o.seed) +
                                           ", encoding " + encodingName(o.encoding)),
                    "reference file");
    if (!o.truthOut.empty()) {
        writeTextOutput(o.truthOut, formatTruthJson(rendered, options), "ground truth");
    }
    if (!o.whiteOut.empty()) {
        writeOutputFile(o.whiteOut, "white image", [&](const std::string& path) {
            return writeFloatTiff(path, rendered.whiteField);
        });
    }
    out << "rendered a " << chartName(o.chart) << " chart photo of "
        << sizeText(rendered.photo.size()) << " to " << escapeText(o.out)
        << " (references: " << escapeText(o.referenceOut) << ")\n";
    return 0;
}

int runDemo(const DemoOptions& o, std::ostream& out) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(o.outDir, error);
    if (error || !fs::is_directory(o.outDir)) {
        throw UsageError("cannot create the output folder " + quoteName(o.outDir));
    }
    const fs::path dir(o.outDir);
    RenderCommandOptions render;
    render.chart = o.chart;
    render.rotationDeg = 3.0;
    render.falloff = 0.3;
    render.noise = 1.5;
    render.encoding = Encoding::eSrgb;
    render.out = (dir / "photo.png").string();
    render.referenceOut = (dir / "reference.csv").string();
    render.truthOut = (dir / "truth.json").string();
    ChartSynth::RenderOptions options = makeRenderOptions(render);
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    const ChartSynth::RenderedChart rendered = ChartSynth::renderChart(options);
    writeImageOutput(render.out, rendered.photo, false, "photo");
    writeTextOutput(
        render.referenceOut,
        formatReferenceCsv(options.referenceRgb, "the demo chart's reference colours (sRGB)"),
        "reference file");
    writeTextOutput(render.truthOut, formatTruthJson(rendered, options), "ground truth");

    CalibrateOptions calibrate;
    calibrate.chart = o.chart;
    calibrate.image = render.out;
    calibrate.reference = render.referenceOut;
    if (needsExternalWhite(o.chart)) {
        calibrate.externalWhite = (dir / "white.tiff").string();
        writeOutputFile(calibrate.externalWhite, "white image", [&](const std::string& path) {
            return writeFloatTiff(path, rendered.whiteField);
        });
    }
    // As a user would: no region, the card is located and its ground is the
    // white estimate's support.
    calibrate.encoding = Encoding::eSrgb;
    calibrate.json = (dir / "result.json").string();
    calibrate.report = (dir / "report.png").string();
    const CalibrateRun srgbRun = runCalibrate(calibrate, out, false);
    calibrate.encoding = Encoding::eNone;
    calibrate.json = (dir / "result-none.json").string();
    calibrate.report.clear();
    const CalibrateRun noneRun = runCalibrate(calibrate, out, false);

    out << "colorcal demo: a synthetic " << chartName(o.chart) << " chart photo ("
        << sizeText(rendered.photo.size())
        << ", sRGB-encoded, 30% illumination falloff, camera colour cast, noise 1.5)\n"
        << "photo: " << escapeText(render.out)
        << "   references: " << escapeText(render.referenceOut) << "\n\n";
    if (!srgbRun.summary.ok) {
        out << "calibration failed: " << srgbRun.summary.error << "\n";
        return 1;
    }
    const CalibrationSummary& s = srgbRun.summary;
    out << "calibrated with --encoding srgb (matrix in linear light):\n"
        << "patch  reference (r,g,b)  measured (r,g,b)   corrected (r,g,b)  CIEDE2000 before  "
           "after\n";
    std::array<const PatchRow*, 20> byIndex{};
    for (const PatchRow& row : s.patches) {
        byIndex[row.referenceIndex] = &row;
    }
    char line[200];
    for (int k = 0; k < 20; ++k) {
        const PatchRow* row = byIndex[k];
        if (row == nullptr) {
            std::snprintf(line, sizeof line, "%5d  (not found)\n", k);
        } else {
            std::snprintf(
                line, sizeof line,
                "%5d  %5.0f %4.0f %4.0f     %5.1f %5.1f %5.1f  %5.1f %5.1f %5.1f  %8.2f   %6.2f\n",
                k, row->referenceRgb[0], row->referenceRgb[1], row->referenceRgb[2],
                row->measuredRgb[0], row->measuredRgb[1], row->measuredRgb[2], row->correctedRgb[0],
                row->correctedRgb[1], row->correctedRgb[2], row->deltaEBefore, row->deltaEAfter);
        }
        out << line;
    }
    out << "\nCIEDE2000 over the 20 patches            mean    max\n";
    std::snprintf(line, sizeof line, "  before the matrix                     %6.2f %6.2f\n",
                  s.before.mean, s.before.max);
    out << line;
    std::snprintf(line, sizeof line, "  after, --encoding srgb (linear fit)   %6.2f %6.2f\n",
                  s.after.mean, s.after.max);
    out << line;
    if (noneRun.summary.ok) {
        std::snprintf(line, sizeof line, "  after, --encoding none (encoded fit)  %6.2f %6.2f\n",
                      noneRun.summary.after.mean, noneRun.summary.after.max);
    } else {
        std::snprintf(line, sizeof line, "  after, --encoding none: calibration failed\n");
    }
    out << line;
    out << "\nreport: " << escapeText((dir / "report.png").string())
        << "\nJSON:   " << escapeText((dir / "result.json").string()) << " and "
        << escapeText((dir / "result-none.json").string()) << "\n";
    return 0;
}

int runMain(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    try {
        const CommandLine line = parseCommandLine(args);
        if (line.help) {
            std::cout << usageText(line.command);
            return 0;
        }
        switch (line.command) {
            case Command::eCalibrate:
                return runCalibrate(line.calibrate, std::cout, true).exitCode;
            case Command::eApply:
                return runApply(line.apply, std::cout);
            case Command::eExport:
                return runExport(line.exportOptions, std::cout);
            case Command::eDemo:
                return runDemo(line.demo, std::cout);
            case Command::eRender:
                return runRender(line.render, std::cout);
            case Command::eHelp:
                std::cout << usageText(Command::eHelp);
                return 0;
        }
    } catch (...) {
        // Messages of the tool's own errors escape what they quote; anything
        // else is put in the tool's words (describeCurrentException).
        std::cerr << "colorcal: error: " << describeCurrentException("this command") << "\n";
        return 2;
    }
    return 2;
}

}  // namespace ColorCalCli
