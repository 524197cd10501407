// The chart search's flood against OpenCV's watershed, which it must equal label for
// label on every image and marker set the search can hand it.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include <opencv2/imgproc.hpp>

#include "DataLayer/ShadeAnalysis/Segmentation/MarkerFlood.h"
#include "tools/synth/SyntheticChart.h"

namespace {

using EChart = Base::IParameterSetColorCalibrationTarget::EParameterSet;

// Compares the flood with OpenCV's watershed on the same image and markers;
// reports the first differing pixel.
void expectSameFlood(const cv::Mat& image, const cv::Mat& markers, const std::string& what) {
    cv::Mat expected = markers.clone();
    cv::watershed(image, expected);
    cv::Mat actual = markers.clone();
    DataLayer::floodFromMarkers(image, actual);
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (int y = 0; y < expected.rows; ++y) {
        for (int x = 0; x < expected.cols; ++x) {
            if (actual.at<int>(y, x) != expected.at<int>(y, x)) {
                ADD_FAILURE() << what << ": at " << y << "," << x << ": watershed "
                              << expected.at<int>(y, x) << ", flood " << actual.at<int>(y, x);
                return;
            }
        }
    }
}

// Discs of labels 1 .. labels at random places, some overlapping, some
// crossing the border; a few negative and huge marker values as well.
cv::Mat randomMarkers(const cv::Size& size, int discs, int labels, std::mt19937& rng) {
    cv::Mat markers = cv::Mat::zeros(size, CV_32S);
    std::uniform_int_distribution<int> px(-3, size.width + 2);
    std::uniform_int_distribution<int> py(-3, size.height + 2);
    std::uniform_int_distribution<int> radius(0, 6);
    std::uniform_int_distribution<int> label(1, labels);
    for (int i = 0; i < discs; ++i) {
        const int value = i % 17 == 16 ? -5 : (i % 13 == 12 ? 1 << 30 : label(rng));
        cv::circle(markers, cv::Point(px(rng), py(rng)), radius(rng), cv::Scalar::all(value), -1,
                   cv::LINE_8);
    }
    return markers;
}

// The flood equals cv::watershed label for label: on a rendered chart with the
// segmentation's kinds of markers, on random images (smooth and noisy, flat
// ones with ties everywhere, odd and degenerate sizes, padded views) and
// markers (overlapping, on the frame, negative, huge values, none at all).
TEST(MarkerFlood, EqualsOpenCVWatershedLabelForLabel) {
    ChartSynth::RenderOptions options;
    options.chart = EChart::eCCTPrint;
    options.referenceRgb = ChartSynth::defaultReferenceColors();
    options.photoWidth = 480;
    options.photoHeight = 400;
    options.rotationDeg = 5.0;
    options.noiseSigma = 3.0;
    options.falloff = 0.3;
    options.blurSigma = 1.0;
    const ChartSynth::RenderedChart chart = ChartSynth::renderChart(options);
    cv::Mat chart8u;
    chart.photo.convertTo(chart8u, CV_8U);
    cv::medianBlur(chart8u, chart8u, 9);
    std::mt19937 rng(7);
    // Small discs on a zero background (the final labelling) and large
    // background markers around them (the first flood).
    expectSameFlood(chart8u, randomMarkers(chart8u.size(), 100, 21, rng), "chart, discs");
    cv::Mat background = cv::Mat::zeros(chart8u.size(), CV_32S);
    cv::rectangle(background, cv::Rect(0, 0, 480, 400), cv::Scalar::all(1), 40);
    cv::add(background, randomMarkers(chart8u.size(), 30, 20, rng), background);
    expectSameFlood(chart8u, background, "chart, background");

    const cv::Size sizes[] = {{1, 1}, {2, 3}, {3, 2}, {3, 3}, {5, 1}, {1, 7}, {37, 29}, {262, 97}};
    for (const cv::Size& size : sizes) {
        for (int kind = 0; kind < 3; ++kind) {
            cv::Mat image(size, CV_8UC3);
            if (kind == 0) {
                cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
            } else if (kind == 1) {
                cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
                cv::GaussianBlur(image, image, cv::Size(7, 7), 2.0);
            } else {
                image.setTo(cv::Scalar(90, 90, 90));
            }
            const int discs = size.area() / 40 + 2;
            const std::string what = std::to_string(size.width) + "x" +
                                     std::to_string(size.height) + " kind " + std::to_string(kind);
            expectSameFlood(image, randomMarkers(size, discs, 5, rng), what);
            expectSameFlood(image, cv::Mat::zeros(size, CV_32S), what + ", no markers");
        }
    }

    // Views into larger buffers (rows not contiguous).
    cv::Mat bigImage(120, 150, CV_8UC3);
    cv::randu(bigImage, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::GaussianBlur(bigImage, bigImage, cv::Size(5, 5), 1.5);
    cv::Mat bigMarkers = randomMarkers(bigImage.size(), 40, 9, rng);
    const cv::Rect roi(11, 7, 101, 93);
    cv::Mat expected = bigMarkers(roi).clone();
    cv::watershed(bigImage(roi), expected);
    cv::Mat view = bigMarkers(roi);
    DataLayer::floodFromMarkers(bigImage(roi), view);
    EXPECT_EQ(cv::norm(view, expected, cv::NORM_INF), 0.0) << "padded views";

    // Wrong types are refused as OpenCV refuses them.
    cv::Mat gray(10, 10, CV_8UC1, cv::Scalar(0));
    cv::Mat markers = cv::Mat::zeros(10, 10, CV_32S);
    EXPECT_THROW(DataLayer::floodFromMarkers(gray, markers), cv::Exception);
    cv::Mat colour(10, 11, CV_8UC3, cv::Scalar::all(0));
    EXPECT_THROW(DataLayer::floodFromMarkers(colour, markers), cv::Exception);
}

}  // namespace
