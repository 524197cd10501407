#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "DataLayer/ShadeAnalysis/ColorScience.h"

namespace {

using DataLayer::Color::Lab;
namespace Color = DataLayer::Color;

TEST(ColorScience, DeltaE2000MatchesAllPublishedReferencePairs) {
    std::ifstream file(std::string(COLORCAL_TEST_DATA_DIR) + "/ciede2000_reference_pairs.csv");
    ASSERT_TRUE(file.good());
    std::string line;
    int pairs = 0;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#' || line.rfind("pair", 0) == 0) {
            continue;
        }
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream fields(line);
        int pair = 0;
        Lab x;
        Lab y;
        double expected = 0.0;
        ASSERT_TRUE(fields >> pair >> x.L >> x.a >> x.b >> y.L >> y.a >> y.b >> expected) << line;
        // Published to four decimals; the formula is symmetric.
        EXPECT_NEAR(Color::deltaE2000(x, y), expected, 5e-5) << "pair " << pair;
        EXPECT_NEAR(Color::deltaE2000(y, x), expected, 5e-5) << "pair " << pair;
        ++pairs;
    }
    EXPECT_EQ(pairs, 34);
}

TEST(ColorScience, SrgbRoundTripOverAllCodesIsExactAndMonotonic) {
    double previous = -1.0;
    for (int code = 0; code < 256; ++code) {
        const double linear = Color::srgbDecode(code);
        EXPECT_GT(linear, previous);
        previous = linear;
        EXPECT_NEAR(Color::srgbEncode(linear), code, 1e-9);
    }
    EXPECT_TRUE(std::isnan(Color::srgbDecode(std::nan(""))));
}

TEST(ColorScience, LabOfWhiteAndMidGreyAndRoundTrip) {
    const Lab white = Color::rgbToLab({255, 255, 255}, false);
    EXPECT_NEAR(white.L, 100.0, 1e-3);
    EXPECT_NEAR(std::hypot(white.a, white.b), 0.0, 1e-2);
    // Linear 0.18 grey is L* 49.5.
    EXPECT_NEAR(Color::rgbToLab({0.18 * 255, 0.18 * 255, 0.18 * 255}, true).L, 49.496, 1e-2);
    const std::array<double, 3> rgb{200.0, 40.0, 90.0};
    const std::array<double, 3> back = Color::labToSrgb(Color::rgbToLab(rgb, false));
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(back[k], rgb[k], 1e-3);
}

}  // namespace
