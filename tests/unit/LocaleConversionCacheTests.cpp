// The character tables of single-byte locales: every conversion through them gives what the C runtime's
// functions alone give.
#include <clocale>
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "support/LocaleConversionCache.h"
#include "support/Win32Helper.h"

using namespace Win32Helper;

namespace {

CComBSTR makeBstr(const wchar_t* characters, unsigned int length) {
    return CComBSTR::attach(::SysAllocStringLen(characters, length));
}

}  // namespace

// The conversions take single characters of single-byte locales from a table read from the C runtime's
// functions. Whatever the locale, every result must be exactly what the functions alone give.
class ConversionInLocale : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        m_previous = std::setlocale(LC_CTYPE, nullptr);
        ASSERT_NE(nullptr, std::setlocale(LC_CTYPE, GetParam())) << GetParam();
    }
    void TearDown() override { std::setlocale(LC_CTYPE, m_previous.c_str()); }

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
    std::string m_previous;
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
