// Drives the engine's image-taking entry points with fuzzer-chosen sizes,
// regions of interest, pixels, host images, reference colours and call order.
// The harness keeps the caller's side of every contract (each buffer holds
// exactly what its sizes promise); everything else is the fuzzer's choice.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "Base/CImageData2D.h"
#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/Loggers.h"

namespace {

using Engine = DataLayer::CColorCalibration;
using EParameterSet = Base::IParameterSetColorCalibrationTarget::EParameterSet;

constexpr int kMaxSide = 96;

std::vector<float> floatPixels(FuzzedDataProvider& fdp, int rows, int cols) {
    std::vector<float> pixels(static_cast<std::size_t>(rows) * cols * 3);
    const int mode = fdp.ConsumeIntegralInRange(0, 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        switch (mode) {
            case 0:
                pixels[i] = fdp.ConsumeIntegral<std::uint8_t>();
                break;
            case 1:
                pixels[i] = fdp.ConsumeFloatingPoint<float>();
                break;
            case 2:
                pixels[i] = fdp.ConsumeFloatingPointInRange<float>(-10.0f, 300.0f);
                break;
            default:
                pixels[i] = (i % 7 == 0) ? 40.0f : 230.0f;
                break;
        }
    }
    return pixels;
}

std::vector<unsigned char> bytePixels(FuzzedDataProvider& fdp, std::size_t count) {
    std::vector<unsigned char> bytes = fdp.ConsumeBytes<unsigned char>(count);
    bytes.resize(count, 200);
    return bytes;
}

std::shared_ptr<Base::CImageData2D> hostImage(FuzzedDataProvider& fdp, int fullRows, int fullCols) {
    if (!fdp.ConsumeBool()) {
        return nullptr;
    }
    const bool sameSize = fdp.ConsumeBool();
    const int w = sameSize ? fullCols : fdp.ConsumeIntegralInRange(0, kMaxSide);
    const int h = sameSize ? fullRows : fdp.ConsumeIntegralInRange(0, kMaxSide);
    const int bpp = fdp.PickValueInArray({0, 1, 2, 3, 4, 12});
    auto image = std::make_shared<Base::CImageData2D>(w, h, bpp);
    if (image->GetByteCount() > 0) {
        const auto data = bytePixels(fdp, image->GetByteCount());
        std::copy(data.begin(), data.end(), image->GetMutableData());
    }
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Keep the error lines out of the fuzzer's output.
    DataLayer::ColorCalibrationLogger().SetSink([](const Logging::LogRecord&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const auto chart = static_cast<EParameterSet>(fdp.ConsumeIntegralInRange(0, 4));
    Engine engine(chart);

    const int fullRows = fdp.ConsumeIntegralInRange(0, kMaxSide);
    const int fullCols = fdp.ConsumeIntegralInRange(0, kMaxSide);
    std::vector<float> reference(60);
    for (float& v : reference) v = fdp.ConsumeFloatingPointInRange<float>(-1.0f, 256.0f);
    engine.SetReferenceColorsRGB(reference.data());
    engine.SetColorImageRoi(hostImage(fdp, fullRows, fullCols));
    engine.SetExternalWhiteImg(hostImage(fdp, fullRows, fullCols));
    if (fdp.ConsumeBool()) {
        const float white[3] = {fdp.ConsumeFloatingPoint<float>(),
                                fdp.ConsumeFloatingPoint<float>(),
                                fdp.ConsumeFloatingPoint<float>()};
        engine.setRealWhite(white);
    }

    CbArray<float> whiteOut;
    Engine::NxCColCalibMatrix matrix;
    std::vector<std::vector<float>> measured;
    std::vector<float> picked;
    float whiteRgb[3] = {};

    const int steps = fdp.ConsumeIntegralInRange(1, 6);
    for (int step = 0; step < steps && fdp.remaining_bytes() > 0; ++step) {
        try {
            switch (fdp.ConsumeIntegralInRange(0, 11)) {
                case 0: {
                    // Region of interest anywhere, possibly partly outside the full image.
                    const int left = fdp.ConsumeIntegralInRange(-8, kMaxSide);
                    const int top = fdp.ConsumeIntegralInRange(-8, kMaxSide);
                    const int w = fdp.ConsumeIntegralInRange(0, kMaxSide);
                    const int h = fdp.ConsumeIntegralInRange(0, kMaxSide);
                    CRect roi(left, top, left + w, top + h);
                    auto input = floatPixels(fdp, h, w);
                    auto full = floatPixels(fdp, fullRows, fullCols);
                    engine.SetInputImage(input.data(), roi, full.data(), fullCols, fullRows);
                    break;
                }
                case 1: {
                    auto input = floatPixels(fdp, fullRows, fullCols);
                    engine.SetInputImage(input.data(), fullRows, fullCols);
                    break;
                }
                case 2:
                    engine.precomputeSegmentation(whiteRgb);
                    break;
                case 3: {
                    const int r = fdp.ConsumeIntegralInRange(0, kMaxSide);
                    const int c = fdp.ConsumeIntegralInRange(0, kMaxSide);
                    auto bytes = bytePixels(fdp, static_cast<std::size_t>(r) * c * 3);
                    engine.updateSegmentation(bytes.data(), r, c, whiteRgb);
                    break;
                }
                case 4: {
                    const int r = fdp.ConsumeIntegralInRange(0, kMaxSide);
                    const int c = fdp.ConsumeIntegralInRange(0, kMaxSide);
                    auto input = floatPixels(fdp, r, c);
                    engine.updateSegmentation(input.data(), r, c, whiteRgb);
                    break;
                }
                case 5:
                    engine.precomputeInpainting(whiteOut);
                    break;
                case 6: {
                    const int r = fdp.ConsumeIntegralInRange(0, kMaxSide);
                    const int c = fdp.ConsumeIntegralInRange(0, kMaxSide);
                    auto input = floatPixels(fdp, r, c);
                    engine.precomputeInpainting(input.data(), r, c, whiteOut);
                    break;
                }
                case 7:
                    engine.startColorCalibration(whiteOut, matrix,
                                                 fdp.ConsumeBool() ? &measured : nullptr,
                                                 fdp.ConsumeBool() ? &picked : nullptr);
                    break;
                case 8: {
                    auto input = floatPixels(fdp, fullRows, fullCols);
                    engine.startColorCalibration(input.data(), fullRows, fullCols, whiteOut, matrix,
                                                 &measured, &picked);
                    break;
                }
                case 9: {
                    const int left = fdp.ConsumeIntegralInRange(-8, kMaxSide);
                    const int top = fdp.ConsumeIntegralInRange(-8, kMaxSide);
                    const int w = fdp.ConsumeIntegralInRange(0, kMaxSide);
                    const int h = fdp.ConsumeIntegralInRange(0, kMaxSide);
                    CRect roi(left, top, left + w, top + h);
                    auto input = bytePixels(fdp, static_cast<std::size_t>(w) * h * 3);
                    auto full = bytePixels(fdp, static_cast<std::size_t>(fullRows) * fullCols * 3);
                    engine.startColorCalibration(input.data(), roi, full.data(), fullRows, fullCols,
                                                 whiteOut, matrix, &measured, &picked);
                    break;
                }
                case 10: {
                    double c0 = 0.0;
                    double c1 = 0.0;
                    double c2 = 0.0;
                    engine.GetMeanColorInpainting(fdp.ConsumeIntegralInRange(-4, kMaxSide),
                                                  fdp.ConsumeIntegralInRange(-4, kMaxSide),
                                                  fdp.ConsumeIntegralInRange(-4, kMaxSide),
                                                  fdp.ConsumeIntegralInRange(-4, kMaxSide), c0, c1,
                                                  c2);
                    break;
                }
                default:
                    engine.reset();
                    break;
            }
        } catch (const std::exception&) {
            // Documented exceptions (a host support image that does not fit,
            // OpenCV errors) are part of the contract, not findings.
        }
    }
    return 0;
}
