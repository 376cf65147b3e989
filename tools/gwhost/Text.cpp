#include "Text.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "names/EnumNames.h"

std::string utf8(const wchar_t* text) {
    if (text == nullptr) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 1 ? size - 1 : 0, '\0');
    if (size > 1) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    }
    return result;
}

std::string utf8(const std::wstring& text) {
    return utf8(text.c_str());
}

std::wstring wide(const std::string& utf8Text) {
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8Text.c_str(), -1, nullptr, 0);
    std::wstring result(size > 1 ? size - 1 : 0, L'\0');
    if (size > 1) {
        ::MultiByteToWideChar(CP_UTF8, 0, utf8Text.c_str(), -1, result.data(), size);
    }
    return result;
}

bool parseNumber(const std::wstring& text, long& value) {
    if (text.empty()) {
        return false;
    }
    wchar_t* end = nullptr;
    errno = 0;
    const long long parsed = std::wcstoll(text.c_str(), &end, 10);
    if (*end != L'\0' || errno != 0 || parsed < INT32_MIN || parsed > INT32_MAX) {
        return false;
    }
    value = static_cast<long>(parsed);
    return true;
}

std::string systemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 ? std::wstring(text, length) : L"";
    ::LocalFree(text);
    while (!message.empty() &&
           (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.')) {
        message.pop_back();
    }
    return (message.empty() ? "" : utf8(message) + ", ") + "error " + std::to_string(error);
}

namespace {

TimeBase g_timeBase = TimeBase::Local;  // set once, before any command runs

}  // namespace

void setTimeBase(TimeBase base) {
    g_timeBase = base;
}

std::string dateText(int64_t milliseconds) {
    __time64_t seconds = milliseconds / 1000;
    struct tm fields {};
    if (_gmtime64_s(&fields, &seconds) != 0) {
        return "?";
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
    return std::string(text) + (g_timeBase == TimeBase::Utc ? " UTC" : " local");
}

std::string isoTimeText(int64_t milliseconds) {
    const int64_t wholeSeconds = milliseconds >= 0 ? milliseconds / 1000 : -((-milliseconds + 999) / 1000);
    const int fraction = static_cast<int>(milliseconds - wholeSeconds * 1000);
    __time64_t seconds = wholeSeconds;
    struct tm fields {};
    if (_gmtime64_s(&fields, &seconds) != 0) {
        return "?";
    }
    char text[48];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &fields);
    std::snprintf(text + length, sizeof text - length, ".%03d", fraction);
    if (g_timeBase == TimeBase::Utc) {
        return std::string(text) + "Z";
    }
    // The wall-clock fields as local time, turned into UTC by the zone's rules for that date.
    SYSTEMTIME local{static_cast<WORD>(fields.tm_year + 1900), static_cast<WORD>(fields.tm_mon + 1),
                     static_cast<WORD>(fields.tm_wday), static_cast<WORD>(fields.tm_mday),
                     static_cast<WORD>(fields.tm_hour), static_cast<WORD>(fields.tm_min),
                     static_cast<WORD>(fields.tm_sec), 0};
    SYSTEMTIME utc{};
    FILETIME localFile{}, utcFile{};
    if (!::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !::SystemTimeToFileTime(&local, &localFile) ||
        !::SystemTimeToFileTime(&utc, &utcFile)) {
        return text;
    }
    const auto ticks = [](const FILETIME& f) {
        return static_cast<long long>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime);
    };
    const long long offsetMinutes = (ticks(localFile) - ticks(utcFile)) / 600000000LL;
    const long long magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char offset[16];
    std::snprintf(offset, sizeof offset, "%c%02lld:%02lld", offsetMinutes < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    return std::string(text) + offset;
}

namespace {

template <class E>
std::string nameOrNumber(int32_t value) {
    const char* name = enumNameText(E(value));
    // A value without a name reads "Unknown value of ...": the number says more in a table.
    return std::strncmp(name, "Unknown value", 13) != 0 ? name : std::to_string(value);
}

}  // namespace

std::string objectTypeName(int32_t value) {
    return nameOrNumber<EObjType>(value);
}
std::string subTypeName(int32_t value) {
    return nameOrNumber<ESubType>(value);
}
std::string stateName(int32_t value) {
    return nameOrNumber<EObjState>(value);
}
std::string stateTypeName(int32_t value) {
    return nameOrNumber<EStateType>(value);
}
