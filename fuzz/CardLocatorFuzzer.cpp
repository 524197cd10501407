// Drives the card location stage (`locateCard`) and the rectification it
// plans with fuzzer-made photos: a small photo of any size, type and values, with a
// fuzzer-shaped grid of squares drawn on a ground (so the lattice search, the
// window checks and the outline are reached, not only the blob search),
// searched whole or in a fuzzer-chosen region, then every rectification call
// on the card found, and the white's bound with fuzzer-chosen corners.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CCardRectification.h"
#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CardLocation/CardLocationStage.h"

namespace {

using EParameterSet = Base::IParameterSetColorCalibrationTarget::EParameterSet;

constexpr int kMaxSide = 240;

cv::Scalar colour(FuzzedDataProvider& fdp) {
    return cv::Scalar(fdp.ConsumeIntegral<std::uint8_t>(), fdp.ConsumeIntegral<std::uint8_t>(),
                      fdp.ConsumeIntegral<std::uint8_t>());
}

/// A photo with a grid of squares, turned and sheared by the fuzzer.
cv::Mat drawPhoto(FuzzedDataProvider& fdp) {
    const int cols = fdp.ConsumeIntegralInRange(1, kMaxSide);
    const int rows = fdp.ConsumeIntegralInRange(1, kMaxSide);
    cv::Mat photo(rows, cols, CV_8UC3, colour(fdp));
    const cv::Scalar ground = colour(fdp);
    const int gridRows = fdp.ConsumeIntegralInRange(0, 7);
    const int gridCols = fdp.ConsumeIntegralInRange(0, 7);
    const double step = fdp.ConsumeFloatingPointInRange(4.0, 40.0);
    const double side = step * fdp.ConsumeFloatingPointInRange(0.3, 0.95);
    const cv::Point2d origin(fdp.ConsumeFloatingPointInRange(-20.0, 200.0),
                             fdp.ConsumeFloatingPointInRange(-20.0, 200.0));
    const cv::Matx22d axes(
        fdp.ConsumeFloatingPointInRange(-1.2, 1.2), fdp.ConsumeFloatingPointInRange(-1.2, 1.2),
        fdp.ConsumeFloatingPointInRange(-1.2, 1.2), fdp.ConsumeFloatingPointInRange(-1.2, 1.2));
    auto at = [&](double u, double v) {
        const cv::Vec2d p = axes * cv::Vec2d(u, v);
        return cv::Point(cvRound(origin.x + p[0]), cvRound(origin.y + p[1]));
    };
    if (gridRows > 0 && gridCols > 0) {
        const double margin = 0.6 * step;
        const std::vector<cv::Point> card = {
            at(-margin, -margin), at((gridCols - 1) * step + side + margin, -margin),
            at((gridCols - 1) * step + side + margin, (gridRows - 1) * step + side + margin),
            at(-margin, (gridRows - 1) * step + side + margin)};
        cv::fillConvexPoly(photo, card, ground);
    }
    for (int r = 0; r < gridRows; ++r) {
        for (int c = 0; c < gridCols; ++c) {
            const double u = c * step;
            const double v = r * step;
            const std::vector<cv::Point> square = {at(u, v), at(u + side, v),
                                                   at(u + side, v + side), at(u, v + side)};
            cv::fillConvexPoly(photo, square, colour(fdp));
        }
    }
    if (fdp.ConsumeBool()) {
        cv::GaussianBlur(photo, photo, cv::Size(), fdp.ConsumeFloatingPointInRange(0.3, 2.0));
    }
    return photo;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const EParameterSet chart = fdp.PickValueInArray(
        {EParameterSet::eCCTPrint, EParameterSet::eQCCPrint, EParameterSet::eCCTXRite,
         EParameterSet::eQCCXRite, EParameterSet::eQCCPrintSmall});
    const bool linear = fdp.ConsumeBool();
    cv::Mat photo = drawPhoto(fdp);
    switch (fdp.ConsumeIntegralInRange(0, 2)) {
        case 0:
            break;  // 8-bit
        case 1:
            photo.convertTo(photo, CV_32FC3);
            break;
        default: {
            // Float values of any kind over part of the photo.
            photo.convertTo(photo, CV_32FC3);
            const int count = fdp.ConsumeIntegralInRange(0, 64);
            for (int k = 0; k < count; ++k) {
                const int y = fdp.ConsumeIntegralInRange(0, photo.rows - 1);
                const int x = fdp.ConsumeIntegralInRange(0, photo.cols - 1);
                photo.at<cv::Vec3f>(y, x)[fdp.ConsumeIntegralInRange(0, 2)] =
                    fdp.ConsumeFloatingPoint<float>();
            }
            break;
        }
    }
    // The photo's scale against the parameter set's: its nominal patches are
    // 56-76 px, so the grid above is a card seen from afar.
    const DataLayer::CParameterSetColorCalibrationTarget parameters(chart);
    DataLayer::CardLocationInput input{photo, parameters, linear};
    if (fdp.ConsumeBool()) {
        // A region anywhere: inside, empty, or reaching out of the photo.
        input.region = cv::Rect(fdp.ConsumeIntegralInRange(-8, photo.cols),
                                fdp.ConsumeIntegralInRange(-8, photo.rows),
                                fdp.ConsumeIntegralInRange(0, photo.cols + 8),
                                fdp.ConsumeIntegralInRange(0, photo.rows + 8));
    }
    const DataLayer::CardLocationResult card = DataLayer::locateCard(input);
    if (card.found !=
        (card.failure.code != DataLayer::CalibrationFailure::eNoCardFound &&
         card.failure.code != DataLayer::CalibrationFailure::eCardRegionOutsidePhoto)) {
        __builtin_trap();  // found exactly when no search failure is reported
    }
    if (card.found && (card.supportMask.size() != photo.size() ||
                       (card.regionOfInterest & cv::Rect(0, 0, photo.cols, photo.rows)) !=
                           card.regionOfInterest)) {
        __builtin_trap();  // a found card's region and support lie on the photo
    }

    if (card.rectification && card.rectification->valid()) {
        const DataLayer::CCardRectification& frame = *card.rectification;
        const cv::Mat image = frame.rectifyImage(photo);
        const cv::Mat support = frame.rectifyMask(card.supportMask);
        cv::Mat white(frame.frameSize(), CV_32FC3,
                      cv::Scalar::all(fdp.ConsumeFloatingPointInRange(-50.0, 300.0)));
        const cv::Mat photoWhite = frame.whiteToPhoto(white, support);
        const cv::Rect region = frame.regionOfInterest();
        const cv::Mat labels(region.size(), CV_32SC1, cv::Scalar(fdp.ConsumeIntegral<int>()));
        const cv::Mat mapped = frame.labelsToPhoto(labels, frame.photoRegion());
        (void)image;
        (void)mapped;
        (void)photoWhite;
    }

    // The white's bound on a small white image with any corners and support.
    const int rows = fdp.ConsumeIntegralInRange(0, 40);
    const int cols = fdp.ConsumeIntegralInRange(0, 40);
    cv::Mat white(rows, cols, CV_32FC3, cv::Scalar::all(fdp.ConsumeFloatingPoint<float>()));
    cv::Mat support(rows, cols, CV_8UC1, cv::Scalar(fdp.ConsumeIntegral<std::uint8_t>()));
    std::array<cv::Point2f, 4> corners{};
    for (cv::Point2f& c : corners) {
        c = cv::Point2f(fdp.ConsumeFloatingPoint<float>(), fdp.ConsumeFloatingPoint<float>());
    }
    DataLayer::boundWhiteOutsideCard(white, corners, support);
    return 0;
}
