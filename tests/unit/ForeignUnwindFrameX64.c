/* A frame such as an MSVC-built host or client has: a termination handler (__finally) around code that
 * raises, which the system's __C_specific_handler runs while a handler further out unwinds the stack.
 * One function per file, because the labels of its scope entry are file-local. x64 only. */
#if defined(__x86_64__)

#include <windows.h>

static void (*g_onUnwind)(void);

/* The termination handler of the scope entry below. */
void test_foreign_frame_finally(BOOLEAN abnormal, void* frame) {
    (void)abnormal;
    (void)frame;
    if (g_onUnwind != NULL) {
        g_onUnwind();
    }
}

__attribute__((noinline)) static void raiseAsMsvcThrows(void) {
    RaiseException(0xE06D7363u, 0, 0, NULL);
}

/* Raises what an MSVC-built module's throw raises; onUnwind runs in the frame's __finally. */
__attribute__((noinline)) void test_foreign_frame_raising(void (*onUnwind)(void)) {
    g_onUnwind = onUnwind;
    __asm__ __volatile__(
        "\t.l_fstart:\n"
        "\t.seh_handler __C_specific_handler, @except, @unwind\n"
        "\t.seh_handlerdata\n"
        "\t.long 1\n"
        "\t.rva .l_fstart, .l_fend, test_foreign_frame_finally\n"
        "\t.long 0\n"
        "\t.text\n" ::
            : "memory");
    raiseAsMsvcThrows();
    __asm__ __volatile__("\tnop\n\t.l_fend: nop\n" ::: "memory");
}

#endif
