#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Base/CImageData2D.h"
#include "Base/CbArray.h"
#include "Base/HostImageCheck.h"
#include "Base/Logging/CLogger.h"
#include "Base/StringConversion.h"

TEST(CLogger, WritesErrorsAndAboveToItsSinkFormattedAndCut) {
    Logging::CLogger logger(L"ORV2.CColorCalibration");
    std::vector<Logging::LogRecord> records;
    EXPECT_FALSE(logger.SetSink([&records](const Logging::LogRecord& r) { records.push_back(r); }));
    logger.Error("DataLayer/ShadeAnalysis/CColorCalibration", 123, "DataLayer::f", L"%d, %ls", 19,
                 L"one missing");
    logger.Log(Logging::eWarning, "f", 1, "g", L"dropped below the threshold");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, 4);
    EXPECT_EQ(records[0].file, "DataLayer/ShadeAnalysis/CColorCalibration");
    EXPECT_EQ(records[0].line, 123);
    EXPECT_EQ(records[0].message, L"19, one missing");

    logger.Error(nullptr, 1, nullptr, nullptr);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].message, L"");

    // Level 5 silences errors but not fatal records.
    logger.SetLogLevel(5);
    EXPECT_FALSE(logger.IsLogLevelEnabled(4));
    logger.Error("f", 1, "g", L"not written");
    logger.Log(Logging::eFatal, "f", 1, "g", L"written");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].message, L"written");

    // An empty sink restores stderr and returns the sink it replaced.
    EXPECT_TRUE(logger.SetSink(Logging::LogSink()));
    testing::internal::CaptureStderr();
    logger.Log(Logging::eFatal, "file.cpp", 9, "ns::fn", L"to stderr");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "FATAL ORV2.CColorCalibration file.cpp:9 ns::fn: to stderr\n");
}

TEST(CLogger, SinksRunOutsideTheLockAndWhatTheyThrowGoesNoFurther) {
    Logging::CLogger logger(L"L");
    std::vector<std::wstring> seen;
    // A sink that logs to its own logger and then replaces itself: neither
    // may deadlock, and the nested line arrives first.
    logger.SetSink([&](const Logging::LogRecord& r) {
        if (r.message == L"outer") {
            logger.Error("f", 2, "g", L"inner");
            logger.SetSink(
                [&](const Logging::LogRecord& next) { seen.push_back(L"new " + next.message); });
        }
        seen.push_back(r.message);
    });
    logger.Error("f", 1, "g", L"outer");
    logger.Error("f", 3, "g", L"after");
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"inner", L"outer", L"new after"}));

    // A throwing sink: the call returns normally and the line goes to stderr.
    for (const bool standard : {true, false}) {
        logger.SetSink([standard](const Logging::LogRecord&) {
            if (standard) throw std::runtime_error("sink failed");
            throw 42;
        });
        testing::internal::CaptureStderr();
        EXPECT_NO_THROW(logger.Error("file.cpp", 9, "ns::fn", L"kept"));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR L file.cpp:9 ns::fn: kept\n");
    }
}

TEST(HostContainers, ImageDataCopiesThePixelsAndArraysKeepThePrefixOnResize) {
    std::vector<float> pixels = {1.f, 2.f, 3.f, 4.f, 5.f, 6.f};
    const Base::CImageData2D image(2, 1, 12, pixels.data());
    pixels[0] = 99.f;
    EXPECT_EQ(image.GetByteCount(), 24u);
    float first = 0.f;
    std::memcpy(&first, image.GetData(), sizeof(float));
    EXPECT_EQ(first, 1.f);
    EXPECT_EQ(Base::CImageData2D(-4, 3, 3, pixels.data()).GetData(), nullptr);

    CbArray<float> array;
    array.SetSize(6);
    std::memcpy(array.GetData(), pixels.data(), 6 * sizeof(float));
    array.SetSize(8);
    EXPECT_EQ(array[5], 6.f);
    EXPECT_EQ(array[7], 0.f);
}

// A shared block is read in place and copied before any access that may
// write, so neither the producer nor another array sees a write.
TEST(HostContainers, ArraysReadASharedBlockInPlaceAndCopyItBeforeWriting) {
    const auto block = std::make_shared<std::vector<float>>(std::vector<float>{1.f, 2.f, 3.f});
    const std::shared_ptr<const float> pixels(block, block->data());
    CbArray<float> array;
    array.Share(pixels, 3);
    const CbArray<float>& reader = array;
    EXPECT_EQ(reader.GetData(), block->data());
    EXPECT_EQ(reader.GetSize(), 3u);
    EXPECT_EQ(reader[2], 3.f);

    CbArray<float> copy = array;  // shares as well
    EXPECT_TRUE(copy.IsShared());
    array[0] = 7.f;  // the array copies first
    EXPECT_FALSE(array.IsShared());
    EXPECT_NE(reader.GetData(), block->data());
    EXPECT_EQ((*block)[0], 1.f);
    EXPECT_EQ(std::as_const(copy)[0], 1.f);

    copy.GetData()[1] = 8.f;
    EXPECT_EQ((*block)[1], 2.f);
    EXPECT_EQ(copy[1], 8.f);

    // Resizing a shared array keeps its prefix and zero-fills the rest.
    CbArray<float> grown;
    grown.Share(pixels, 3);
    grown.SetSize(5);
    EXPECT_FALSE(grown.IsShared());
    EXPECT_EQ(grown.GetSize(), 5u);
    EXPECT_EQ(grown[2], 3.f);
    EXPECT_EQ(grown[4], 0.f);
    grown.Share(pixels, 2);
    grown.SetSize(1);
    EXPECT_EQ(grown.GetSize(), 1u);
    EXPECT_EQ(grown[0], 1.f);

    // Nothing shared: empty.
    grown.Share(nullptr, 4);
    EXPECT_EQ(grown.GetSize(), 0u);
    EXPECT_EQ(std::as_const(grown).GetData(), nullptr);
    grown.Share(pixels, 0);
    EXPECT_EQ(grown.GetSize(), 0u);
    array.Share(pixels, 3);
    array.RemoveAll();
    EXPECT_EQ(array.GetSize(), 0u);
    EXPECT_EQ(block.use_count(), 2);  // `pixels` and `block` only
}

TEST(HostImageCheck, ByteCountsAreGuardedAtTheAddressSpaceWithoutOverflow) {
    using Base::HostImageProblem;
    const unsigned char pixel = 0;
    const auto problem = [&](std::int64_t rows, std::int64_t cols, int bytesPerPixel) {
        return Base::checkHostImage(&pixel, rows, cols, bytesPerPixel).problem;
    };
    // (2^31 - 1)^2 pixels of 2 bytes still fit a 63-bit byte count; of 3 they do not.
    const Base::HostImageCheck largest = Base::checkHostImage(&pixel, INT_MAX, INT_MAX, 2);
    EXPECT_TRUE(largest.usable());
    EXPECT_EQ(largest.bytes, std::size_t{2} * INT_MAX * std::size_t{INT_MAX});
    EXPECT_EQ(problem(INT_MAX, INT_MAX, 3), HostImageProblem::eTooLarge);
    EXPECT_EQ(problem(INT_MAX, INT_MAX, 12), HostImageProblem::eTooLarge);
    EXPECT_EQ(problem(std::int64_t{INT_MAX} + 1, 1, 1), HostImageProblem::eTooLarge);
    EXPECT_EQ(problem(0, 5, 3), HostImageProblem::eNonPositiveSize);
    EXPECT_EQ(problem(5, INT64_MIN, 3), HostImageProblem::eNonPositiveSize);
    EXPECT_EQ(Base::checkHostImage(nullptr, 2, 2, 3).problem, HostImageProblem::eNullBuffer);
    EXPECT_TRUE(Base::checkHostImage(nullptr, 2, 2, 3, /*allowNull=*/true).usable());
    // A host image whose byte count would wrap is refused, not cut short.
    EXPECT_THROW(Base::CImageData2D(INT_MAX, INT_MAX, 12), std::length_error);
    EXPECT_EQ(Base::CImageData2D(3, 2, 12).GetByteCount(), 72u);
}

TEST(StringConversion, WideToNarrowGivesUtf8AndReplacesLoneSurrogates) {
    // The test runs in the "C" locale: non-ASCII text comes back as UTF-8.
    EXPECT_EQ(Base::WideToNarrow(L"Wei\u00df \u20ac"), "Wei\xC3\x9F \xE2\x82\xAC");
    EXPECT_EQ(Base::WideToNarrow(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}
