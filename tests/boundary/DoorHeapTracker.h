// Watches the C runtime heap blocks the gateway DLL allocates and frees. While a tracker lives, the
// DLL's imports of malloc, calloc, realloc and free point to counting wrappers (the test program's own
// calls are not affected). One tracker at a time; the wrappers may run on any thread.
#pragma once

#include <windows.h>

#include <set>

class DllHeapTracker {
public:
    explicit DllHeapTracker(HMODULE dll);
    ~DllHeapTracker();
    DllHeapTracker(const DllHeapTracker&) = delete;
    DllHeapTracker& operator=(const DllHeapTracker&) = delete;

    // True when all four imports were found and redirected.
    bool active() const { return m_patched == 4; }
    // Blocks the DLL allocated since the tracker started (or since clear) and has not freed.
    std::set<void*> live() const;
    // Non-null pointers the DLL freed since then.
    size_t frees() const;
    // Frees of a pointer that was not live: a double free, or a block allocated before tracking.
    size_t unknownFrees() const;
    // Starts counting afresh.
    void clear();
    // Calls examine(block, size) with the contents of every block the DLL frees (or gives to realloc),
    // just before it goes back to the heap; null stops it. The function runs on the freeing thread and
    // must only read the block.
    void examineFrees(void (*examine)(const void* block, size_t size));

private:
    HMODULE m_dll;
    int m_patched = 0;
};
