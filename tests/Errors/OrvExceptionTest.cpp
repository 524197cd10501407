#include <exception>
#include <string>

#include <gtest/gtest.h>

#include "Base/CbException.h"
#include "DataLayer/Errors/OrvException.h"

namespace {

using DataLayer::OrvException;
using DataLayer::ThrowOrvException;

template <typename Catch>
bool caughtAs() {
    try {
        ThrowOrvException("DataLayer/Some/File", 7, "DataLayer::Some::function", L"boom");
    } catch (const Catch&) {
        return true;
    } catch (...) {
    }
    return false;
}

TEST(OrvException, CatchableThroughEveryBase) {
    EXPECT_TRUE(caughtAs<OrvException>());
    EXPECT_TRUE(caughtAs<CbException>());
    EXPECT_TRUE(caughtAs<IException>());
    EXPECT_TRUE(caughtAs<IObject>());
    EXPECT_TRUE(caughtAs<std::exception>());
}

TEST(OrvException, KeepsRaisingSiteThroughCopies) {
    try {
        ThrowOrvException("DataLayer/Some/File", 42, "DataLayer::Some::function", L"plain text");
    } catch (const OrvException& e) {
        const OrvException copy(e);
        for (const OrvException* x : {&e, &copy}) {
            EXPECT_STREQ(x->GetFilename(), "DataLayer/Some/File");
            EXPECT_EQ(x->GetCodeLine(), 42u);
            EXPECT_STREQ(x->GetFunctionName(), "DataLayer::Some::function");
            EXPECT_EQ(x->GetMessageText(), L"plain text");
            EXPECT_STREQ(x->GetMessageW(), L"plain text");
            EXPECT_STREQ(x->what(), "plain text");
        }
    }
}

std::wstring messageOf(const wchar_t* format, const wchar_t* arg) {
    try {
        ThrowOrvException("f", 1, "g", format, arg);
    } catch (const OrvException& e) {
        return e.GetMessageText();
    }
    return L"<not thrown>";
}

TEST(OrvException, MessageWithoutPercentIsVerbatimAtAnyLength) {
    std::wstring longText(20000, L'x');
    longText[19999] = L'y';
    const std::wstring got = messageOf(longText.c_str(), nullptr);
    EXPECT_EQ(got, longText);
}

TEST(OrvException, FormattedMessageIsCutTo8191Characters) {
    EXPECT_EQ(messageOf(L"value %ls!", L"abc"), L"value abc!");

    const std::wstring arg(10000, L'z');
    const std::wstring got = messageOf(L"<%ls>", arg.c_str());
    ASSERT_EQ(got.size(), 8191u);
    EXPECT_EQ(got, (L"<" + arg).substr(0, 8191));

    // Exactly 8191 characters fit; 8192 lose the last one.
    const std::wstring fits(8190, L'a');
    EXPECT_EQ(messageOf(L"%ls!", fits.c_str()), fits + L"!");
    const std::wstring over(8191, L'a');
    EXPECT_EQ(messageOf(L"%ls!", over.c_str()), over);
}

TEST(OrvException, WhatGivesAsciiUnchangedAndNonAsciiAsNarrowText) {
    const wchar_t* ascii = L"Parameter 17: out of range (0..4) ~!@#$^&*()";
    try {
        ThrowOrvException("f", 1, "g", ascii);
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Parameter 17: out of range (0..4) ~!@#$^&*()");
    }
    // Outside ASCII the narrow text is longer than the wide one but never empty.
    try {
        ThrowOrvException("f", 1, "g", L"Gr\u00fc\u00dfe");
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, 2), "Gr");
        EXPECT_GE(std::string(e.what()).size(), 5u);
    }
}

TEST(OrvException, NullMessageGivesEmptyText) {
    const OrvException e(nullptr, 0, nullptr, nullptr);
    EXPECT_STREQ(e.what(), "");
    EXPECT_TRUE(e.GetMessageText().empty());
}

}  // namespace
