#include <windows.h>

// The library does no work of its own at load or unload: the gateway object and the logger are created
// on first use, and nothing is torn down at unload (close the gateway first).
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
