// The calibration stage on a drawn layout: twenty square patches of known
// colours on a white ground, and the unusable layouts the engine's own
// segmentation never hands over (the others are checked through the engine).
#include <array>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/Calibration/CalibrationStage.h"

namespace {

using DataLayer::CalibrationFailure;
using Seeds = std::vector<std::array<int, 2>>;

/// A grid of 30 px patches (4 x 5 unless told) at a 45 px pitch, labelled
/// 2 .. 21 in grid order and painted with reference colour i, on a ground of 200.
struct Layout {
    int rows = 4;
    int cols = 5;
    cv::Mat input{45 * rows + 10, 45 * cols + 10, CV_32FC3, cv::Scalar::all(200.0)};
    cv::Mat white{input.size(), CV_32FC3, cv::Scalar::all(200.0)};
    cv::Mat labels{input.size(), CV_32SC1, cv::Scalar(1)};
    Seeds seeds;
    std::vector<int> lut;
    std::vector<float> reference;
    // The layout the stage is told, and the grid the seeds are said to form.
    int layoutRows = 4;
    int layoutCols = 5;
    int gridRows = 4;
    int gridCols = 5;

    explicit Layout(int rowCount = 4) : rows(rowCount), cols(20 / rowCount) {
        cv::RNG rng(7);
        for (int i = 0; i < 20; ++i) {
            const cv::Rect patch(10 + 45 * (i % cols), 10 + 45 * (i / cols), 30, 30);
            const cv::Vec3f colour(rng.uniform(20.f, 180.f), rng.uniform(20.f, 180.f),
                                   rng.uniform(20.f, 180.f));
            input(patch).setTo(cv::Scalar(colour[0], colour[1], colour[2]));
            labels(patch).setTo(i + 2);
            seeds.push_back({patch.x + 15, patch.y + 15});
            lut.push_back(i);
            reference.insert(reference.end(), {colour[0], colour[1], colour[2]});
        }
        layoutRows = gridRows = rows;
        layoutCols = gridCols = cols;
    }
    /// The drawing turned as `how` says, its seeds in the found order of the turned
    /// grid (rows top to bottom, each left to right).
    void turn(cv::RotateFlags how) {
        for (cv::Mat* image : {&input, &white, &labels}) {
            cv::Mat turned;
            cv::rotate(*image, turned, how);
            *image = turned;
        }
        if (how != cv::ROTATE_180) {
            std::swap(gridRows, gridCols);
        }
        seeds.clear();
        for (int y = 25; y < input.rows; y += 45) {
            for (int x = 25; x < input.cols; x += 45) seeds.push_back({x, y});
        }
    }
    /// Reference position of each seed's patch: its drawn colour.
    std::vector<int> truth() const {
        std::vector<int> positions;
        for (const auto& s : seeds) positions.push_back(labels.at<int>(s[1], s[0]) - 2);
        return positions;
    }
    DataLayer::CalibrationResult run(cv::Point offset = {0, 0}) const {
        const DataLayer::CalibrationInput in{input,      white,      offset,
                                             labels,     seeds,      lut,
                                             20,         reference,  cv::Scalar::all(200.0),
                                             layoutRows, layoutCols, gridRows,
                                             gridCols};
        return DataLayer::calibrateChart(in, 0.4);
    }
};

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

TEST(CalibrationStage, FitsTheDrawnChart) {
    Layout layout;
    const DataLayer::CalibrationResult result = layout.run();
    ASSERT_EQ(result.failure.code, CalibrationFailure::eNone) << narrow(result.failure.message);
    EXPECT_EQ(result.orientation, 0);
    EXPECT_EQ(result.positions, layout.lut);
    const cv::Matx34f identity(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0);
    for (int k = 0; k < 12; ++k) EXPECT_NEAR(result.matrix[k], identity.val[k], 1e-3) << k;
    // Its grid is the layout's own and its colour index table the identity
    // (no layout fixed): the order, its reverse, and the two quarter turns of
    // a card printed the other way round are tried; only the order fits.
    ASSERT_EQ(result.pairings.size(), 4u);
    EXPECT_EQ(result.pairings[0].orientation, 0);
    EXPECT_LT(result.pairings[0].residual, 1e-3);
    for (std::size_t k = 1; k < 4; ++k) EXPECT_GT(result.pairings[k].residual, 0.4);
    EXPECT_EQ(result.pairings[1].orientation, 180);

    // A table that reads the grid in its own order fixes the layout: only
    // the order and its reverse are tried.
    Layout printed;
    std::vector<float> reference(printed.reference.size());
    for (std::size_t i = 0; i < 20; ++i) {
        printed.lut[i] = static_cast<int>((7 * i) % 20);
        for (std::size_t c = 0; c < 3; ++c) {
            reference[3 * static_cast<std::size_t>(printed.lut[i]) + c] =
                printed.reference[3 * i + c];
        }
    }
    printed.reference = reference;
    const DataLayer::CalibrationResult read = printed.run();
    ASSERT_EQ(read.failure.code, CalibrationFailure::eNone) << narrow(read.failure.message);
    EXPECT_EQ(read.positions, printed.lut);
    EXPECT_EQ(read.pairings.size(), 2u);
}

TEST(CalibrationStage, TheColoursDecideHowATurnedChartIsPaired) {
    // A chart laid out as 5 rows of 4, drawn upright and turned: a quarter
    // turn either way gives a grid of 4 rows of 5, half a turn one of 5 of 4.
    const struct {
        cv::RotateFlags turn;
        int orientation;
    } turns[] = {{cv::ROTATE_90_CLOCKWISE, 90},
                 {cv::ROTATE_90_COUNTERCLOCKWISE, 270},
                 {cv::ROTATE_180, 180}};
    for (const auto& t : turns) {
        SCOPED_TRACE(t.orientation);
        Layout layout(5);
        layout.turn(t.turn);
        const DataLayer::CalibrationResult result = layout.run();
        ASSERT_EQ(result.failure.code, CalibrationFailure::eNone) << narrow(result.failure.message);
        EXPECT_EQ(result.orientation, t.orientation);
        EXPECT_EQ(result.positions, layout.truth());
        ASSERT_EQ(result.pairings.size(), 4u);
        for (const DataLayer::PairingFit& pairing : result.pairings) {
            EXPECT_EQ(pairing.positions == layout.truth(), pairing.orientation == t.orientation)
                << pairing.orientation;
        }
        // Said to be of the layout's own shape, the turned grid is paired as
        // found, reversed or as a card printed the other way round, and none
        // of these fits.
        if (t.orientation != 180) {
            std::swap(layout.gridRows, layout.gridCols);
            const DataLayer::CalibrationResult unturned = layout.run();
            EXPECT_EQ(unturned.failure.code, CalibrationFailure::eResidualTooLarge);
            EXPECT_NE(unturned.failure.message.find(L"the best of 4 pairings"), std::wstring::npos)
                << narrow(unturned.failure.message);
        }
    }
}

TEST(CalibrationStage, TwoPairingsThatBothFitAreRefused) {
    // Each colour's reverse partner is itself with blue and red swapped: the
    // reversed pairing fits as exactly as the grid's order.
    Layout layout;
    for (int i = 0; i < 10; ++i) {
        const cv::Vec3f c = layout.input.at<cv::Vec3f>(layout.seeds[i][1], layout.seeds[i][0]);
        const cv::Rect partner(layout.seeds[19 - i][0] - 15, layout.seeds[19 - i][1] - 15, 30, 30);
        layout.input(partner).setTo(cv::Scalar(c[2], c[1], c[0]));
        const std::size_t p = 3 * static_cast<std::size_t>(19 - i);
        layout.reference[p] = c[2];
        layout.reference[p + 1] = c[1];
        layout.reference[p + 2] = c[0];
    }
    const DataLayer::CalibrationResult result = layout.run();
    EXPECT_EQ(result.failure.code, CalibrationFailure::ePairingAmbiguous);
    for (const wchar_t* part : {L"2 pairings pass", L"as found 0.", L"upside down 0."}) {
        EXPECT_NE(result.failure.message.find(part), std::wstring::npos)
            << narrow(result.failure.message);
    }
    EXPECT_TRUE(result.positions.empty());
    // The colour index table is the identity, so the grid may also show a
    // card printed the other way round and turned: four pairings are tried,
    // the grid's order and its reverse pass.
    ASSERT_EQ(result.pairings.size(), 4u);
    EXPECT_LT(result.pairings[0].residual, 1e-3);
    EXPECT_LT(result.pairings[1].residual, 1e-3);
    EXPECT_GT(result.pairings[2].residual, 0.4);
    EXPECT_GT(result.pairings[3].residual, 0.4);
}

TEST(CalibrationStage, RefusesLayoutsItCannotMeasureBeforeReadingAPixel) {
    // Seed 4 moved outside the image on either side, onto the ground, onto patch 2.
    const struct {
        std::array<int, 2> at;
        CalibrationFailure failure;
    } moved[] = {{{-1, 20}, CalibrationFailure::eSeedOutside},
                 {{235, 20}, CalibrationFailure::eSeedOutside},
                 {{5, 5}, CalibrationFailure::eSeedNotOnPatch},
                 {{103, 25}, CalibrationFailure::eSeedsShareAPatch}};
    for (const auto& m : moved) {
        Layout layout;
        layout.seeds[4] = m.at;
        EXPECT_EQ(layout.run().failure.code, m.failure) << m.at[0] << ", " << m.at[1];
    }
    Layout layout;
    layout.seeds.push_back(layout.seeds[0]);
    EXPECT_EQ(layout.run().failure.code, CalibrationFailure::eTooManySeeds);
    layout.seeds.resize(19);
    EXPECT_EQ(layout.run().failure.code, CalibrationFailure::eTooFewSeeds);
    // Patch 0 cut to a strip 5 px wide around its seed: the opening takes it away.
    layout = Layout();
    cv::Mat patch = layout.labels(cv::Rect(10, 10, 30, 30));
    patch.colRange(0, 13).setTo(1);
    patch.colRange(18, 30).setTo(1);
    EXPECT_EQ(layout.run().failure.code, CalibrationFailure::ePatchNotMeasured);
}

}  // namespace
