#include "support/SehGuard.h"

#if defined(__i386__)

#include <intrin.h>
#include <winnt.h>

namespace seh {
namespace {

// The registration record of one guard on the stack. The FS:[0] chain requires the record itself to lie
// on the stack; the resume point sits right behind it.
struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD record;  // must stay first: the handler gets its address
    void* resume[5];                       // __builtin_setjmp buffer
    DWORD code;
};

EXCEPTION_DISPOSITION __cdecl guardHandler(EXCEPTION_RECORD* record, void* establisher, CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
        return ExceptionContinueSearch;
    }
    if (!isErrorSeverity(record->ExceptionCode)) {
        return ExceptionContinueSearch;
    }
    auto* frame = static_cast<GuardFrame*>(establisher);
    frame->code = record->ExceptionCode;
    // Let the handlers registered inside the guarded call unwind, then resume behind the guard.
    RtlUnwind(establisher, nullptr, record, nullptr);
    __builtin_longjmp(frame->resume, 1);
}

}  // namespace

__attribute__((noinline)) bool callGuarded(void (*fn)(void*), void* context, DWORD* code) noexcept {
    GuardFrame frame{};
    frame.record.Next = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(__readfsdword(0));
    frame.record.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(&guardHandler);
    if (__builtin_setjmp(frame.resume)) {
        __writefsdword(0, reinterpret_cast<DWORD>(frame.record.Next));
        *code = frame.code;
        return false;
    }
    __writefsdword(0, reinterpret_cast<DWORD>(&frame.record));
    fn(context);
    __writefsdword(0, reinterpret_cast<DWORD>(frame.record.Next));
    return true;
}

void releaseThreadSlot() noexcept {}

}  // namespace seh

#else  // x64: the scope-table guard lives in SehGuardX64.c

extern "C" int gateway_seh_call(void (*fn)(void*), void* context, unsigned long* code);
extern "C" void gateway_seh_release_slot(void);

namespace seh {

bool callGuarded(void (*fn)(void*), void* context, DWORD* code) noexcept {
    unsigned long caught = 0;
    if (gateway_seh_call(fn, context, &caught)) {
        return true;
    }
    *code = caught;
    return false;
}

void releaseThreadSlot() noexcept {
    gateway_seh_release_slot();
}

}  // namespace seh

#endif
