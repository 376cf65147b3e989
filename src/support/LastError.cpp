#include "support/LastError.h"

#include <atomic>
#include <cstring>
#include <new>

#include "support/Win32Helper.h"

namespace lastError {

// The longest text a record keeps, as the logger converts a line of the usual length on its stack.
constexpr size_t kMessageCapacity = 1024;

// A thread's record and its innermost call in progress, in one block of the process heap that the TLS
// slot points to: a record needs no memory when a failure is recorded, and lives outside the C runtime's
// heap, whose blocks are the records the host receives. The blocks are linked, so that the library's
// unload frees the blocks of threads that outlive it.
struct ThreadState {
    Call* innermost = nullptr;
    HRESULT code = S_OK;
    size_t length = 0;
    wchar_t message[kMessageCapacity];
    ThreadState* previous = nullptr;
    ThreadState* next = nullptr;
};

namespace {

void freeState(ThreadState* state) noexcept {
    state->~ThreadState();
    ::HeapFree(::GetProcessHeap(), 0, state);
}

DWORD g_slot = ::TlsAlloc();
// Calls in progress on all threads. While there is none, no thread has anything to collect, and the
// event path (the sink's pause, the logger's lines) passes without reading its thread's slot.
std::atomic<long> g_callsInProgress{0};

SRWLOCK g_listLock = SRWLOCK_INIT;
ThreadState* g_first = nullptr;

ThreadState* current() noexcept {
    return g_slot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<ThreadState*>(::TlsGetValue(g_slot));
}

// The thread's state when a call may be in progress on it; null otherwise.
ThreadState* collecting() noexcept {
    return g_callsInProgress.load(std::memory_order_relaxed) == 0 ? nullptr : current();
}

ThreadState* currentOrNew() noexcept {
    ThreadState* state = current();
    if (state != nullptr || g_slot == TLS_OUT_OF_INDEXES) {
        return state;
    }
    void* block = ::HeapAlloc(::GetProcessHeap(), 0, sizeof(ThreadState));
    if (block == nullptr) {
        return nullptr;
    }
    state = new (block) ThreadState;
    ::AcquireSRWLockExclusive(&g_listLock);
    state->next = g_first;
    if (g_first != nullptr) {
        g_first->previous = state;
    }
    g_first = state;
    ::ReleaseSRWLockExclusive(&g_listLock);
    ::TlsSetValue(g_slot, state);
    return state;
}

}  // namespace

Call::Call() noexcept {
    if (ThreadState* state = currentOrNew()) {
        g_callsInProgress.fetch_add(1, std::memory_order_relaxed);
        m_tracked = true;
        m_outer = state->innermost;
        state->innermost = this;
    }
}

Call::~Call() {
    end(false);
}

bool Call::end(bool succeeded) noexcept {
    if (m_ended) {
        return succeeded;
    }
    m_ended = true;
    ThreadState* state = m_tracked ? current() : nullptr;
    if (state == nullptr) {
        return succeeded;
    }
    state->innermost = m_outer;
    g_callsInProgress.fetch_sub(1, std::memory_order_relaxed);
    if (succeeded) {
        state->code = S_OK;
        state->length = 0;
        return true;
    }
    state->code = FAILED(m_code) ? m_code : GATEWAY_E_FAILED;
    state->length = 0;
    try {
        const std::wstring text = Win32Helper::str2wstr(m_errorLine.empty() ? m_line : m_errorLine);
        state->length = text.size() < kMessageCapacity ? text.size() : kMessageCapacity - 1;
        std::memcpy(state->message, text.data(), state->length * sizeof(wchar_t));
    } catch (...) {
        // The code alone, without memory for the text.
    }
    return false;
}

Pause::Pause() noexcept : m_state(collecting()) {
    if (m_state != nullptr) {
        m_paused = m_state->innermost;
        m_state->innermost = nullptr;
    }
}

Pause::~Pause() {
    if (m_state != nullptr) {
        m_state->innermost = m_paused;
    }
}

void note(HRESULT code) noexcept {
    ThreadState* state = collecting();
    if (state != nullptr && state->innermost != nullptr && FAILED(code) && SUCCEEDED(state->innermost->m_code)) {
        state->innermost->m_code = code;
    }
}

void lineLogged(LogLevel level, std::string_view text) noexcept {
    ThreadState* state = collecting();
    if (state == nullptr || state->innermost == nullptr) {
        return;
    }
    Call& call = *state->innermost;
    const std::string_view line(text.data(), ::strnlen(text.data(), text.size()));
    try {
        call.m_line.assign(line);
        if (level == Error) {
            call.m_errorLine.assign(line);
        }
    } catch (...) {
        // Without memory for the line the record keeps the code and an older line, or none.
    }
}

int32_t code() noexcept {
    const ThreadState* state = current();
    return state != nullptr ? static_cast<int32_t>(state->code) : 0;
}

void copyText(wchar_t* message, int32_t capacity) noexcept {
    const ThreadState* state = current();
    if (message != nullptr && capacity > 0) {
        size_t length = state != nullptr ? state->length : 0;
        if (length > static_cast<size_t>(capacity) - 1) {
            length = static_cast<size_t>(capacity) - 1;
        }
        if (length > 0) {
            std::memcpy(message, state->message, length * sizeof(wchar_t));
        }
        message[length] = L'\0';
    }
}

void threadEnds() noexcept {
    ThreadState* state = current();
    if (state == nullptr) {
        return;
    }
    ::TlsSetValue(g_slot, nullptr);
    ::AcquireSRWLockExclusive(&g_listLock);
    if (state->previous != nullptr) {
        state->previous->next = state->next;
    } else {
        g_first = state->next;
    }
    if (state->next != nullptr) {
        state->next->previous = state->previous;
    }
    ::ReleaseSRWLockExclusive(&g_listLock);
    freeState(state);
}

void releaseAll() noexcept {
    ::AcquireSRWLockExclusive(&g_listLock);
    while (g_first != nullptr) {
        ThreadState* state = g_first;
        g_first = state->next;
        freeState(state);
    }
    ::ReleaseSRWLockExclusive(&g_listLock);
    if (g_slot != TLS_OUT_OF_INDEXES) {
        ::TlsFree(g_slot);
        g_slot = TLS_OUT_OF_INDEXES;
    }
}

}  // namespace lastError
