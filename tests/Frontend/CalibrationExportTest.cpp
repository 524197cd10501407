// The .cube reader and the tetrahedral interpolation used to check exports:
// malformed files end in a FrontendError before any large allocation or any
// index is formed from a number that is not one.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "CalibrationExport.h"
#include "FrontendError.h"

namespace {

using namespace ColorCalFrontend;

// A 2-point identity cube with the given header lines before its entries.
std::string identityCube(const std::string& header) {
    std::string text = header + "LUT_3D_SIZE 2\n";
    for (int b = 0; b < 2; ++b)
        for (int g = 0; g < 2; ++g)
            for (int r = 0; r < 2; ++r)
                text +=
                    std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b) + "\n";
    return text;
}

std::string cubeErrorOf(const std::string& text) {
    try {
        parseCube(text);
    } catch (const FrontendError& error) {
        return error.what();
    }
    return "(accepted)";
}

TEST(CubeReader, ReadsAnIdentityCubeAndInterpolatesItExactly) {
    const CubeLut lut = parseCube(identityCube("TITLE \"x\"\r\n# comment\n"));
    ASSERT_EQ(lut.size, 2);
    ASSERT_EQ(lut.table.size(), 8U);
    const std::array<double, 3> out = interpolateTetrahedral(lut, {0.25, 0.5, 0.75});
    EXPECT_NEAR(out[0], 0.25, 1e-12);
    EXPECT_NEAR(out[1], 0.5, 1e-12);
    EXPECT_NEAR(out[2], 0.75, 1e-12);
    // Outside the domain the colour is clamped to it.
    const std::array<double, 3> clamped = interpolateTetrahedral(lut, {-3.0, 2.0, 0.5});
    EXPECT_EQ(clamped[0], 0.0);
    EXPECT_EQ(clamped[1], 1.0);
}

// Inputs the export fuzzing found: a degenerate domain made the interpolation
// divide 0 by 0 and use the result as an index, and a 30-byte file declaring
// 256 points per axis reserved some 200 MB before it was refused.
TEST(CubeReader, RefusesMalformedFilesWithTheLineOrTheReason) {
    EXPECT_EQ(cubeErrorOf("DOMAIN_MIN 0 0 0\nDOMAIN_MAX 0 1 1\n" + identityCube("")),
              "the cube's DOMAIN_MIN is not below its DOMAIN_MAX");
    EXPECT_EQ(cubeErrorOf(identityCube("DOMAIN_MIN 1 0 0\n")),
              "the cube's DOMAIN_MIN is not below its DOMAIN_MAX");
    EXPECT_EQ(cubeErrorOf(identityCube("DOMAIN_MAX nan 1 1\n")), "line 1: bad DOMAIN_MAX");
    EXPECT_EQ(cubeErrorOf(identityCube("DOMAIN_MAX inf 1 1\n")), "line 1: bad DOMAIN_MAX");
    EXPECT_EQ(cubeErrorOf("LUT_3D_SIZE 256\n0 0 0\n"),
              "the cube holds 1 entries, expected 16777216");
    EXPECT_EQ(cubeErrorOf("LUT_3D_SIZE 257\n"), "line 1: bad LUT_3D_SIZE");
    EXPECT_EQ(cubeErrorOf("LUT_3D_SIZE 1\n"), "line 1: bad LUT_3D_SIZE");
    EXPECT_EQ(cubeErrorOf(identityCube("LUT_3D_SIZE 3\n")), "line 2: bad LUT_3D_SIZE");
    EXPECT_EQ(cubeErrorOf(identityCube("") + "1 1 1\n"), "line 10: more than 8 entries");
    EXPECT_EQ(cubeErrorOf("0 0 0\n"), "line 1: expected three numbers after LUT_3D_SIZE");
    EXPECT_EQ(cubeErrorOf(""), "the cube holds 0 entries, expected 0");
}

TEST(CubeReader, InterpolationRefusesWhatTheReaderWouldRefuse) {
    CubeLut lut = parseCube(identityCube(""));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(interpolateTetrahedral(lut, {nan, 0.5, 0.5}), FrontendError);
    EXPECT_THROW(interpolateTetrahedral(lut, {0.5, INFINITY, 0.5}), FrontendError);
    CubeLut flat = lut;
    flat.domainMax[1] = flat.domainMin[1];
    EXPECT_THROW(interpolateTetrahedral(flat, {0.5, 0.5, 0.5}), FrontendError);
    CubeLut shortTable = lut;
    shortTable.table.pop_back();
    EXPECT_THROW(interpolateTetrahedral(shortTable, {0.5, 0.5, 0.5}), FrontendError);
    EXPECT_THROW(interpolateTetrahedral(CubeLut{}, {0.5, 0.5, 0.5}), FrontendError);
}

}  // namespace
