// Drives the chart search stage (`segmentChart`) with charts drawn from the
// fuzzer's bytes at the chart type's nominal scale: a few patches or (now and
// then) the whole grid, their colours, the ground's colour, a small turn and shift, noise,
// blur, and values that are not finite. The region stays small (at most the
// whole chart plus a margin) so that an input takes milliseconds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/Loggers.h"
#include "DataLayer/ShadeAnalysis/Segmentation/SegmentationStage.h"

namespace {

using EParameterSet = Base::IParameterSetColorCalibrationTarget::EParameterSet;

cv::Scalar colour(FuzzedDataProvider& fdp) {
    return cv::Scalar(fdp.ConsumeIntegral<std::uint8_t>(), fdp.ConsumeIntegral<std::uint8_t>(),
                      fdp.ConsumeIntegral<std::uint8_t>());
}

/// The chart's patches (`rows` x `cols` of the grid) on a ground, drawn turned
/// by `angle` degrees about the region's centre.
cv::Mat drawChart(FuzzedDataProvider& fdp,
                  const DataLayer::CParameterSetColorCalibrationTarget& p) {
    const double side = p.GetSegmentSideLength() * fdp.ConsumeFloatingPointInRange(0.85, 1.15);
    const double pitch = p.GetGridLength() * fdp.ConsumeFloatingPointInRange(0.9, 1.1);
    // A few patches mostly (up to 2 x 2, a row or column of 3 one time in
    // four); the whole grid one time in sixteen. The search's cost grows with
    // the region's area: this keeps it near 20 inputs a second per core.
    const int shape = fdp.ConsumeIntegralInRange(0, 15);
    const bool whole = shape == 0;
    const int rows = whole        ? p.GetGridRows()
                     : shape <= 2 ? 1
                                  : fdp.ConsumeIntegralInRange(1, shape <= 4 ? 3 : 2);
    const int cols = whole        ? p.GetGridColumns()
                     : shape <= 2 ? 3
                                  : fdp.ConsumeIntegralInRange(1, shape <= 4 ? 1 : 2);
    const double margin = pitch * fdp.ConsumeFloatingPointInRange(0.1, 0.8);
    const int width = static_cast<int>(std::ceil((cols - 1) * pitch + side + 2 * margin));
    const int height = static_cast<int>(std::ceil((rows - 1) * pitch + side + 2 * margin));
    cv::Mat region(height, width, CV_32FC3, colour(fdp));
    const double angle = fdp.ConsumeFloatingPointInRange(-12.0, 12.0) * CV_PI / 180.0;
    const cv::Point2d shift(fdp.ConsumeFloatingPointInRange(-0.3, 0.3) * pitch,
                            fdp.ConsumeFloatingPointInRange(-0.3, 0.3) * pitch);
    const cv::Point2d centre(width / 2.0 + shift.x, height / 2.0 + shift.y);
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    // Patch corners relative to the grid's centre, turned and moved.
    auto at = [&](double u, double v) {
        u -= ((cols - 1) * pitch + side) / 2.0;
        v -= ((rows - 1) * pitch + side) / 2.0;
        return cv::Point(cvRound(centre.x + c * u - s * v), cvRound(centre.y + s * u + c * v));
    };
    for (int r = 0; r < rows; ++r) {
        for (int k = 0; k < cols; ++k) {
            const double u = k * pitch;
            const double v = r * pitch;
            const std::vector<cv::Point> square = {at(u, v), at(u + side, v),
                                                   at(u + side, v + side), at(u, v + side)};
            cv::fillConvexPoly(region, square, colour(fdp), cv::LINE_AA);
        }
    }
    const double noise = fdp.ConsumeFloatingPointInRange(0.0, 12.0);
    if (noise > 0.0) {
        cv::Mat grain(region.size(), CV_32FC3);
        cv::RNG rng(fdp.ConsumeIntegral<std::uint32_t>());
        rng.fill(grain, cv::RNG::NORMAL, cv::Scalar::all(0.0), cv::Scalar::all(noise));
        region += grain;
    }
    if (fdp.ConsumeBool()) {
        cv::GaussianBlur(region, region, cv::Size(), fdp.ConsumeFloatingPointInRange(0.3, 3.0));
    }
    // A few values that are not finite or far outside 0..255.
    const int wild = fdp.ConsumeIntegralInRange(0, 8);
    for (int k = 0; k < wild; ++k) {
        const float value = fdp.PickValueInArray({std::numeric_limits<float>::quiet_NaN(),
                                                  std::numeric_limits<float>::infinity(), -1.0e30f,
                                                  1.0e30f, -5.0f, 300.0f});
        region.at<cv::Vec3f>(
            fdp.ConsumeIntegralInRange(0, height - 1),
            fdp.ConsumeIntegralInRange(0, width - 1))[fdp.ConsumeIntegralInRange(0, 2)] = value;
    }
    return region;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    DataLayer::ColorCalibrationLogger().SetSink([](const Logging::LogRecord&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const EParameterSet chart = fdp.PickValueInArray(
        {EParameterSet::eCCTPrint, EParameterSet::eQCCPrint, EParameterSet::eCCTXRite,
         EParameterSet::eQCCXRite, EParameterSet::eQCCPrintSmall});
    const auto parameters = std::make_shared<DataLayer::CParameterSetColorCalibrationTarget>(chart);
    const cv::Mat region = drawChart(fdp, *parameters);

    const DataLayer::SegmentationResult result = DataLayer::segmentChart({region, parameters});
    if (result.found == result.failed()) {
        __builtin_trap();  // found and failed must disagree
    }
    if (!result.found) {
        return 0;
    }
    // A found chart's labels cover the region and every seed lies on its own patch.
    if (result.labels.type() != CV_32SC1 || result.labels.size() != region.size() ||
        result.seeds.empty() || result.seeds.size() > 20) {
        __builtin_trap();
    }
    for (const auto& seed : result.seeds) {
        if (seed[0] < 0 || seed[1] < 0 || seed[0] >= region.cols || seed[1] >= region.rows ||
            result.labels.at<int>(seed[1], seed[0]) <= 1) {
            __builtin_trap();
        }
    }
    for (int k = 0; k < 3; ++k) {
        if (!std::isfinite(result.pickedWhite[k])) {
            __builtin_trap();  // a found chart's white is a colour
        }
    }
    return 0;
}
