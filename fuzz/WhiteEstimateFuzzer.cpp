// Drives the white estimate stage (`estimateWhite`) with small images, support
// masks, label images and regions shaped by the fuzzer: a lit ground with
// darker patches, or values of any kind; supports of any density (and, now
// and then, of another size or type); labels with patches drawn where the
// fuzzer says, a region anywhere (also outside the image); every estimator.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/Inpainting/InpaintingStage.h"

namespace {

using Estimator = DataLayer::CRBFInpainting::Config::Estimator;

// A lit ground up to kMaxSide (the fit samples every 12th pixel, so smaller
// images rarely hold enough ground for it); values of any kind, one byte
// string each, up to kMaxWildSide.
constexpr int kMaxSide = 192;
constexpr int kMaxWildSide = 48;

cv::Mat drawImage(FuzzedDataProvider& fdp, int rows, int cols) {
    cv::Mat image(rows, cols, CV_32FC3);
    if (rows <= kMaxWildSide && cols <= kMaxWildSide && fdp.ConsumeBool()) {
        // Values of any kind, one by one.
        for (int y = 0; y < rows; ++y) {
            auto* row = image.ptr<float>(y);
            for (int x = 0; x < 3 * cols; ++x) row[x] = fdp.ConsumeFloatingPoint<float>();
        }
        return image;
    }
    // A smoothly lit ground: a level and a gradient per channel.
    cv::Vec3f level;
    cv::Vec3f slopeX;
    cv::Vec3f slopeY;
    for (int c = 0; c < 3; ++c) {
        level[c] = fdp.ConsumeFloatingPointInRange(0.0f, 255.0f);
        slopeX[c] = fdp.ConsumeFloatingPointInRange(-4.0f, 4.0f);
        slopeY[c] = fdp.ConsumeFloatingPointInRange(-4.0f, 4.0f);
    }
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) {
            image.at<cv::Vec3f>(y, x) =
                level + slopeX * static_cast<float>(x) + slopeY * static_cast<float>(y);
        }
    }
    const int wild = fdp.ConsumeIntegralInRange(0, 4);
    for (int k = 0; k < wild; ++k) {
        image.at<cv::Vec3f>(
            fdp.ConsumeIntegralInRange(0, rows - 1),
            fdp.ConsumeIntegralInRange(0, cols - 1))[fdp.ConsumeIntegralInRange(0, 2)] =
            fdp.PickValueInArray({std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::infinity(), -1.0e30f, 0.0f});
    }
    return image;
}

cv::Mat drawSupport(FuzzedDataProvider& fdp, int rows, int cols) {
    switch (fdp.ConsumeIntegralInRange(0, 7)) {
        case 0:
            return cv::Mat(rows + fdp.ConsumeIntegralInRange(-1, 1), cols, CV_8UC1, cv::Scalar(0));
        case 1:
            return cv::Mat(rows, cols, CV_32FC1, cv::Scalar(0));
        default:
            break;
    }
    cv::Mat support(rows, cols, CV_8UC1, cv::Scalar(0));
    const int density = fdp.ConsumeIntegralInRange(0, 255);
    const int boxes = fdp.ConsumeIntegralInRange(0, 3);
    for (int k = 0; k < boxes; ++k) {
        const cv::Rect box(fdp.ConsumeIntegralInRange(0, cols), fdp.ConsumeIntegralInRange(0, rows),
                           fdp.ConsumeIntegralInRange(0, cols),
                           fdp.ConsumeIntegralInRange(0, rows));
        support(box & cv::Rect(0, 0, cols, rows)).setTo(255);
    }
    const int scattered = density > 0 ? fdp.ConsumeIntegralInRange(0, 64) : 0;
    for (int k = 0; k < scattered; ++k) {
        support.at<unsigned char>(fdp.ConsumeIntegralInRange(0, rows - 1),
                                  fdp.ConsumeIntegralInRange(0, cols - 1)) = 255;
    }
    return support;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const Estimator estimator =
        fdp.PickValueInArray({Estimator::eAuto, Estimator::eSurround, Estimator::eRidge,
                              Estimator::eSurroundWhereSurrounded});
    const int rows = fdp.ConsumeIntegralInRange(1, kMaxSide);
    const int cols = fdp.ConsumeIntegralInRange(1, kMaxSide);
    cv::Mat image = drawImage(fdp, rows, cols);
    const cv::Mat support = drawSupport(fdp, rows, cols);

    // The labelled region: mostly inside the image, now and then not.
    cv::Rect region(fdp.ConsumeIntegralInRange(0, cols - 1),
                    fdp.ConsumeIntegralInRange(0, rows - 1), fdp.ConsumeIntegralInRange(1, cols),
                    fdp.ConsumeIntegralInRange(1, rows));
    if (fdp.ConsumeIntegralInRange(0, 7) != 0) {
        region &= cv::Rect(0, 0, cols, rows);
    } else {
        region.x += fdp.ConsumeIntegralInRange(-kMaxSide, kMaxSide);
    }
    const bool floatLabels = fdp.ConsumeIntegralInRange(0, 15) == 0;
    cv::Mat labels(region.size(), floatLabels ? CV_32FC1 : CV_32SC1, cv::Scalar(1));
    const int patches = fdp.ConsumeIntegralInRange(0, 6);
    for (int k = 0; k < patches; ++k) {
        const cv::Rect patch(fdp.ConsumeIntegralInRange(0, region.width),
                             fdp.ConsumeIntegralInRange(0, region.height),
                             fdp.ConsumeIntegralInRange(1, 40), fdp.ConsumeIntegralInRange(1, 40));
        const cv::Rect inside = patch & cv::Rect(0, 0, region.width, region.height);
        labels(inside).setTo(k + 2);
        // The patch is darker than the ground in the image too.
        const cv::Rect onImage = (inside + region.tl()) & cv::Rect(0, 0, cols, rows);
        cv::Mat patchPixels = image(onImage);
        patchPixels *= 0.4;
    }

    const DataLayer::InpaintingResult result =
        DataLayer::estimateWhite({image, support, labels, region, estimator});
    if (result.failure.failed()) {
        if (!result.white.empty()) {
            __builtin_trap();  // a failure carries no white image
        }
        return 0;
    }
    // A white image is reported only when it is one: the image's size, finite.
    if (result.white.type() != CV_32FC3 || result.white.size() != image.size() ||
        !cv::checkRange(result.white)) {
        __builtin_trap();
    }
    return 0;
}
