#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "Base/CImageData2D.h"
#include "Base/CRect.h"
#include "Base/CbArray.h"
#include "CalibrationResult.h"
#include "CalibrationSetup.h"
#include "DataLayer/ShadeAnalysis/CCardRectification.h"
#include "DataLayer/ShadeAnalysis/CChartCardLocator.h"
#include "DataLayer/ShadeAnalysis/CColorCalibration.h"
#include "DataLayer/ShadeAnalysis/CParameterSetColorCalibrationTarget.h"
#include "DataLayer/ShadeAnalysis/CalibrationFailure.h"
#include "Messages.h"

namespace ColorCalCli {

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// The common cause of a segmentation that found no chart in the region.
constexpr const char* kSegmentationHint =
    "the photo may show another chart type, or something may cover the chart's patches or the "
    "region cut them off";

/// `reason` followed by the common cause a user can fix, when one is known.
std::string withHint(std::string reason, const char* hint) {
    if (hint != nullptr && *hint != '\0') {
        reason += ". Hint: ";
        reason += hint;
    }
    return reason;
}

/// The region a second segmentation of a rectified card looks at: inside the
/// card's outline, wherever its ground is not usable white (fingers holding
/// the card, an object over its margin) and outside the patches' own squares,
/// the ground's local level (the usable ground averaged over a grid step)
/// takes the place of what covers it, so that it cannot pass for a patch or
/// pull the grid off the patches. The patches, the usable ground and
/// everything outside the card are left as they are. Empty when nothing is
/// covered or no ground is left to take the level from.
cv::Mat coveredGroundFilled(const PreparedCalibration& prepared) {
    const EngineInput& in = prepared.input;
    const DataLayer::CCardRectification* frame = prepared.rectification.get();
    const CardResult& card = prepared.card;
    if (frame == nullptr || in.support.empty() || card.gridRows <= 0 || card.gridColumns <= 0) {
        return {};
    }
    const cv::Rect roi = in.roi;
    cv::Mat region =
        in.segmentationRegion.empty() ? in.photo(roi).clone() : in.segmentationRegion.clone();
    if (region.type() != CV_32FC3 || region.size() != roi.size()) {
        return {};
    }
    const cv::Point2d origin(roi.x, roi.y);
    cv::Mat inside = cv::Mat::zeros(roi.size(), CV_8U);
    std::vector<cv::Point> outline;
    for (const cv::Point2d& corner : card.corners) {
        const cv::Point2d p = frame->toFrame(corner) - origin;
        outline.emplace_back(static_cast<int>(std::lround(std::clamp(p.x, -1e6, 1e6))),
                             static_cast<int>(std::lround(std::clamp(p.y, -1e6, 1e6))));
    }
    cv::fillConvexPoly(inside, outline, cv::Scalar(255));
    cv::Mat patches = cv::Mat::zeros(roi.size(), CV_8U);
    const DataLayer::CParameterSetColorCalibrationTarget parameters(in.chart);
    const double side = parameters.GetSegmentSideLength();
    const double pitch = parameters.GetGridLength();
    const double half = 0.5 * side + 0.25 * (pitch - side);
    for (int r = 0; r < card.gridRows; ++r) {
        for (int c = 0; c < card.gridColumns; ++c) {
            const cv::Vec3d nominal =
                card.homography * cv::Vec3d((c - 0.5 * (card.gridColumns - 1)) * pitch,
                                            (r - 0.5 * (card.gridRows - 1)) * pitch, 1.0);
            if (!(std::fabs(nominal[2]) > 1e-12)) return {};
            cv::Point2d centre =
                frame->toFrame(cv::Point2d(nominal[0] / nominal[2], nominal[1] / nominal[2])) -
                origin;
            centre.x = std::clamp(centre.x, -1e6, 1e6);
            centre.y = std::clamp(centre.y, -1e6, 1e6);
            const cv::Rect square(static_cast<int>(std::floor(centre.x - half)),
                                  static_cast<int>(std::floor(centre.y - half)),
                                  static_cast<int>(std::ceil(2.0 * half)) + 1,
                                  static_cast<int>(std::ceil(2.0 * half)) + 1);
            patches(square & cv::Rect(0, 0, roi.width, roi.height)).setTo(255);
        }
    }
    // Covered: inside the card, not usable, not a patch; usable: the ground.
    const cv::Mat ground = inside & ~patches;
    const cv::Mat covered = (in.support(roi) != 0) & ground;
    const cv::Mat usable = (in.support(roi) == 0) & ground;
    if (cv::countNonZero(covered) == 0 || cv::countNonZero(usable) == 0) {
        return {};
    }
    cv::Mat weight;
    usable.convertTo(weight, CV_32F, 1.0 / 255.0);
    cv::Mat weighted;
    cv::Mat weight3;
    cv::merge(std::vector<cv::Mat>{weight, weight, weight}, weight3);
    cv::multiply(region, weight3, weighted);
    const int box = 2 * static_cast<int>(pitch / 2.0) + 1;
    cv::Mat sumValues;
    cv::Mat sumWeights;
    cv::blur(weighted, sumValues, cv::Size(box, box), cv::Point(-1, -1), cv::BORDER_CONSTANT);
    cv::blur(weight, sumWeights, cv::Size(box, box), cv::Point(-1, -1), cv::BORDER_CONSTANT);
    const cv::Scalar level = cv::mean(region, usable);
    for (int y = 0; y < region.rows; ++y) {
        const uchar* cover = covered.ptr<uchar>(y);
        const float* w = sumWeights.ptr<float>(y);
        const cv::Vec3f* v = sumValues.ptr<cv::Vec3f>(y);
        cv::Vec3f* out = region.ptr<cv::Vec3f>(y);
        for (int x = 0; x < region.cols; ++x) {
            if (cover[x] == 0) continue;
            out[x] = w[x] > 1e-3f
                         ? v[x] / w[x]
                         : cv::Vec3f(static_cast<float>(level[0]), static_cast<float>(level[1]),
                                     static_cast<float>(level[2]));
        }
    }
    return region;
}

}  // namespace

CardResult locateCard(const cv::Mat& photo, EChart chart, bool linearInput) {
    const DataLayer::CParameterSetColorCalibrationTarget parameters(chart);
    const DataLayer::CChartCardLocator locator(parameters, linearInput);
    const DataLayer::ChartCardLocation location = locator.locate(photo);
    CardResult card;
    card.searched = true;
    card.found = location.found;
    card.score = location.score;
    card.reason = location.reason;
    for (std::size_t k = 0; k < 4; ++k) card.corners[k] = cv::Point2d(location.corners[k]);
    card.roi = location.regionOfInterest;
    card.support = location.supportMask;
    card.homography = location.homography;
    card.gridRows = location.gridRows;
    card.gridColumns = location.gridColumns;
    card.scale = location.scale;
    card.tiltDeg = location.tiltDeg;
    card.rotationDeg = location.rotationDeg;
    card.nominal = location.nominal;
    for (const DataLayer::ChartCardCandidate& candidate : location.rejected) {
        RejectedCard rejected;
        for (std::size_t k = 0; k < 4; ++k) rejected.corners[k] = cv::Point2d(candidate.corners[k]);
        rejected.reason = candidate.reason;
        card.rejected.push_back(rejected);
    }
    return card;
}

EngineResult runEngine(const EngineInput& input) {
    EngineResult result;
    try {
        DataLayer::CColorCalibration engine(input.chart);
        if (input.ridgeWhite) {
            engine.SetWhiteEstimator(DataLayer::CRBFInpainting::Config::Estimator::eRidge);
        }
        float reference[60];
        for (int k = 0; k < 20; ++k) {
            for (int c = 0; c < 3; ++c) {
                reference[3 * k + c] = static_cast<float>(input.referenceRgb[k][c]);
            }
        }
        engine.SetReferenceColorsRGB(reference);

        cv::Mat full = input.photo.isContinuous() ? input.photo : input.photo.clone();
        cv::Mat region = full(input.roi).clone();
        CRect roi(input.roi.x, input.roi.y, input.roi.x + input.roi.width,
                  input.roi.y + input.roi.height);
        engine.SetInputImage(region.ptr<float>(), roi, full.ptr<float>(), full.cols, full.rows);
        const cv::Mat support =
            input.support.isContinuous() ? input.support : input.support.clone();
        engine.SetColorImageRoi(
            std::make_shared<Base::CImageData2D>(support.cols, support.rows, 1, support.data));
        if (!input.externalWhite.empty()) {
            const cv::Mat white = input.externalWhite.isContinuous() ? input.externalWhite
                                                                     : input.externalWhite.clone();
            engine.SetExternalWhiteImg(
                std::make_shared<Base::CImageData2D>(white.cols, white.rows, 12, white.data));
        }

        Clock::time_point start = Clock::now();
        float picked[3] = {0.0f, 0.0f, 0.0f};
        // Display-encoded values are segmented in place of the working ones;
        // the inpainting below takes the working values back as input image.
        cv::Mat display = input.segmentationRegion;
        const bool displaySegmentation =
            !display.empty() && display.type() == CV_32FC3 && display.size() == region.size();
        if (displaySegmentation && !display.isContinuous()) display = display.clone();
        const bool segmented = displaySegmentation
                                   ? engine.precomputeSegmentation(
                                         display.ptr<float>(), display.rows, display.cols, picked)
                                   : engine.precomputeSegmentation(picked);
        result.segmentation = engine.GetSegmentationDiagnostics();
        result.timingsMs.emplace_back("segmentation", millisecondsSince(start));
        if (!segmented) {
            result.error =
                "segmentation failed: the chart's 20 patches were not found in the region";
            if (!result.segmentation.reason.empty()) {
                result.error += " (" + result.segmentation.reason + ")";
            }
            result.error = withHint(result.error, kSegmentationHint);
            return result;
        }

        start = Clock::now();
        CbArray<float> whiteOut;
        const bool inpainted = displaySegmentation
                                   ? engine.precomputeInpainting(region.ptr<float>(), region.rows,
                                                                 region.cols, whiteOut)
                                   : engine.precomputeInpainting(whiteOut);
        result.timingsMs.emplace_back("white_estimation", millisecondsSince(start));
        if (inpainted) {
            const auto& fit = engine.GetWhiteEstimateDiagnostics();
            result.whiteEstimate.available = true;
            result.whiteEstimate.method = fit.method;
            result.whiteEstimate.centres = fit.centres;
            result.whiteEstimate.samples = fit.samples;
            result.whiteEstimate.residualRms = fit.residualRms;
        }
        if (!inpainted) {
            result.error = withHint(
                "white estimation failed: too little usable white ground around the patches",
                DataLayer::failureReport(DataLayer::CalibrationFailure::eWhiteEstimateFailed).hint);
            return result;
        }
        if (displaySegmentation) {
            // The white picked on the chart, in working values.
            cv::Mat working = engine.GetInputImage();
            engine.computePickedWhite(working);
            const cv::Scalar white = engine.GetPickedWhite();
            const float real[3] = {static_cast<float>(white[0]), static_cast<float>(white[1]),
                                   static_cast<float>(white[2])};
            engine.setRealWhite(real);
        }
        if (input.externalWhite.empty()) {
            // A white fitted to more than the card's ground (a region's scene,
            // the table at its corners) misses its own samples by far more
            // than the ground's noise and shading: such a white is refused
            // (an external white image takes its place where one is given).
            const cv::Scalar ground = engine.GetPickedWhite();
            const double level = (ground[0] + ground[1] + ground[2]) / 3.0;
            const double residual = result.whiteEstimate.residualRms;
            if (!(level > 0.0) || !(residual <= kMaxWhiteResidualShare * level)) {
                char text[240];
                std::snprintf(text, sizeof text,
                              "white estimation failed: the white field misses its support by "
                              "%.1f %% of the white (at most %.0f %%): the support holds more "
                              "than the card's white ground",
                              level > 0.0 ? 100.0 * residual / level : 100.0,
                              100.0 * kMaxWhiteResidualShare);
                result.error = text;
                return result;
            }
        }
        if (input.realWhiteBgr) {
            const float white[3] = {static_cast<float>((*input.realWhiteBgr)[0]),
                                    static_cast<float>((*input.realWhiteBgr)[1]),
                                    static_cast<float>((*input.realWhiteBgr)[2])};
            engine.setRealWhite(white);
        }

        start = Clock::now();
        DataLayer::CColorCalibration::NxCColCalibMatrix matrix;
        std::vector<std::vector<float>> measured;
        std::vector<float> pickedWhite;
        const bool calibrated =
            engine.startColorCalibration(whiteOut, matrix, &measured, &pickedWhite);
        result.timingsMs.emplace_back("calibration", millisecondsSince(start));
        if (!calibrated) {
            const std::string& why = engine.GetCalibrationError();
            result.error =
                withHint("calibration failed" + (why.empty() ? std::string() : ": " + why),
                         DataLayer::failureReport(engine.GetCalibrationFailure().code).hint);
            return result;
        }

        for (int k = 0; k < 12; ++k) {
            result.matrix[k] = matrix.m[k];
        }
        const cv::Scalar real = engine.GetRealWhite();
        const cv::Scalar pickedScalar = engine.GetPickedWhite();
        for (int c = 0; c < 3; ++c) {
            result.realWhiteBgr[c] = real[c];
            result.pickedWhiteBgr[c] = pickedScalar[c];
        }
        const std::vector<int>& positions = engine.GetSeedReferencePositions();
        result.orientation = engine.GetChartOrientation();
        const auto& seeds = engine.GetSegmentSeeds();
        for (std::size_t i = 0; i < seeds.size(); ++i) {
            result.centers.emplace_back(seeds[i][0] + input.roi.x, seeds[i][1] + input.roi.y);
            // The pairing the calibration used (reversed for a chart upside down,
            // turned for one a quarter turn from its layout).
            result.referenceIndex.push_back(i < positions.size() ? positions[i] : -1);
        }
        for (std::size_t k = 0; k < measured.size() && k < 20; ++k) {
            for (std::size_t c = 0; c < 3 && c < measured[k].size(); ++c) {
                result.measuredRgb[k][c] = measured[k][c];
            }
        }
        result.labels = engine.GetSegmentLabels().clone();
        // The engine and the white's array end with this block: the result
        // takes the white's pixels over rather than a copy of them.
        result.whiteImage = engine.GetWhiteImage();
        result.ok = true;
    } catch (...) {
        result.ok = false;
        result.error =
            describeCurrentException("the calibration of a " + std::to_string(input.photo.cols) +
                                     " x " + std::to_string(input.photo.rows) + " photo");
    }
    return result;
}

EngineResult runPrepared(const PreparedCalibration& prepared) {
    if (!prepared.ready) {
        EngineResult failed;
        failed.error = prepared.failure.empty() ? kNoCardMessage : prepared.failure;
        return failed;
    }
    EngineResult result = runEngine(prepared.input);
    const DataLayer::CCardRectification* frame = prepared.rectification.get();
    if (!result.ok && frame != nullptr && result.error.rfind("segmentation failed", 0) == 0) {
        // In the frame the patches' places are known: where something over
        // the card's ground misled the segmentation, it runs once more with
        // that ground filled in (the white's support still excludes it).
        const cv::Mat filled = coveredGroundFilled(prepared);
        if (!filled.empty()) {
            EngineInput second = prepared.input;
            if (second.segmentationRegion.empty()) {
                second.photo = second.photo.clone();
                filled.copyTo(second.photo(second.roi));
            } else {
                second.segmentationRegion = filled;
            }
            EngineResult retried = runEngine(second);
            if (retried.ok) result = std::move(retried);
        }
    }
    if (frame == nullptr) {
        if (result.ok && !result.whiteImage.empty()) {
            // Outside the card (or the given region) the white is an
            // extrapolation: held within the range it takes on the ground.
            std::array<cv::Point2f, 4> outline;
            if (prepared.card.found) {
                for (std::size_t k = 0; k < 4; ++k)
                    outline[k] = cv::Point2f(prepared.card.corners[k]);
            } else {
                const cv::Rect& r = prepared.input.roi;
                outline = {cv::Point2f(r.x, r.y), cv::Point2f(r.x + r.width - 1, r.y),
                           cv::Point2f(r.x + r.width - 1, r.y + r.height - 1),
                           cv::Point2f(r.x, r.y + r.height - 1)};
            }
            DataLayer::boundWhiteOutsideCard(result.whiteImage, outline, prepared.input.support);
        }
        return result;
    }
    // Back from the frame: centres, seeds and the last grid tried, labels and
    // the white image, all in photo terms.
    const cv::Rect& region = prepared.input.roi;
    const cv::Point2d photoOrigin(prepared.photoRoi.x, prepared.photoRoi.y);
    for (cv::Point2d& centre : result.centers) centre = frame->toPhoto(centre);
    auto toPhotoRegion = [&](std::vector<std::array<int, 2>>& points) {
        for (std::array<int, 2>& p : points) {
            const cv::Point2d q =
                frame->toPhoto(cv::Point2d(p[0] + region.x, p[1] + region.y)) - photoOrigin;
            p = {static_cast<int>(std::lround(q.x)), static_cast<int>(std::lround(q.y))};
        }
    };
    toPhotoRegion(result.segmentation.seeds);
    toPhotoRegion(result.segmentation.grid);
    if (!result.labels.empty() && result.labels.size() == region.size()) {
        result.labels = frame->labelsToPhoto(result.labels, prepared.photoRoi);
    } else {
        result.labels.release();
    }
    if (!result.whiteImage.empty()) {
        result.whiteImage = frame->whiteToPhoto(result.whiteImage, prepared.input.support);
    }
    return result;
}

}  // namespace ColorCalCli
