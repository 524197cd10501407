// Runs the whole calibration on rendered chart photos that the fuzzer damages:
// overwritten pixel blocks (including not-a-number and infinite values), a
// shifted or resized region of interest, a fuzzer-made support image and
// external white image, and a fuzzer-chosen call order. Slower per input than
// the engine fuzzer, but it reaches the deep paths that only a real chart
// opens (grid, refinement, labelling, inpainting, fit).
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "Base/CImageData2D.h"
#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/Loggers.h"
#include "synth/SyntheticChart.h"

namespace {

using EParameterSet = Base::IParameterSetColorCalibrationTarget::EParameterSet;

// One rendered photo per chart type, made once: the fuzzer varies what
// happens to it, not the rendering.
const ChartSynth::RenderedChart& renderedPhoto(int type) {
    static std::array<std::unique_ptr<ChartSynth::RenderedChart>, 5> photos;
    auto& slot = photos[static_cast<std::size_t>(type)];
    if (!slot) {
        ChartSynth::RenderOptions options;
        options.chart = static_cast<EParameterSet>(type);
        options.referenceRgb = ChartSynth::defaultReferenceColors();
        options.cardMargin = 1.0;
        options.falloff = 0.2;
        options.noiseSigma = 1.5;
        options.seed = 11;
        slot = std::make_unique<ChartSynth::RenderedChart>(ChartSynth::renderChart(options));
    }
    return *slot;
}

float wildValue(FuzzedDataProvider& fdp) {
    switch (fdp.ConsumeIntegralInRange(0, 4)) {
        case 0:
            return std::numeric_limits<float>::quiet_NaN();
        case 1:
            return std::numeric_limits<float>::infinity();
        case 2:
            return -1.0e30f;
        case 3:
            return 0.0f;
        default:
            return fdp.ConsumeFloatingPointInRange<float>(-50.0f, 400.0f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    DataLayer::ColorCalibrationLogger().SetSink([](const Logging::LogRecord&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const int type = fdp.ConsumeIntegralInRange(0, 4);
    const ChartSynth::RenderedChart& rendered = renderedPhoto(type);
    cv::Mat photo = rendered.photo.clone();

    // Damage a few blocks of the photo.
    const int blocks = fdp.ConsumeIntegralInRange(0, 4);
    for (int b = 0; b < blocks; ++b) {
        const int x = fdp.ConsumeIntegralInRange(0, photo.cols - 1);
        const int y = fdp.ConsumeIntegralInRange(0, photo.rows - 1);
        const int w = fdp.ConsumeIntegralInRange(1, 80);
        const int h = fdp.ConsumeIntegralInRange(1, 80);
        const cv::Rect box = cv::Rect(x, y, w, h) & cv::Rect(0, 0, photo.cols, photo.rows);
        photo(box).setTo(cv::Scalar::all(wildValue(fdp)));
    }

    // Region of interest: the chart region, moved and resized by the fuzzer,
    // kept inside the photo (the host's buffers must match what it promises).
    cv::Rect roi = rendered.chartRegion;
    roi.x += fdp.ConsumeIntegralInRange(-40, 40);
    roi.y += fdp.ConsumeIntegralInRange(-40, 40);
    roi.width += fdp.ConsumeIntegralInRange(-80, 40);
    roi.height += fdp.ConsumeIntegralInRange(-80, 40);
    roi &= cv::Rect(0, 0, photo.cols, photo.rows);
    if (roi.empty()) {
        return 0;
    }
    cv::Mat input = photo(roi).clone();
    CRect rect(roi.x, roi.y, roi.x + roi.width, roi.y + roi.height);

    DataLayer::CColorCalibration engine(static_cast<EParameterSet>(type));
    std::vector<float> reference(60);
    for (std::size_t k = 0; k < 20; ++k) {
        for (std::size_t c = 0; c < 3; ++c) {
            reference[3 * k + c] = ChartSynth::defaultReferenceColors()[k][c];
        }
    }
    engine.SetReferenceColorsRGB(reference.data());
    engine.SetInputImage(input.ptr<float>(), rect, photo.ptr<float>(), photo.cols, photo.rows);

    // Support image: usable ground inside the (true) chart region, or fuzzer-made.
    auto support = std::make_shared<Base::CImageData2D>(photo.cols, photo.rows, 1);
    std::fill(support->GetMutableData(), support->GetMutableData() + support->GetByteCount(), 255);
    const cv::Rect card = rendered.chartRegion;
    for (int y = card.y; y < card.y + card.height; ++y) {
        std::fill(support->GetMutableData() + static_cast<std::size_t>(y) * photo.cols + card.x,
                  support->GetMutableData() + static_cast<std::size_t>(y) * photo.cols + card.x +
                      card.width,
                  0);
    }
    if (fdp.ConsumeBool()) {
        const int flips = fdp.ConsumeIntegralInRange(0, 64);
        for (int i = 0; i < flips; ++i) {
            const std::size_t at =
                fdp.ConsumeIntegralInRange<std::size_t>(0, support->GetByteCount() - 1);
            support->GetMutableData()[at] ^= 0xFF;
        }
    }
    engine.SetColorImageRoi(support);
    if (fdp.ConsumeBool()) {
        cv::Mat white = rendered.whiteField.clone();
        if (fdp.ConsumeBool()) {
            white.at<cv::Vec3f>(fdp.ConsumeIntegralInRange(0, white.rows - 1),
                                fdp.ConsumeIntegralInRange(0, white.cols - 1)) =
                cv::Vec3f(wildValue(fdp), wildValue(fdp), wildValue(fdp));
        }
        const bool transposed = fdp.ConsumeBool();
        engine.SetExternalWhiteImg(std::make_shared<Base::CImageData2D>(
            transposed ? white.rows : white.cols, transposed ? white.cols : white.rows, 12,
            white.ptr<float>()));
    }

    CbArray<float> whiteOut;
    DataLayer::CColorCalibration::NxCColCalibMatrix matrix;
    std::vector<std::vector<float>> measured;
    std::vector<float> picked;
    float whiteRgb[3];
    const int steps = fdp.ConsumeIntegralInRange(1, 3);
    for (int s = 0; s < steps; ++s) {
        try {
            bool ok = false;
            switch (fdp.ConsumeIntegralInRange(0, 3)) {
                case 0:
                    ok = engine.precomputeSegmentation(whiteRgb);
                    break;
                case 1:
                    ok = engine.updateSegmentation(whiteRgb);
                    break;
                case 2:
                    ok = engine.precomputeInpainting(whiteOut);
                    break;
                default:
                    ok = engine.startColorCalibration(whiteOut, matrix, &measured, &picked);
                    if (ok) {
                        for (float m : matrix.m) {
                            if (!std::isfinite(m)) {
                                __builtin_trap();  // success must never carry a broken matrix
                            }
                        }
                    }
                    break;
            }
            (void)ok;
        } catch (const std::exception&) {
        }
    }
    return 0;
}
