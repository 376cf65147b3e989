#include <clocale>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "support/LocaleConversionCache.h"
#include "ComTest.h"
#include "LogCapture.h"
#include "support/SimpleLogger.h"
#include "support/Win32Helper.h"

using namespace Win32Helper;

namespace {

// BSTR conversions allocate COM task memory: every one of them must give it back.
class Bstr : public ComTest {};

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

TEST_F(Bstr, OwnerCopiesTheWholeStringAndReleasesOnReuse) {
    CComBSTR withNul = makeBstr(L"a\0b", 3);
    CComBSTR copy(withNul);
    ASSERT_NE(withNul.get(), copy.get());
    EXPECT_EQ(3u, copy.Length());
    EXPECT_EQ(0, std::memcmp(withNul.get(), copy.get(), 3 * sizeof(wchar_t)));

    BSTR* slot = copy.ReleaseAndGetAddressOf();
    EXPECT_EQ(nullptr, *slot);
    *slot = ::SysAllocString(L"new");
    EXPECT_EQ(3u, copy.Length());
}

TEST_F(Bstr, ConversionsDoNotLogOnSuccess) {
    LogCapture capture;
    SimpleLogger::GetInstance()->setLogger(&LogCapture::callback);
    wstr2str(L"plain \u20AC");
    bstr2str(CComBSTR(L"x"));
    SimpleLogger::GetInstance()->setLogger(nullptr);
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(Bstr, TheLeakAccountingSeesAnUnfreedString) {
    long before = leaks::outstandingAllocations();
    BSTR leaked = ::SysAllocString(L"counted");
    EXPECT_EQ(before + 1, leaks::outstandingAllocations());
    ::SysFreeString(leaked);
    EXPECT_EQ(before, leaks::outstandingAllocations());
}

// The conversions take single characters of single-byte locales from a table read from the C runtime's
// functions. Whatever the locale, every result must be exactly what the functions alone give.
class ConversionInLocale : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        previous_ = std::setlocale(LC_CTYPE, nullptr);
        ASSERT_NE(nullptr, std::setlocale(LC_CTYPE, GetParam())) << GetParam();
    }
    void TearDown() override { std::setlocale(LC_CTYPE, previous_.c_str()); }

    // What the host received before the tables: the trip through the narrow form by the functions alone.
    static std::wstring tripByFunctions(const std::wstring& text) {
        return functions::widen(functions::narrow(text));
    }
    static void expectSameAsFunctions(const std::wstring& text) {
        const std::wstring trip = tripByFunctions(text);
        const CComBSTR bstr(text.c_str());
        EXPECT_EQ(functions::narrow(text), wstr2str(text));
        EXPECT_EQ(functions::narrow(text), bstr2str(bstr));
        EXPECT_EQ(trip, bstr2wstr(bstr));
        EXPECT_EQ(trip, std::wstring(CallbackText(bstr).c_str()));
        const std::string narrow = functions::narrow(text);
        EXPECT_EQ(functions::widen(narrow), str2wstr(narrow));
    }

private:
    std::string previous_;
};

TEST_P(ConversionInLocale, EveryCharacterAndEveryByteConvertsAsByTheFunctions) {
    // Single-byte locales convert by table; a multibyte locale leaves everything to the functions.
    EXPECT_EQ(MB_CUR_MAX == 1, LocaleConversionCache::current() != nullptr);
    for (unsigned c = 1; c <= 0xFFFF; ++c) {
        const std::wstring one(1, static_cast<wchar_t>(c));
        const std::wstring trip = tripByFunctions(one);
        ASSERT_EQ(functions::narrow(one), wstr2str(one)) << std::hex << c;
        ASSERT_EQ(trip, bstr2wstr(CComBSTR(one.c_str()))) << std::hex << c;
        ASSERT_EQ(trip, std::wstring(CallbackText(CComBSTR(one.c_str())).c_str())) << std::hex << c;
    }
    for (unsigned b = 1; b <= 0xFF; ++b) {
        const std::string one(1, static_cast<char>(b));
        ASSERT_EQ(functions::widen(one), str2wstr(one)) << std::hex << b;
    }
}

TEST_P(ConversionInLocale, MixedTextsConvertAsByTheFunctions) {
    const wchar_t pool[] = {L'a', L'Z', L' ',  L'?',  0x80,  0x9F,   0xA0,   0xC4,   0xDF,   0xE9,
                            0xFC, 0xFF, 0x100, 0x141, 0x401, 0x20AC, 0x3042, 0xD83D, 0xDE00, 0xFFFD};
    std::mt19937 random(20261208);
    for (int n = 0; n < 2000; ++n) {
        std::wstring text(random() % 24, L' ');
        for (wchar_t& c : text) {
            c = pool[random() % (sizeof pool / sizeof pool[0])];
        }
        SCOPED_TRACE(n);
        expectSameAsFunctions(text);
    }
    expectSameAsFunctions(L"Halle 1 T\u00FCr S\u00FCd");
    expectSameAsFunctions(L"\xD83D\xDE00 \u00E9");
}

TEST_P(ConversionInLocale, TextThatSurvivesTheTripIsPassedWithoutACopy) {
    const CComBSTR plain(L"Door forced");
    EXPECT_EQ(plain.get(), CallbackText(plain).c_str());
    const CComBSTR euro(L"5 \u20AC\xD83D\xDE00");
    if (tripByFunctions(L"5 \u20AC\xD83D\xDE00") != L"5 \u20AC\xD83D\xDE00") {
        EXPECT_NE(euro.get(), CallbackText(euro).c_str());
    }
    EXPECT_STREQ(L"", CallbackText(CComBSTR()).c_str());
    // The host's text ends where the converted text ends: at the first NUL.
    EXPECT_STREQ(L"a", CallbackText(makeBstr(L"a\0b", 3)).c_str());
    EXPECT_EQ(tripByFunctions(L"\u0141"), CallbackText(makeBstr(L"\u0141\0b", 3)).c_str());
}

INSTANTIATE_TEST_SUITE_P(Locales, ConversionInLocale,
                         ::testing::Values("C", "German_Germany.1252", "Russian_Russia.1251",
                                           "Japanese_Japan.932"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             return name == "C" ? std::string("C") : name.substr(0, name.find('_'));
                         });
