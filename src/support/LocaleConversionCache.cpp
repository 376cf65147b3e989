#include "support/LocaleConversionCache.h"

#include <windows.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <type_traits>

// The locale ids of the C runtime's current locale, by category, and its code page (msvcrt).
extern "C" __declspec(dllimport) LCID* __cdecl ___lc_handle_func(void);
extern "C" __declspec(dllimport) unsigned int __cdecl ___lc_codepage_func(void);

namespace Win32Helper {

namespace {

// What decides the multibyte functions' results: the character-type locale and its code page.
struct LocaleKey {
    LCID ctype;
    unsigned int codepage;
    bool operator==(const LocaleKey& other) const {
        return ctype == other.ctype && codepage == other.codepage;
    }
};

LocaleKey currentKey() {
    return LocaleKey{___lc_handle_func()[LC_CTYPE], ___lc_codepage_func()};
}

bool singleByteLocale() {
    return MB_CUR_MAX == 1;
}

// Tables of the locales seen so far, in static storage: a published slot never changes, so readers need
// no lock. A process that cycles through more locales than this converts the rest by the functions.
constexpr int kSlots = 8;
LocaleKey g_keys[kSlots];
LocaleConversionCache g_tables[kSlots];
std::atomic<int> g_published{0};
SRWLOCK g_building = SRWLOCK_INIT;

const LocaleConversionCache* find(const LocaleKey& key, int published) {
    for (int i = 0; i < published; ++i) {
        if (g_keys[i] == key) {
            return &g_tables[i];
        }
    }
    return nullptr;
}

bool isAscii(unsigned long c) {
    return c < 0x80;
}

}  // namespace

struct LocaleConversionCacheBuilder {
    // Each entry is what the functions give for that one character, and only where the whole-string
    // conversion and the one-by-one conversion agree (a string is converted one way or the other,
    // depending on its other characters).
    static void build(LocaleConversionCache& table) {
        for (int c = 0x80; c <= 0xFF; ++c) {
            const std::wstring one(1, static_cast<wchar_t>(c));
            const std::string whole = functions::narrow(one);
            const bool agree = whole == functions::narrowEachCharacter(one);
            table.m_narrow[c - 0x80] =
                agree && whole.size() == 1 && whole[0] != '\0' ? static_cast<unsigned char>(whole[0]) : -1;
        }
        for (int b = 0x80; b <= 0xFF; ++b) {
            const std::string one(1, static_cast<char>(b));
            const std::wstring whole = functions::widen(one);
            const bool agree = whole == functions::widenEachCharacter(one);
            table.m_wide[b - 0x80] = agree && whole.size() == 1 && whole[0] != L'\0' ? whole[0] : -1;
        }
    }
};

const LocaleConversionCache* LocaleConversionCache::current() {
    if (!singleByteLocale()) {
        return nullptr;
    }
    const LocaleKey key = currentKey();
    if (const LocaleConversionCache* known = find(key, g_published.load(std::memory_order_acquire))) {
        return known;
    }
    ::AcquireSRWLockExclusive(&g_building);
    const int published = g_published.load(std::memory_order_relaxed);
    const LocaleConversionCache* table = find(key, published);
    if (table == nullptr && published < kSlots) {
        LocaleConversionCacheBuilder::build(g_tables[published]);
        // A host thread that changed the locale meanwhile leaves a table of mixed origin: not kept.
        if (currentKey() == key && singleByteLocale()) {
            g_keys[published] = key;
            g_published.store(published + 1, std::memory_order_release);
            table = &g_tables[published];
        }
    }
    ::ReleaseSRWLockExclusive(&g_building);
    return table;
}

namespace {

// Maps each character of text[0, length) with `lookup` of the current locale's table (asked for only
// when a character outside 7-bit ASCII occurs) and hands it to put(i, mapped), which says whether to go
// on. False at the first character only the functions can convert, or when put says stop.
template <class Char, class Put>
bool mapEach(const Char* text, size_t length, int (LocaleConversionCache::*lookup)(unsigned) const, Put&& put) {
    const LocaleConversionCache* table = nullptr;
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<std::make_unsigned_t<Char>>(text[i]);
        int mapped = c;
        if (!isAscii(c)) {
            if (table == nullptr && (table = LocaleConversionCache::current()) == nullptr) {
                return false;
            }
            mapped = (table->*lookup)(c);
        }
        if (mapped < 0 || !put(i, mapped)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool narrowByTable(const wchar_t* text, size_t length, std::string& out) {
    const size_t start = out.size();
    out.resize(start + length);
    const bool converted = mapEach(text, length, &LocaleConversionCache::narrowOf, [&](size_t i, int narrow) {
        out[start + i] = static_cast<char>(narrow);
        return true;
    });
    if (!converted) {
        out.resize(start);
    }
    return converted;
}

bool widenByTable(const char* text, size_t length, wchar_t* out) {
    return mapEach(text, length, &LocaleConversionCache::wideOf, [&](size_t i, int wide) {
        out[i] = static_cast<wchar_t>(wide);
        return true;
    });
}

bool widenByTable(const char* text, size_t length, std::wstring& out) {
    out.resize(length);
    return length == 0 || widenByTable(text, length, &out[0]);
}

bool keptByRoundTrip(const wchar_t* text, size_t length) {
    return mapEach(text, length, &LocaleConversionCache::roundTripOf,
                   [&](size_t i, int back) { return back == text[i]; });
}

bool roundTripByTable(const wchar_t* text, size_t length, std::wstring& out) {
    out.resize(length);
    return mapEach(text, length, &LocaleConversionCache::roundTripOf, [&](size_t i, int back) {
        out[i] = static_cast<wchar_t>(back);
        return true;
    });
}

}  // namespace Win32Helper
