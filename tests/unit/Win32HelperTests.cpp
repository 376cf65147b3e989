// The conversions between narrow strings, wide strings and BSTRs (Win32Helper), in the default locale.
#include <gtest/gtest.h>

#include "ComTest.h"
#include "LogCapture.h"
#include "support/SimpleLogger.h"
#include "support/Win32Helper.h"

using namespace Win32Helper;

namespace {

// BSTR conversions allocate COM task memory: every one of them must give it back. The suite has tests in
// CComBSTRTests.cpp and LeakAccountingTests.cpp too, and a suite has one fixture class: ComTest itself.
using Bstr = ComTest;

CComBSTR makeBstr(const wchar_t* characters, unsigned int length) {
    return CComBSTR::attach(::SysAllocStringLen(characters, length));
}

}  // namespace

TEST(NarrowToWide, MapsEachByteToTheCharacterOfTheSameValue) {
    EXPECT_EQ(L"", str2wstr(""));
    EXPECT_EQ(std::wstring(L"A\u00E9B"), str2wstr("A\xE9"
                                                  "B"));
    EXPECT_EQ(std::wstring(L"\u00FF\u0080"), str2wstr("\xFF\x80"));
    EXPECT_EQ(L"ab", str2wstr(std::string("ab\0c", 4)));
}

TEST(WideToNarrow, MapsLatin1AndReplacesWhatTheLocaleCannotHold) {
    EXPECT_EQ("", wstr2str(L""));
    EXPECT_EQ(
        "A\xE9"
        "B",
        wstr2str(L"A\u00E9B"));
    // Characters above U+00FF have no narrow form: each becomes one '?', the rest survives.
    EXPECT_EQ("x?y?z", wstr2str(L"x\u20ACy\u0141z"));
    // A surrogate pair is one character.
    EXPECT_EQ("a?b", wstr2str(L"a\xD83D\xDE00"
                              L"b"));
    EXPECT_EQ("ab", wstr2str(std::wstring(L"ab\0c", 4)));
}

TEST_F(Bstr, ToNarrowNullEmptyAndEmbeddedNul) {
    EXPECT_EQ("", bstr2str(CComBSTR()));
    EXPECT_EQ("", bstr2str(makeBstr(L"", 0)));
    EXPECT_EQ("a", bstr2str(makeBstr(L"a\0b", 3)));
    EXPECT_EQ(
        "T\xFCr S\xFC"
        "d",
        bstr2str(CComBSTR(L"T\u00FCr S\u00FCd")));
}

TEST_F(Bstr, ToWidePassesThroughTheNarrowFormAndLeavesTheArgumentAlone) {
    CComBSTR original(L"\u00E9t\u00E9 \u20AC");
    EXPECT_EQ(std::wstring(L"\u00E9t\u00E9 ?"), bstr2wstr(original));
    EXPECT_EQ(std::wstring(L"\u00E9t\u00E9 \u20AC"), std::wstring(original.get(), original.Length()));
    EXPECT_EQ(L"", bstr2wstr(CComBSTR()));
}

TEST_F(Bstr, FromWideAllocatesAnEmptyButNonNullBstrForEmptyText) {
    CComBSTR empty = wstr2bstr(L"");
    ASSERT_NE(nullptr, empty.get());
    EXPECT_EQ(0u, empty.Length());
    CComBSTR text = wstr2bstr(std::wstring(L"ab\0cd", 5));
    EXPECT_EQ(2u, text.Length());
    EXPECT_EQ(std::wstring(L"ab"), std::wstring(text.get()));
}

TEST_F(Bstr, ConversionsDoNotLogOnSuccess) {
    LogCapture capture;
    SimpleLogger::GetInstance()->setLogger(&LogCapture::callback);
    wstr2str(L"plain \u20AC");
    bstr2str(CComBSTR(L"x"));
    SimpleLogger::GetInstance()->setLogger(nullptr);
    EXPECT_TRUE(capture.lines().empty());
}
