// What the C runtime's multibyte functions do to single characters in the current locale, kept so that
// the conversions of Win32Helper need not call them for every character of every event. The table is
// read from the functions themselves, one character at a time, so a conversion through it gives exactly
// what the functions give; a character the table does not know is left to the functions.
#pragma once

#include <cstddef>
#include <string>

namespace Win32Helper {

// The conversions by the C runtime's functions alone: the whole string at once, and character by
// character (each failure giving one '?') when the whole string fails. The tables are read from these.
namespace functions {
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);
std::wstring widenEachCharacter(const std::string& text);
std::string narrowEachCharacter(const std::wstring& text);
}  // namespace functions

class LocaleConversionCache {
public:
    // The table of the C runtime's current LC_CTYPE locale, built on first use; null when the locale is
    // not a single-byte one (in a multibyte locale a byte's meaning depends on its neighbours).
    static const LocaleConversionCache* current();

    // Each for a character or byte of 0x80 or above (7-bit ASCII is itself in every locale), or -1 when
    // only the conversion functions can tell.
    // The byte the character becomes in the narrow form ('?' when the locale has none).
    int narrowOf(unsigned c) const { return c <= 0xFF ? m_narrow[c - 0x80] : -1; }
    // The character the byte becomes in the wide form ('?' when it is not one).
    int wideOf(unsigned b) const { return m_wide[b - 0x80]; }
    // The character it comes back as after a trip through the narrow form.
    int roundTripOf(unsigned c) const {
        const int narrow = narrowOf(c);
        return narrow < 0x80 ? narrow : wideOf(narrow);
    }

private:
    friend struct LocaleConversionCacheBuilder;
    int m_narrow[128];
    int m_wide[128];
};

// Converts text[0, length) (no NUL inside) as the multibyte functions would, by table; false when some
// character needs the functions themselves. The narrow form is appended to `out` (left as it was on
// false); the wide form is written to out[0, length) or to the string.
bool narrowByTable(const wchar_t* text, size_t length, std::string& out);
bool widenByTable(const char* text, size_t length, wchar_t* out);
bool widenByTable(const char* text, size_t length, std::wstring& out);
// True when text[0, length) comes back unchanged from a trip through the narrow form; false also when
// only the functions can tell.
bool keptByRoundTrip(const wchar_t* text, size_t length);
// The text after a trip through the narrow form, by table; false when the functions must do it.
bool roundTripByTable(const wchar_t* text, size_t length, std::wstring& out);

}  // namespace Win32Helper
