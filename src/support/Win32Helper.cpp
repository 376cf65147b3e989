#include "support/Win32Helper.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "support/LocaleConversionCache.h"
#include "support/SimpleLogger.h"

namespace Win32Helper {
namespace {

constexpr size_t kConversionFailed = static_cast<size_t>(-1);

bool isHighSurrogate(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(wchar_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

namespace functions {

// Character by character, for text that the whole-string conversion rejected.
std::wstring widenEachCharacter(const std::string& text) {
    std::wstring result;
    std::mbstate_t state{};
    const char* next = text.c_str();
    size_t left = std::strlen(next);
    while (left > 0) {
        wchar_t c = 0;
        size_t used = std::mbrtowc(&c, next, left, &state);
        if (used == 0) {
            break;
        }
        if (used == kConversionFailed || used == static_cast<size_t>(-2)) {
            result.push_back(L'?');
            state = std::mbstate_t{};
            used = 1;
        } else {
            result.push_back(c);
        }
        next += used;
        left -= used;
    }
    return result;
}

std::string narrowEachCharacter(const std::wstring& text) {
    std::string result;
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (size_t i = 0; i < text.size() && text[i] != L'\0'; ++i) {
        if (isHighSurrogate(text[i]) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            // One character outside the basic plane: no narrow locale of the C runtime holds it.
            result.push_back('?');
            ++i;
            continue;
        }
        size_t written = std::wcrtomb(bytes, text[i], &state);
        if (written == kConversionFailed) {
            result.push_back('?');
            state = std::mbstate_t{};
        } else {
            result.append(bytes, written);
        }
    }
    return result;
}

std::wstring widen(const std::string& text) {
    // Converted in place: n bytes give at most n - 1 characters and the NUL, and the conversion ends at
    // the first NUL of the text, so its count is the length of the result.
    const size_t n = text.size() + 1;
    std::wstring result(n, L'\0');
    const size_t written = std::mbstowcs(&result[0], text.c_str(), n);
    if (written == kConversionFailed) {
        return widenEachCharacter(text);
    }
    result.resize(written);
    return result;
}

std::string narrow(const std::wstring& text) {
    const size_t n = text.size();
    std::string result(n + 1, '\0');
    size_t written = std::wcstombs(&result[0], text.c_str(), n + 1);
    if (written == kConversionFailed || written > n) {
        // A character without a narrow form, or a multibyte locale that needs more room than one byte per
        // character: convert one by one so that the result is complete.
        return narrowEachCharacter(text);
    }
    // The conversion ends at the first NUL of the text; its count is the length of the result.
    result.resize(written);
    return result;
}

}  // namespace functions

std::wstring str2wstr(const std::string& text) {
    std::wstring result;
    if (widenByTable(text.data(), ::strnlen(text.data(), text.size()), result)) {
        return result;
    }
    return functions::widen(text);
}

std::string wstr2str(const std::wstring& text) {
    std::string result;
    try {
        if (!narrowByTable(text.data(), ::wcsnlen(text.data(), text.size()), result)) {
            result = functions::narrow(text);
        }
    } catch (...) {
        SimpleLogger::GetInstance()->log("Exception in wstr2str");
    }
    return result;
}

std::string bstr2str(const CComBSTR& comStr) {
    std::string result;
    try {
        appendNarrow(result, comStr);
    } catch (...) {
        SimpleLogger::GetInstance()->log("Exception converting bstr2str");
    }
    return result;
}

void appendNarrow(std::string& out, const wchar_t* text, size_t length) {
    length = ::wcsnlen(text, length);
    if (!narrowByTable(text, length, out)) {
        out += wstr2str(std::wstring(text, length));
    }
}

void appendNarrow(std::string& out, const CComBSTR& comStr) {
    if (comStr.get() != nullptr) {
        appendNarrow(out, comStr.get(), comStr.Length());
    }
}

std::wstring bstr2wstr(const CComBSTR& comStr) {
    BSTR str = comStr.get();
    std::wstring result;
    if (str != nullptr && roundTripByTable(str, ::wcsnlen(str, comStr.Length()), result)) {
        return result;
    }
    return str2wstr(bstr2str(comStr));
}

CallbackText::CallbackText(const CComBSTR& text, TextForm form) {
    BSTR str = text.get();
    if (str == nullptr) {
        return;
    }
    // The string ends at its first NUL, here as in the converted text: the BSTR itself can be passed
    // whenever the trip through the narrow form would give back the same characters.
    if (form == TextForm::Unchanged || keptByRoundTrip(str, ::wcsnlen(str, text.Length()))) {
        m_text = str;
        return;
    }
    m_converted = bstr2wstr(text);
    m_text = m_converted.c_str();
}

CComBSTR wstr2bstr(const std::wstring& text) {
    return CComBSTR(text.c_str());
}

}  // namespace Win32Helper
