// The guards at the library's two boundaries. Nothing thrown inside the gateway crosses the C interface
// or the COM event interface, and nothing a host callback raises (a C++ exception, an access violation,
// the C++ exception of an MSVC-built host) unwinds into the gateway's caller.
#pragma once

#include <cstdio>

#include <intrin.h>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "com/HResultError.h"
#include "support/LastError.h"
#include "support/SehGuard.h"
#include "support/SimpleLogger.h"
#include "support/Statistics.h"

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

// Logs what a guarded call raised, if anything, after "<lead><name>": a structured exception as
// ": structured exception 0x...", a C++ exception as ": <what>", or <unknownSuffix> when it is not a
// std::exception. Composes nothing when the call returned normally. True when it did not.
inline bool reportFailure(const char* lead, const char* name, const seh::Outcome& outcome,
                          const char* unknownSuffix) noexcept {
    if (outcome.succeeded()) {
        return false;
    }
    const std::string prefix = std::string(lead) + name;
    if (outcome.raised) {
        logFailure(prefix + ": " + describeStructured(outcome.code));
        return true;
    }
    try {
        std::rethrow_exception(outcome.cpp);
    } catch (const std::exception& e) {
        logFailure(prefix + ": " + e.what());
    } catch (...) {
        logFailure(prefix + unknownSuffix);
    }
    return true;
}

// The HRESULT that stands for what a guarded call raised: a structured exception's code as an HRESULT
// (HRESULT_FROM_NT: 0xD0000005 for an access violation, 0xF06D7363 for an MSVC C++ exception), an
// HResultError's own code, E_OUTOFMEMORY for std::bad_alloc and E_UNEXPECTED for anything else.
inline HRESULT failureResult(const seh::Outcome& outcome) noexcept {
    if (outcome.raised) {
        return HRESULT_FROM_NT(outcome.code);
    }
    try {
        std::rethrow_exception(outcome.cpp);
    } catch (const HResultError& e) {
        return FAILED(e.hr()) ? e.hr() : E_UNEXPECTED;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
    }
    return E_UNEXPECTED;
}

// The last error of an export that raised: its own HRESULT for an HResultError, out of memory for
// std::bad_alloc, otherwise "raised".
inline HRESULT raisedError(const seh::Outcome& outcome) noexcept {
    if (outcome.raised) {
        return GATEWAY_E_RAISED;
    }
    const HRESULT hr = failureResult(outcome);
    return hr == E_OUTOFMEMORY ? GATEWAY_E_OUT_OF_MEMORY : hr == E_UNEXPECTED ? GATEWAY_E_RAISED : hr;
}

// What a boundary makes of a raise that reached it: a C++ exception is logged as
// "Exception in <where>: <what>" (without ": <what>" when it is not a std::exception), a structured
// exception as "Exception in <where>: structured exception 0x...", and noted as the last error.
inline void noteRaised(const char* where, const seh::Outcome& outcome) noexcept {
    reportFailure("Exception in ", where, outcome, "");
    lastError::note(raisedError(outcome));
}

// Runs the body of an export or a sink method under the structured-exception guard. What it raises is
// logged and noted by noteRaised, and the boundary answers `fallback`. A lock the body holds must be taken
// outside the guard (or under an inner guard), since the frames between the fault and the guard are
// abandoned without their destructors.
template <class R, class F>
R guard(const char* where, R fallback, F&& body) noexcept {
    R result = fallback;
    const seh::Outcome outcome = seh::runGuarded([&] { result = std::forward<F>(body)(); });
    if (outcome.succeeded()) {
        return result;
    }
    noteRaised(where, outcome);
    return fallback;
}

// guard for an export with a bool result: the result also becomes this thread's last error. The
// lastError::Call lives here, outside the guard, so that a fault inside cannot abandon it.
template <class F>
bool guardResult(const char* where, bool fallback, F&& body) noexcept {
    lastError::Call call;
    return call.end(guard(where, fallback, std::forward<F>(body)));
}

template <class F>
void guard(const char* where, F&& body) noexcept {
    guard(where, 0, [&] {
        std::forward<F>(body)();
        return 0;
    });
}

// Runs one client call of a lifecycle operation under the structured-exception guard, with nothing owned
// between the guard and the call. What it raises is logged as "Exception in <operation>: ..." and answered
// with the HRESULT that stands for it, so the operation goes on as after a failure.
template <class Call>
HRESULT clientCall(const char* operation, Call&& call) noexcept {
    HRESULT hr = E_UNEXPECTED;
    const seh::Outcome outcome = seh::runGuarded([&] { hr = std::forward<Call>(call)(); });
    if (outcome.succeeded()) {
        return hr;
    }
    reportFailure("Exception in ", operation, outcome, "");
    lastError::note(GATEWAY_E_CLIENT_RAISED);
    return failureResult(outcome);
}

// Calls a host callback. Whatever it raises is logged as "Exception <name>: <text>" and the gateway goes
// on. Returns false when the callback did not return normally.
template <class F>
bool callHost(const char* name, F&& call) noexcept {
    // The time-stamp counter, cheap enough to read around every callback (the README's performance
    // section has what the performance counter would cost).
    const uint64_t start = __rdtsc();
    seh::Outcome outcome = seh::runGuarded(std::forward<F>(call));
    statistics::hostCallbackTook(__rdtsc() - start);
    if (outcome.succeeded()) {
        return true;
    }
    statistics::add(statistics::counters().hostCallbacksRaised);
    reportFailure("Exception ", name, outcome, ": unknown exception");
    return false;
}

}  // namespace boundary
