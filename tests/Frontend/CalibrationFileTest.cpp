// The calibration file: the strict JSON reader and what a calibration must hold.
#include <gtest/gtest.h>

#include <string>

#include "CalibrationFile.h"
#include "FrontendError.h"
#include "JsonReader.h"

namespace {

using namespace ColorCalFrontend;

std::string errorOf(const std::string& text) {
    try {
        parseJson(text);
    } catch (const FrontendError& error) {
        return error.what();
    }
    return "(accepted)";
}

std::string calibrationErrorOf(const std::string& text) {
    try {
        parseCalibration(text);
    } catch (const FrontendError& error) {
        return error.what();
    }
    return "(accepted)";
}

// A calibration file as `calibrate` writes it, reduced to the keys that matter.
std::string calibration(const std::string& replace = "", const std::string& with = "") {
    std::string text = R"({
  "format_version": 1,
  "ok": true,
  "error": null,
  "chart": "qcc-print",
  "encoding": "srgb",
  "matrix_space": "linear",
  "linear_rgb": false,
  "image_size": [710, 812],
  "matrix": [
    [1.3860739470000001, -0.07582017034, -0.02534087561, -5.454447746],
    [-0.06686045974, 1.212551594, -0.04824533686, -3.750573874],
    [-0.008467555046, -0.09807059169, 1.167576671, -2.936001539]
  ],
  "real_white_bgr": [224.3085031, 238.1149981, 241.8171126],
  "patches": []
})";
    if (!replace.empty()) {
        const std::size_t at = text.find(replace);
        EXPECT_NE(at, std::string::npos) << replace;
        text.replace(at, replace.size(), with);
    }
    return text;
}

TEST(JsonReader, ReadsJsonExactly) {
    const JsonValue v = parseJson(
        " {\"a\": [1, -0.5e2, 0, true, false, null], \"b\": {\"c\": \"x\\u00e9\\ud83d\\ude00\\n\"},"
        " \"d\": 1.3860739470000001}\n");
    ASSERT_EQ(v.type, JsonValue::Type::eObject);
    ASSERT_EQ(v.find("a")->items.size(), 6u);
    EXPECT_EQ(v.find("a")->items[1].number, -50.0);
    EXPECT_EQ(v.find("a")->items[3].boolean, true);
    EXPECT_EQ(v.find("a")->items[5].type, JsonValue::Type::eNull);
    EXPECT_EQ(v.find("b")->find("c")->text, "x\xc3\xa9\xf0\x9f\x98\x80\n");
    EXPECT_EQ(v.find("d")->number, 1.3860739470000001);
    EXPECT_EQ(v.find("missing"), nullptr);
}

TEST(JsonReader, RefusesWhatIsNotStrictJsonWithItsPlace) {
    EXPECT_EQ(errorOf("{\"a\": 1,}"), "line 1, column 9: expected a key in double quotes");
    EXPECT_EQ(errorOf("[1, 2,]"), "line 1, column 7: unexpected character (expected a value)");
    EXPECT_EQ(errorOf("{\"a\": 1, \"a\": 2}"), "line 1, column 10: the key \"a\" appears twice");
    EXPECT_EQ(errorOf("{}\n{}"), "line 2, column 1: unexpected text after the document's end");
    EXPECT_EQ(errorOf("[01]"), "line 1, column 3: expected ',' or ']'");
    EXPECT_EQ(errorOf("[1.]"), "line 1, column 4: malformed number (no digit after '.')");
    EXPECT_EQ(errorOf("[1e999]"), "line 1, column 2: the number 1e999 is out of range");
    EXPECT_EQ(errorOf("[NaN]"), "line 1, column 2: unexpected character (expected a value)");
    EXPECT_EQ(errorOf("[Infinity]"), "line 1, column 2: unexpected character (expected a value)");
    EXPECT_EQ(errorOf("[\"a\tb\"]"), "line 1, column 4: a control character inside a string");
    EXPECT_EQ(errorOf("[\"\\ud800\"]"), "line 1, column 9: a high surrogate without its low half");
    EXPECT_EQ(errorOf("[\"\\udc00\"]"), "line 1, column 9: a lone low surrogate in a \\u escape");
    EXPECT_EQ(errorOf("[\"\xff\"]"), "line 1, column 3: bytes that are not UTF-8");
    EXPECT_EQ(errorOf("// c\n{}"), "line 1, column 1: unexpected character (expected a value)");
    EXPECT_EQ(errorOf(""), "line 1, column 1: the document ends where a value was expected");
    EXPECT_EQ(errorOf("{\"a\""), "line 1, column 5: expected ':' after a key");
    EXPECT_EQ(errorOf("[\"abc"), "line 1, column 6: unfinished string");
}

TEST(JsonReader, NestingIsBoundedWithoutExhaustingTheStack) {
    EXPECT_EQ(errorOf(std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']')),
              "(accepted)");
    EXPECT_NE(errorOf(std::string(100000, '[')).find("nested deeper than 64 levels"),
              std::string::npos);
}

TEST(CalibrationFileParsing, ReadsWhatCorrectingAPhotoNeeds) {
    const CalibrationData c = parseCalibration(calibration());
    EXPECT_EQ(c.chart, EChart::eQCCPrint);
    EXPECT_EQ(c.encoding, Encoding::eSrgb);
    EXPECT_FALSE(c.outputLinear());
    EXPECT_EQ(c.matrixBgr[0], 1.3860739470000001);
    EXPECT_EQ(c.matrixBgr[11], -2.936001539);
    EXPECT_EQ(c.realWhiteBgr[2], 241.8171126);
    EXPECT_EQ(c.imageSize, cv::Size(710, 812));
    EXPECT_NEAR(c.realWhiteWorking()[0], DataLayer::Color::srgbDecode(224.3085031), 1e-12);

    const CalibrationData none = parseCalibration(
        calibration("\"encoding\": \"srgb\",\n  \"matrix_space\": \"linear\",\n  \"linear_rgb\": "
                    "false",
                    "\"encoding\": \"none\",\n  \"matrix_space\": \"encoded\",\n  \"linear_rgb\": "
                    "true"));
    EXPECT_EQ(none.encoding, Encoding::eNone);
    EXPECT_TRUE(none.outputLinear());
    EXPECT_EQ(none.realWhiteWorking()[0], 224.3085031);
}

TEST(CalibrationFileParsing, RefusesFilesItCannotStandBehindNamingTheFault) {
    const std::pair<std::pair<std::string, std::string>, std::string> cases[] = {
        {{"\"format_version\": 1,", ""}, "no \"format_version\""},
        {{"\"format_version\": 1", "\"format_version\": 2"}, "format_version 2 is not supported"},
        {{"\"format_version\": 1", "\"format_version\": \"1\""},
         "format_version not a number is not supported"},
        {{"\"ok\": true,\n  \"error\": null", "\"ok\": false,\n  \"error\": \"no chart\""},
         "the calibration failed (no chart); there is nothing to apply"},
        {{"\"chart\": \"qcc-print\"", "\"chart\": \"qcc-paper\""},
         "unknown chart type 'qcc-paper'"},
        {{"\"encoding\": \"srgb\"", "\"encoding\": \"gamma\""}, "unknown encoding 'gamma'"},
        {{"\"matrix_space\": \"linear\"", "\"matrix_space\": \"encoded\""},
         "matrix_space 'encoded' does not go with encoding srgb (expected linear)"},
        {{"\"linear_rgb\": false", "\"linear_rgb\": 0"}, "\"linear_rgb\" is a number"},
        {{"[710, 812]", "[710]"}, "image_size must be an array of 2 numbers"},
        {{"[710, 812]", "[710.5, 812]"}, "image_size must hold whole numbers"},
        {{"[710, 812]", "[0, 812]"}, "image_size[0]: 0 lies outside 1..1e+06"},
        {{"[710, 812]", "[1000000, 1000000]"}, "larger than 10^10 pixels"},
        {{"[224.3085031, 238.1149981, 241.8171126]", "[224.3, 0, 241.8]"},
         "real_white_bgr[1] must be above 0"},
        {{"[224.3085031, 238.1149981, 241.8171126]", "[224.3, \"238\", 241.8]"},
         "real_white_bgr[1] is a string, expected a number"},
        {{"-5.454447746]", "1e30]"}, "matrix[0][3]: 1e+30 lies outside -100000..100000"},
        {{"1.212551594", "null"}, "matrix[1][1] is null, expected a number"},
        {{"1.212551594,", ""}, "matrix[1] must be an array of 4 numbers"},
        {{"\"matrix\": [", "\"matrix\": [[1, 0, 0, 0],"}, "matrix must hold 3 rows of 4 numbers"},
        {{"\"chart\": \"qcc-print\",", ""}, "it has no \"chart\""},
        {{"\"ok\": true", "\"ok\": 1"}, "\"ok\" is a number, expected true or false"},
        {{"\"patches\": []", "\"patches\": [}"}, "not JSON: line 16, column 15"},
    };
    for (const auto& [change, expected] : cases) {
        const std::string message = calibrationErrorOf(calibration(change.first, change.second));
        EXPECT_NE(message.find(expected), std::string::npos)
            << "after replacing '" << change.first << "': got '" << message << "', expected '"
            << expected << "'";
    }
    EXPECT_EQ(calibrationErrorOf("[1]"), "not a calibration (the document is not a JSON object)");
}

}  // namespace
