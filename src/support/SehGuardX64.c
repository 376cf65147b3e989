/* The x64 half of the structured-exception guard: one function with a scope-table entry handled by
 * the system's __C_specific_handler, the same machinery as MSVC's __try/__except. It is plain C so that
 * the compiler attaches no handler of its own to the function; one function per file, because the labels
 * of the scope entry are file-local. */
#if defined(__x86_64__)

#include <windows.h>

static __thread unsigned long tlCode;
static __thread int tlCaught;

/* Filter of the scope entry: called by __C_specific_handler for an exception that no deeper frame took. */
LONG gateway_seh_filter(EXCEPTION_POINTERS* pointers, void* establisherFrame) {
    (void)establisherFrame;
    DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if ((code >> 30) != 3) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    tlCode = code;
    tlCaught = 1;
    return EXCEPTION_EXECUTE_HANDLER;
}

__attribute__((noinline)) int gateway_seh_call(void (*fn)(void*), void* context, unsigned long* code) {
    __asm__ __volatile__(
        "\t.l_startw:\n"
        "\t.seh_handler __C_specific_handler, @except\n"
        "\t.seh_handlerdata\n"
        "\t.long 1\n"
        "\t.rva .l_startw, .l_endw, gateway_seh_filter, .l_endw\n"
        "\t.text\n" ::
            : "memory");
    fn(context);
    __asm__ __volatile__("\tnop\n\t.l_endw: nop\n" ::: "memory");
    if (tlCaught) {
        /* Reset at once, so that an outer guard on this thread does not see a caught inner fault. */
        tlCaught = 0;
        *code = tlCode;
        return 0;
    }
    return 1;
}

#endif
