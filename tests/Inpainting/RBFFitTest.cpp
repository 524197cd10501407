// The least-squares fit and the filling of CRBFInpainting against direct
// versions, and the inpainted white of a rendered chart against its known field.

#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "RBFReference.h"
#include "synth/SyntheticChart.h"

namespace {

using DataLayer::CRBFInpainting;
using rbftest::Engine;

/// Support mask built the way the engine builds it: everything outside the
/// chart region and every patch excluded, grown by an 11 x 11 dilation, twice.
cv::Mat chartSupport(const ChartSynth::RenderedChart& chart, ChartSynth::EChart type) {
    cv::Mat support(chart.photo.size(), CV_8UC1, cv::Scalar(255));
    support(chart.chartRegion).setTo(0);
    const double half = ChartSynth::chartSideLength(type) / 2.0;
    for (const cv::Point2d& c : chart.centers) {
        cv::rectangle(support, cv::Point(cvRound(c.x - half), cvRound(c.y - half)),
                      cv::Point(cvRound(c.x + half), cvRound(c.y + half)), cv::Scalar(255),
                      cv::FILLED);
    }
    cv::dilate(support, support, cv::Mat::ones(11, 11, CV_8U), cv::Point(-1, -1), 2);
    return support;
}

ChartSynth::RenderedChart renderLitChart(ChartSynth::EChart type, double falloff) {
    ChartSynth::RenderOptions o;
    o.chart = type;
    o.falloff = falloff;
    o.noiseSigma = 1.0;
    o.referenceRgb = ChartSynth::defaultReferenceColors();
    return ChartSynth::renderChart(o);
}

/// Sample and centre grids of a fitted object, as approximate laid them out.
void grids(const Engine& o, Engine::PointList& samples, Engine::PointList& centres) {
    Engine::resampCoords(o.m_exclusionMask, samples, o.getConfig().sampleStep, false);
    centres = o.m_centres;
}

TEST(CRBFInpaintingFit, FastFitEqualsDirectNormalEquationsWhenWellPosed) {
    // Few, widely spaced inverse-multiquadric centres: the direct normal
    // equations are well conditioned and serve as the reference.
    cv::Mat image(200, 230, CV_32FC3);
    cv::RNG rng(42);
    rng.fill(image, cv::RNG::UNIFORM, 150.0, 250.0);
    CRBFInpainting::Config config;
    config.basisFunction = 1;
    config.centerStep = 70;
    Engine inpainting(config);
    inpainting.setInputImage(image);
    inpainting.setInputSupportMask(cv::Mat::zeros(image.size(), CV_8UC1));
    ASSERT_TRUE(inpainting.approximate());
    EXPECT_TRUE(inpainting.getFitDiagnostics().factorised);

    Engine::PointList samples;
    Engine::PointList centres;
    grids(inpainting, samples, centres);
    std::vector<cv::Mat> channels;
    cv::split(inpainting.smoothedImage(), channels);
    const double* cache = inpainting.m_weightCache.get();
    for (int c = 0; c < 3; ++c) {
        SCOPED_TRACE(testing::Message() << "channel " << c);
        const cv::Mat& ch = channels[static_cast<std::size_t>(c)];
        std::vector<double> direct;
        ASSERT_TRUE(rbftest::directFit(ch, samples, centres, cache, direct));
        const double* fast = inpainting.m_weights[static_cast<std::size_t>(c)].get();
        for (std::size_t j = 0; j < centres.size(); ++j) {
            const double tol = 1e-7 * std::max(1.0, std::abs(direct[j]));
            ASSERT_NEAR(fast[j], direct[j], tol) << "centre " << j;
        }
    }
}

/// Weights over all centres from an SVD least-squares solve of the design
/// matrix (row-major, m columns) restricted to `columns`; the rest are 0.
std::vector<double> svdFit(const std::vector<double>& a, std::size_t m, const cv::Mat& b,
                           const std::vector<std::size_t>& columns) {
    cv::Mat sub(b.rows, static_cast<int>(columns.size()), CV_64F);
    for (int k = 0; k < b.rows; ++k) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            sub.at<double>(k, static_cast<int>(i)) =
                a[static_cast<std::size_t>(k) * m + columns[i]];
        }
    }
    cv::Mat x;
    cv::solve(sub, b, x, cv::DECOMP_SVD);
    std::vector<double> w(m, 0.0);
    for (std::size_t i = 0; i < columns.size(); ++i)
        w[columns[i]] = x.at<double>(static_cast<int>(i));
    return w;
}

TEST(CRBFInpaintingFit, FailedFactorisationFallsBackToPivotedFit) {
    // Centres 10 pixels apart with a shape parameter of 125: AᵀA is singular
    // to working precision and its factorisation meets non-positive pivots.
    // The fallback fits through the centres that a pivoted factorisation of
    // AᵀA keeps; its residual is that of an SVD solve of the same problem.
    const cv::Size size(150, 120);
    cv::Mat noise(size, CV_32FC1);
    cv::RNG rng(1);
    rng.fill(noise, cv::RNG::UNIFORM, 180.0, 230.0);
    auto field = [](int x, int y) {
        return 200.0 + 20.0 * std::sin(x / 40.0) + 10.0 * std::cos(y / 30.0);
    };
    cv::Mat smooth(size, CV_32FC1);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            smooth.at<float>(y, x) = static_cast<float>(field(x, y) + rng.gaussian(1.0));
        }
    }
    const cv::Mat level(size, CV_32FC1, cv::Scalar(215));
    const std::vector<cv::Mat> channels{noise, smooth, level};
    cv::Mat data;
    cv::merge(channels, data);
    Engine inpainting;
    inpainting.setInputImage(data);
    inpainting.computeWeightCache();
    const double* cache = inpainting.m_weightCache.get();
    Engine::PointList centres;
    Engine::resampCoords(cv::Mat::zeros(size, CV_8UC1), centres, 10, true);
    Engine::PointList samples;
    Engine::resampCoords(cv::Mat::zeros(size, CV_8UC1), samples, 7, true);
    const std::size_t m = centres.size();

    std::vector<double> direct;
    EXPECT_FALSE(rbftest::directFit(noise, samples, centres, cache, direct));
    const std::vector<double> a = rbftest::designMatrix(samples, centres, cache, size.width);

    std::vector<std::vector<double>> w(3, std::vector<double>(m));
    ASSERT_TRUE(inpainting.approximateChannels(data, centres, samples,
                                               {w[0].data(), w[1].data(), w[2].data()}));
    const CRBFInpainting::FitDiagnostics diag = inpainting.getFitDiagnostics();
    EXPECT_TRUE(diag.usedFallback);
    EXPECT_FALSE(diag.factorised);
    EXPECT_GT(diag.rank, 10);
    EXPECT_LT(diag.rank, static_cast<std::int64_t>(m));

    for (int c = 0; c < 3; ++c) {
        SCOPED_TRACE(testing::Message() << "channel " << c);
        const cv::Mat& ch = channels[static_cast<std::size_t>(c)];
        const std::vector<double>& ours = w[static_cast<std::size_t>(c)];
        std::vector<std::size_t> kept;
        for (std::size_t j = 0; j < m; ++j) {
            if (ours[j] != 0.0) kept.push_back(j);
        }
        EXPECT_EQ(static_cast<std::int64_t>(kept.size()), diag.rank);
        cv::Mat b(static_cast<int>(samples.size()), 1, CV_64F);
        for (std::size_t k = 0; k < samples.size(); ++k) {
            b.at<double>(static_cast<int>(k)) = ch.at<float>(samples[k][1], samples[k][0]);
        }
        const std::vector<double> same = svdFit(a, m, b, kept);
        EXPECT_LE(rbftest::rmsResidual(ch, samples, centres, cache, ours.data()),
                  rbftest::rmsResidual(ch, samples, centres, cache, same.data()) * 1.001 + 1e-6);
    }
    // A constant is kept to a hundredth of a level.
    EXPECT_LT(rbftest::rmsResidual(level, samples, centres, cache, w[2].data()), 1e-2);
}

TEST(CRBFInpaintingFit, InpaintedWhiteFollowsTheTrueFieldAcrossTheChart) {
    for (const auto type : {ChartSynth::EChart::eCCTXRite, ChartSynth::EChart::eQCCPrint}) {
        SCOPED_TRACE(testing::Message() << "chart " << static_cast<int>(type));
        const ChartSynth::RenderedChart chart = renderLitChart(type, 0.3);
        CRBFInpainting inpainting;
        inpainting.setInputImage(chart.photo);
        inpainting.setInputSupportMask(chartSupport(chart, type));
        ASSERT_TRUE(inpainting.approximate());
        cv::Mat white;
        inpainting.fillValues(cv::Mat(), white);
        // Over the chart card, patches included, the fitted white stays within
        // 2 % of the true illumination of the white ground. The card's outer
        // 15 pixels (anti-aliased edge, smoothing across it) are left out.
        const cv::Rect card(chart.chartRegion.x + 15, chart.chartRegion.y + 15,
                            chart.chartRegion.width - 30, chart.chartRegion.height - 30);
        cv::Mat ratio;
        cv::divide(white(card), chart.whiteField(card), ratio);
        double lo = 0.0;
        double hi = 0.0;
        cv::minMaxLoc(ratio.reshape(1), &lo, &hi);
        EXPECT_GT(lo, 0.98);
        EXPECT_LT(hi, 1.02);
    }
}

}  // namespace
