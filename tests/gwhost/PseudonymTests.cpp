// The pseudonyms of gwhost record (tools/gwhost/Pseudonyms.cpp): the script, case and shape of each
// character kept, one pseudonym per text, never one for two texts, and a fresh mapping each recording.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "Pseudonyms.h"

namespace {

bool inRange(wchar_t c, wchar_t first, wchar_t last) {
    return c >= first && c <= last;
}

TEST(Pseudonyms, KeepTheScriptCaseAndShapeOfEachCharacter) {
    Pseudonyms pseudonyms;
    // Greek and Cyrillic letters of today, upper case where the original has it.
    const std::wstring greek = L"Γιώργος Παπαδόπουλος";
    const std::wstring greekPseudonym = pseudonyms.name(greek);
    ASSERT_EQ(greekPseudonym.size(), greek.size());
    EXPECT_NE(greekPseudonym, greek);
    for (size_t i = 0; i < greek.size(); ++i) {
        if (greek[i] == L' ') {
            EXPECT_EQ(greekPseudonym[i], L' ');
            continue;
        }
        EXPECT_TRUE(inRange(greekPseudonym[i], 0x0386, 0x03CE)) << i;
        // The capitals, plain and accented, are U+0386 to U+03AB but for the small letter U+0390.
        const wchar_t p = greekPseudonym[i];
        EXPECT_EQ(inRange(greek[i], 0x0391, 0x03A9), inRange(p, 0x0386, 0x03AB) && p != 0x0390) << i;
    }
    const std::wstring cyrillic = pseudonyms.name(L"Смирнова");
    ASSERT_EQ(cyrillic.size(), 8u);
    EXPECT_TRUE(inRange(cyrillic[0], 0x0400, 0x042F));
    for (size_t i = 1; i < cyrillic.size(); ++i) {
        EXPECT_TRUE(inRange(cyrillic[i], 0x0430, 0x045F)) << i;
    }
    // CJK ideographs stay ideographs; a character beyond the basic plane stays one (a surrogate pair).
    const std::wstring cjk = pseudonyms.name(L"小明");
    ASSERT_EQ(cjk.size(), 2u);
    EXPECT_TRUE(inRange(cjk[0], 0x4E00, 0x9FFF) && inRange(cjk[1], 0x4E00, 0x9FFF));
    const std::wstring beyond = pseudonyms.name(L"\xD840\xDC0B");  // U+2000B, a CJK ideograph of Extension B
    ASSERT_EQ(beyond.size(), 2u);
    EXPECT_EQ(beyond[0], L'\xD840');
    EXPECT_TRUE(inRange(beyond[1], 0xDC00, 0xDC7F));
    // Latin: ASCII letters stay ASCII letters of their case, a letter beyond ASCII stays one; blanks,
    // hyphens and apostrophes stay where they are.
    const std::wstring latin = L"Zoë Åberg-O'Neil";
    const std::wstring latinPseudonym = pseudonyms.name(latin);
    ASSERT_EQ(latinPseudonym.size(), latin.size());
    for (size_t i = 0; i < latin.size(); ++i) {
        const wchar_t o = latin[i], p = latinPseudonym[i];
        if (o == L' ' || o == L'-' || o == L'\'') {
            EXPECT_EQ(p, o) << i;
        } else if (inRange(o, L'A', L'Z')) {
            EXPECT_TRUE(inRange(p, L'A', L'Z')) << i;
        } else if (inRange(o, L'a', L'z')) {
            EXPECT_TRUE(inRange(p, L'a', L'z')) << i;
        } else {
            EXPECT_TRUE(inRange(p, 0xC0, 0xFF)) << i;
            EXPECT_EQ(o >= 0xDF, p >= 0xDF) << i;  // lower case stays lower case
        }
    }
    // A card number keeps its digits' places and its separators; texts without letters or digits stay.
    const std::wstring card = pseudonyms.card(L"000-400 001");
    ASSERT_EQ(card.size(), 11u);
    EXPECT_NE(card, L"000-400 001");
    for (size_t i = 0; i < card.size(); ++i) {
        if (i == 3 || i == 7) {
            EXPECT_EQ(card[i], i == 3 ? L'-' : L' ');
        } else {
            EXPECT_TRUE(inRange(card[i], L'0', L'9')) << i;
        }
    }
    EXPECT_EQ(pseudonyms.name(L""), L"");
    EXPECT_EQ(pseudonyms.name(L" - "), L" - ");
}

TEST(Pseudonyms, OnePseudonymPerTextAndNeverOneForTwoTexts) {
    Pseudonyms pseudonyms;
    const std::wstring keller = pseudonyms.name(L"Keller");
    EXPECT_EQ(pseudonyms.name(L"Smith"), pseudonyms.name(L"Smith"));
    EXPECT_EQ(pseudonyms.name(L"Keller"), keller);
    // Every one-letter capital: 26 texts for 26 letters, which forces collisions to be resolved.
    std::set<std::wstring> seen{keller, pseudonyms.name(L"Smith")};
    size_t originals = 2;
    for (wchar_t c = L'A'; c <= L'Z'; ++c) {
        seen.insert(pseudonyms.name(std::wstring(1, c)));
        ++originals;
    }
    // Two thousand short names and as many card numbers of three digits, most of the 1000 there are.
    std::set<std::wstring> cards;
    for (int i = 0; i < 2000; ++i) {
        const std::wstring name = std::wstring(1, static_cast<wchar_t>(L'a' + i % 26)) +
                                  static_cast<wchar_t>(L'a' + (i / 26) % 26) +
                                  static_cast<wchar_t>(L'a' + i / 676);
        seen.insert(pseudonyms.name(name));
        ++originals;
        if (i < 900) {
            wchar_t digits[8];
            swprintf(digits, 8, L"%03d", i);
            cards.insert(pseudonyms.card(digits));
        }
    }
    EXPECT_EQ(seen.size(), originals);
    EXPECT_EQ(cards.size(), 900u);
    // Names and cards are mapped apart: the same text asked for again still gives what it gave first.
    EXPECT_EQ(pseudonyms.name(L"Keller"), keller);
}

TEST(Pseudonyms, EachRecordingDrawsItsOwnPseudonyms) {
    Pseudonyms first;
    Pseudonyms second;
    EXPECT_NE(first.name(L"Papadopoulos"), second.name(L"Papadopoulos"));
    EXPECT_NE(first.card(L"000400001000"), second.card(L"000400001000"));
}

}  // namespace
