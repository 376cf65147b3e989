// The one guard against structured exceptions (access violations, RaiseException, the C++ exceptions of
// an MSVC-built module). GCC's catch (...) does not see them, so code that calls into foreign modules
// (the access-control client, the host's callbacks) runs the call through runGuarded.
//
// The guard is frame based, like MSVC's __try/__except: a handler deeper in the stack (for example a
// client that throws and catches its own exceptions) sees its exception first, and the guard only takes
// what would otherwise escape. It takes exceptions of error severity only; informational ones (debugger
// notifications, GCC's own C++ exceptions on x64) pass through untouched.
#pragma once

#include <windows.h>

#include <exception>
#include <utility>

namespace seh {

// Calls fn(context). Returns true when fn returned normally; false when a structured exception of error
// severity escaped it, with the exception code in *code. The frames between the guard and the fault are
// abandoned: their own SEH handlers get the unwind call, but GCC-built C++ destructors in them do not run.
// A C++ exception thrown by fn must not cross this function; runGuarded below catches it first.
bool callGuarded(void (*fn)(void*), void* context, DWORD* code) noexcept;

// Gives back the thread-local slot the guard keeps (x64), when the library is unloaded. No guarded call
// may run at that moment or after.
void releaseThreadSlot() noexcept;

// The outcome of a guarded call.
struct Outcome {
    bool raised = false;     // a structured exception was caught
    DWORD code = 0;          // its code
    std::exception_ptr cpp;  // a C++ exception that fn threw, rethrown by the caller if it wants

    bool succeeded() const { return !raised && !cpp; }
};

// Runs f() under the guard. A C++ exception is caught inside the guarded frame (on x86 it must not cross
// the registered SEH record) and handed back in the outcome.
template <class F>
Outcome runGuarded(F&& f) noexcept {
    struct Call {
        F* f;
        std::exception_ptr error;
        static void invoke(void* self) noexcept {
            auto* call = static_cast<Call*>(self);
            try {
                (*call->f)();
            } catch (...) {
                call->error = std::current_exception();
            }
        }
    } call{&f, nullptr};
    Outcome outcome;
    outcome.raised = !callGuarded(&Call::invoke, &call, &outcome.code);
    outcome.cpp = std::move(call.error);
    return outcome;
}

// True for exception codes of error severity (the two top bits set).
constexpr bool isErrorSeverity(DWORD code) {
    return (code >> 30) == 3;
}

}  // namespace seh
