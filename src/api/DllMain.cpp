#include <windows.h>

#include "gateway/ProcessGateway.h"
#include "support/LastError.h"
#include "support/SehGuard.h"
#include "support/SimpleLogger.h"

// The library does no work of its own at load: the gateway object and the logger are created on first
// use. Nothing is torn down at unload (close the gateway first) except the thread-local slots and the
// threads' last errors, so that a host that loads and unloads the library many times does not run out of
// them. A thread's last error goes with the thread. At process exit (reserved not null) nothing is
// touched.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_THREAD_DETACH) {
        lastError::threadEnds();
    }
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        processGateway::releaseThreadSlot();
        SimpleLogger::releaseThreadSlot();
        lastError::releaseAll();
        seh::releaseThreadSlot();
    }
    return TRUE;
}
