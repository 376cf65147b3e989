#include "support/SimpleLogger.h"

#include <cstring>

#include "support/LastError.h"
#include "support/LocaleConversionCache.h"
#include "support/SehGuard.h"
#include "support/SpinWait.h"
#include "support/Win32Helper.h"

std::atomic<SimpleLogger*> SimpleLogger::m_Instance{nullptr};

namespace {

// The TLS value of a thread: its calls in progress, generation 0 in the low 16 bits, generation 1 above.
int ownCalls(DWORD slot, int generation) {
    if (slot == TLS_OUT_OF_INDEXES) {
        return 0;
    }
    const auto value = reinterpret_cast<uintptr_t>(::TlsGetValue(slot));
    return static_cast<int>((value >> (16 * generation)) & 0xFFFF);
}

void addOwnCall(DWORD slot, int generation, int delta) {
    if (slot == TLS_OUT_OF_INDEXES) {
        return;
    }
    auto value = reinterpret_cast<uintptr_t>(::TlsGetValue(slot));
    value += static_cast<uintptr_t>(static_cast<intptr_t>(delta)) << (16 * generation);
    ::TlsSetValue(slot, reinterpret_cast<void*>(value));
}

}  // namespace

SimpleLogger::SimpleLogger() : m_threadSlot(::TlsAlloc()) {}

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

void SimpleLogger::releaseThreadSlot() {
    SimpleLogger* instance = m_Instance.load(std::memory_order_acquire);
    if (instance != nullptr && instance->m_threadSlot != TLS_OUT_OF_INDEXES) {
        ::TlsFree(instance->m_threadSlot);
        instance->m_threadSlot = TLS_OUT_OF_INDEXES;
    }
}

void SimpleLogger::setLogger(LogCallback callback) {
    // A call that counted itself before this store may still be running the old function; one that counts
    // itself after the store reads the new one. A generation whose count (less this thread's own calls)
    // is seen at zero after the store therefore holds no caller of the old function any more. New calls go
    // to the other generation meanwhile, so each count can drain.
    m_callback.store(callback, std::memory_order_seq_cst);
    for (int round = 0; round < 2; ++round) {
        const int draining = m_generation.fetch_xor(1, std::memory_order_seq_cst);
        spin::waitUntil([&] {
            return m_inUse[draining].load(std::memory_order_seq_cst) <= ownCalls(m_threadSlot, draining);
        });
    }
}

void SimpleLogger::deliver(LogLevel level, const wchar_t* line) {
    const int generation = m_generation.load(std::memory_order_seq_cst);
    m_inUse[generation].fetch_add(1, std::memory_order_seq_cst);
    const LogCallback callback = m_callback.load(std::memory_order_seq_cst);
    if (callback != nullptr) {
        addOwnCall(m_threadSlot, generation, 1);
        // A function that raises (an MSVC host's throw, an access violation, a collected .NET delegate)
        // loses its line; nothing of the gateway is between the guard and the call.
        if (!seh::runGuarded([&] { callback(level, line); }).succeeded()) {
            m_raised.fetch_add(1, std::memory_order_relaxed);
        }
        addOwnCall(m_threadSlot, generation, -1);
    }
    m_inUse[generation].fetch_sub(1, std::memory_order_seq_cst);
}

void SimpleLogger::forward(LogLevel level, std::string_view text) {
    // The failing export of this thread keeps its line for gateway_GetLastError, whoever listens.
    if (level != Debug) {
        lastError::lineLogged(level, text);
    }
    // Nothing is converted when nobody listens.
    if (m_callback.load(std::memory_order_acquire) == nullptr) {
        return;
    }
    // A line of a usual length is converted on the stack, without heap blocks; the rest (and text that
    // needs the C runtime's own conversion) through a string.
    const size_t length = ::strnlen(text.data(), text.size());
    wchar_t line[1024];
    if (length < sizeof line / sizeof line[0] && Win32Helper::widenByTable(text.data(), length, line)) {
        line[length] = L'\0';
        deliver(level, line);
        return;
    }
    const std::wstring wide = Win32Helper::str2wstr(std::string(text.data(), length));
    deliver(level, wide.c_str());
}

void SimpleLogger::dbgLogW(const std::wstring& text) {
    if (m_callback.load(std::memory_order_acquire) == nullptr) {
        return;
    }
    deliver(Debug, text.c_str());
}
