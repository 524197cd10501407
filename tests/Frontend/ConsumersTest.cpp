// The exports read by the programs they are made for, and `colorcal apply`'s
// files: ffmpeg's lut3d filter reads our .cube as we interpolate it, the
// .cube's entries are what apply writes at its grid colours, LittleCMS's
// transicc and tificc with our profile give apply's colours, and apply keeps
// depth, format and metadata. Runs the tool and the programs as a user would.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "CalibrationExport.h"
#include "CalibrationFile.h"
#include "DataLayer/ShadeAnalysis/ColorScience.h"
#include "JsonReader.h"
#include "PhotoCorrection.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

namespace {

namespace fs = std::filesystem;
using namespace ColorCalFrontend;
using DataLayer::Color::deltaE2000;
using DataLayer::Color::rgbToLab;

/// Runs a shell command quietly (its output goes to /dev/null unless it redirects it itself).
int run(const std::string& command) {
    const bool redirects = command.find(" > ") != std::string::npos;
    return std::system((command + (redirects ? " 2>/dev/null" : " >/dev/null 2>&1")).c_str());
}

bool have(const std::string& program) { return run("command -v " + program) == 0; }

std::string readText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

class Consumers : public ::testing::Test {
  protected:
    static fs::path dir;
    static std::string tool;

    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("colorcal-consumers-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        tool = COLORCAL_CLI;
        const std::string d = dir.string();
        ASSERT_EQ(run(tool + " render --chart qcc-print --seed 3 --out " + d + "/photo.png" +
                      " --reference-out " + d + "/reference.csv --truth-out " + d + "/truth.json"),
                  0);
        const std::string truth = readText(dir / "truth.json");
        const JsonValue region = *parseJson(truth).find("chart_region");
        std::string roi;
        for (const JsonValue& v : region.items) {
            roi += (roi.empty() ? "" : ",") + std::to_string(static_cast<int>(v.number));
        }
        ASSERT_EQ(run(tool + " calibrate --chart qcc-print --image " + d + "/photo.png" +
                      " --reference " + d + "/reference.csv --roi " + roi + " --json " + d +
                      "/srgb.json --white-out " + d + "/white.tiff"),
                  0);
        // The same matrix read as a calibration of linear photos and of values
        // as given: the profile's other two forms.
        const std::string srgb = readText(dir / "srgb.json");
        writeText(dir / "linear.json",
                  replaced(srgb, "\"encoding\": \"srgb\"", "\"encoding\": \"linear\""));
        writeText(dir / "none.json",
                  replaced(replaced(srgb, "\"encoding\": \"srgb\"", "\"encoding\": \"none\""),
                           "\"matrix_space\": \"linear\"", "\"matrix_space\": \"encoded\""));
    }
    static void TearDownTestSuite() { fs::remove_all(dir); }

    static CalibrationData calibration(const std::string& name) {
        return parseCalibration(readText(dir / (name + ".json")));
    }

    /// The device colours checked: the chart's 20 patches as measured and a
    /// grid of 9 x 9 x 9 colours covering the gamut; (r, g, b), 0..255.
    static std::vector<std::array<double, 3>> deviceColours() {
        std::vector<std::array<double, 3>> colours;
        const JsonValue json = parseJson(readText(dir / "srgb.json"));
        for (const JsonValue& patch : json.find("patches")->items) {
            const auto& rgb = patch.find("measured_rgb")->items;
            colours.push_back({rgb[0].number, rgb[1].number, rgb[2].number});
        }
        EXPECT_EQ(colours.size(), 20u);
        for (int b = 0; b < 9; ++b)
            for (int g = 0; g < 9; ++g)
                for (int r = 0; r < 9; ++r) colours.push_back({r * 31.875, g * 31.875, b * 31.875});
        return colours;
    }

    /// What apply makes of a device colour, as sRGB-encoded (r, g, b) 0..255.
    static std::array<double, 3> expectedSrgb(const CalibrationData& c,
                                              const std::array<double, 3>& rgb) {
        const CorrectionModel model(c);
        const std::array<double, 3> bgr = model.correctColor({rgb[2], rgb[1], rgb[0]});
        std::array<double, 3> out{};
        for (int k = 0; k < 3; ++k) {
            out[k] = c.outputLinear() ? DataLayer::Color::srgbEncode(bgr[2 - k]) : bgr[2 - k];
        }
        return out;
    }
};

fs::path Consumers::dir;
std::string Consumers::tool;

TEST_F(Consumers, CubeEntriesAreWhatApplyWritesAtTheGridColours) {
    const int n = 33;
    // The grid colours in a float photo on 0..1 (pixel x = g * n + r, row b).
    cv::Mat grid(n, n * n, CV_32FC3);
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r)
                grid.at<cv::Vec3f>(b, g * n + r) =
                    cv::Vec3f(static_cast<float>(b) / (n - 1), static_cast<float>(g) / (n - 1),
                              static_cast<float>(r) / (n - 1));
    const std::string d = dir.string();
    ASSERT_TRUE(cv::imwrite(d + "/grid.tif", grid, {cv::IMWRITE_TIFF_COMPRESSION, 5}));
    for (const std::string name : {"srgb", "none"}) {
        ASSERT_EQ(run(tool + " export --calibration " + d + "/" + name + ".json --cube " + d + "/" +
                      name + ".cube"),
                  0);
        ASSERT_EQ(run(tool + " apply --quiet --calibration " + d + "/" + name + ".json --out " + d +
                      "/grid-" + name + ".tif " + d + "/grid.tif"),
                  0);
        const CubeLut lut = parseCube(readText(dir / (name + ".cube")));
        const cv::Mat applied = cv::imread(d + "/grid-" + name + ".tif", cv::IMREAD_UNCHANGED);
        ASSERT_EQ(applied.type(), CV_32FC3);
        double worst = 0.0;
        for (int b = 0; b < n; ++b)
            for (int g = 0; g < n; ++g)
                for (int r = 0; r < n; ++r) {
                    const cv::Vec3f a = applied.at<cv::Vec3f>(b, g * n + r);
                    const std::array<float, 3>& e = lut.table[(b * n + g) * n + r];
                    for (int c = 0; c < 3; ++c) {
                        worst = std::max(worst, 255.0 * std::abs(a[2 - c] - e[c]));
                    }
                }
        EXPECT_LE(worst, 0.5) << name << ": codes between the cube and apply";
        std::printf("[ figures  ] %s cube entries against apply: largest difference %.4f codes\n",
                    name.c_str(), worst);
    }
}

TEST_F(Consumers, FfmpegReadsTheCubeAsOurTetrahedralInterpolation) {
    if (!have("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed (scripts/deps.sh installs it)";
    const std::string d = dir.string();
    ASSERT_EQ(run(tool + " export --calibration " + d + "/srgb.json --cube " + d +
                  "/ff.cube --cube-size 17"),
              0);
    const CubeLut lut = parseCube(readText(dir / "ff.cube"));
    // Random colours and the chart photo's.
    cv::Mat photo = cv::imread(d + "/photo.png");
    cv::Mat noise(64, photo.cols, CV_8UC3);
    cv::randu(noise, 0, 256);
    cv::vconcat(photo, noise, photo);
    ASSERT_TRUE(cv::imwrite(d + "/ff-in.png", photo));
    ASSERT_EQ(run("ffmpeg -nostdin -loglevel error -y -i " + d + "/ff-in.png -vf lut3d=file=" + d +
                  "/ff.cube:interp=tetrahedral -pix_fmt rgb24 " + d + "/ff-out.png"),
              0);
    const cv::Mat out = cv::imread(d + "/ff-out.png");
    ASSERT_EQ(out.size(), photo.size());
    double worst = 0.0;
    for (int y = 0; y < photo.rows; ++y)
        for (int x = 0; x < photo.cols; ++x) {
            const cv::Vec3b in = photo.at<cv::Vec3b>(y, x);
            const std::array<double, 3> ours =
                interpolateTetrahedral(lut, {in[2] / 255.0, in[1] / 255.0, in[0] / 255.0});
            const cv::Vec3b theirs = out.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c) {
                worst = std::max(worst, std::abs(theirs[2 - c] - 255.0 * ours[c]));
            }
        }
    EXPECT_LE(worst, 1.0);
    std::printf(
        "[ figures  ] ffmpeg lut3d against our interpolation: largest difference %.3f "
        "codes\n",
        worst);
}

TEST_F(Consumers, TransiccWithTheProfileGivesApplysColours) {
    if (!have("transicc")) GTEST_SKIP() << "transicc is not installed (liblcms2-utils)";
    const std::string d = dir.string();
    const std::vector<std::array<double, 3>> colours = deviceColours();
    std::string input;
    for (const auto& c : colours) {
        input +=
            std::to_string(c[0]) + " " + std::to_string(c[1]) + " " + std::to_string(c[2]) + "\n";
    }
    writeText(dir / "colours.txt", input);
    for (const std::string name : {"srgb", "linear", "none"}) {
        const CalibrationData c = calibration(name);
        ASSERT_EQ(run(tool + " export --calibration " + d + "/" + name + ".json --icc " + d + "/" +
                      name + ".icc"),
                  0);
        for (const std::string intent : {"0", "1"}) {
            ASSERT_EQ(run("transicc -n -t" + intent + " -i " + d + "/" + name +
                          ".icc -o '*sRGB' < " + d + "/colours.txt > " + d + "/transicc.txt"),
                      0);
            std::istringstream out(readText(dir / "transicc.txt"));
            double worst = 0.0;
            double sum = 0.0;
            for (const auto& colour : colours) {
                std::array<double, 3> got{};
                ASSERT_TRUE(out >> got[0] >> got[1] >> got[2]) << name;
                for (double& v : got) v = std::clamp(v, 0.0, 255.0);
                const double e =
                    deltaE2000(rgbToLab(got, false), rgbToLab(expectedSrgb(c, colour), false));
                worst = std::max(worst, e);
                sum += e;
            }
            EXPECT_LE(worst, 0.5) << name << " profile, intent " << intent;
            std::printf(
                "[ figures  ] transicc -t%s, %s profile: CIEDE2000 to apply mean %.4f, "
                "max %.4f over %zu colours\n",
                intent.c_str(), name.c_str(), sum / colours.size(), worst, colours.size());
        }
    }
}

TEST_F(Consumers, TificcWithTheProfileGivesApplysColoursOnATiff) {
    if (!have("tificc")) GTEST_SKIP() << "tificc is not installed (liblcms2-utils)";
    const std::string d = dir.string();
    const std::vector<std::array<double, 3>> colours = deviceColours();
    cv::Mat image(1, static_cast<int>(colours.size()), CV_8UC3);
    for (std::size_t i = 0; i < colours.size(); ++i) {
        image.at<cv::Vec3b>(0, static_cast<int>(i)) = cv::Vec3b(
            cv::saturate_cast<uchar>(colours[i][2]), cv::saturate_cast<uchar>(colours[i][1]),
            cv::saturate_cast<uchar>(colours[i][0]));
    }
    ASSERT_TRUE(cv::imwrite(d + "/tificc-in.tif", image));
    ASSERT_EQ(run(tool + " export --calibration " + d + "/srgb.json --icc " + d + "/tificc.icc"),
              0);
    ASSERT_EQ(run("tificc -w16 -i" + d + "/tificc.icc -o'*sRGB' " + d + "/tificc-in.tif " + d +
                  "/tificc-out.tif"),
              0);
    const cv::Mat out = cv::imread(d + "/tificc-out.tif", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(out.type(), CV_16UC3);
    const CalibrationData c = calibration("srgb");
    double worst = 0.0;
    for (int i = 0; i < image.cols; ++i) {
        const cv::Vec3b in = image.at<cv::Vec3b>(0, i);
        const cv::Vec3w o = out.at<cv::Vec3w>(0, i);
        const std::array<double, 3> got = {o[2] * 255.0 / 65535, o[1] * 255.0 / 65535,
                                           o[0] * 255.0 / 65535};
        const std::array<double, 3> want =
            expectedSrgb(c, {double(in[2]), double(in[1]), double(in[0])});
        worst = std::max(worst, deltaE2000(rgbToLab(got, false), rgbToLab(want, false)));
    }
    EXPECT_LE(worst, 0.5);
    std::printf(
        "[ figures  ] tificc (16-bit output), srgb profile: largest CIEDE2000 to apply "
        "%.4f\n",
        worst);
}

TEST_F(Consumers, ApplyKeepsDepthFormatAndMetadataAndTagsTheColourSpace) {
    const std::string d = dir.string();
    const cv::Mat photo = cv::imread(d + "/photo.png");
    ASSERT_TRUE(cv::imwrite(d + "/camera.jpg", photo));
    const std::vector<unsigned char> cameraProfile = makeOutputSpaceProfile(true);
    {
        auto image = Exiv2::ImageFactory::open(d + "/camera.jpg");
        image->readMetadata();
        Exiv2::ExifData exif;
        exif["Exif.Image.Make"] = "TestCam";
        exif["Exif.Image.Orientation"] = static_cast<std::uint16_t>(6);
        exif["Exif.Photo.ColorSpace"] = static_cast<std::uint16_t>(65535);
        image->setExifData(exif);
        Exiv2::XmpData xmp;
        xmp["Xmp.dc.title"] = "chart";
        image->setXmpData(xmp);
        Exiv2::DataBuf icc(cameraProfile.data(), static_cast<long>(cameraProfile.size()));
        image->setIccProfile(icc, true);
        image->writeMetadata();
    }
    cv::Mat deep;
    photo.convertTo(deep, CV_16UC3, 257.0);
    ASSERT_TRUE(cv::imwrite(d + "/deep.png", deep));
    cv::Mat floating;
    photo.convertTo(floating, CV_32FC3, 1.0 / 255.0);
    ASSERT_TRUE(cv::imwrite(d + "/floating.tif", floating, {cv::IMWRITE_TIFF_COMPRESSION, 5}));
    fs::create_directories(dir / "out");
    ASSERT_EQ(run(tool + " apply --quiet --calibration " + d + "/srgb.json --white " + d +
                  "/white.tiff --out-dir " + d + "/out " + d + "/camera.jpg " + d + "/deep.png " +
                  d + "/floating.tif"),
              0);
    EXPECT_EQ(cv::imread(d + "/out/deep.png", cv::IMREAD_UNCHANGED).type(), CV_16UC3);
    EXPECT_EQ(cv::imread(d + "/out/floating.tif", cv::IMREAD_UNCHANGED).type(), CV_32FC3);
    ASSERT_EQ(run(tool + " apply --quiet --calibration " + d +
                  "/srgb.json --format jpg --out-dir " + d + "/out " + d + "/deep.png"),
              0);
    EXPECT_EQ(cv::imread(d + "/out/deep.jpg", cv::IMREAD_UNCHANGED).type(), CV_8UC3);

    auto image = Exiv2::ImageFactory::open(d + "/out/camera.jpg");
    image->readMetadata();
    const Exiv2::ExifData& exif = image->exifData();
    ASSERT_NE(exif.findKey(Exiv2::ExifKey("Exif.Image.Make")), exif.end());
    EXPECT_EQ(exif.findKey(Exiv2::ExifKey("Exif.Image.Make"))->toString(), "TestCam");
    EXPECT_EQ(exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"))->toLong(), 6);
    EXPECT_EQ(exif.findKey(Exiv2::ExifKey("Exif.Photo.ColorSpace"))->toLong(), 1);
    const Exiv2::XmpData& xmp = image->xmpData();
    ASSERT_NE(xmp.findKey(Exiv2::XmpKey("Xmp.dc.title")), xmp.end());
    // The camera's profile is replaced by sRGB's: the values written are sRGB.
    ASSERT_TRUE(image->iccProfileDefined());
    const std::vector<unsigned char> srgb = makeOutputSpaceProfile(false);
    const Exiv2::DataBuf* icc = image->iccProfile();
    // The tags after the 128-byte header (which holds the creation time) are sRGB's.
    ASSERT_EQ(static_cast<std::size_t>(icc->size_), srgb.size());
    EXPECT_EQ(std::vector<unsigned char>(icc->pData_ + 128, icc->pData_ + icc->size_),
              std::vector<unsigned char>(srgb.begin() + 128, srgb.end()));
}

}  // namespace

#pragma GCC diagnostic pop
