#define _CRT_RAND_S
#include "Pseudonyms.h"

#include <windows.h>

#include <cstdlib>
#include <utility>
#include <vector>

namespace {

// The character classes a pseudonym keeps: a letter stays a letter of the same case, a digit a digit.
constexpr WORD kKeptClasses = C1_ALPHA | C1_UPPER | C1_LOWER | C1_DIGIT;

WORD characterClass(wchar_t c) {
    WORD type = 0;
    if (c >= 0xD800 && c <= 0xDFFF) {
        return 0;  // a half of a surrogate pair: scramble() replaces the pair as a whole
    }
    if (!::GetStringTypeW(CT_CTYPE1, &c, 1, &type)) {
        return 0;
    }
    return (type & (C1_ALPHA | C1_DIGIT)) != 0 ? type & kKeptClasses : 0;
}

uint32_t systemRandom() {
    unsigned int value = 0;
    if (rand_s(&value) != 0) {
        // rand_s fails only without the system's random source, and a pseudonym must not become
        // guessable: better no recording than a weak one.
        std::abort();
    }
    return value;
}

// A few tries at random before a pseudonym grows by a character: the draws are spread over the whole
// class, so a collision is rare unless nearly every text of that length and class is taken.
constexpr int kTriesPerLength = 64;

}  // namespace

Pseudonyms::Pseudonyms(std::function<uint32_t()> draw) : m_draw(draw ? std::move(draw) : systemRandom) {}

std::wstring Pseudonyms::name(const std::wstring& original) {
    return pseudonym(m_names, original);
}

std::wstring Pseudonyms::card(const std::wstring& original) {
    return pseudonym(m_cards, original);
}

std::wstring Pseudonyms::pseudonym(Mapping& mapping, const std::wstring& original) {
    const auto known = mapping.byOriginal.find(original);
    if (known != mapping.byOriginal.end()) {
        return known->second;
    }
    // The character a pseudonym grows by when every draw of its length is taken: like the last letter or
    // digit of the original.
    wchar_t last = 0;
    for (wchar_t c : original) {
        if (characterClass(c) != 0) {
            last = c;
        }
    }
    std::wstring chosen = original;  // no letter or digit: nothing personal to replace
    if (last != 0) {
        std::wstring suffix;
        for (;; suffix += last) {
            bool found = false;
            for (int attempt = 0; attempt < kTriesPerLength && !found; ++attempt) {
                std::wstring candidate = scramble(original + suffix);
                if (candidate != original && mapping.taken.count(candidate) == 0) {
                    chosen = std::move(candidate);
                    found = true;
                }
            }
            if (found) {
                break;
            }
        }
    }
    mapping.taken.insert(chosen);
    mapping.byOriginal.emplace(original, chosen);
    return chosen;
}

std::wstring Pseudonyms::scramble(const std::wstring& original) {
    std::wstring result;
    result.reserve(original.size());
    for (size_t i = 0; i < original.size(); ++i) {
        const wchar_t c = original[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < original.size() && original[i + 1] >= 0xDC00 &&
            original[i + 1] <= 0xDFFF) {
            // A character beyond the basic plane: another one of the same block of 128 (supplementary
            // blocks are whole scripts: CJK extensions, historic scripts, emoji).
            const uint32_t code = 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) +
                                  (static_cast<uint32_t>(original[i + 1]) - 0xDC00);
            const uint32_t other = (code & ~0x7Fu) | (m_draw() & 0x7Fu);
            result += static_cast<wchar_t>(0xD800 + ((other - 0x10000) >> 10));
            result += static_cast<wchar_t>(0xDC00 + ((other - 0x10000) & 0x3FF));
            ++i;
            continue;
        }
        result += likeCharacter(c);
    }
    return result;
}

// A character of the same class (letter of the same case, or digit) from the same alphabet as `original`:
// for Latin-1, Greek and Cyrillic their letters of today, otherwise the block of 128 code points it is in,
// which for the scripts of names is the script itself. Anything else stays as it is (blanks, hyphens,
// apostrophes, combining marks).
wchar_t Pseudonyms::likeCharacter(wchar_t original) {
    const WORD wanted = characterClass(original);
    if (wanted == 0) {
        return original;
    }
    // Latin letters beyond ASCII (not the ordinal indicators and the micro sign of the same block) and the
    // letters of today's Greek and Cyrillic alphabets, narrower than their blocks, which hold Coptic and
    // historic letters as well: a name of today stays one of today.
    static const std::pair<wchar_t, wchar_t> kAlphabets[] = {
        {0x00C0, 0x00FF}, {0x0386, 0x03CE}, {0x0400, 0x045F}};
    std::pair<wchar_t, wchar_t> range{static_cast<wchar_t>(original & ~0x7F),
                                      static_cast<wchar_t>((original & ~0x7F) + 0x7F)};
    for (const auto& alphabet : kAlphabets) {
        if (original >= alphabet.first && original <= alphabet.second) {
            range = alphabet;
        }
    }
    // The members of each class of a range, worked out once per range. Pseudonyms are made on one thread.
    static std::map<std::pair<wchar_t, WORD>, std::vector<wchar_t>> members;
    const auto key = std::make_pair(range.first, wanted);
    auto found = members.find(key);
    if (found == members.end()) {
        std::vector<wchar_t> list;
        for (unsigned candidate = range.first; candidate <= range.second; ++candidate) {
            if (characterClass(static_cast<wchar_t>(candidate)) == wanted) {
                list.push_back(static_cast<wchar_t>(candidate));
            }
        }
        found = members.emplace(key, std::move(list)).first;
    }
    const std::vector<wchar_t>& list = found->second;  // holds `original` at least
    return list[m_draw() % list.size()];
}
