// The last error of each thread (gateway_GetLastError): the outcome of the last export called on the
// thread that can fail. Such an export runs inside a lastError::Call. While it runs, the first code that a
// failure on its way notes, and the lines the thread logs, are collected in it; when it ends, its outcome
// becomes the thread's record: 0 and no text after a success, else the code and the line the failure
// logged (its last Error line, or its last line when it logged no Error line).
//
// Calls nest (a log function that calls an export runs inside the export that logs): each collects its
// own, and the innermost one that ends last leaves the record. A client's call into the event sink on
// the same thread (a client that delivers synchronously) is Paused: what the delivery logs or fails is no
// outcome of the export.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "SiPassVormekGateway.h"

namespace lastError {

struct ThreadState;

class Call {
public:
    Call() noexcept;
    // A call left without end() (the export's guard caught what was raised) counts as failed.
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Makes the outcome the thread's record and returns `succeeded`, for
    // `return call.end(boundary::guard(...))`.
    bool end(bool succeeded) noexcept;

private:
    friend void note(HRESULT code) noexcept;
    friend void lineLogged(LogLevel level, std::string_view text) noexcept;

    Call* m_outer = nullptr;
    bool m_tracked = false;  // false when the thread has no record (its memory could not be had)
    bool m_ended = false;
    HRESULT m_code = S_OK;
    std::string m_errorLine;  // the last Error line logged during the call
    std::string m_line;       // the last line of any level
};

// Keeps a call in progress on this thread from collecting while it lives: the event sink's entry, and work
// of an export whose failure is not the export's (a login's teardown of the previous client). Nothing may
// raise a structured exception past it: its end must run.
class Pause {
public:
    Pause() noexcept;
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;

private:
    ThreadState* m_state;  // the thread's record while a call was in progress, else null
    Call* m_paused = nullptr;
};

// Notes the cause of the failure in progress on this thread: the first code noted during a call is the
// one it reports. Nothing happens when no call runs on the thread.
void note(HRESULT code) noexcept;

// Notes `code` and returns false, for `return refuse(GATEWAY_E_...)`.
inline bool refuse(HRESULT code) noexcept {
    note(code);
    return false;
}

// A line the thread logged at Info or Error level (also when no log function is registered).
void lineLogged(LogLevel level, std::string_view text) noexcept;

// The thread's record: its code, and its text copied into `message` (NUL-terminated, at most capacity - 1
// characters; nothing when message is null or capacity below 1). The copy writes to the host's buffer and
// may raise: the code is read apart from it.
int32_t code() noexcept;
void copyText(wchar_t* message, int32_t capacity) noexcept;

// From DllMain: a thread's record goes with the thread, and every record with the library.
void threadEnds() noexcept;
void releaseAll() noexcept;

}  // namespace lastError
