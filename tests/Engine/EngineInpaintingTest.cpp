#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "Engine/EngineTestSupport.h"

using DataLayer::CColorCalibration;
using EngineTest::EChart;

namespace {

ChartSynth::RenderedChart renderLit(EChart chart) {
    ChartSynth::RenderOptions options = EngineTest::photoOptions(chart);
    options.falloff = 0.3;
    options.noiseSigma = 1.0;
    options.photoWidth = 760;
    options.photoHeight = 640;
    return ChartSynth::renderChart(options);
}

std::string thrownMessage(CColorCalibration& engine) {
    CbArray<float> out;
    try {
        engine.precomputeInpainting(out);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

}  // namespace

TEST(EngineInpainting, InterpolatesTheWhiteGroundOverTheChart) {
    const ChartSynth::RenderedChart r = renderLit(EChart::eCCTPrint);
    CColorCalibration engine(EChart::eCCTPrint);
    EngineTest::setPhoto(engine, r);

    CbArray<float> out;
    ASSERT_TRUE(engine.precomputeInpainting(out));
    const cv::Mat& white = engine.GetWhiteImage();
    ASSERT_EQ(white.size(), r.photo.size());
    ASSERT_EQ(white.type(), CV_32FC3);
    ASSERT_EQ(out.GetSize(), static_cast<std::size_t>(white.total() * 3));
    EXPECT_EQ(std::memcmp(out.GetData(), white.ptr<float>(), out.GetSize() * sizeof(float)), 0);
    EXPECT_EQ(engine.GetSegmentSeeds().size(), 20u);

    // Across the patches the white follows the true illumination of the ground.
    double worst = 0.0;
    for (const cv::Point2d& c : r.centers) {
        const cv::Vec3f w = white.at<cv::Vec3f>(cv::Point(c));
        const cv::Vec3f t = r.whiteField.at<cv::Vec3f>(cv::Point(c));
        for (int ch = 0; ch < 3; ++ch) {
            worst = std::max(worst, std::abs(double(w[ch]) - t[ch]) / t[ch]);
        }
    }
    EXPECT_LT(worst, 0.03);

    // The mean over a rectangle is the plain mean of the white image there.
    double c0 = 0.0;
    double c1 = 0.0;
    double c2 = 0.0;
    const cv::Rect box(r.chartRegion.x + 10, r.chartRegion.y + 20, 30, 40);
    engine.GetMeanColorInpainting(box.y, box.x, box.height, box.width, c0, c1, c2);
    const cv::Scalar mean = cv::mean(white(box));
    EXPECT_NEAR(c0, mean[0], 1e-3);
    EXPECT_NEAR(c1, mean[1], 1e-3);
    EXPECT_NEAR(c2, mean[2], 1e-3);
}

TEST(EngineInpainting, WithoutSupportImageFailsAndEmptiesLabelsAndWhite) {
    const ChartSynth::RenderedChart r = renderLit(EChart::eCCTPrint);
    CColorCalibration engine(EChart::eCCTPrint);
    EngineTest::setPhoto(engine, r);
    engine.SetColorImageRoi(nullptr);
    CbArray<float> out;
    EXPECT_FALSE(engine.precomputeInpainting(out));
    EXPECT_TRUE(engine.GetSegmentLabels().empty());
    EXPECT_TRUE(engine.GetWhiteImage().empty());
    EXPECT_EQ(out.GetSize(), 0u);
    // The segmentation itself succeeded: its seeds stay.
    EXPECT_EQ(engine.GetSegmentSeeds().size(), 20u);
}

TEST(EngineInpainting, SupportImagesThatDoNotFitThrowWhatAPixelWalkMeetsFirst) {
    const ChartSynth::RenderedChart r = renderLit(EChart::eCCTPrint);
    const int w = r.photo.cols;
    const int h = r.photo.rows;
    CColorCalibration engine(EChart::eCCTPrint);
    EngineTest::setPhoto(engine, r);
    float white[3];
    ASSERT_TRUE(engine.precomputeSegmentation(white));

    const auto expectMessage = [&](std::shared_ptr<Base::IImageData2D> image,
                                   const std::string& message) {
        engine.SetColorImageRoi(std::move(image));
        EXPECT_EQ(thrownMessage(engine), message);
        // A throw leaves the segmentation in place.
        EXPECT_FALSE(engine.GetSegmentLabels().empty());
    };
    const auto mask = [](int width, int height, int bytes) {
        return std::make_shared<Base::CImageData2D>(width, height, bytes);
    };
    // One row short: the first column runs out at row h - 1.
    expectMessage(mask(w, h - 1, 1), "pixel index (0, " + std::to_string(h - 1) + ") outside (" +
                                         std::to_string(w) + ", " + std::to_string(h - 1) + ")");
    // One column short: the last column is the first to fail, at row 0.
    expectMessage(mask(w - 1, h, 1), "pixel index (" + std::to_string(w - 1) + ", 0) outside (" +
                                         std::to_string(w - 1) + ", " + std::to_string(h) + ")");
    // Both short: the column walk meets the missing row first.
    expectMessage(mask(w - 5, h - 3, 1), "pixel index (0, " + std::to_string(h - 3) +
                                             ") outside (" + std::to_string(w - 5) + ", " +
                                             std::to_string(h - 3) + ")");
    expectMessage(mask(0, 0, 1), "pixel index (0, 0) outside (0, 0)");
    expectMessage(mask(w, h, 3), "invalid template parameter");
    // The size test comes first: an empty image of the wrong depth is out of range.
    expectMessage(mask(0, h, 3), "pixel index (0, 0) outside (0, " + std::to_string(h) + ")");

    // A support image of the right size without pixel data is not read.
    engine.SetColorImageRoi(std::make_shared<EngineTest::NoPixelsImage>(w, h, 1));
    CbArray<float> none;
    EXPECT_FALSE(engine.precomputeInpainting(none));
    EXPECT_TRUE(engine.GetSegmentLabels().empty());
    ASSERT_TRUE(engine.precomputeSegmentation(white));

    // A larger support image is read with its own row length.
    cv::Mat wide(h + 2, w + 7, CV_8UC1, cv::Scalar(255));
    wide(r.chartRegion).setTo(0);
    engine.SetColorImageRoi(
        std::make_shared<Base::CImageData2D>(wide.cols, wide.rows, 1, wide.data));
    CbArray<float> out;
    EXPECT_TRUE(engine.precomputeInpainting(out));
}

TEST(EngineInpainting, MeanColorOutsideTheWhiteImageIsZero) {
    const ChartSynth::RenderedChart r = renderLit(EChart::eQCCPrintSmall);
    CColorCalibration engine(EChart::eQCCPrintSmall);
    double c[3] = {7.0, 7.0, 7.0};
    // No white image yet.
    engine.GetMeanColorInpainting(0, 0, 5, 5, c[0], c[1], c[2]);
    EXPECT_EQ(cv::Vec3d(c[0], c[1], c[2]), cv::Vec3d(0, 0, 0));

    EngineTest::setPhoto(engine, r);
    CbArray<float> out;
    ASSERT_TRUE(engine.precomputeInpainting(out));
    const int rows = r.photo.rows;
    const int cols = r.photo.cols;
    struct Box {
        int row, col, rowCount, colCount;
    };
    for (const Box& b : {Box{0, 0, 0, 5}, Box{0, 0, 5, 0}, Box{-1, 0, 5, 5}, Box{0, -1, 5, 5},
                         Box{rows - 4, 0, 5, 5}, Box{0, cols - 4, 5, 5}, Box{0, 0, -5, 5},
                         Box{rows, cols, 1, 1}, Box{1, 1, INT32_MAX, 1}}) {
        c[0] = c[1] = c[2] = 7.0;
        engine.GetMeanColorInpainting(b.row, b.col, b.rowCount, b.colCount, c[0], c[1], c[2]);
        EXPECT_EQ(cv::Vec3d(c[0], c[1], c[2]), cv::Vec3d(0, 0, 0))
            << b.row << " " << b.col << " " << b.rowCount << " " << b.colCount;
    }
    // The last pixel alone is inside.
    engine.GetMeanColorInpainting(rows - 1, cols - 1, 1, 1, c[0], c[1], c[2]);
    EXPECT_EQ(c[0], double(engine.GetWhiteImage().at<cv::Vec3f>(rows - 1, cols - 1)[0]));
}

TEST(EngineInpainting, InputOutsideTheFullImageIsRefused) {
    const ChartSynth::RenderedChart r = renderLit(EChart::eCCTPrint);
    CColorCalibration engine(EChart::eCCTPrint);
    EngineTest::setPhoto(engine, r);
    float white[3];
    ASSERT_TRUE(engine.precomputeSegmentation(white));

    // A new input image of the same size at a region reaching past the full image.
    cv::Mat input = r.photo(r.chartRegion).clone();
    cv::Mat full = r.photo.clone();
    CRect roi(full.cols - input.cols + 10, 0, full.cols + 10, input.rows);
    engine.SetInputImage(input.ptr<float>(), roi, full.ptr<float>(), full.cols, full.rows);
    CbArray<float> out;
    EXPECT_FALSE(engine.precomputeInpainting(out));
    EXPECT_TRUE(engine.GetWhiteImage().empty());

    // An input image of another size than the labels held.
    EngineTest::setPhoto(engine, r);
    ASSERT_TRUE(engine.precomputeSegmentation(white));
    cv::Mat smaller = input(cv::Rect(0, 0, input.cols - 2, input.rows)).clone();
    EXPECT_FALSE(
        engine.precomputeInpainting(smaller.ptr<float>(), smaller.rows, smaller.cols, out));
    EXPECT_TRUE(engine.GetWhiteImage().empty());
    EXPECT_FALSE(engine.precomputeInpainting(nullptr, 4, 4, out));
}

namespace {

// The white image computed step by step, the support mask pixel by pixel,
// column after column, straight from the host image's bytes.
cv::Mat referenceWhite(const CColorCalibration& engine, const Base::IImageData2D& host) {
    const cv::Mat& full = engine.GetFullImage();
    const cv::Mat& labels = engine.GetSegmentLabels();
    const CRect& roi = engine.GetRegionOfInterest();
    cv::Mat support(full.rows, full.cols, CV_8UC1);
    for (int x = 0; x < support.cols; ++x) {
        for (int y = 0; y < support.rows; ++y) {
            support.at<uchar>(y, x) = host.GetData()[y * host.GetWidth() + x];
        }
    }
    for (int r = 0; r < labels.rows; ++r) {
        for (int c = 0; c < labels.cols; ++c) {
            uchar& s = support.at<uchar>(r + roi.top, c + roi.left);
            if (s == 0) {
                s = labels.at<int>(r, c) > 1 ? 255 : 0;
            }
        }
    }
    cv::dilate(support, support, cv::Mat::ones(11, 11, CV_8U), cv::Point(-1, -1), 2,
               cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
    DataLayer::CRBFInpainting inpainting{DataLayer::CRBFInpainting::Config()};
    inpainting.setInputImage(full);
    inpainting.setInputSupportMask(support);
    cv::Mat white;
    if (!inpainting.approximate()) {
        return white;
    }
    inpainting.fillValues(cv::Mat(), white);
    cv::GaussianBlur(white, white, cv::Size(19, 19), 9.0, 0.0, cv::BORDER_REFLECT_101);
    return white;
}

}  // namespace

TEST(EngineInpainting, WhiteImageEqualsTheStepByStepComputation) {
    const ChartSynth::RenderedChart r = renderLit(EChart::eQCCPrint);
    CColorCalibration engine(EChart::eQCCPrint);
    EngineTest::setPhoto(engine, r);

    // A host image wider and taller than the photo, with scattered marks on
    // the card that the engine must keep excluded.
    cv::Mat host(r.photo.rows + 3, r.photo.cols + 5, CV_8UC1, cv::Scalar(255));
    host(r.chartRegion).setTo(0);
    cv::RNG rng(42);
    for (int k = 0; k < 40; ++k) {
        const cv::Point p(r.chartRegion.x + rng.uniform(0, r.chartRegion.width),
                          r.chartRegion.y + rng.uniform(0, r.chartRegion.height));
        cv::circle(host, p, 4, cv::Scalar(rng.uniform(1, 256)), cv::FILLED);
    }
    const auto hostImage = std::make_shared<Base::CImageData2D>(host.cols, host.rows, 1, host.data);
    engine.SetColorImageRoi(hostImage);

    CbArray<float> out;
    ASSERT_TRUE(engine.precomputeInpainting(out));
    const cv::Mat expected = referenceWhite(engine, *hostImage);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(cv::norm(engine.GetWhiteImage(), expected, cv::NORM_INF), 0.0);
}
