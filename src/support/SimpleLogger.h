// The process-wide logger: forwards every message at once to the one log function the host registered
// (gateway_RegisterLogCallback). It owns no file or buffer, adds nothing to the text and never filters.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "SiPassVormekGateway.h"

class SimpleLogger {
public:
    // The single instance; created on the first call and never destroyed, so a callback registered
    // before the first gateway object survives any number of gateway_Init/gateway_Close cycles.
    static SimpleLogger* GetInstance();

    // Replaces the host's function; null turns forwarding off. Safe against concurrent messages: a
    // message that is being forwarded goes to whichever value it read.
    void setLogger(LogCallback callback) { m_Callback.store(callback, std::memory_order_release); }

    // True while a host function is registered. Callers may skip composing a message when it is false.
    bool enabled() const { return m_Callback.load(std::memory_order_acquire) != nullptr; }

    // The text ends at its first NUL, as a C string would.
    void log(std::string_view text) { forward(Info, text); }
    void errLog(std::string_view text) { forward(Error, text); }
    void dbgLog(std::string_view text) { forward(Debug, text); }
    void dbgLogW(const std::wstring& text);

    virtual ~SimpleLogger() = default;

protected:
    SimpleLogger() = default;
    static std::atomic<SimpleLogger*> m_Instance;

private:
    void forward(LogLevel level, std::string_view text);

    std::atomic<LogCallback> m_Callback{nullptr};
};
