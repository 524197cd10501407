// Drives the photo workflow (`calibratePhoto`) with small photos shaped by the
// fuzzer: a ground with a grid of squares (a card seen from afar, or a few
// patches near the nominal scale), with the request's options in every
// combination the front ends pass: a region, a support mask, an external
// white, a real white, the source depth, the encoding, linear values, the
// rectified card's estimator. The photo stays small so that an input takes
// tens of milliseconds; the stages' own targets go deeper into each stage.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/Loggers.h"
#include "DataLayer/ShadeAnalysis/Workflow/CalibrationWorkflow.h"

namespace {

using EParameterSet = Base::IParameterSetColorCalibrationTarget::EParameterSet;
using Encoding = DataLayer::Color::Encoding;

constexpr int kMaxSide = 160;

cv::Scalar colour(FuzzedDataProvider& fdp) {
    return cv::Scalar(fdp.ConsumeIntegral<std::uint8_t>(), fdp.ConsumeIntegral<std::uint8_t>(),
                      fdp.ConsumeIntegral<std::uint8_t>());
}

cv::Mat drawPhoto(FuzzedDataProvider& fdp) {
    const int cols = fdp.ConsumeIntegralInRange(1, kMaxSide);
    const int rows = fdp.ConsumeIntegralInRange(1, kMaxSide);
    cv::Mat photo(rows, cols, CV_32FC3, colour(fdp));
    const int gridRows = fdp.ConsumeIntegralInRange(0, 5);
    const int gridCols = fdp.ConsumeIntegralInRange(0, 5);
    const double step = fdp.ConsumeFloatingPointInRange(3.0, 80.0);
    const double side = step * fdp.ConsumeFloatingPointInRange(0.3, 0.95);
    const cv::Point2d origin(fdp.ConsumeFloatingPointInRange(-20.0, 120.0),
                             fdp.ConsumeFloatingPointInRange(-20.0, 120.0));
    if (gridRows > 0 && gridCols > 0) {
        const double margin = 0.6 * step;
        const cv::Rect card(cvRound(origin.x - margin), cvRound(origin.y - margin),
                            cvRound((gridCols - 1) * step + side + 2 * margin),
                            cvRound((gridRows - 1) * step + side + 2 * margin));
        cv::rectangle(photo, card, colour(fdp), cv::FILLED);
    }
    for (int r = 0; r < gridRows; ++r) {
        for (int c = 0; c < gridCols; ++c) {
            const cv::Rect square(cvRound(origin.x + c * step), cvRound(origin.y + r * step),
                                  cvRound(side), cvRound(side));
            cv::rectangle(photo, square, colour(fdp), cv::FILLED);
        }
    }
    const int wild = fdp.ConsumeIntegralInRange(0, 4);
    for (int k = 0; k < wild; ++k) {
        photo.at<cv::Vec3f>(
            fdp.ConsumeIntegralInRange(0, rows - 1),
            fdp.ConsumeIntegralInRange(0, cols - 1))[fdp.ConsumeIntegralInRange(0, 2)] =
            fdp.PickValueInArray({std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::infinity(), -1.0e30f, 300.0f});
    }
    return photo;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    DataLayer::ColorCalibrationLogger().SetSink([](const Logging::LogRecord&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    DataLayer::PhotoCalibrationRequest request;
    request.chart = fdp.PickValueInArray({EParameterSet::eCCTPrint, EParameterSet::eQCCPrint,
                                          EParameterSet::eCCTXRite, EParameterSet::eQCCXRite,
                                          EParameterSet::eQCCPrintSmall});
    request.photo = drawPhoto(fdp);
    const cv::Size photoSize = request.photo.size();
    request.sourceDepth = fdp.PickValueInArray({CV_8U, CV_16U, CV_32F});
    for (auto& rgb : request.referencesRgb) {
        for (float& v : rgb) v = fdp.ConsumeFloatingPointInRange(0.0f, 255.0f);
    }
    // The request is well formed (the front ends check it in their own
    // words): a region inside the photo, masks of the photo's size.
    if (fdp.ConsumeBool()) {
        const int x = fdp.ConsumeIntegralInRange(0, photoSize.width - 1);
        const int y = fdp.ConsumeIntegralInRange(0, photoSize.height - 1);
        request.roi = cv::Rect(x, y, fdp.ConsumeIntegralInRange(1, photoSize.width - x),
                               fdp.ConsumeIntegralInRange(1, photoSize.height - y));
    }
    if (fdp.ConsumeBool()) {
        request.support = cv::Mat(photoSize, CV_8UC1, cv::Scalar(0));
        const int boxes = fdp.ConsumeIntegralInRange(0, 4);
        for (int k = 0; k < boxes; ++k) {
            const cv::Rect box(fdp.ConsumeIntegralInRange(0, photoSize.width),
                               fdp.ConsumeIntegralInRange(0, photoSize.height),
                               fdp.ConsumeIntegralInRange(0, photoSize.width),
                               fdp.ConsumeIntegralInRange(0, photoSize.height));
            request.support(box & cv::Rect(cv::Point(), photoSize)).setTo(255);
        }
    }
    if (fdp.ConsumeBool()) {
        request.externalWhite = cv::Mat(photoSize, CV_32FC3, colour(fdp));
        if (fdp.ConsumeBool()) {
            request.externalWhite.at<cv::Vec3f>(
                fdp.ConsumeIntegralInRange(0, photoSize.height - 1),
                fdp.ConsumeIntegralInRange(0, photoSize.width - 1)) =
                cv::Vec3f::all(fdp.PickValueInArray(
                    {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(), 1.0e30f}));
        }
    }
    if (fdp.ConsumeBool()) {
        request.realWhiteBgr = std::array<double, 3>{fdp.ConsumeFloatingPointInRange(-1.0, 300.0),
                                                     fdp.ConsumeFloatingPointInRange(-1.0, 300.0),
                                                     fdp.ConsumeFloatingPointInRange(-1.0, 300.0)};
    }
    switch (fdp.ConsumeIntegralInRange(0, 3)) {
        case 0:
            break;  // chosen by the source depth
        case 1:
            request.encoding = Encoding::eSrgb;
            break;
        case 2:
            request.encoding = Encoding::eLinear;
            break;
        default:
            request.encoding = Encoding::eNone;
            break;
    }
    request.linearRgb = fdp.ConsumeBool();
    request.ridgeWhiteWhenRectified = fdp.ConsumeBool();

    const DataLayer::PhotoCalibrationResult result = DataLayer::calibratePhoto(request);
    if (!result.ok()) {
        if (result.error.empty()) __builtin_trap();  // a failure has its text
        return 0;
    }
    // A matrix is reported only with everything the result promises.
    for (double m : result.matrix) {
        if (!std::isfinite(m)) __builtin_trap();
    }
    if (result.whiteImage.size() != photoSize || result.whiteImage.type() != CV_32FC3 ||
        !cv::checkRange(result.whiteImage) ||
        (result.photoRoi & cv::Rect(cv::Point(), photoSize)) != result.photoRoi) {
        __builtin_trap();
    }
    const cv::Mat corrected = DataLayer::correctedPhoto(request.photo, result);
    if (corrected.size() != photoSize) __builtin_trap();
    return 0;
}
