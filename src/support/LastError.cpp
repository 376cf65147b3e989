#include "support/LastError.h"

#include <cstring>
#include <new>

#include "support/Win32Helper.h"

namespace lastError {
namespace {

// A thread's record and its innermost call in progress, in a heap block that the TLS slot points to. The
// blocks are linked, so that the library's unload frees the blocks of threads that outlive it.
struct ThreadState {
    Call* innermost = nullptr;
    HRESULT code = S_OK;
    std::wstring message;
    ThreadState* previous = nullptr;
    ThreadState* next = nullptr;
};

DWORD g_slot = ::TlsAlloc();
SRWLOCK g_listLock = SRWLOCK_INIT;
ThreadState* g_first = nullptr;

ThreadState* current() noexcept {
    return g_slot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<ThreadState*>(::TlsGetValue(g_slot));
}

ThreadState* currentOrNew() noexcept {
    ThreadState* state = current();
    if (state != nullptr || g_slot == TLS_OUT_OF_INDEXES) {
        return state;
    }
    state = new (std::nothrow) ThreadState;
    if (state == nullptr) {
        return nullptr;
    }
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
    if (succeeded) {
        state->code = S_OK;
        state->message.clear();
        return true;
    }
    state->code = FAILED(m_code) ? m_code : GATEWAY_E_FAILED;
    try {
        state->message = Win32Helper::str2wstr(m_errorLine.empty() ? m_line : m_errorLine);
    } catch (...) {
        state->message.clear();  // the code alone, without memory for the text
    }
    return false;
}

Pause::Pause() noexcept {
    if (ThreadState* state = current()) {
        m_paused = state->innermost;
        state->innermost = nullptr;
    }
}

Pause::~Pause() {
    if (ThreadState* state = current()) {
        state->innermost = m_paused;
    }
}

void note(HRESULT code) noexcept {
    ThreadState* state = current();
    if (state != nullptr && state->innermost != nullptr && FAILED(code) && SUCCEEDED(state->innermost->m_code)) {
        state->innermost->m_code = code;
    }
}

void lineLogged(LogLevel level, std::string_view text) noexcept {
    ThreadState* state = current();
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
        size_t length = state != nullptr ? state->message.size() : 0;
        if (length > static_cast<size_t>(capacity) - 1) {
            length = static_cast<size_t>(capacity) - 1;
        }
        if (length > 0) {
            std::memcpy(message, state->message.data(), length * sizeof(wchar_t));
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
    delete state;
}

void releaseAll() noexcept {
    ::AcquireSRWLockExclusive(&g_listLock);
    while (g_first != nullptr) {
        ThreadState* state = g_first;
        g_first = state->next;
        delete state;
    }
    ::ReleaseSRWLockExclusive(&g_listLock);
    if (g_slot != TLS_OUT_OF_INDEXES) {
        ::TlsFree(g_slot);
        g_slot = TLS_OUT_OF_INDEXES;
    }
}

}  // namespace lastError
