// Drives CRBFInpainting with fuzzer-chosen image, support mask, fill mask and
// configuration (steps, border width, basis selector, thread count).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <exception>
#include <functional>

#include <opencv2/core.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"

namespace {

constexpr int kMaxSide = 64;

cv::Mat maskFrom(FuzzedDataProvider& fdp, int rows, int cols) {
    cv::Mat mask(rows, cols, CV_8UC1);
    const int density = fdp.ConsumeIntegralInRange(0, 255);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) {
            mask.at<unsigned char>(y, x) = fdp.ConsumeIntegral<std::uint8_t>() < density ? 255 : 0;
        }
    }
    return mask;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    DataLayer::CRBFInpainting::Config config;
    config.whiteDistanceThreshold = fdp.ConsumeFloatingPointInRange<float>(-10.0f, 300.0f);
    config.borderWidth = fdp.ConsumeIntegralInRange(-20, 60);
    config.sampleStep = fdp.ConsumeIntegralInRange(-2, 40);
    config.centerStep = fdp.ConsumeIntegralInRange(-2, 80);
    if (config.centerStep > 0 && config.centerStep < 4) {
        // Centre steps of 1 to 3 make dense solves of up to 4096 unknowns:
        // legal, but minutes per input under the sanitizers. The size limits
        // themselves are covered by the unit tests.
        config.centerStep = 4;
    }
    config.basisFunction = fdp.ConsumeIntegralInRange(-1, 3);
    config.threadCount = fdp.ConsumeIntegralInRange(-2, 9);

    const int rows = fdp.ConsumeIntegralInRange(0, kMaxSide);
    const int cols = fdp.ConsumeIntegralInRange(0, kMaxSide);
    cv::Mat image(rows, cols, CV_32FC3);
    const bool wild = fdp.ConsumeBool();
    for (int y = 0; y < rows; ++y) {
        auto* row = image.ptr<float>(y);
        for (int x = 0; x < cols * 3; ++x) {
            row[x] = wild ? fdp.ConsumeFloatingPoint<float>()
                          : static_cast<float>(fdp.ConsumeIntegral<std::uint8_t>());
        }
    }
    const cv::Mat support = maskFrom(fdp, rows, cols);
    const cv::Mat fill = fdp.ConsumeBool() ? maskFrom(fdp, rows, cols) : cv::Mat();

    try {
        DataLayer::CRBFInpainting inpainting(config);
        inpainting.setInputImage(image);
        inpainting.setInputSupportMask(support);
        cv::Mat out;
        if (fdp.ConsumeBool()) {
            inpainting.approximate();
        }
        inpainting.fillValues(fill, out);
        if (fdp.ConsumeBool()) {
            inpainting.reset();
            inpainting.fillValuesAVX(fill, out);
        }
    } catch (const std::bad_function_call&) {
        // A basis selector outside 0..2 is reported this way by design.
    } catch (const cv::Exception&) {
        // OpenCV's own argument errors pass through by design.
    }
    return 0;
}
