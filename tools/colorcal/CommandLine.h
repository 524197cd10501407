#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/IParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/ColorScience.h"

/// The pure parts of the `colorcal` command-line tool: argument, number and
/// file-format parsing, colour statistics and JSON output. Nothing here runs
/// the engine, so it can be unit-tested and fuzzed on its own.
namespace ColorCalCli {

/// A usage or input error: the tool prints the message on one line and exits with 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// A chart type.
using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

/// How the values of the photo and of the reference file are encoded: eSrgb
/// values are decoded to linear light before calibrating, eLinear and eNone
/// values are passed through untouched. Where an option may be left to the
/// photo (`std::nullopt`), it is sRGB for 8-bit photos and linear for 16-bit
/// and float photos.
using Encoding = DataLayer::Color::Encoding;

enum class Command { eCalibrate, eApply, eExport, eDemo, eRender, eHelp };

/// Options of `colorcal calibrate`.
struct CalibrateOptions {
    EChart chart = EChart::eCCTPrint;
    std::string image;
    std::string reference;
    std::optional<cv::Rect> roi;
    std::string support;
    std::string externalWhite;
    std::optional<std::array<double, 3>> realWhiteBgr;
    std::string json;
    std::string whiteOut;
    std::string correctedOut;
    std::string report;
    std::string icc;   ///< the ICC profile of the calibration's colour part
    std::string cube;  ///< the .cube 3D LUT of the calibration's colour part
    int cubeSize = 33;
    std::optional<Encoding> encoding;  ///< none: chosen by the photo's depth
    bool linearRgb = false;            ///< only with eNone
    double maxMegapixels = 100;        ///< largest image read, in million pixels
};

/// Options of `colorcal apply`.
struct ApplyOptions {
    std::string calibration;  ///< the JSON `calibrate` wrote
    std::string white;        ///< the white image (`--white-out`), or empty: no flat-field
    std::string outDir;       ///< where the corrected photos go (or `out` for one photo)
    std::string out;
    std::string format;  ///< png, jpg or tiff; empty: each photo's own format
    std::vector<std::string> photos;
    double maxMegapixels = 100;
    bool quiet = false;
};

/// Options of `colorcal export`.
struct ExportOptions {
    std::string calibration;
    std::string icc;
    std::string cube;
    int cubeSize = 33;
};

/// Options of `colorcal demo`.
struct DemoOptions {
    EChart chart = EChart::eCCTPrint;
    std::string outDir = "colorcal-demo";
};

/// Options of `colorcal render`.
struct RenderCommandOptions {
    EChart chart = EChart::eCCTPrint;
    std::string out;
    std::string referenceOut;
    std::string truthOut;
    std::string whiteOut;
    std::uint64_t seed = 1;
    double rotationDeg = 2.5;
    double noise = 1.5;
    double falloff = 0.25;
    int width = 0;  ///< 0: the chart with a margin
    int height = 0;
    Encoding encoding = Encoding::eSrgb;  ///< eSrgb or eLinear
    /// A sheet of white paper, a bright object and a hand over the card's
    /// margin beside the card (in a photo of --size).
    bool distractors = false;
    /// Photo `seed` of the hand-held set: the card at any distance, tilt and
    /// turn, with the set's own light, background, size and colours.
    bool handheld = false;
};

/// A parsed command line. `help` is set by --help (or `colorcal help`); the
/// options of a command asking for help are not checked further.
struct CommandLine {
    Command command = Command::eHelp;
    bool help = false;
    CalibrateOptions calibrate;
    ApplyOptions apply;
    ExportOptions exportOptions;
    DemoOptions demo;
    RenderCommandOptions render;
};

/// Parses the arguments after the program name. Throws `UsageError` naming
/// the problem: no or an unknown subcommand, an unknown option, an option
/// without its value or given twice, a malformed value, a missing required
/// option. `apply` takes its photos as plain arguments (after `--` also
/// those that start with "--").
CommandLine parseCommandLine(const std::vector<std::string>& args);

/// The help text of a command (`Command::eHelp`: the overview).
std::string usageText(Command command);

/// Chart type of a command-line name (cct-print, qcc-print, cct-xrite,
/// qcc-xrite, qcc-print-small); throws `UsageError` for another name.
EChart parseChartName(std::string_view name);
/// The command-line name of a chart type.
std::string chartName(EChart chart);

/// Strict number parsing of a whole string: no blanks, no trailing characters,
/// finite values only. Throw `UsageError` mentioning `what`.
double parseDouble(std::string_view text, std::string_view what);
long long parseInteger(std::string_view text, std::string_view what);

/// "X,Y,W,H" with integers, W and H positive.
cv::Rect parseRoi(std::string_view text);
/// "A,B,C" with three finite numbers.
std::array<double, 3> parseTriple(std::string_view text, std::string_view what);
/// "WxH" with positive integers up to 16384.
cv::Size parseSize(std::string_view text);

/// Encoding name: srgb, linear or none.
Encoding parseEncoding(std::string_view name);
std::string encodingName(Encoding encoding);

}  // namespace ColorCalCli
