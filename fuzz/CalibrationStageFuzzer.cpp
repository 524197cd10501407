// Drives the calibration stage (`calibrateChart`) with small drawn layouts
// shaped by the fuzzer: twenty patches of 10 to 28 px (the mask's opening and
// erosion take 6 px off each side) in a 4 x 5 or 5 x 4
// grid, their colours the references through a fuzzer-made matrix plus noise,
// a white image of any level (now and then not finite), a colour index table
// that is a permutation or anything, seeds moved, repeated or dropped, the
// layout and grid told right or wrong, and values that are not finite.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/Calibration/CalibrationStage.h"

namespace {

constexpr int kPatches = 20;

float wildValue(FuzzedDataProvider& fdp) {
    return fdp.PickValueInArray({std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::infinity(), -1.0e30f, 1.0e30f, 0.0f,
                                 -1.0f, 1.0e-30f});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const int rows = fdp.ConsumeBool() ? 4 : 5;
    const int cols = kPatches / rows;
    const int side = fdp.ConsumeIntegralInRange(10, 28);
    const int pitch = side + fdp.ConsumeIntegralInRange(0, 6);
    const int border = fdp.ConsumeIntegralInRange(0, 4);
    const int width = border * 2 + (cols - 1) * pitch + side;
    const int height = border * 2 + (rows - 1) * pitch + side;
    const float ground = fdp.ConsumeFloatingPointInRange(0.0f, 255.0f);
    cv::Mat input(height, width, CV_32FC3, cv::Scalar::all(ground));
    cv::Mat labels(height, width, CV_32SC1, cv::Scalar(1));

    // References, and the camera's view of them: out = M·(B, G, R, 1) + noise.
    std::vector<float> reference(3 * kPatches);
    for (float& v : reference) v = fdp.ConsumeFloatingPointInRange(0.0f, 255.0f);
    cv::Matx34f camera(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0);
    if (fdp.ConsumeBool()) {
        for (float& m : camera.val) m += fdp.ConsumeFloatingPointInRange(-0.5f, 0.5f) * 2.0f;
    }
    const float noise = fdp.ConsumeFloatingPointInRange(0.0f, 8.0f);
    std::vector<std::array<int, 2>> seeds;
    for (int i = 0; i < kPatches; ++i) {
        const cv::Rect patch(border + pitch * (i % cols), border + pitch * (i / cols), side, side);
        const std::size_t k = static_cast<std::size_t>(i) * 3;
        const cv::Vec4f bgr1(reference[k], reference[k + 1], reference[k + 2], 1.0f);
        cv::Vec3f seen = camera * bgr1;
        for (int c = 0; c < 3; ++c) seen[c] += fdp.ConsumeFloatingPointInRange(-noise, noise);
        input(patch).setTo(cv::Scalar(seen[0], seen[1], seen[2]));
        labels(patch).setTo(i + 2);
        seeds.push_back({patch.x + side / 2, patch.y + side / 2});
    }

    // The colour index table: a permutation of 0..19 drawn by the fuzzer, or
    // now and then entries of any value.
    std::vector<int> lut(kPatches);
    std::iota(lut.begin(), lut.end(), 0);
    for (int i = kPatches - 1; i > 0; --i) {
        std::swap(lut[static_cast<std::size_t>(i)],
                  lut[static_cast<std::size_t>(fdp.ConsumeIntegralInRange(0, i))]);
    }
    if (fdp.ConsumeIntegralInRange(0, 7) == 0) {
        lut[static_cast<std::size_t>(fdp.ConsumeIntegralInRange(0, kPatches - 1))] =
            fdp.ConsumeIntegralInRange(-2, 22);
    }
    if (fdp.ConsumeIntegralInRange(0, 15) == 0) {
        lut.resize(static_cast<std::size_t>(fdp.ConsumeIntegralInRange(0, kPatches)));
    }
    const int clusters =
        fdp.ConsumeIntegralInRange(0, 7) == 0 ? fdp.ConsumeIntegralInRange(-1, 22) : kPatches;

    // Damage: seeds moved, dropped or added; labels rewritten; pixels not finite.
    const int damage = fdp.ConsumeIntegralInRange(0, 3);
    for (int d = 0; d < damage; ++d) {
        switch (fdp.ConsumeIntegralInRange(0, 5)) {
            case 0:
                if (!seeds.empty()) {
                    auto& s = seeds[fdp.ConsumeIntegralInRange<std::size_t>(0, seeds.size() - 1)];
                    s = {fdp.ConsumeIntegralInRange(-2, width + 1),
                         fdp.ConsumeIntegralInRange(-2, height + 1)};
                }
                break;
            case 1:
                if (!seeds.empty()) seeds.pop_back();
                break;
            case 2:
                seeds.push_back({fdp.ConsumeIntegralInRange(0, width - 1),
                                 fdp.ConsumeIntegralInRange(0, height - 1)});
                break;
            case 3:
                labels.at<int>(fdp.ConsumeIntegralInRange(0, height - 1),
                               fdp.ConsumeIntegralInRange(0, width - 1)) =
                    fdp.ConsumeIntegralInRange(-1, 23);
                break;
            case 4:
                input.at<cv::Vec3f>(
                    fdp.ConsumeIntegralInRange(0, height - 1),
                    fdp.ConsumeIntegralInRange(0, width - 1))[fdp.ConsumeIntegralInRange(0, 2)] =
                    wildValue(fdp);
                break;
            default:
                reference[fdp.ConsumeIntegralInRange<std::size_t>(0, reference.size() - 1)] =
                    wildValue(fdp);
                break;
        }
    }

    // The white image: the input's ground, placed at an offset in a larger
    // image, at any level; now and then a pixel that is not finite. The input
    // lies inside it except one time in eight.
    const bool anywhere = fdp.ConsumeIntegralInRange(0, 7) == 0;
    const cv::Point offset(fdp.ConsumeIntegralInRange(anywhere ? -1 : 0, 3),
                           fdp.ConsumeIntegralInRange(anywhere ? -1 : 0, 3));
    const int margin = anywhere ? 0 : 3;
    cv::Mat white(height + margin + fdp.ConsumeIntegralInRange(0, 4),
                  width + margin + fdp.ConsumeIntegralInRange(0, 4), CV_32FC3,
                  cv::Scalar::all(fdp.ConsumeFloatingPointInRange(-1.0f, 300.0f)));
    if (fdp.ConsumeIntegralInRange(0, 7) == 0) {
        white.at<cv::Vec3f>(fdp.ConsumeIntegralInRange(0, white.rows - 1),
                            fdp.ConsumeIntegralInRange(0, white.cols - 1)) =
            cv::Vec3f::all(wildValue(fdp));
    }
    cv::Scalar realWhite;
    for (int c = 0; c < 3; ++c) realWhite[c] = fdp.ConsumeFloatingPointInRange(-1.0, 300.0);
    const bool toldLayout = fdp.ConsumeBool();
    const bool swapGrid = fdp.ConsumeBool();
    const double maxResidual = fdp.ConsumeFloatingPointInRange(0.0, 2.0);

    const DataLayer::CalibrationInput in{input,
                                         white,
                                         offset,
                                         labels,
                                         seeds,
                                         lut,
                                         clusters,
                                         reference,
                                         realWhite,
                                         toldLayout ? rows : 0,
                                         toldLayout ? cols : 0,
                                         swapGrid ? cols : rows,
                                         swapGrid ? rows : cols};
    const DataLayer::CalibrationResult result = DataLayer::calibrateChart(in, maxResidual);
    if (result.failure.failed()) {
        return 0;
    }
    // A matrix is reported only when the library can stand behind it.
    for (float m : result.matrix) {
        if (!std::isfinite(m)) __builtin_trap();
    }
    if (result.positions.size() != seeds.size() || result.measured.rows != kPatches ||
        !cv::checkRange(result.measured)) {
        __builtin_trap();
    }
    return 0;
}
