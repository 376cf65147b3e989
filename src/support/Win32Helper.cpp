#include "Win32Helper.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "SimpleLogger.h"

namespace Win32Helper {
namespace {

constexpr size_t kConversionFailed = static_cast<size_t>(-1);

bool isHighSurrogate(wchar_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(wchar_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

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

// Every character set the C runtime can select keeps the 7-bit ASCII range as it is, so text of such
// characters alone converts one to one without asking the locale. Events and log lines are mostly that.
// Stops at the first NUL, as the conversion functions do; false when any other character occurs.
template <class From, class To>
bool copyAscii(const From& text, To& result) {
    size_t length = 0;
    for (; length < text.size() && text[length] != 0; ++length) {
        if (static_cast<unsigned long>(text[length]) >= 0x80) {
            return false;
        }
    }
    result.resize(length);
    for (size_t i = 0; i < length; ++i) {
        result[i] = static_cast<typename To::value_type>(text[i]);
    }
    return true;
}

}  // namespace

std::wstring str2wstr(const std::string& text) {
    std::wstring ascii;
    if (copyAscii(text, ascii)) {
        return ascii;
    }
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

std::string wstr2str(const std::wstring& text) {
    std::string result;
    try {
        if (copyAscii(text, result)) {
            return result;
        }
        const size_t n = text.size();
        result.assign(n + 1, '\0');
        size_t written = std::wcstombs(&result[0], text.c_str(), n + 1);
        if (written == kConversionFailed || written > n) {
            // A character without a narrow form, or a multibyte locale that needs more room than one
            // byte per character: convert one by one so that the result is complete.
            result = narrowEachCharacter(text);
        } else {
            // The conversion ends at the first NUL of the text; its count is the length of the result.
            result.resize(written);
        }
    } catch (...) {
        SimpleLogger::GetInstance()->log("Exception in wstr2str");
    }
    return result;
}

std::string bstr2str(const CComBSTR& comStr) {
    std::string result;
    try {
        BSTR str = comStr.get();
        if (str != nullptr) {
            result = wstr2str(std::wstring(str, ::wcsnlen(str, comStr.Length())));
        }
    } catch (...) {
        SimpleLogger::GetInstance()->log("Exception converting bstr2str");
    }
    return result;
}

std::wstring bstr2wstr(const CComBSTR& comStr) {
    return str2wstr(bstr2str(comStr));
}

CComBSTR wstr2bstr(const std::wstring& text) {
    return CComBSTR(text.c_str());
}

}  // namespace Win32Helper
