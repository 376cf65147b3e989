#include "SimpleLogger.h"

#include <cstring>

#include "CharacterTable.h"
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

void SimpleLogger::forward(LogLevel level, std::string_view text) {
    // The pointer is read once per message; nothing is converted when nobody listens.
    LogCallback callback = m_Callback.load(std::memory_order_acquire);
    if (callback == nullptr) {
        return;
    }
    // A line of a usual length is converted on the stack, without heap blocks; the rest (and text that
    // needs the C runtime's own conversion) through a string.
    const size_t length = ::strnlen(text.data(), text.size());
    wchar_t line[1024];
    if (length < sizeof line / sizeof line[0] && Win32Helper::widenByTable(text.data(), length, line)) {
        line[length] = L'\0';
        callback(level, line);
        return;
    }
    const std::wstring wide = Win32Helper::str2wstr(std::string(text.data(), length));
    callback(level, wide.c_str());
}

void SimpleLogger::dbgLogW(const std::wstring& text) {
    LogCallback callback = m_Callback.load(std::memory_order_acquire);
    if (callback == nullptr) {
        return;
    }
    callback(Debug, text.c_str());
}
