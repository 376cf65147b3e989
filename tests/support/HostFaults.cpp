#include "HostFaults.h"

#include <windows.h>

#include <atomic>

void raiseHostFault(HostFault fault) {
    if (fault == HostFault::AccessViolation) {
        // A page without access rights: a write faults wherever the process maps its low pages (under Wine
        // a write through a null pointer does not always fault).
        static void* const guarded = ::VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
        *static_cast<volatile int*>(guarded) = 1;
    }
    ULONG_PTR parameters[3] = {0x19930520, 0, 0};
    ::RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 3, parameters);
}

void SIPASSVORMEKGATEWAY_CALL sometimesRaisingLog(LogLevel, const wchar_t*) {
    static std::atomic<unsigned> lines{0};
    const unsigned line = lines.fetch_add(1) * 2654435761u;
    if ((line >> 24) % 5 == 0) {
        raiseHostFault((line >> 16) % 2 == 0 ? HostFault::AccessViolation : HostFault::MsvcThrow);
    }
}
