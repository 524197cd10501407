#include "CommandLine.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "ChartNames.h"
#include "Messages.h"

namespace ColorCalCli {

namespace {

/// User text quoted in a message, escaped and shortened so that one bad
/// argument can neither flood nor drive the terminal.
std::string quoted(std::string_view text) { return quoteName(text, 60); }

/// Refuses an image name for the white image unless it names a TIFF file,
/// the format that keeps its 32-bit float values.
void requireTiffName(std::string_view option, std::string_view path) {
    std::string extension = std::filesystem::path(std::string(path)).extension().string();
    for (char& c : extension) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (extension != ".tif" && extension != ".tiff") {
        throw UsageError(std::string(option) + " " + quoteName(path) +
                         ": the white image is written as a 32-bit float TIFF; give a .tif or "
                         ".tiff name");
    }
}

std::vector<std::string_view> splitFields(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        fields.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return fields;
}

/// One option of a subcommand: its value handler, or none for a flag.
struct OptionSpec {
    bool takesValue = true;
    std::function<void(std::string_view)> apply;
};

using OptionTable = std::map<std::string, OptionSpec, std::less<>>;

/// Applies `--name value`, `--name=value` and flags from `args[first..]` to
/// the table; other arguments go to `positional` where it is given (all of
/// them after "--").
void parseOptions(const std::vector<std::string>& args, std::size_t first, const OptionTable& table,
                  std::string_view command, bool& help, std::set<std::string>& given,
                  std::vector<std::string>* positional = nullptr) {
    for (std::size_t i = first; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (positional != nullptr && arg == "--") {
            positional->insert(positional->end(), args.begin() + static_cast<long>(i) + 1,
                               args.end());
            break;
        }
        if (arg == "--help" || arg == "-h") {
            help = true;
            continue;
        }
        if (positional != nullptr && (arg.size() < 2 || arg.substr(0, 2) != "--")) {
            if (arg.empty()) {
                throw UsageError(std::string(command) + ": an empty photo name");
            }
            positional->emplace_back(arg);
            continue;
        }
        if (arg.size() < 3 || arg.substr(0, 2) != "--") {
            throw UsageError(std::string(command) + ": unexpected argument " + quoted(arg));
        }
        std::string_view name = arg;
        std::optional<std::string_view> inlineValue;
        const std::size_t eq = arg.find('=');
        if (eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        const auto it = table.find(name);
        if (it == table.end()) {
            throw UsageError(std::string(command) + ": unknown option " + quoted(name));
        }
        if (!given.insert(std::string(name)).second) {
            throw UsageError(std::string(command) + ": option " + std::string(name) +
                             " given twice");
        }
        if (!it->second.takesValue) {
            if (inlineValue) {
                throw UsageError(std::string(command) + ": option " + std::string(name) +
                                 " takes no value");
            }
            it->second.apply({});
            continue;
        }
        std::string_view value;
        if (inlineValue) {
            value = *inlineValue;
        } else {
            if (i + 1 >= args.size()) {
                throw UsageError(std::string(command) + ": option " + std::string(name) +
                                 " needs a value");
            }
            value = args[++i];
        }
        if (value.empty()) {
            throw UsageError(std::string(command) + ": option " + std::string(name) +
                             " has an empty value");
        }
        it->second.apply(value);
    }
}

void requireOption(const std::set<std::string>& given, const char* name, std::string_view command) {
    if (given.count(name) == 0) {
        throw UsageError(std::string(command) + ": missing required option " + name);
    }
}

/// The value of --cube-size: an integer within 2..129.
int parseCubeSize(std::string_view text) {
    const long long size = parseInteger(text, "--cube-size");
    if (size < 2 || size > 129) {
        throw UsageError("--cube-size: must lie within 2..129");
    }
    return static_cast<int>(size);
}

/// The value of --max-megapixels: a number within 0.01..1000.
double parseMegapixels(std::string_view text) {
    const double megapixels = parseDouble(text, "--max-megapixels");
    if (megapixels < 0.01 || megapixels > 1000.0) {
        throw UsageError("--max-megapixels: must lie within 0.01..1000");
    }
    return megapixels;
}

}  // namespace

EChart parseChartName(std::string_view name) {
    if (const std::optional<EChart> chart = chartTypeOfName(name)) {
        return *chart;
    }
    throw UsageError("unknown chart type " + quoted(name) +
                     " (expected cct-print, qcc-print, cct-xrite, qcc-xrite or qcc-print-small)");
}

std::string chartName(EChart chart) { return chartTypeName(chart); }

double parseDouble(std::string_view text, std::string_view what) {
    // strtod needs a terminated string; it also accepts leading blanks, which we refuse.
    const std::string copy(text);
    if (copy.empty() || std::isspace(static_cast<unsigned char>(copy[0])) != 0) {
        throw UsageError(std::string(what) + ": " + quoted(text) + " is not a number");
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || copy.find_first_of("xXpP") != std::string::npos) {
        throw UsageError(std::string(what) + ": " + quoted(text) + " is not a number");
    }
    if (!std::isfinite(value) || errno == ERANGE) {
        throw UsageError(std::string(what) + ": " + quoted(text) + " is not a finite number");
    }
    return value;
}

long long parseInteger(std::string_view text, std::string_view what) {
    long long value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    const std::from_chars_result result = std::from_chars(begin, end, value);
    if (text.empty() || result.ec != std::errc() || result.ptr != end) {
        throw UsageError(std::string(what) + ": " + quoted(text) + " is not an integer");
    }
    return value;
}

cv::Rect parseRoi(std::string_view text) {
    const std::vector<std::string_view> fields = splitFields(text, ',');
    if (fields.size() != 4) {
        throw UsageError("--roi: " + quoted(text) + " is not X,Y,W,H");
    }
    long long v[4];
    for (int k = 0; k < 4; ++k) {
        v[k] = parseInteger(fields[k], "--roi");
        if (v[k] < 0 || v[k] > 1000000) {
            throw UsageError("--roi: " + quoted(text) + " has a value outside 0..1000000");
        }
    }
    if (v[2] == 0 || v[3] == 0) {
        throw UsageError("--roi: " + quoted(text) +
                         " is empty (width and height must be positive)");
    }
    return {static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
            static_cast<int>(v[3])};
}

std::array<double, 3> parseTriple(std::string_view text, std::string_view what) {
    const std::vector<std::string_view> fields = splitFields(text, ',');
    if (fields.size() != 3) {
        throw UsageError(std::string(what) + ": " + quoted(text) + " is not three numbers A,B,C");
    }
    return {parseDouble(fields[0], what), parseDouble(fields[1], what),
            parseDouble(fields[2], what)};
}

cv::Size parseSize(std::string_view text) {
    const std::size_t x = text.find('x');
    if (x == std::string_view::npos) {
        throw UsageError("--size: " + quoted(text) + " is not WxH");
    }
    const long long w = parseInteger(text.substr(0, x), "--size");
    const long long h = parseInteger(text.substr(x + 1), "--size");
    if (w < 1 || h < 1 || w > 16384 || h > 16384) {
        throw UsageError("--size: " + quoted(text) + " must lie within 1x1..16384x16384");
    }
    return {static_cast<int>(w), static_cast<int>(h)};
}

Encoding parseEncoding(std::string_view name) {
    if (name == "srgb") {
        return Encoding::eSrgb;
    }
    if (name == "linear") {
        return Encoding::eLinear;
    }
    if (name == "none") {
        return Encoding::eNone;
    }
    throw UsageError("--encoding: unknown encoding " + quoted(name) +
                     " (expected srgb, linear or none)");
}

std::string encodingName(Encoding encoding) { return encodingTypeName(encoding); }

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    if (args.empty()) {
        throw UsageError(
            "no command given (expected calibrate, apply, export, demo or render; try --help)");
    }
    const std::string_view command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        line.command = Command::eHelp;
        line.help = true;
        return line;
    }
    std::set<std::string> given;
    if (command == "calibrate") {
        line.command = Command::eCalibrate;
        CalibrateOptions& o = line.calibrate;
        auto path = [](std::string& target) {
            return OptionSpec{true, [&target](std::string_view v) { target = std::string(v); }};
        };
        OptionTable table = {
            {"--chart", {true, [&o](std::string_view v) { o.chart = parseChartName(v); }}},
            {"--image", path(o.image)},
            {"--reference", path(o.reference)},
            {"--roi", {true, [&o](std::string_view v) { o.roi = parseRoi(v); }}},
            {"--support", path(o.support)},
            {"--external-white", path(o.externalWhite)},
            {"--real-white",
             {true,
              [&o](std::string_view v) {
                  const std::array<double, 3> white = parseTriple(v, "--real-white");
                  for (double c : white) {
                      if (c < 1.0 || c > 255.0) {
                          throw UsageError("--real-white: " + quoted(v) +
                                           ": each component must lie within 1..255");
                      }
                  }
                  o.realWhiteBgr = white;
              }}},
            {"--json", path(o.json)},
            {"--white-out",
             {true,
              [&o](std::string_view v) {
                  requireTiffName("--white-out", v);
                  o.whiteOut = std::string(v);
              }}},
            {"--corrected-out", path(o.correctedOut)},
            {"--report", path(o.report)},
            {"--icc", path(o.icc)},
            {"--cube", path(o.cube)},
            {"--cube-size", {true, [&o](std::string_view v) { o.cubeSize = parseCubeSize(v); }}},
            {"--encoding", {true, [&o](std::string_view v) { o.encoding = parseEncoding(v); }}},
            {"--linear-rgb", {false, [&o](std::string_view) { o.linearRgb = true; }}},
            {"--max-megapixels",
             {true, [&o](std::string_view v) { o.maxMegapixels = parseMegapixels(v); }}},
        };
        parseOptions(args, 1, table, "calibrate", line.help, given);
        if (!line.help) {
            requireOption(given, "--chart", "calibrate");
            requireOption(given, "--image", "calibrate");
            requireOption(given, "--reference", "calibrate");
            if (o.linearRgb && o.encoding != Encoding::eNone) {
                throw UsageError("calibrate: --linear-rgb needs --encoding none");
            }
            if (given.count("--cube-size") != 0 && o.cube.empty()) {
                throw UsageError("calibrate: --cube-size needs --cube");
            }
        }
        return line;
    }
    if (command == "apply") {
        line.command = Command::eApply;
        ApplyOptions& o = line.apply;
        auto path = [](std::string& target) {
            return OptionSpec{true, [&target](std::string_view v) { target = std::string(v); }};
        };
        OptionTable table = {
            {"--calibration", path(o.calibration)},
            {"--white",
             {true,
              [&o](std::string_view v) {
                  requireTiffName("--white", v);
                  o.white = std::string(v);
              }}},
            {"--out-dir", path(o.outDir)},
            {"--out", path(o.out)},
            {"--format",
             {true,
              [&o](std::string_view v) {
                  if (v != "png" && v != "jpg" && v != "tiff") {
                      throw UsageError("--format: unknown format " + quoted(v) +
                                       " (expected png, jpg or tiff)");
                  }
                  o.format = std::string(v);
              }}},
            {"--max-megapixels",
             {true, [&o](std::string_view v) { o.maxMegapixels = parseMegapixels(v); }}},
            {"--quiet", {false, [&o](std::string_view) { o.quiet = true; }}},
        };
        parseOptions(args, 1, table, "apply", line.help, given, &o.photos);
        if (!line.help) {
            requireOption(given, "--calibration", "apply");
            if (o.photos.empty()) {
                throw UsageError("apply: no photo given");
            }
            if (o.out.empty() == o.outDir.empty()) {
                throw UsageError("apply: give either --out-dir DIR or, for one photo, --out FILE");
            }
            if (!o.out.empty() && o.photos.size() != 1) {
                throw UsageError("apply: --out takes one photo (" +
                                 std::to_string(o.photos.size()) +
                                 " given); use --out-dir for several");
            }
        }
        return line;
    }
    if (command == "export") {
        line.command = Command::eExport;
        ExportOptions& o = line.exportOptions;
        auto path = [](std::string& target) {
            return OptionSpec{true, [&target](std::string_view v) { target = std::string(v); }};
        };
        OptionTable table = {
            {"--calibration", path(o.calibration)},
            {"--icc", path(o.icc)},
            {"--cube", path(o.cube)},
            {"--cube-size", {true, [&o](std::string_view v) { o.cubeSize = parseCubeSize(v); }}},
        };
        parseOptions(args, 1, table, "export", line.help, given);
        if (!line.help) {
            requireOption(given, "--calibration", "export");
            if (o.icc.empty() && o.cube.empty()) {
                throw UsageError("export: give --icc OUT.icc, --cube OUT.cube or both");
            }
            if (given.count("--cube-size") != 0 && o.cube.empty()) {
                throw UsageError("export: --cube-size needs --cube");
            }
        }
        return line;
    }
    if (command == "demo") {
        line.command = Command::eDemo;
        DemoOptions& o = line.demo;
        OptionTable table = {
            {"--chart", {true, [&o](std::string_view v) { o.chart = parseChartName(v); }}},
            {"--out", {true, [&o](std::string_view v) { o.outDir = std::string(v); }}},
        };
        parseOptions(args, 1, table, "demo", line.help, given);
        return line;
    }
    if (command == "render") {
        line.command = Command::eRender;
        RenderCommandOptions& o = line.render;
        auto path = [](std::string& target) {
            return OptionSpec{true, [&target](std::string_view v) { target = std::string(v); }};
        };
        OptionTable table = {
            {"--chart", {true, [&o](std::string_view v) { o.chart = parseChartName(v); }}},
            {"--out", path(o.out)},
            {"--reference-out", path(o.referenceOut)},
            {"--truth-out", path(o.truthOut)},
            {"--white-out",
             {true,
              [&o](std::string_view v) {
                  requireTiffName("--white-out", v);
                  o.whiteOut = std::string(v);
              }}},
            {"--seed",
             {true,
              [&o](std::string_view v) {
                  const long long seed = parseInteger(v, "--seed");
                  if (seed < 0) {
                      throw UsageError("--seed: must not be negative");
                  }
                  o.seed = static_cast<std::uint64_t>(seed);
              }}},
            {"--rotation",
             {true,
              [&o](std::string_view v) {
                  o.rotationDeg = parseDouble(v, "--rotation");
                  if (std::fabs(o.rotationDeg) > 360.0) {
                      throw UsageError("--rotation: must lie within -360..360 degrees");
                  }
              }}},
            {"--noise",
             {true,
              [&o](std::string_view v) {
                  o.noise = parseDouble(v, "--noise");
                  if (o.noise < 0.0 || o.noise > 100.0) {
                      throw UsageError("--noise: must lie within 0..100");
                  }
              }}},
            {"--falloff",
             {true,
              [&o](std::string_view v) {
                  o.falloff = parseDouble(v, "--falloff");
                  if (o.falloff < 0.0 || o.falloff > 0.9) {
                      throw UsageError("--falloff: must lie within 0..0.9");
                  }
              }}},
            {"--size",
             {true,
              [&o](std::string_view v) {
                  const cv::Size size = parseSize(v);
                  o.width = size.width;
                  o.height = size.height;
              }}},
            {"--encoding",
             {true,
              [&o](std::string_view v) {
                  o.encoding = parseEncoding(v);
                  if (o.encoding == Encoding::eNone) {
                      throw UsageError("render: --encoding must be srgb or linear");
                  }
              }}},
            {"--distractors", {false, [&o](std::string_view) { o.distractors = true; }}},
            {"--handheld", {false, [&o](std::string_view) { o.handheld = true; }}},
        };
        parseOptions(args, 1, table, "render", line.help, given);
        if (!line.help) {
            requireOption(given, "--out", "render");
            requireOption(given, "--reference-out", "render");
            for (const char* drawn :
                 {"--rotation", "--noise", "--falloff", "--size", "--distractors"}) {
                if (o.handheld && given.count(drawn) != 0) {
                    throw UsageError(std::string("render: --handheld draws the pose, light, size "
                                                 "and distractors from the seed; leave out ") +
                                     drawn);
                }
            }
        }
        return line;
    }
    throw UsageError("unknown command " + quoted(command) +
                     " (expected calibrate, apply, export, demo or render; try --help)");
}

std::string usageText(Command command) {
    switch (command) {
        case Command::eCalibrate:
            return R"(Usage: colorcal calibrate --chart TYPE --image PHOTO --reference REF.csv [options]

Finds the chart's 20 patches in PHOTO, estimates the illumination from the
chart's white ground, and fits the 3x4 colour-correction matrix that maps the
camera's colours onto the reference colours.

  --chart TYPE            cct-print, qcc-print, cct-xrite, qcc-xrite or qcc-print-small
  --image PHOTO           the photo (8-bit, 16-bit or float; any format OpenCV reads)
  --reference REF.csv     20 lines r,g,b (0..255) in the chart's reference order; # comments
  --roi X,Y,W,H           the chart's region inside the photo (default: the chart's card
                          is located in the photo; none found: exit 1, "no chart card
                          found in the photo: " and why)
  --support MASK          8-bit mask of the photo's size; non-zero pixels are not usable
                          white ground (default: the located card's white ground is usable;
                          with --roi: outside the region excluded, inside usable)
  --external-white WHITE  the white image of the photo (X-Rite chart types need it)
  --real-white B,G,R      the white to correct to, each component 1..255 in the reference
                          file's encoding (default: the white picked on the chart)
  --encoding ENC          srgb, linear or none: how the photo's and the reference file's
                          values are encoded (default: srgb for 8-bit photos, linear otherwise)
  --linear-rgb            with --encoding none (needed): the values are linear sRGB (for
                          CIEDE2000)
  --max-megapixels N      refuse images larger than N million pixels, checked in the file's
                          header before decoding (default 100)
  --json OUT.json         write the result there instead of standard output
  --white-out WHITE.tiff  the white image of the whole photo, 32-bit float BGR 0..255 (TIFF)
  --corrected-out IMG     the photo flat-field and colour corrected
  --report REPORT.png     a one-page visual report
  --icc OUT.icc           the calibration's colour part as an ICC v4 input profile
  --cube OUT.cube         the calibration's colour part as a .cube 3D LUT
  --cube-size N           points per axis of the .cube, 2..129 (default 33)
  --help                  this text

The JSON result is the calibration file that `colorcal apply` and `colorcal
export` read.

Outputs never replace an input or each other and appear only when complete.
Exit status: 0 success, 1 calibration failed, 2 usage or input error.
)";
        case Command::eApply:
            return R"(Usage: colorcal apply --calibration RESULT.json (--out-dir DIR | --out FILE) [options] PHOTO...

Corrects photos taken under the calibrated light with the calibration's matrix
and, with --white, its flat-field. Each photo keeps its bit depth and format
(unless --format), its EXIF and XMP; the colour-space tags describe the
corrected values. Photos are corrected in parallel; one that fails does not
stop the others: it is listed at the end and the exit status is 1.

  --calibration RESULT.json  the JSON `colorcal calibrate` wrote
  --white WHITE.tiff      the white image (`calibrate --white-out`): flat-field
                          correction; the photos must have its size
  --out-dir DIR           where the corrected photos go, under their own names
                          (created when missing)
  --out FILE              the corrected photo, for a single PHOTO
  --format FMT            png, jpg or tiff instead of each photo's own format
  --max-megapixels N      refuse photos larger than N million pixels (default 100)
  --quiet                 no progress bar and no summary line
  --help                  this text

Exit status: 0 all photos corrected, 1 some failed, 2 usage or input error.
)";
        case Command::eExport:
            return R"(Usage: colorcal export --calibration RESULT.json [--icc OUT.icc] [--cube OUT.cube] [options]

Writes the calibration's colour part (the matrix, not the flat-field) for other
programs: an ICC v4 input profile (device values in the calibration's encoding
to the PCS) and a 3D LUT in the .cube format (input and output in the photo's
encoding, 0..1).

  --calibration RESULT.json  the JSON `colorcal calibrate` wrote
  --icc OUT.icc           the ICC profile
  --cube OUT.cube         the .cube 3D LUT
  --cube-size N           points per axis of the .cube, 2..129 (default 33)
  --help                  this text
)";
        case Command::eDemo:
            return R"(Usage: colorcal demo [--chart TYPE] [--out DIR]

Renders a synthetic photo of a chart (illumination falloff, a camera colour cast,
noise, sRGB-encoded as a camera writes it), calibrates it with --encoding srgb and
--encoding none, prints the per-patch table and writes the photo, the reference
file, the JSON results and the report into DIR (default: colorcal-demo).

  --chart TYPE   chart type (default cct-print)
  --out DIR      output folder (created when missing)
  --help         this text
)";
        case Command::eRender:
            return R"(Usage: colorcal render [--chart TYPE] --out PHOTO.png --reference-out REF.csv [options]

Writes a synthetic chart photo with its reference colours and its ground truth.

  --chart TYPE           chart type (default cct-print)
  --out PHOTO            the photo (8-bit; written with OpenCV)
  --reference-out REF    the reference colours, in the photo's encoding
  --truth-out TRUTH.json patch centres in found order, reference indices, chart region,
                         card corners
  --white-out WHITE.tiff the true white image (32-bit float TIFF), for --external-white
  --seed N               seed of the reference colours and of the noise (default 1)
  --rotation DEG         chart rotation, counter-clockwise (default 2.5)
  --noise SIGMA          Gaussian noise in 8-bit steps (default 1.5)
  --falloff F            illumination loss at the chart's corner, 0..0.9 (default 0.25)
  --size WxH             photo size (default: the chart with a 60-pixel margin)
  --encoding ENC         srgb (default, as a camera writes it) or linear
  --distractors          a sheet of white paper, a bright object and a hand over the
                         card's margin beside the chart (give a larger --size)
  --handheld             a photo of the hand-held set: the card 0.4 to 3 times its nominal
                         size, tilted up to 35 degrees, turned (a quarter of them by a
                         quarter turn), on a light, dark or textured background, in a photo
                         of up to 12 MP; the seed draws everything
  --help                 this text
)";
        case Command::eHelp:
            break;
    }
    return R"(Usage: colorcal COMMAND [options]

Colour calibration from a photo of a calibration chart.

Commands:
  calibrate   calibrate a photo of a chart against its reference colours
  apply       correct photos taken under the same light with a calibration
  export      write a calibration as an ICC profile or a .cube 3D LUT
  demo        render a synthetic chart photo, calibrate it and show the result
  render      write a synthetic chart photo with its references and ground truth

Run 'colorcal COMMAND --help' for the options of a command.
)";
}

}  // namespace ColorCalCli
