// Text helpers of the host tool: UTF-8 output, numbers in arguments, dates of the gateway's millisecond
// times, names of the access-control system's codes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

std::string utf8(const wchar_t* text);  // null gives ""
std::string utf8(const std::wstring& text);
std::wstring wide(const std::string& utf8Text);

// A decimal number that fits in 32 bits, the whole of `text`; false (and `value` untouched) otherwise.
bool parseNumber(const std::wstring& text, long& value);

// The system's message for a Win32 error code, with the code.
std::string systemMessage(DWORD error);

// The base of the gateway's times: local wall-clock time (the default) or UTC (with --utc).
enum class TimeBase { Local, Utc };
void setTimeBase(TimeBase base);

// "YYYY-MM-DD hh:mm:ss local" or "YYYY-MM-DD hh:mm:ss UTC". The gateway's times count milliseconds since
// 1970 in the base it was asked for, so they are read back without any zone conversion.
std::string dateText(int64_t milliseconds);
// The same moment in ISO 8601 with its offset from UTC, for JSON: "2026-12-09T08:00:00.250Z" with --utc,
// else the local wall-clock time with the local zone's offset at that time, "2026-12-09T11:00:00.250+03:00"
// (no offset where the local time does not exist or repeats and the zone cannot tell).
std::string isoTimeText(int64_t milliseconds);

// Names of object types, sub-types, states and state types; a value without a name shows as its number.
std::string objectTypeName(int32_t value);
std::string subTypeName(int32_t value);
std::string stateName(int32_t value);
std::string stateTypeName(int32_t value);
