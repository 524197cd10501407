// The 9 x 9 median filter against cv::medianBlur(src, dst, 9) itself, byte
// for byte, with every kernel set this build and processor have: random
// images of several sizes and channel counts, images around the kernel's
// size, single rows and columns, images full of ties, regions of larger
// matrices on either side, in place, and with one or several threads.

#include <gtest/gtest.h>

#include <tbb/global_control.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <string>
#include <vector>

#include "DataLayer/ShadeAnalysis/Segmentation/MedianFilter.h"

namespace {

namespace MF = DataLayer::MedianFilter;

std::vector<const MF::MedianKernels*> kernelSets() {
    std::vector<const MF::MedianKernels*> sets{&MF::portableMedianKernels()};
    if (MF::avx2MedianKernels() != nullptr) sets.push_back(MF::avx2MedianKernels());
    return sets;
}

cv::Mat randomImage(cv::Size size, int type, cv::RNG& rng, int levels = 256) {
    cv::Mat image(size, type);
    rng.fill(image, cv::RNG::UNIFORM, 0, levels);
    if (levels == 2) image *= 255;
    return image;
}

// Fails with the first differing (y, x, channel) and both values.
void expectSameBytes(const cv::Mat& actual, const cv::Mat& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    ASSERT_EQ(actual.type(), expected.type());
    const int values = expected.cols * expected.channels();
    for (int y = 0; y < expected.rows; ++y) {
        const auto* a = actual.ptr<std::uint8_t>(y);
        const auto* e = expected.ptr<std::uint8_t>(y);
        for (int i = 0; i < values; ++i) {
            if (a[i] != e[i]) {
                FAIL() << "at y " << y << ", x " << i / expected.channels() << ", channel "
                       << i % expected.channels() << ": cv::medianBlur " << int{e[i]} << ", got "
                       << int{a[i]};
            }
        }
    }
}

void expectLikeOpenCV(const cv::Mat& src) {
    cv::Mat expected;
    cv::medianBlur(src, expected, 9);
    for (const MF::MedianKernels* kernels : kernelSets()) {
        SCOPED_TRACE(kernels->name);
        cv::Mat actual;
        MF::medianBlur9x9(src, actual, *kernels);
        expectSameBytes(actual, expected);
    }
}

std::string describe(cv::Size size, int cn) {
    return std::to_string(size.width) + "x" + std::to_string(size.height) + "x" +
           std::to_string(cn);
}

TEST(MedianFilter, EqualsOpenCVOnRandomImages) {
    cv::RNG rng(7);
    for (const cv::Size size :
         {cv::Size(640, 520), cv::Size(263, 129), cv::Size(97, 411), cv::Size(130, 33)}) {
        for (int cn : {1, 3, 4}) {
            SCOPED_TRACE(describe(size, cn));
            expectLikeOpenCV(randomImage(size, CV_8UC(cn), rng));
        }
    }
}

// Images smaller than, equal to and just above the kernel, odd widths, single
// rows and columns: the replicated border reaches across the whole image.
TEST(MedianFilter, EqualsOpenCVAroundTheKernelSize) {
    cv::RNG rng(11);
    std::vector<cv::Size> sizes;
    for (int w : {1, 2, 3, 4, 5, 8, 9, 10, 11, 17, 33}) {
        for (int h : {1, 2, 5, 8, 9, 10, 13}) sizes.emplace_back(w, h);
    }
    sizes.emplace_back(1, 300);
    sizes.emplace_back(300, 1);
    for (const cv::Size size : sizes) {
        for (int cn : {1, 3, 4}) {
            SCOPED_TRACE(describe(size, cn));
            expectLikeOpenCV(randomImage(size, CV_8UC(cn), rng));
        }
    }
}

// Few distinct values make ties everywhere; the 0/255 image puts the median
// on both extremes.
TEST(MedianFilter, EqualsOpenCVWithTies) {
    cv::RNG rng(5);
    for (int levels : {2, 3}) {
        for (int cn : {1, 3}) {
            SCOPED_TRACE(describe(cv::Size(101, 57), cn) + " levels " + std::to_string(levels));
            expectLikeOpenCV(randomImage(cv::Size(101, 57), CV_8UC(cn), rng, levels));
        }
    }
    expectLikeOpenCV(cv::Mat(40, 30, CV_8UC3, cv::Scalar(0, 128, 255)));
}

// A region of a larger matrix reads only its own pixels (the border is
// replicated from the region, not read from around it), and a region as the
// output is written without touching the rest of its matrix.
TEST(MedianFilter, ReadsAndWritesRegionsOfLargerMatrices) {
    cv::RNG rng(3);
    const cv::Mat big = randomImage(cv::Size(200, 150), CV_8UC3, rng);
    const cv::Mat region = big(cv::Rect(13, 21, 101, 77));
    ASSERT_FALSE(region.isContinuous());
    expectLikeOpenCV(region);

    cv::Mat expected;
    cv::medianBlur(region, expected, 9);
    for (const MF::MedianKernels* kernels : kernelSets()) {
        SCOPED_TRACE(kernels->name);
        const cv::Rect rect(30, 40, 101, 77);
        cv::Mat canvas(180, 160, CV_8UC3, cv::Scalar(1, 2, 3));
        cv::Mat target = canvas(rect);
        const uchar* data = target.data;
        MF::medianBlur9x9(region, target, *kernels);
        EXPECT_EQ(target.data, data);
        cv::Mat want(canvas.size(), CV_8UC3, cv::Scalar(1, 2, 3));
        expected.copyTo(want(rect));
        expectSameBytes(canvas, want);
    }
}

TEST(MedianFilter, FiltersInPlace) {
    cv::RNG rng(9);
    const cv::Mat src = randomImage(cv::Size(77, 66), CV_8UC4, rng);
    cv::Mat expected;
    cv::medianBlur(src, expected, 9);
    cv::Mat image = src.clone();
    DataLayer::medianBlur9x9(image, image);
    expectSameBytes(image, expected);
}

TEST(MedianFilter, GivesTheSameBytesOnAnyNumberOfThreads) {
    cv::RNG rng(13);
    const cv::Mat src = randomImage(cv::Size(331, 517), CV_8UC3, rng);
    cv::Mat expected;
    cv::medianBlur(src, expected, 9);
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        const tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
        cv::Mat actual;
        DataLayer::medianBlur9x9(src, actual);
        expectSameBytes(actual, expected);
    }
}

// What the fast path does not take goes to cv::medianBlur, its exceptions
// included (at this kernel size it refuses empty images and takes only 8-bit
// ones of 1, 3 or 4 channels), and so do rows too wide for the fast path.
TEST(MedianFilter, HandsOtherInputsToOpenCV) {
    cv::RNG rng(17);
    cv::Mat actual;
    for (int type : {CV_8UC2, CV_16UC1, CV_32FC3}) {
        SCOPED_TRACE(type);
        EXPECT_THROW(DataLayer::medianBlur9x9(randomImage(cv::Size(31, 29), type, rng), actual),
                     cv::Exception);
    }
    EXPECT_THROW(DataLayer::medianBlur9x9(cv::Mat(), actual), cv::Exception);

    // Rows too wide for the working rows' memory limit.
    const cv::Mat wide = randomImage(cv::Size(300000, 2), CV_8UC4, rng);
    cv::Mat expected;
    cv::medianBlur(wide, expected, 9);
    DataLayer::medianBlur9x9(wide, actual);
    expectSameBytes(actual, expected);
}

}  // namespace
