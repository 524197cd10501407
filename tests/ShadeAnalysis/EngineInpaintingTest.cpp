#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/CRBFInpainting.h"
#include "ShadeAnalysis/EngineTestSupport.h"

using DataLayer::CColorCalibration;
using namespace EngineTest;

namespace {

cv::Vec3d meanColor(CColorCalibration& engine, int row, int col, int rows, int cols) {
    cv::Vec3d c(7.0, 7.0, 7.0);
    engine.GetMeanColorInpainting(row, col, rows, cols, c[0], c[1], c[2]);
    return c;
}

bool ranRidge(const CColorCalibration& engine) {
    return std::string(engine.GetWhiteEstimateDiagnostics().method) ==
           DataLayer::CRBFInpainting::kRidgeMethod;
}

}  // namespace

TEST(EngineInpainting, InterpolatesTheWhiteGroundOverTheChart) {
    const ChartSynth::RenderedChart& r = photo(EChart::eQCCPrint);
    CColorCalibration engine(EChart::eQCCPrint);
    setPhoto(engine, r);
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
    const cv::Mat& white = engine.GetWhiteImage();
    ASSERT_EQ(white.size(), r.photo.size());
    ASSERT_EQ(white.type(), CV_32FC3);
    ASSERT_EQ(out.GetSize(), static_cast<std::size_t>(white.total() * 3));
    EXPECT_EQ(std::memcmp(out.GetData(), white.ptr<float>(), out.GetSize() * sizeof(float)), 0);
    EXPECT_EQ(engine.GetSegmentSeeds().size(), 20u);

    // The white image equals the step-by-step computation exactly. The
    // surround fit has too few centres between this chart's patches: the
    // ridge fit ran.
    EXPECT_TRUE(ranRidge(engine));
    const cv::Mat expected = referenceWhite(engine, *hostImage, true);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(cv::norm(white, expected, cv::NORM_INF), 0.0);

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

    // The mean over a rectangle is the plain mean of the white image there;
    // rectangles not wholly inside the image give zeros.
    const cv::Rect box(r.chartRegion.x + 10, r.chartRegion.y + 20, 30, 40);
    const cv::Scalar mean = cv::mean(white(box));
    EXPECT_LT(cv::norm(meanColor(engine, box.y, box.x, box.height, box.width) -
                       cv::Vec3d(mean[0], mean[1], mean[2])),
              1e-3);
    const int rows = r.photo.rows;
    const int cols = r.photo.cols;
    EXPECT_EQ(meanColor(engine, rows - 1, cols - 1, 1, 1),
              cv::Vec3d(white.at<cv::Vec3f>(rows - 1, cols - 1)));
    for (const cv::Vec4i& b :
         {cv::Vec4i(0, 0, 0, 5), cv::Vec4i(0, 0, 5, 0), cv::Vec4i(-1, 0, 5, 5),
          cv::Vec4i(0, -1, 5, 5), cv::Vec4i(rows - 4, 0, 5, 5), cv::Vec4i(0, cols - 4, 5, 5),
          cv::Vec4i(0, 0, -5, 5), cv::Vec4i(rows, cols, 1, 1), cv::Vec4i(1, 1, INT_MAX, 1)}) {
        EXPECT_EQ(meanColor(engine, b[0], b[1], b[2], b[3]), cv::Vec3d(0, 0, 0)) << b;
    }
}

TEST(EngineInpainting, SupportImagesThatDoNotFitThrowWhatAPixelWalkMeetsFirst) {
    const ChartSynth::RenderedChart& r = photo(EChart::eCCTPrint);
    const int w = r.photo.cols;
    const int h = r.photo.rows;
    CColorCalibration engine(EChart::eCCTPrint);
    setPhoto(engine, r);
    float white[3];
    ASSERT_TRUE(engine.precomputeSegmentation(white));

    const auto outside = [](int x, int y, int width, int height) {
        return "pixel index (" + std::to_string(x) + ", " + std::to_string(y) + ") outside (" +
               std::to_string(width) + ", " + std::to_string(height) + ")";
    };
    struct Case {
        int width, height, bytes;
        std::string message;
    };
    const Case cases[] = {
        {w, h - 1, 1, outside(0, h - 1, w, h - 1)},  // the first column runs out at row h - 1
        {w - 1, h, 1, outside(w - 1, 0, w - 1, h)},  // the last column fails at row 0
        {w - 5, h - 3, 1, outside(0, h - 3, w - 5, h - 3)},  // the missing row comes first
        {0, 0, 1, outside(0, 0, 0, 0)},
        {w, h, 3, "invalid template parameter"},
        {0, h, 3, outside(0, 0, 0, h)},  // the size test comes before the depth test
    };
    for (const Case& c : cases) {
        engine.SetColorImageRoi(std::make_shared<Base::CImageData2D>(c.width, c.height, c.bytes));
        CbArray<float> out;
        try {
            engine.precomputeInpainting(out);
            ADD_FAILURE() << "nothing thrown for " << c.message;
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        // A throw leaves the segmentation in place.
        EXPECT_FALSE(engine.GetSegmentLabels().empty());
    }

    // A support image of the right size without pixel data is not read.
    engine.SetColorImageRoi(std::make_shared<NoPixelsImage>(w, h, 1));
    CbArray<float> out;
    EXPECT_FALSE(engine.precomputeInpainting(out));
    EXPECT_TRUE(engine.GetSegmentLabels().empty());
}

TEST(EngineInpainting, InputOutsideTheFullImageOrOfAnotherSizeIsRefused) {
    const ChartSynth::RenderedChart& r = photo(EChart::eCCTPrint);
    CColorCalibration engine(EChart::eCCTPrint);
    setPhoto(engine, r);
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

    setPhoto(engine, r);
    ASSERT_TRUE(engine.precomputeSegmentation(white));
    cv::Mat smaller = input(cv::Rect(0, 0, input.cols - 2, input.rows)).clone();
    EXPECT_FALSE(
        engine.precomputeInpainting(smaller.ptr<float>(), smaller.rows, smaller.cols, out));
    EXPECT_TRUE(engine.GetWhiteImage().empty());
    EXPECT_FALSE(engine.precomputeInpainting(nullptr, 4, 4, out));
}
