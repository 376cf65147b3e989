// The guards at the library's two boundaries. Nothing thrown inside the gateway crosses the C interface
// or the COM event interface, and nothing a host callback raises (a C++ exception, an access violation,
// the C++ exception of an MSVC-built host) unwinds into the gateway's caller.
#pragma once

#include <cstdio>

#include <intrin.h>
#include <exception>
#include <string>
#include <utility>

#include "SehGuard.h"
#include "SimpleLogger.h"
#include "Statistics.h"

namespace boundary {

// "structured exception 0xC0000005"
inline std::string describeStructured(DWORD code) {
    char text[48];
    std::snprintf(text, sizeof text, "structured exception 0x%08lX", static_cast<unsigned long>(code));
    return text;
}

// Logs with errLog; never throws (a failure to log is dropped).
inline void logFailure(const std::string& line) noexcept {
    try {
        SimpleLogger::GetInstance()->errLog(line);
    } catch (...) {
    }
}

// Logs a C++ exception as "<prefix>: <what>", or as "<prefix><unknownSuffix>" when it is not a
// std::exception.
inline void logCppFailure(const std::string& prefix, const std::exception_ptr& error,
                          const char* unknownSuffix) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        logFailure(prefix + ": " + e.what());
    } catch (...) {
        logFailure(prefix + unknownSuffix);
    }
}

// Runs the body of an export or a sink method under the structured-exception guard. A C++ exception is
// logged as "Exception in <where>: <what>" (without ": <what>" when it is not a std::exception), a
// structured exception as "Exception in <where>: structured exception 0x...", and the boundary answers
// `fallback`. A lock the body holds must be taken outside the guard (or under an inner guard), since the
// frames between the fault and the guard are abandoned without their destructors.
template <class R, class F>
R guard(const char* where, R fallback, F&& body) noexcept {
    R result = fallback;
    const seh::Outcome outcome = seh::runGuarded([&] { result = std::forward<F>(body)(); });
    if (outcome.raised) {
        logFailure(std::string("Exception in ") + where + ": " + describeStructured(outcome.code));
        return fallback;
    }
    if (outcome.cpp) {
        logCppFailure(std::string("Exception in ") + where, outcome.cpp, "");
        return fallback;
    }
    return result;
}

template <class F>
void guard(const char* where, F&& body) noexcept {
    guard(where, 0, [&] {
        std::forward<F>(body)();
        return 0;
    });
}

// Calls a host callback. Whatever it raises is logged as "Exception <name>: <text>" and the gateway goes
// on. Returns false when the callback did not return normally.
template <class F>
bool callHost(const char* name, F&& call) noexcept {
    // The time-stamp counter: two readings of the performance counter would cost a tenth of an event's
    // handling under Wine.
    const uint64_t start = __rdtsc();
    seh::Outcome outcome = seh::runGuarded(std::forward<F>(call));
    statistics::hostCallbackTook(__rdtsc() - start);
    if (!outcome.succeeded()) {
        statistics::add(statistics::counters().hostCallbacksRaised);
    }
    if (outcome.raised) {
        logFailure(std::string("Exception ") + name + ": " + describeStructured(outcome.code));
        return false;
    }
    if (outcome.cpp) {
        logCppFailure(std::string("Exception ") + name, outcome.cpp, ": unknown exception");
        return false;
    }
    return true;
}

}  // namespace boundary
