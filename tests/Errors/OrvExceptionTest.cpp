#include <string>

#include <gtest/gtest.h>

#include "Base/Logging/CLogger.h"
#include "DataLayer/Errors/OrvException.h"

namespace {

using DataLayer::OrvException;
using DataLayer::ThrowOrvException;

TEST(OrvException, NullArgumentsReadEmpty) {
    const OrvException empty(nullptr, 0, nullptr, nullptr);
    EXPECT_STREQ(empty.what(), "");
    EXPECT_STREQ(empty.GetFilename(), "");
    EXPECT_TRUE(empty.GetMessageText().empty());
}

TEST(OrvException, FormatsLikeTheLoggerAndKeepsPlainMessagesWhole) {
    // One formatting for both: output is cut to 8191 characters, and a
    // narrow argument that the "C" locale cannot convert stops the output
    // after what was written before it.
    Logging::CLogger logger(L"L");
    std::wstring logged;
    logger.SetSink([&logged](const Logging::LogRecord& r) { logged = r.message; });
    const auto both = [&](const wchar_t* format, auto... args) {
        std::wstring thrown = L"<not thrown>";
        try {
            ThrowOrvException("f", 1, "g", format, args...);
        } catch (const OrvException& e) {
            thrown = e.GetMessageText();
        }
        logger.Error("f", 1, "g", format, args...);
        EXPECT_EQ(thrown, logged);
        return thrown;
    };
    const std::wstring fits(8190, L'a');
    EXPECT_EQ(both(L"%ls!", fits.c_str()), fits + L"!");           // 8191 characters fit
    EXPECT_EQ(both(L"%ls!", (fits + L"a").c_str()), fits + L"a");  // 8192 lose the last
    EXPECT_EQ(both(L"before %s after", "\xff\xfe"), L"before ");
    EXPECT_EQ(both(L"%d%%", 7), L"7%");

    // A message without arguments is kept whole, however long.
    const std::wstring plain(20000, L'x');
    try {
        ThrowOrvException("f", 1, "g", plain.c_str());
    } catch (const OrvException& e) {
        EXPECT_EQ(e.GetMessageText(), plain);
    }
}

}  // namespace
