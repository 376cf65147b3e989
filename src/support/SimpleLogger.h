// The process-wide logger: forwards every message at once to the one log function the host registered
// (gateway_RegisterLogCallback). It owns no file or buffer, adds nothing to the text and never filters.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <string_view>

#include "SiPassVormekGateway.h"

class SimpleLogger {
public:
    // The single instance; created on the first call and never destroyed, so a callback registered
    // before the first gateway object survives any number of gateway_Init/gateway_Close cycles.
    static SimpleLogger* GetInstance();

    // Replaces the host's function; null turns forwarding off. Returns once no other thread is inside the
    // previous function (a host may free what it uses then); the calling thread may itself be inside it.
    // Messages forwarded meanwhile go to whichever value they read. Concurrent replacements are
    // serialised.
    void setLogger(LogCallback callback);

    // True while a host function is registered. Callers may skip composing a message when it is false.
    bool enabled() const { return m_callback.load(std::memory_order_acquire) != nullptr; }

    // The text ends at its first NUL, as a C string would. The host's function runs under the
    // structured-exception guard: whatever it raises loses that one line and nothing else.
    void log(std::string_view text) { forward(Info, text); }
    void errLog(std::string_view text) { forward(Error, text); }
    void dbgLog(std::string_view text) { forward(Debug, text); }
    void dbgLogW(const std::wstring& text);

    // Gives back the thread-local slot of the instance, if one was created, when the library is unloaded.
    static void releaseThreadSlot();

    // Lines whose host function raised, since the library was loaded.
    long long raisedLines() const { return m_raised.load(std::memory_order_relaxed); }

    virtual ~SimpleLogger() = default;

protected:
    SimpleLogger();
    static std::atomic<SimpleLogger*> m_Instance;

private:
    void forward(LogLevel level, std::string_view text);
    // Calls the current function with one finished line, counted as in use while it runs.
    void deliver(LogLevel level, const wchar_t* line);

    std::atomic<LogCallback> m_callback{nullptr};
    // Calls in progress, in two generations: a call counts itself in the generation it read, then reads the
    // function. setLogger stores the new function and waits for each generation in turn to empty, after
    // switching the generation new calls use, so a steady stream of new calls cannot hold it up.
    std::atomic<long> m_inUse[2] = {{0}, {0}};
    std::atomic<int> m_generation{0};
    // This thread's own calls in progress, per generation (a TLS slot holding two 16-bit counts), so that
    // a log function that replaces itself does not wait for itself.
    DWORD m_threadSlot = TLS_OUT_OF_INDEXES;
    SRWLOCK m_replacing = SRWLOCK_INIT;  // serialises setLogger
    std::atomic<long long> m_raised{0};
};
