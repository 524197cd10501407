// The engine's white estimate on narrow-margin cards: only the card's own
// ground is usable, as for a host that knows the card's outline.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "DataLayer/ShadeAnalysis/Inpainting/WhiteEstimate.h"
#include "ShadeAnalysis/EngineTestSupport.h"

using DataLayer::CColorCalibration;
using DataLayer::CRBFInpainting;
using namespace EngineTest;

namespace {

/// A print chart whose card margin is half a patch side, lit by vignetting,
/// a gradient and a lamp close to the card, with sensor noise and JPEG.
ChartSynth::RenderedChart narrowCard(EChart chart) {
    ChartSynth::RenderOptions o = photoOptions(chart);
    o.cardMargin = 0.5 * ChartSynth::chartSideLength(chart) / ChartSynth::chartPitch(chart);
    o.rotationDeg = 7.0;
    o.falloff = 0.3;
    o.gradientShare = 0.4;
    o.hotSpotGain = 0.4;
    o.hotSpotX = 120.0;
    o.hotSpotY = -60.0;
    o.hotSpotHeight = 350.0;
    o.channelShading = {0.1, 0.0, -0.1};
    o.exposureTarget = 225.0;
    o.noiseSigma = 0.0;
    o.shotNoise = 0.08;
    o.readNoise = 0.3;
    o.jpegQuality = 90;
    o.blurSigma = 1.0;
    o.supersample = 2;
    o.encoding = ChartSynth::Encoding::eSrgb;
    return ChartSynth::renderChart(o);
}

struct Spread {
    double median = 0.0;
    double p95 = 0.0;
};

/// |estimate / true - 1| over the card (every channel), both normalised at
/// the chart centre.
Spread whiteError(const cv::Mat& estimate, const ChartSynth::RenderedChart& r) {
    cv::Point2d centre(0.0, 0.0);
    for (const cv::Point2d& c : r.cardCorners) centre += 0.25 * c;
    const cv::Rect box(static_cast<int>(centre.x) - 5, static_cast<int>(centre.y) - 5, 11, 11);
    const cv::Scalar e0 = cv::mean(estimate(box));
    const cv::Scalar t0 = cv::mean(r.whiteField(box));
    std::vector<double> errors;
    for (int y = 0; y < r.cardMask.rows; ++y) {
        for (int x = 0; x < r.cardMask.cols; ++x) {
            if (r.cardMask.at<uchar>(y, x) == 0) continue;
            const cv::Vec3f e = estimate.at<cv::Vec3f>(y, x);
            const cv::Vec3f t = r.whiteField.at<cv::Vec3f>(y, x);
            for (int c = 0; c < 3; ++c) {
                errors.push_back(std::abs((e[c] / e0[c]) / (t[c] / t0[c]) - 1.0));
            }
        }
    }
    std::sort(errors.begin(), errors.end());
    return {errors[errors.size() / 2], errors[errors.size() * 95 / 100]};
}

}  // namespace

TEST(EngineWhiteEstimate, HoldsOverNarrowMarginCardsOfEveryPrintType) {
    for (const EChart chart : {EChart::eCCTPrint, EChart::eQCCPrint, EChart::eQCCPrintSmall}) {
        SCOPED_TRACE(static_cast<int>(chart));
        const ChartSynth::RenderedChart r = narrowCard(chart);
        CColorCalibration engine(chart);
        setPhoto(engine, r);
        cv::Mat host;
        cv::bitwise_not(r.cardMask, host);
        engine.SetColorImageRoi(
            std::make_shared<Base::CImageData2D>(host.cols, host.rows, 1, host.data));
        CbArray<float> out;
        ASSERT_TRUE(engine.precomputeInpainting(out));
        const CRBFInpainting::FitDiagnostics& d = engine.GetWhiteEstimateDiagnostics();
        EXPECT_EQ(std::string(d.method), CRBFInpainting::kRidgeMethod);
        EXPECT_GT(d.samples, 0);
        const Spread e = whiteError(engine.GetWhiteImage(), r);
        EXPECT_LT(e.median, 0.005);
        EXPECT_LT(e.p95, 0.015);

        // The surround fit alone on the same ground is far off or fails.
        cv::Mat excluded = host | r.patchMask;
        cv::Mat surround;
        CRBFInpainting::FitDiagnostics sd;
        int dilations = 0;
        if (DataLayer::estimateWhiteImage(r.photo, excluded, r.patchMask,
                                          CRBFInpainting::Config::Estimator::eSurround, surround,
                                          sd, dilations)) {
            EXPECT_GT(whiteError(surround, r).p95, 0.015);
        }
    }
}

TEST(EngineWhiteEstimate, KeepsTheSurroundFitWhereItsCentresSurroundThePatches) {
    // The X-Rite charts' wide gaps hold centres between the patches: the
    // estimate is the surround fit on two dilations, as computed before the
    // ridge fit existed.
    const ChartSynth::RenderedChart& r = photo(EChart::eCCTXRite);
    CColorCalibration engine(EChart::eCCTXRite);
    setPhoto(engine, r);
    CbArray<float> out;
    ASSERT_TRUE(engine.precomputeInpainting(out));
    EXPECT_EQ(std::string(engine.GetWhiteEstimateDiagnostics().method),
              CRBFInpainting::kSurroundMethod);

    const cv::Mat expected = referenceWhite(engine, *chartSupport(r), false);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(cv::norm(engine.GetWhiteImage(), expected, cv::NORM_INF), 0.0);
}
