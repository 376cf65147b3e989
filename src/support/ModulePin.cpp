#include "support/ModulePin.h"

#include <windows.h>

#include <atomic>

void pinModule() {
    static std::atomic<bool> pinned{false};
    if (pinned.exchange(true)) {
        return;
    }
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&pinModule), &module);
}
