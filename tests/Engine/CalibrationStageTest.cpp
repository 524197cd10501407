// The calibration stage on a drawn layout: twenty square patches of known
// colours on a white ground, and the unusable layouts the engine's own
// segmentation never hands over (the others are checked through the engine).
#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/Calibration/CalibrationStage.h"

namespace {

using DataLayer::CalibrationFailure;
using Seeds = std::vector<std::array<int, 2>>;

/// A 4 x 5 grid of 30 px patches at a 45 px pitch, labelled 2 .. 21 in grid
/// order and painted with reference colour i, on a ground of 200.
struct Layout {
    cv::Mat input{190, 235, CV_32FC3, cv::Scalar::all(200.0)};
    cv::Mat white{190, 235, CV_32FC3, cv::Scalar::all(200.0)};
    cv::Mat labels{190, 235, CV_32SC1, cv::Scalar(1)};
    Seeds seeds;
    std::vector<int> lut;
    std::vector<float> reference;

    Layout() {
        cv::RNG rng(7);
        for (int i = 0; i < 20; ++i) {
            const cv::Rect patch(10 + 45 * (i % 5), 10 + 45 * (i / 5), 30, 30);
            const cv::Vec3f colour(rng.uniform(20.f, 180.f), rng.uniform(20.f, 180.f),
                                   rng.uniform(20.f, 180.f));
            input(patch).setTo(cv::Scalar(colour[0], colour[1], colour[2]));
            labels(patch).setTo(i + 2);
            seeds.push_back({patch.x + 15, patch.y + 15});
            lut.push_back(i);
            reference.insert(reference.end(), {colour[0], colour[1], colour[2]});
        }
    }
    DataLayer::CalibrationResult run(cv::Point offset = {0, 0}) const {
        const DataLayer::CalibrationInput in{
            input, white, offset, labels, seeds, lut, 20, reference, cv::Scalar::all(200.0)};
        return DataLayer::calibrateChart(in, 0.4);
    }
};

TEST(CalibrationStage, FitsTheDrawnChart) {
    Layout layout;
    const DataLayer::CalibrationResult result = layout.run();
    ASSERT_EQ(result.failure, CalibrationFailure::eNone)
        << std::string(result.message.begin(), result.message.end());
    EXPECT_FALSE(result.reversed);
    EXPECT_EQ(result.positions, layout.lut);
    const cv::Matx34f identity(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0);
    for (int k = 0; k < 12; ++k) EXPECT_NEAR(result.matrix[k], identity.val[k], 1e-3) << k;
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
        EXPECT_EQ(layout.run().failure, m.failure) << m.at[0] << ", " << m.at[1];
    }
    Layout layout;
    layout.seeds.push_back(layout.seeds[0]);
    EXPECT_EQ(layout.run().failure, CalibrationFailure::eTooManySeeds);
    layout.seeds.resize(19);
    EXPECT_EQ(layout.run().failure, CalibrationFailure::eTooFewSeeds);
    // Patch 0 cut to a strip 5 px wide around its seed: the opening takes it away.
    layout = Layout();
    cv::Mat patch = layout.labels(cv::Rect(10, 10, 30, 30));
    patch.colRange(0, 13).setTo(1);
    patch.colRange(18, 30).setTo(1);
    EXPECT_EQ(layout.run().failure, CalibrationFailure::ePatchNotMeasured);
}

}  // namespace
