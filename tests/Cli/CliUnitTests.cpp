// Unit tests of the command-line tool's pure parts. The file name does not
// end in "Test.cpp": the tool's core links no library, so these tests get a
// target of their own (tests/cli.cmake).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "CalibrationSummary.h"
#include "CommandLine.h"
#include "DataLayer/ShadeAnalysis/ColorScience.h"
#include "ImageConversion.h"
#include "ImageHeader.h"
#include "JsonWriter.h"
#include "Messages.h"
#include "ReferenceCsv.h"
#include "SafeFiles.h"
#include "synth/SyntheticChart.h"

#include <opencv2/imgcodecs.hpp>

namespace {

using namespace ColorCalCli;

// The words of a command line written as one string.
std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> args;
    for (std::string word; in >> word;) args.push_back(word);
    return args;
}

CommandLine parse(const std::string& line) { return parseCommandLine(words(line)); }

// The message of the UsageError that `run` throws, or "(accepted)".
template <typename Run>
std::string usageErrorOf(Run run) {
    try {
        run();
    } catch (const UsageError& error) {
        return error.what();
    }
    return "(accepted)";
}

std::string csvOf(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) {
        text +=
            std::to_string(i) + "," + std::to_string(2 * i) + "," + std::to_string(3 * i) + "\n";
    }
    return text;
}

TEST(CliArguments, CalibrateAndRenderTakeEveryOption) {
    const CommandLine line = parse(
        "calibrate --chart qcc-print-small --image p.png --reference=r.csv --roi 10,20,300,200 "
        "--support m.png --external-white w.tiff --real-white 1,231.5,255 --json o.json "
        "--white-out wo.TIF --corrected-out c.png --report rep.png --encoding none --linear-rgb "
        "--max-megapixels 250");
    EXPECT_EQ(line.command, Command::eCalibrate);
    EXPECT_FALSE(line.help);
    const CalibrateOptions& o = line.calibrate;
    EXPECT_EQ(o.chart, EChart::eQCCPrintSmall);
    EXPECT_EQ(o.image, "p.png");
    EXPECT_EQ(o.reference, "r.csv");
    ASSERT_TRUE(o.roi.has_value());
    EXPECT_EQ(*o.roi, cv::Rect(10, 20, 300, 200));
    ASSERT_TRUE(o.realWhiteBgr.has_value());
    EXPECT_DOUBLE_EQ((*o.realWhiteBgr)[1], 231.5);
    EXPECT_EQ(o.encoding, Encoding::eNone);
    EXPECT_TRUE(o.linearRgb);
    EXPECT_EQ(o.report, "rep.png");
    EXPECT_DOUBLE_EQ(o.maxMegapixels, 250.0);

    const CommandLine render =
        parse("render --out p.png --reference-out r.csv --size 640x480 --seed 7 --rotation -12.5");
    EXPECT_EQ(cv::Size(render.render.width, render.render.height), cv::Size(640, 480));
    EXPECT_EQ(render.render.seed, 7u);
    EXPECT_DOUBLE_EQ(render.render.rotationDeg, -12.5);
    EXPECT_TRUE(parse("render -h").help);  // the long form runs in the integration tests
}

TEST(CliArguments, MalformedCommandLinesNameTheProblem) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "no command"},
        {"frobnicate", "unknown command 'frobnicate'"},
        {"calibrate --image p.png --reference r.csv", "missing required option --chart"},
        {"calibrate --chart cct-print --reference r.csv", "missing required option --image"},
        {"calibrate --chart cct-paint", "unknown chart type 'cct-paint'"},
        {"calibrate --chart", "--chart needs a value"},
        {"calibrate --chart cct-print --chart qcc-print", "--chart given twice"},
        {"calibrate --colour x", "unknown option '--colour'"},
        {"calibrate stray", "unexpected argument 'stray'"},
        {"calibrate --roi 1,2,3", "is not X,Y,W,H"},
        {"calibrate --roi 1,2,0,5", "is empty"},
        {"calibrate --roi 1,2,-3,5", "outside"},
        {"calibrate --roi 1,2,3x,5", "not an integer"},
        {"calibrate --roi 99999999999999999999,0,1,1", "not an integer"},
        {"calibrate --real-white 1,2", "not three numbers"},
        {"calibrate --real-white nan,2,3", "not a finite number"},
        {"calibrate --real-white 1e-30,1e-30,1e-30", "each component must lie within 1..255"},
        {"calibrate --real-white 255.5,2,3", "1..255"},
        {"calibrate --max-megapixels 0", "0.01..1000"},
        {"calibrate --white-out w.png", "32-bit float TIFF; give a .tif or .tiff name"},
        {"render --white-out w.tiff.png", ".tif or .tiff"},
        // A path is named whole, however deep the folder, so the user sees which file.
        {"apply --white /a/very/deep/folder/of/build/outputs/for/one/run/of/the/tests/small.png",
         "'/a/very/deep/folder/of/build/outputs/for/one/run/of/the/tests/small.png': the white"},
        {"calibrate \x1b]0;x\x07\xc2\x9b", "unexpected argument '\\x1b]0;x\\x07\\u009b'"},
        {"calibrate --encoding gamma", "unknown encoding 'gamma'"},
        {"calibrate --linear-rgb=yes", "takes no value"},
        {"calibrate --json=", "empty value"},
        {"calibrate --chart cct-print --image p --reference r --linear-rgb",
         "--linear-rgb needs --encoding none"},
        {"render --out p.png", "missing required option --reference-out"},
        {"render --size 640*480", "is not WxH"},
        {"render --size 0x480", "1x1..16384x16384"},
        {"render --noise -1", "0..100"},
        {"render --falloff 1e400", "not a finite number"},
        {"render --seed -3", "negative"},
        {"render --encoding none", "srgb or linear"},
    };
    for (const auto& [line, expected] : cases) {
        const std::string message = usageErrorOf([line = line] { parse(line); });
        EXPECT_NE(message.find(expected), std::string::npos) << message << " / " << expected;
    }
    const std::vector<std::string> padded = {"render", "--rotation", " 5"};
    EXPECT_NE(usageErrorOf([&padded] { parseCommandLine(padded); }).find("not a number"),
              std::string::npos);
}

TEST(ReferenceCsvParsing, AcceptsByteOrderMarkCommentsBlanksAndCrLf) {
    std::string text = "\xEF\xBB\xBF# chart references\r\n\r\n";
    text += "  12.5 , 0 ,255  # first\r\n";
    for (int i = 1; i < 20; ++i) {
        text +=
            std::to_string(i) + "," + std::to_string(i + 1) + "," + std::to_string(i + 2) + "\r\n";
    }
    text += "# trailing comment";
    const ReferenceColors colors = parseReferenceCsv(text);
    EXPECT_FLOAT_EQ(colors[0][0], 12.5f);
    EXPECT_FLOAT_EQ(colors[0][2], 255.0f);
    EXPECT_FLOAT_EQ(colors[19][2], 21.0f);
    // Formatting and parsing again gives the same colours.
    EXPECT_EQ(parseReferenceCsv(formatReferenceCsv(colors, "again")), colors);
}

TEST(ReferenceCsvParsing, MalformedLinesAreReportedWithTheirNumber) {
    struct Case {
        std::string text;
        const char* expected;
    };
    const Case cases[] = {
        {csvOf(2) + "# comment\n1,2\n" + csvOf(17), "line 4: expected three numbers"},
        {csvOf(5) + "1,256,3\n", "line 6: value 256 outside 0..255"},
        {"red,green,blue\n" + csvOf(20), "line 1: 'red' is not a number"},
        {csvOf(3) + "1,2,3,4\n", "line 4: expected three numbers"},
        {csvOf(1) + std::string("1,2,\0", 5) + "3\n", "line 2"},
        {csvOf(19), "expected 20 colours, found 19"},
        {csvOf(21), "line 21: more than 20 colours"},
        {"", "found 0"},
        {csvOf(4) + "1,,3\n", "line 5"},
        {csvOf(4) + "1,2,-0.5\n", "outside 0..255"},
        {csvOf(4) + "1,2,inf\n", "line 5"},
        {"\xFF\xFE" + csvOf(20), "UTF-16"},
        {csvOf(2) + "\x1b[2J,1,1\n", "line 3: '\\x1b[2J' is not a number"},
        {"\xEF\xBB\xBF\xEF\xBB\xBF" + csvOf(20), "line 1"},  // only one mark is skipped
    };
    for (const Case& c : cases) {
        const std::string message = usageErrorOf([&c] { parseReferenceCsv(c.text); });
        EXPECT_NE(message.find(c.expected), std::string::npos) << message << " / " << c.expected;
    }
}

TEST(Messages, NamesAreEscapedAndForeignFailuresTranslated) {
    const std::pair<std::string, const char*> names[] = {
        {"photo 1.png", "'photo 1.png'"},
        {"caf\xc3\xa9/\xe5\x86\x99\xe7\x9c\x9f.png", "'caf\xc3\xa9/\xe5\x86\x99\xe7\x9c\x9f.png'"},
        {"a\nb\r\tc", "'a\\nb\\r\\tc'"},
        {"\x1b[31mred\x7f", "'\\x1b[31mred\\x7f'"},
        {"it's\\", "'it\\'s\\\\'"},
        {"\xc2\x9b"
         "2J \xe2\x80\xae"
         "gnp",
         "'\\u009b2J \\u202egnp'"},
        {"\xff\xc3(\xe2\x82", "'\\xff\\xc3(\\xe2\\x82'"},         // not UTF-8, cut sequences
        {"\xed\xa0\x80\xc0\xaf", "'\\xed\\xa0\\x80\\xc0\\xaf'"},  // surrogate, overlong
        {std::string("n\0ul", 4), "'n\\x00ul'"},
    };
    for (const auto& [name, expected] : names) {
        EXPECT_EQ(quoteName(name), expected);
    }
    EXPECT_EQ(quoteName("abcdef", 3), "'abc...'");
    EXPECT_EQ(escapeText("it's"), "it's");

    const auto translated = [](auto thrown) {
        try {
            throw thrown;
        } catch (...) {
            return describeCurrentException("a 16384 x 16384 render");
        }
    };
    EXPECT_EQ(translated(std::bad_alloc()), "not enough memory for a 16384 x 16384 render");
    EXPECT_EQ(translated(cv::Exception(cv::Error::StsNoMem, "Failed to allocate", "fastMalloc",
                                       "alloc.cpp", 73)),
              "not enough memory for a 16384 x 16384 render");
    EXPECT_EQ(
        translated(cv::Exception(cv::Error::StsAssert, "pixels <= MAX", "validate", "x.cpp", 1)),
        "a 16384 x 16384 render failed inside OpenCV (validate)");
    EXPECT_EQ(translated(std::runtime_error("bad\nthing")),
              "a 16384 x 16384 render failed: bad\\nthing");
    EXPECT_EQ(translated(UsageError("kept as it is")), "kept as it is");

    // What a codec prints on standard error is caught, also when the work throws.
    EXPECT_EQ(captureStandardError([] { std::fputs("libpng error: Read Error\n", stderr); }),
              "libpng error: Read Error\n");
    EXPECT_THROW(captureStandardError([] { throw std::runtime_error("x"); }), std::runtime_error);
    EXPECT_EQ(captureStandardError([] { std::fputs("again", stderr); }), "again");
}

TEST(JsonWriterTest, NestsEscapesAndWritesNonFiniteAsNull) {
    JsonWriter json;
    json.beginObject();
    json.key("text").value("a\"b\\c\nd\x01");
    json.key("n").value(1.5);
    json.key("bad").value(std::nan(""));
    json.key("list").beginArray(true).value(1).value(true).null().endArray();
    json.key("empty").beginArray().endArray();
    json.key("nested").beginObject().key("x").value(-2).endObject();
    json.endObject();
    EXPECT_EQ(
        json.str(),
        "{\n  \"text\": \"a\\\"b\\\\c\\nd\\u0001\",\n  \"n\": 1.5,\n  \"bad\": null,\n"
        "  \"list\": [1, true, null],\n  \"empty\": [],\n  \"nested\": {\n    \"x\": -2\n  }\n}\n");
    JsonWriter misuse;
    misuse.beginObject();
    EXPECT_THROW(misuse.value(1), std::logic_error);
    EXPECT_THROW(misuse.str(), std::logic_error);
    EXPECT_THROW(misuse.endArray(), std::logic_error);
}

TEST(ImageScale, PhotosOfEveryDepthAndChannelCountReachTheLibraryScale) {
    const cv::Mat unit(1, 2, CV_32FC3, cv::Scalar(0.5, 1.0, 0.25));
    EXPECT_EQ(toLibraryScale(unit, "t").bgr.at<cv::Vec3f>(0, 1), cv::Vec3f(127.5f, 255, 63.75f));
    const cv::Mat full(1, 2, CV_32FC3, cv::Scalar(100.25, 3, 250));
    EXPECT_EQ(toLibraryScale(full, "t").bgr.at<cv::Vec3f>(0, 0), cv::Vec3f(100.25f, 3, 250));
    const LoadedImage grey = toLibraryScale(cv::Mat(3, 3, CV_8UC1, cv::Scalar(7)), "t");
    EXPECT_EQ(grey.bgr.at<cv::Vec3f>(2, 2), cv::Vec3f(7, 7, 7));
    const cv::Mat rgba(1, 1, CV_8UC4, cv::Scalar(1, 2, 3, 4));
    EXPECT_EQ(toLibraryScale(rgba, "t").bgr.at<cv::Vec3f>(0, 0), cv::Vec3f(1, 2, 3));
    for (const cv::Mat& bad : {cv::Mat(1, 1, CV_32FC3, cv::Scalar(std::nan(""), 0, 0)),
                               cv::Mat(2, 2, CV_16SC3), cv::Mat(2, 2, CV_8UC2), cv::Mat()}) {
        EXPECT_THROW(toLibraryScale(bad, "t"), UsageError);
    }
}

TEST(ImageScale, SixteenBitPngAndFloatTiffFilesReadBackOnTheLibraryScale) {
    const std::string dir = ::testing::TempDir();
    cv::Mat sixteen(4, 5, CV_16UC3);
    cv::randu(sixteen, 0, 65536);
    ASSERT_TRUE(cv::imwrite(dir + "/colorcal-16.png", sixteen));
    const LoadedImage a = loadColorImage(dir + "/colorcal-16.png", "photo", 100);
    EXPECT_EQ(a.sourceDepth, CV_16U);
    cv::Mat expected;
    sixteen.convertTo(expected, CV_32FC3, 255.0 / 65535.0);
    EXPECT_LE(cv::norm(a.bgr, expected, cv::NORM_INF), 1e-4);

    cv::Mat white(4, 5, CV_32FC3, cv::Scalar(200.5, 230.25, 241.125));
    ASSERT_TRUE(writeFloatTiff(dir + "/colorcal-white.tiff", white));
    const LoadedImage b = loadColorImage(dir + "/colorcal-white.tiff", "white", 100);
    EXPECT_EQ(b.sourceDepth, CV_32F);
    EXPECT_EQ(cv::norm(b.bgr, white, cv::NORM_INF), 0.0);

    EXPECT_THROW(loadColorImage(dir + "/colorcal-missing.png", "photo", 100), UsageError);
    EXPECT_THROW(loadMask(dir + "/colorcal-16.png", "mask", 100), UsageError);  // not 8-bit
}

/// Reads from a byte string as a file would.
ReadAt readerOf(const std::vector<unsigned char>& bytes) {
    return [&bytes](std::uint64_t offset, unsigned char* out, std::size_t count) -> std::size_t {
        if (offset >= bytes.size()) return 0;
        const std::size_t n = std::min<std::uint64_t>(count, bytes.size() - offset);
        std::memcpy(out, bytes.data() + offset, n);
        return n;
    };
}

TEST(ImageHeaderProbe, ReadsTheDeclaredSizeOfEveryParsedFormatAndSurvivesDamage) {
    const cv::Mat image(23, 37, CV_8UC3, cv::Scalar(10, 200, 90));
    cv::Mat floats;
    image.convertTo(floats, CV_32FC3, 1.0 / 255);
    std::vector<std::vector<unsigned char>> files;
    for (const char* ext :
         {".png", ".jpg", ".tif", ".bmp", ".ppm", ".pam", ".webp", ".sr", ".pfm"}) {
        std::vector<unsigned char> bytes;
        ASSERT_TRUE(cv::imencode(ext, std::strcmp(ext, ".pfm") == 0 ? floats : image, bytes))
            << ext;
        const std::optional<ImageDimensions> size = probeImageDimensions(readerOf(bytes));
        ASSERT_TRUE(size.has_value()) << ext;
        EXPECT_EQ(size->width, 37u) << ext;
        EXPECT_EQ(size->height, 23u) << ext;
        files.push_back(std::move(bytes));
    }
    // Layouts the encoder does not write: big-endian BigTIFF with LONG8 sizes; a BMP stored
    // top-down; a JPEG whose frame header follows fill bytes and a comment segment; WebP VP8X.
    const std::vector<std::vector<unsigned char>> crafted = {
        {'M', 'M', 0, 43, 0, 8,  0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0,
         0,   2,   1, 0,  0, 16, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0,  0, 0, 0, 0, 0, 37,
         1,   1,   0, 16, 0, 0,  0, 0, 0, 0, 0, 1, 0, 0, 0, 0,  0, 0, 0, 23},
        {'B', 'M', 0, 0, 0, 0,  0, 0, 0, 0,    54,   0,    0,
         0,   40,  0, 0, 0, 37, 0, 0, 0, 0xE9, 0xFF, 0xFF, 0xFF},
        {0xFF, 0xD8, 0xFF, 0xFE, 0, 4, 'h', 'i', 0xFF, 0xFF, 0xC2, 0, 11, 8, 0, 23, 0, 37, 3},
        {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8',
         'X', 10,  0,   0,   0, 0, 0, 0, 0,   36,  0,   0,   22,  0,   0},
    };
    for (const std::vector<unsigned char>& bytes : crafted) {
        const std::optional<ImageDimensions> size = probeImageDimensions(readerOf(bytes));
        ASSERT_TRUE(size.has_value()) << bytes.size();
        EXPECT_EQ(size->width, 37u);
        EXPECT_EQ(size->height, 23u);
    }
    // Every truncation and random damage of the first bytes: no read outside the data (the
    // sanitizer build checks), and never a zero size reported.
    std::mt19937 random(14);
    for (const std::vector<unsigned char>& original : files) {
        for (std::size_t cut = 0; cut < std::min<std::size_t>(original.size(), 80); ++cut) {
            const std::vector<unsigned char> head(original.begin(), original.begin() + cut);
            const auto size = probeImageDimensions(readerOf(head));
            EXPECT_TRUE(!size || (size->width > 0 && size->height > 0));
        }
        for (int trial = 0; trial < 300; ++trial) {
            std::vector<unsigned char> bytes = original;
            for (int k = 0; k < 4; ++k) {
                bytes[random() % std::min<std::size_t>(bytes.size(), 64)] =
                    static_cast<unsigned char>(random());
            }
            const auto size = probeImageDimensions(readerOf(bytes));
            EXPECT_TRUE(!size || (size->width > 0 && size->height > 0));
        }
    }
    EXPECT_FALSE(probeImageDimensions(readerOf({'G', 'I', 'F', '8', '9', 'a'})).has_value());
}

TEST(ImageScale, ImagesOverTheLimitAreRefusedFromTheHeaderOrAfterDecoding) {
    const std::string dir = ::testing::TempDir();
    // A PNG whose header claims 60000 x 60000 pixels: refused before any decoding.
    std::vector<unsigned char> png;
    ASSERT_TRUE(cv::imencode(".png", cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(9)), png));
    for (int k : {16, 20}) {
        png[k + 2] = 0xEA;
        png[k + 3] = 0x60;
    }
    std::ofstream(dir + "/colorcal-huge.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    // A Radiance file, a format whose header the tool does not parse: checked after decoding.
    ASSERT_TRUE(
        cv::imwrite(dir + "/colorcal-wide.hdr", cv::Mat(10, 20, CV_32FC3, cv::Scalar(1, 2, 3))));
    const std::pair<std::string, std::string> cases[] = {
        {"/colorcal-huge.png", "it is 60000 x 60000, over the 100 MP limit (--max-megapixels)"},
        {"/colorcal-wide.hdr", "it is 20 x 10, over the 0.0001 MP limit (--max-megapixels)"},
    };
    for (const auto& [name, expected] : cases) {
        const double limit = name == "/colorcal-huge.png" ? 100 : 0.0001;
        const std::string message =
            usageErrorOf([&, name = name] { loadColorImage(dir + name, "photo", limit); });
        EXPECT_EQ(message, "cannot read the photo " + quoteName(dir + name) + ": " + expected);
    }
    EXPECT_EQ(loadColorImage(dir + "/colorcal-wide.hdr", "photo", 0.0002).bgr.size(),
              cv::Size(20, 10));
}

TEST(SafeFiles, SameFileSeesThroughSpellingsAndLinks) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(::testing::TempDir()) / "colorcal-same";
    fs::remove_all(dir);
    fs::create_directories(dir / "sub");
    std::ofstream(dir / "a.png") << "a";
    std::ofstream(dir / "b.png") << "b";
    fs::create_hard_link(dir / "a.png", dir / "hard.png");
    fs::create_symlink(dir / "a.png", dir / "soft.png");
    const std::string d = dir.string();
    const std::tuple<std::string, std::string, bool> cases[] = {
        {d + "/a.png", d + "/sub/../a.png", true},
        {d + "/a.png", d + "/hard.png", true},
        {d + "/soft.png", d + "/a.png", true},
        {d + "/a.png", d + "/b.png", false},
        {d + "/new.json", d + "/sub/.././new.json", true},  // neither exists yet
        {d + "/new.json", d + "/a.png", false},
    };
    for (const auto& [a, b, same] : cases) {
        EXPECT_EQ(sameFile(a, b), same) << a << " / " << b;
    }
    const std::string message = usageErrorOf([&] {
        requireUsableOutputs({{"--image", d + "/a.png"}},
                             {{"--json", d + "/x.json"}, {"--report", d + "/hard.png"}});
    });
    EXPECT_EQ(message, "--report " + quoteName(d + "/hard.png") + " and --image " +
                           quoteName(d + "/a.png") + " are the same file");
}

TEST(SafeFiles, OutputsAppearWholeOrNotAtAll) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(::testing::TempDir()) / "colorcal-out";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string target = (dir / "result.json").string();
    std::ofstream(target) << "old";
    ::chmod(target.c_str(), 0640);
    const auto content = [](const fs::path& path) {
        std::ifstream file(path);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    // A writer that fails half-way, by result or by exception: the old file stays.
    const auto half = [](bool throws) {
        return [throws](const std::string& path) {
            std::ofstream(path) << "{\"ok\": tr";
            if (throws) throw std::bad_alloc();
            return false;
        };
    };
    EXPECT_EQ(usageErrorOf([&] { writeOutputFile(target, "JSON result", half(false)); }),
              "cannot write the JSON result " + quoteName(target) + ": writing it failed");
    EXPECT_EQ(
        usageErrorOf([&] { writeOutputFile(target, "JSON result", half(true)); }),
        "cannot write the JSON result " + quoteName(target) + ": not enough memory for writing it");
    EXPECT_EQ(content(target), "old");
    // Written through a link: the link stays, the file it names gets the text and keeps its mode.
    fs::create_symlink(target, dir / "link.json");
    writeTextOutput((dir / "link.json").string(), "new", "JSON result");
    EXPECT_TRUE(fs::is_symlink(dir / "link.json"));
    EXPECT_EQ(content(target), "new");
    EXPECT_EQ(fs::status(target).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // Nothing else is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
}

/// A calibration with measured = reference, an identity matrix and whites.
DataLayer::PhotoCalibrationResult perfectResult(const ReferenceColors& references,
                                                Encoding encoding) {
    const auto toWorking = [encoding](double value) {
        return DataLayer::Color::toWorkingValue(value, encoding);
    };
    DataLayer::PhotoCalibrationResult result;
    result.encoding = encoding;
    result.valuesLinear = encoding == Encoding::eLinear;
    result.photoRoi = {0, 0, 640, 480};
    result.matrix = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    result.realWhiteBgr = {toWorking(240), toWorking(241), toWorking(242)};
    result.pickedWhiteBgr = result.realWhiteBgr;
    for (int i = 0; i < 20; ++i) {
        result.centers.emplace_back(10.0 * i, 5.0);
        result.referenceIndex.push_back((i % 4) * 5 + i / 4);
        for (int c = 0; c < 3; ++c) result.measuredRgb[i][c] = toWorking(references[i][c]);
    }
    return result;
}

TEST(Summary, ReportsColoursInTheReferenceFilesEncoding) {
    const ReferenceColors references = ChartSynth::defaultReferenceColors();
    for (Encoding encoding : {Encoding::eSrgb, Encoding::eLinear, Encoding::eNone}) {
        const CalibrationSummary s = summarize(perfectResult(references, encoding), references,
                                               EChart::eQCCPrint, {640, 480});
        EXPECT_EQ(s.matrixSpace(), encoding == Encoding::eNone ? "encoded" : "linear");
        ASSERT_EQ(s.patches.size(), 20u);
        EXPECT_EQ(s.patches[1].referenceIndex, 5);
        EXPECT_NEAR(s.realWhiteBgr[0], 240.0, 1e-9);
        for (const PatchRow& row : s.patches) {
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(row.measuredRgb[c], references[row.referenceIndex][c], 1e-9);
                EXPECT_NEAR(row.correctedRgb[c], references[row.referenceIndex][c], 1e-9);
            }
            EXPECT_NEAR(row.deltaEAfter, 0.0, 1e-6);
        }
    }
}

}  // namespace
