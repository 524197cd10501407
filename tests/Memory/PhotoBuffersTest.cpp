#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "Base/CbArray.h"
#include "DataLayer/ShadeAnalysis/Memory/PhotoBuffers.h"

using DataLayer::clonePhotoBuffer;
using DataLayer::createPhotoBuffer;
using DataLayer::isPhotoBuffer;
using DataLayer::newPhotoBuffer;

// Large and small buffers behave as ordinary matrices: every byte writable,
// copies equal, the pixels released with the last holder.
TEST(PhotoBuffers, LargeAndSmallBuffersAreOrdinaryContinuousMatrices) {
    for (const cv::Size size : {cv::Size(2592, 1944), cv::Size(7, 3), cv::Size(1, 1)}) {
        SCOPED_TRACE(size);
        cv::Mat image = newPhotoBuffer(size, CV_32FC3);
        ASSERT_TRUE(isPhotoBuffer(image));
        ASSERT_TRUE(image.isContinuous());
        EXPECT_EQ(image.size(), size);
        EXPECT_EQ(image.type(), CV_32FC3);
        cv::randu(image, -1.0f, 1.0f);  // touches every byte
        const cv::Mat copy = clonePhotoBuffer(image);
        EXPECT_TRUE(isPhotoBuffer(copy));
        EXPECT_EQ(cv::norm(copy, image, cv::NORM_INF), 0.0);
        EXPECT_NE(copy.data, image.data);
    }
    EXPECT_FALSE(isPhotoBuffer(cv::Mat(4, 4, CV_8UC1)));
    EXPECT_FALSE(isPhotoBuffer(cv::Mat()));
}

// A buffer of the right shape held by nobody else is reused; one of another
// shape, or one that someone else also holds, is replaced.
TEST(PhotoBuffers, CreateReusesOnlyABufferOfItsOwnShapeHeldByNobodyElse) {
    const cv::Size size(2048, 1024);
    cv::Mat image;
    createPhotoBuffer(image, size, CV_8UC1);
    const uchar* first = image.data;
    createPhotoBuffer(image, size, CV_8UC1);
    EXPECT_EQ(image.data, first);

    const cv::Mat holder = image;
    createPhotoBuffer(image, size, CV_8UC1);
    EXPECT_NE(image.data, first);
    EXPECT_EQ(holder.data, first);

    cv::Mat ordinary(size, CV_8UC1);
    createPhotoBuffer(ordinary, size, CV_8UC1);
    EXPECT_TRUE(isPhotoBuffer(ordinary));
    createPhotoBuffer(ordinary, cv::Size(16, 16), CV_32FC1);
    EXPECT_EQ(ordinary.size(), cv::Size(16, 16));
    EXPECT_EQ(ordinary.type(), CV_32FC1);
}

// A large buffer handed to a host's array stays readable after every matrix
// that held it is gone.
TEST(PhotoBuffers, ABufferSharedWithAHostArrayOutlivesItsMatrices) {
    CbArray<float> array;
    {
        cv::Mat image = newPhotoBuffer(cv::Size(1500, 1000), CV_32FC3);
        image.setTo(cv::Scalar(1.0, 2.0, 3.0));
        cv::Mat keep = image;
        const std::shared_ptr<const float> block(keep.ptr<float>(),
                                                 [keep](const float*) mutable { keep.release(); });
        array.Share(block, image.total() * 3);
    }
    const CbArray<float>& reader = array;
    ASSERT_EQ(reader.GetSize(), std::size_t{1500} * 1000 * 3);
    EXPECT_EQ(reader[0], 1.0f);
    EXPECT_EQ(reader[reader.GetSize() - 1], 3.0f);
}
