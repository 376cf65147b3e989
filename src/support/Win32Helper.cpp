#include "Win32Helper.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

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

}  // namespace

std::wstring str2wstr(std::string text) {
    const size_t n = text.size() + 1;
    std::vector<wchar_t> buffer(n, L'\0');
    if (std::mbstowcs(buffer.data(), text.c_str(), n) == kConversionFailed) {
        return widenEachCharacter(text);
    }
    buffer[n - 1] = L'\0';
    return std::wstring(buffer.data());
}

std::string wstr2str(std::wstring text) {
    std::string result;
    try {
        const size_t n = text.size();
        std::vector<char> buffer(n + 1, '\0');
        size_t written = std::wcstombs(buffer.data(), text.c_str(), n + 1);
        if (written == kConversionFailed || written > n) {
            // A character without a narrow form, or a multibyte locale that needs more room than one
            // byte per character: convert one by one so that the result is complete.
            result = narrowEachCharacter(text);
        } else {
            result.assign(buffer.data());
        }
    } catch (...) {
        SimpleLogger::GetInstance()->log("Exception in wstr2str");
    }
    return result;
}

std::string bstr2str(CComBSTR comStr) {
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

std::wstring bstr2wstr(CComBSTR comStr) {
    CComBSTR copy(comStr);
    return str2wstr(bstr2str(std::move(copy)));
}

CComBSTR wstr2bstr(std::wstring text) {
    return CComBSTR(text.c_str());
}

}  // namespace Win32Helper
