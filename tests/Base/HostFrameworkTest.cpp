#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "Base/CImageData2D.h"
#include "Base/CbArray.h"
#include "Base/CbException.h"
#include "Base/Logging/CLogger.h"
#include "Base/StringConversion.h"

TEST(CbException, KeepsTheRaisingSiteAndMessage) {
    const CbException e("DataLayer/Errors/OrvException", 42, "DataLayer::f", L"broken");
    EXPECT_STREQ(e.GetFilename(), "DataLayer/Errors/OrvException");
    EXPECT_EQ(e.GetCodeLine(), 42u);
    EXPECT_STREQ(e.GetFunctionName(), "DataLayer::f");
    EXPECT_STREQ(e.GetMessageW(), L"broken");
    EXPECT_STREQ(e.GetClassNameW(), L"CbException");
    EXPECT_EQ(e.GetRTTI(), typeid(CbException));

    const CbException empty(nullptr, 0, nullptr, nullptr);
    EXPECT_STREQ(empty.GetFilename(), "");
    EXPECT_STREQ(empty.GetFunctionName(), "");
    EXPECT_STREQ(empty.GetMessageW(), L"");
}

TEST(CbException, CopiesAndClonesKeepEverything) {
    std::unique_ptr<IException> clone;
    try {
        throw CbException("a.cpp", 7, "ns::g", L"message");
    } catch (const IException& caught) {
        clone = caught.Clone();
    }
    ASSERT_NE(clone, nullptr);
    EXPECT_STREQ(clone->GetFilename(), "a.cpp");
    EXPECT_EQ(clone->GetCodeLine(), 7u);
    EXPECT_STREQ(clone->GetFunctionName(), "ns::g");
    const auto* asObject = dynamic_cast<const IObject*>(clone.get());
    ASSERT_NE(asObject, nullptr);
    EXPECT_EQ(asObject->GetRTTI(), typeid(CbException));
    EXPECT_STREQ(dynamic_cast<const CbException&>(*clone).GetMessageW(), L"message");

    CbException assigned("x", 1, "y", L"z");
    assigned = dynamic_cast<const CbException&>(*clone);
    EXPECT_STREQ(assigned.GetMessageW(), L"message");
    EXPECT_EQ(assigned.GetThreadID(), clone->GetThreadID());
}

TEST(CbException, ThreadIdIsTheConstructingThreads) {
    const CbException here("f", 1, "g", L"m");
    EXPECT_EQ(here.GetThreadID(), CbException("f", 2, "g", L"m").GetThreadID());
    std::uint64_t other = here.GetThreadID();
    std::thread([&other] { other = CbException("f", 3, "g", L"m").GetThreadID(); }).join();
    EXPECT_NE(other, here.GetThreadID());
}

TEST(CLogger, WritesErrorsToItsSinkByDefault) {
    Logging::CLogger logger(L"ORV2.CColorCalibration");
    EXPECT_EQ(logger.GetName(), L"ORV2.CColorCalibration");
    EXPECT_TRUE(logger.IsLogLevelEnabled(4));
    EXPECT_TRUE(logger.IsLogLevelEnabled(5));
    EXPECT_FALSE(logger.IsLogLevelEnabled(3));

    std::vector<Logging::LogRecord> records;
    EXPECT_FALSE(logger.SetSink([&records](const Logging::LogRecord& r) { records.push_back(r); }));
    logger.Error("DataLayer/ShadeAnalysis/CColorCalibration", 123,
                 "DataLayer::CColorCalibration::startColorCalibration", L"no white image");
    logger.Log(Logging::eWarning, "f", 1, "g", L"dropped below the threshold");
    ASSERT_EQ(records.size(), 1u);
    const Logging::LogRecord& r = records[0];
    EXPECT_EQ(r.level, 4);
    EXPECT_EQ(r.logger, L"ORV2.CColorCalibration");
    EXPECT_EQ(r.file, "DataLayer/ShadeAnalysis/CColorCalibration");
    EXPECT_EQ(r.line, 123);
    EXPECT_EQ(r.function, "DataLayer::CColorCalibration::startColorCalibration");
    EXPECT_EQ(r.message, L"no white image");

    logger.Error("f", 2, "g", L"%d patches, %ls", 19, L"one missing");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].message, L"19 patches, one missing");
}

TEST(CLogger, LevelFiveSilencesErrors) {
    Logging::CLogger logger(L"ORV2.CColorCalibrationTargetParameterSet");
    int calls = 0;
    logger.SetSink([&calls](const Logging::LogRecord&) { ++calls; });
    logger.SetLogLevel(5);
    EXPECT_EQ(logger.GetLogLevel(), 5);
    EXPECT_FALSE(logger.IsLogLevelEnabled(4));
    logger.Error("f", 1, "g", L"not written");
    EXPECT_EQ(calls, 0);
    logger.Log(Logging::eFatal, "f", 1, "g", L"written");
    EXPECT_EQ(calls, 1);
}

TEST(CLogger, LongAndNullMessagesAndTheStderrSink) {
    Logging::CLogger logger(L"name");
    std::vector<std::wstring> messages;
    logger.SetSink([&messages](const Logging::LogRecord& r) { messages.push_back(r.message); });
    const std::wstring longText(20000, L'x');
    logger.Error("f", 1, "g", L"%ls", longText.c_str());
    logger.Error(nullptr, 1, nullptr, nullptr);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].size(), 8191u);  // cut to the buffer, not dropped
    EXPECT_EQ(messages[0].find_first_not_of(L'x'), std::wstring::npos);
    EXPECT_EQ(messages[1], L"");

    // An empty sink restores stderr and returns the sink it replaced.
    EXPECT_TRUE(logger.SetSink(Logging::LogSink()));
    testing::internal::CaptureStderr();
    logger.Error("file.cpp", 9, "ns::fn", L"to stderr");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR name file.cpp:9 ns::fn: to stderr\n");
}

TEST(CImageData2D, HoldsACopyOfThePixels) {
    std::vector<float> pixels = {1.f, 2.f, 3.f, 4.f, 5.f, 6.f};
    const Base::CImageData2D image(2, 1, 12, pixels.data());
    pixels[0] = 99.f;
    EXPECT_EQ(image.GetWidth(), 2);
    EXPECT_EQ(image.GetHeight(), 1);
    EXPECT_EQ(image.GetBytesPerPixel(), 12);
    EXPECT_EQ(image.GetByteCount(), 24u);
    float first = 0.f;
    std::memcpy(&first, image.GetData(), sizeof(float));
    EXPECT_EQ(first, 1.f);

    Base::CImageData2D zeros(3, 2, 1);
    EXPECT_EQ(zeros.GetByteCount(), 6u);
    EXPECT_EQ(std::vector<unsigned char>(zeros.GetData(), zeros.GetData() + 6),
              std::vector<unsigned char>(6, 0));
    zeros.GetMutableData()[5] = 255;
    EXPECT_EQ(zeros.GetData()[5], 255);

    const Base::CImageData2D negative(-4, 3, 3, pixels.data());
    EXPECT_EQ(negative.GetWidth(), 0);
    EXPECT_EQ(negative.GetData(), nullptr);
    EXPECT_EQ(negative.GetByteCount(), 0u);
}

TEST(CbArray, SetSizeGivesContiguousZeroedStorage) {
    CbArray<float> array;
    EXPECT_EQ(array.GetData(), nullptr);
    array.SetSize(6);
    ASSERT_NE(array.GetData(), nullptr);
    const float values[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(array.GetData(), values, sizeof(values));
    array.SetSize(8);
    EXPECT_EQ(array[5], 6.f);
    EXPECT_EQ(array[7], 0.f);
    array.SetSize(2);
    EXPECT_EQ(array.GetSize(), 2u);
    EXPECT_EQ(array[1], 2.f);
}

TEST(StringConversion, WideToNarrow) {
    EXPECT_EQ(Base::WideToNarrow(L""), "");
    EXPECT_EQ(Base::WideToNarrow(L"ORV2.CColorCalibration: 20 patches"),
              "ORV2.CColorCalibration: 20 patches");
    // The test runs in the "C" locale: non-ASCII text comes back as UTF-8.
    EXPECT_EQ(Base::WideToNarrow(L"Wei\u00df \u20ac"), "Wei\xC3\x9F \xE2\x82\xAC");
    EXPECT_EQ(Base::WideToNarrow(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}
