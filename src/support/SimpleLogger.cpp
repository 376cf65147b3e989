#include "SimpleLogger.h"

#include "Win32Helper.h"

std::atomic<SimpleLogger*> SimpleLogger::m_Instance{nullptr};

SimpleLogger* SimpleLogger::GetInstance() {
    SimpleLogger* instance = m_Instance.load(std::memory_order_acquire);
    if (instance != nullptr) {
        return instance;
    }
    // Two first callers on different threads must still end with one instance.
    auto* created = new SimpleLogger();
    if (m_Instance.compare_exchange_strong(instance, created, std::memory_order_acq_rel)) {
        return created;
    }
    delete created;
    return instance;
}

void SimpleLogger::forward(LogLevel level, const std::string& text) {
    // The pointer is read once per message; nothing is converted when nobody listens.
    LogCallback callback = m_Callback.load(std::memory_order_acquire);
    if (callback == nullptr) {
        return;
    }
    std::wstring wide = Win32Helper::str2wstr(text);
    callback(level, wide.c_str());
}

void SimpleLogger::dbgLogW(std::wstring text) {
    LogCallback callback = m_Callback.load(std::memory_order_acquire);
    if (callback == nullptr) {
        return;
    }
    callback(Debug, text.c_str());
}
