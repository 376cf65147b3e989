// Pseudonyms for the personal data of a recorded site: cardholder names and card numbers. Each text gets
// one pseudonym for the whole recording, two different texts never the same one, and a pseudonym is drawn
// character by character from the same part of Unicode as the original's: a Greek name stays Greek
// letters, a CJK name CJK ideographs, a card number of digits stays digits of its length, so that the
// recorded texts take the same paths through a host (code page conversion, widths, sorting) as the real
// ones.
//
// The draws come from a random source of the recording (rand_s): nothing of the mapping is kept, so a
// pseudonym cannot be traced back by trying likely names, and two recordings of the same site give
// different pseudonyms.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

class Pseudonyms {
public:
    // `draw` gives uniformly distributed 32-bit numbers; the default is the system's random source.
    explicit Pseudonyms(std::function<uint32_t()> draw = {});

    // The pseudonym of a first or last name; names share one mapping, so that a person's name is the
    // same pseudonym wherever it appears.
    std::wstring name(const std::wstring& original);
    // The pseudonym of a card number, from a mapping of its own.
    std::wstring card(const std::wstring& original);

private:
    struct Mapping {
        std::map<std::wstring, std::wstring> byOriginal;
        std::set<std::wstring> taken;  // every pseudonym handed out, so that none is handed out twice
    };
    std::wstring pseudonym(Mapping& mapping, const std::wstring& original);
    std::wstring scramble(const std::wstring& original);
    wchar_t likeCharacter(wchar_t original);

    std::function<uint32_t()> m_draw;
    Mapping m_names;
    Mapping m_cards;
};
