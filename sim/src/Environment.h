// The process environment as Windows programs set it. The C runtime's getenv reads a copy made when the
// runtime started, which SetEnvironmentVariableW (how a host written in another language sets a variable)
// never changes; GetEnvironmentVariableW reads the process's own.
#pragma once

#include <string>

namespace sim::detail {

// The variable's value; "" when it is not set or empty.
std::wstring environmentValue(const wchar_t* name);
// The same as UTF-8, for the variables whose values are numbers.
std::string environmentValueUtf8(const wchar_t* name);

}  // namespace sim::detail
