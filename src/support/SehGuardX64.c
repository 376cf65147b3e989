/* The x64 half of the structured-exception guard: one function with a scope-table entry handled by
 * the system's __C_specific_handler, the same machinery as MSVC's __try/__except. It is plain C so that
 * the compiler attaches no handler of its own to the function; one function per file, because the labels
 * of the scope entry are file-local. */
#if defined(__x86_64__)

#include <windows.h>

#include <winternl.h>

/* What the filter caught on this thread, for the guarded call to read once the scope is left: the code
 * with bit 32 set, or nothing. It lives in a TLS slot of the system's, which the guarded call reads
 * straight from the thread's TEB: every host callback and every event runs under this guard, and
 * GCC's __thread (emulated TLS here) costs a library call on each read. Only a process that has used up
 * the TEB's 64 slots falls back to __thread. */
#define SLOT_UNSET 0xFFFFFFFEu
static DWORD g_slot = SLOT_UNSET;
static __thread unsigned long long tlCaught;

/* The slot, taken on the first guarded call of the process and kept until the module is unloaded:
 * settled before any filter can run, so that the filter and the guarded call always agree on where
 * the catch is noted. TLS_OUT_OF_INDEXES when the TEB has no slot left (then for good). */
static DWORD caughtSlot(void) {
    DWORD slot = __atomic_load_n(&g_slot, __ATOMIC_ACQUIRE);
    if (slot != SLOT_UNSET) {
        return slot;
    }
    DWORD mine = TlsAlloc();
    if (mine != TLS_OUT_OF_INDEXES && mine >= 64) {
        TlsFree(mine);
        mine = TLS_OUT_OF_INDEXES;
    }
    /* Another thread may have settled it first: its choice counts, and this slot goes back. */
    if (!__atomic_compare_exchange_n(&g_slot, &slot, mine, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        if (mine != TLS_OUT_OF_INDEXES) {
            TlsFree(mine);
        }
        return slot;
    }
    return mine;
}

/* The slot goes back when the library is unloaded (seh::releaseThreadSlot). */
void gateway_seh_release_slot(void) {
    const DWORD slot = __atomic_exchange_n(&g_slot, SLOT_UNSET, __ATOMIC_ACQ_REL);
    if (slot < 64) {
        TlsFree(slot);
    }
}

/* The running thread's TEB (its own address is at gs:0x30), read without NtCurrentTeb, whose inline
 * segment read GCC 12 takes for an out-of-bounds access. */
static TEB* currentTeb(void) {
    TEB* teb;
    __asm__("movq %%gs:0x30, %0" : "=r"(teb));
    return teb;
}

static void noteCaught(unsigned long long value) {
    const DWORD slot = __atomic_load_n(&g_slot, __ATOMIC_ACQUIRE);
    if (slot < 64) {
        currentTeb()->TlsSlots[slot] = (void*)(ULONG_PTR)value;
    } else {
        tlCaught = value;
    }
}

static unsigned long long caughtValue(void) {
    const DWORD slot = __atomic_load_n(&g_slot, __ATOMIC_ACQUIRE);
    return slot < 64 ? (unsigned long long)(ULONG_PTR)currentTeb()->TlsSlots[slot] : tlCaught;
}

/* Filter of the scope entry: called by __C_specific_handler for an exception that no deeper frame took. */
LONG gateway_seh_filter(EXCEPTION_POINTERS* pointers, void* establisherFrame) {
    (void)establisherFrame;
    DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if ((code >> 30) != 3) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    noteCaught((1ULL << 32) | code);
    return EXCEPTION_EXECUTE_HANDLER;
}

__attribute__((noinline)) int gateway_seh_call(void (*fn)(void*), void* context, unsigned long* code) {
    /* Settled before the scope opens: the filter notes a catch where the check below reads it. */
    (void)caughtSlot();
    /* A catch noted for an enclosing guard stays that guard's. One is pending here when this call runs
     * inside a foreign frame's unwind handler (a __finally, or a destructor of an MSVC-built module while
     * its exception unwinds) between that guard and the fault: set aside now, put back on the way out. */
    const unsigned long long pending = caughtValue();
    if (pending != 0) {
        noteCaught(0);
    }
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
    const unsigned long long caught = caughtValue();
    /* This call's own catch is read once: an enclosing guard sees only its own, or none. */
    if (caught != 0 || pending != 0) {
        noteCaught(pending);
    }
    if (caught != 0) {
        *code = (unsigned long)caught;
        return 0;
    }
    return 1;
}

#endif
