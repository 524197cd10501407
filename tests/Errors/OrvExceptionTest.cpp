#include <string>

#include <gtest/gtest.h>

#include "Base/Logging/CLogger.h"
#include "DataLayer/Errors/OrvException.h"

namespace {

using DataLayer::OrvException;
using DataLayer::ThrowOrvException;

std::wstring messageOf(const wchar_t* format, const wchar_t* arg = nullptr) {
    try {
        ThrowOrvException("f", 1, "g", format, arg);
    } catch (const OrvException& e) {
        return e.GetMessageText();
    }
    return L"<not thrown>";
}

TEST(OrvException, NullArgumentsReadEmpty) {
    const OrvException empty(nullptr, 0, nullptr, nullptr);
    EXPECT_STREQ(empty.what(), "");
    EXPECT_STREQ(empty.GetFilename(), "");
    EXPECT_TRUE(empty.GetMessageText().empty());
}

TEST(OrvException, FormattedMessagesAreCutTo8191CharactersPlainOnesAreVerbatim) {
    std::wstring plain(20000, L'x');
    plain[19999] = L'y';
    EXPECT_EQ(messageOf(plain.c_str()), plain);
    EXPECT_EQ(messageOf(L"value %ls!", L"abc"), L"value abc!");
    // Exactly 8191 characters fit; 8192 lose the last one.
    const std::wstring fits(8190, L'a');
    EXPECT_EQ(messageOf(L"%ls!", fits.c_str()), fits + L"!");
    EXPECT_EQ(messageOf(L"%ls!", (fits + L"a").c_str()), fits + L"a");
}

TEST(OrvException, FormatsLikeTheLogger) {
    // One formatting for both: long output is cut to 8191 characters, and a
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
    const std::wstring longArg(9000, L'q');
    EXPECT_EQ(both(L"<%ls>", longArg.c_str()), (L"<" + longArg).substr(0, 8191));
    EXPECT_EQ(both(L"before %s after", "\xff\xfe"), L"before ");
    EXPECT_EQ(both(L"%d%%", 7), L"7%");
}

}  // namespace
