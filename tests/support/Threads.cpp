#include "Threads.h"

#include <windows.h>

#include <tlhelp32.h>

int threadCount() {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId() ? 1 : 0;
    }
    ::CloseHandle(snapshot);
    return count;
}

bool waitForThreadsAtMost(int count) {
    for (int i = 0; i < 5000; ++i) {
        if (threadCount() <= count) {
            return true;
        }
        ::Sleep(1);
    }
    return false;
}
