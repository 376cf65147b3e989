#include "Environment.h"

#include <windows.h>

namespace sim::detail {

std::wstring environmentValue(const wchar_t* name) {
    std::wstring value;
    DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    // The value may change between the two calls: ask again while it does not fit.
    while (size > 0) {
        value.resize(size);
        const DWORD length = ::GetEnvironmentVariableW(name, &value[0], size);
        if (length < size) {
            value.resize(length);
            return value;
        }
        size = length;
    }
    return L"";
}

std::string environmentValueUtf8(const wchar_t* name) {
    const std::wstring value = environmentValue(name);
    if (value.empty()) {
        return "";
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, value.c_str(), static_cast<int>(value.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string text(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, value.c_str(), static_cast<int>(value.size()), &text[0], size, nullptr,
                          nullptr);
    return text;
}

}  // namespace sim::detail
