/* The part of MSVC's static C runtime (libcmt.lib) that the test hosts need, for a Debian machine that
 * has clang-cl and lld-link but no Visual Studio: the entry point of a wmain program, the /GS stack
 * cookie and _fltused. The C runtime itself is the universal C runtime DLL (ucrtbase.dll), which Wine
 * provides and whose import library is merged into the same stand-in libcmt.lib.
 *
 * Compiled with /Zl (no default-library directives) and /GS- (it defines the cookie the checks use). */
#include <stddef.h>
#include <stdint.h>

#pragma comment(lib, "kernel32.lib")

int __cdecl wmain(int argc, wchar_t** argv);

__declspec(dllimport) int __cdecl _configure_wide_argv(int mode);
__declspec(dllimport) int __cdecl _initialize_wide_environment(void);
__declspec(dllimport) int* __cdecl __p___argc(void);
__declspec(dllimport) wchar_t*** __cdecl __p___wargv(void);
__declspec(dllimport) __declspec(noreturn) void __cdecl exit(int status);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

/* The linker picks this entry point for a console program that defines wmain, as link.exe does. */
void __cdecl wmainCRTStartup(void) {
    /* 1: the arguments split into __wargv (_crt_argv_unexpanded_arguments). */
    if (_configure_wide_argv(1) != 0 || _initialize_wide_environment() != 0) {
        ExitProcess(255);
    }
    exit(wmain(*__p___argc(), *__p___wargv()));
}

/* The /GS cookie. A fixed value is enough for tests; MSVC's runtime draws it at start-up. */
uintptr_t __security_cookie = (uintptr_t)0x2B992DDFA232ull;

/* STATUS_STACK_BUFFER_OVERRUN, as MSVC's runtime ends a process whose cookie was overwritten. */
void __fastcall __security_check_cookie(uintptr_t cookie) {
    if (cookie != __security_cookie) {
        ExitProcess(0xC0000409u);
    }
}

/* Referenced by every object that uses floating point. */
int _fltused = 0x9875;
