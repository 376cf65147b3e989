#include "DoorHeapTracker.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

using MallocFn = void*(__cdecl*)(size_t);
using CallocFn = void*(__cdecl*)(size_t, size_t);
using ReallocFn = void*(__cdecl*)(void*, size_t);
using FreeFn = void(__cdecl*)(void*);

struct Tracking {
    std::mutex mutex;
    std::set<void*> live;  // guarded by mutex, like the two counts
    size_t frees = 0;
    size_t unknownFrees = 0;
    MallocFn realMalloc = nullptr;
    CallocFn realCalloc = nullptr;
    ReallocFn realRealloc = nullptr;
    FreeFn realFree = nullptr;
    std::atomic<void (*)(const void*, size_t)> examine{nullptr};
};
Tracking g_tracking;

// Shows a block to the examiner before the heap gets it back.
void examineBeforeFree(void* block) {
    if (block == nullptr) {
        return;
    }
    if (auto examine = g_tracking.examine.load()) {
        examine(block, ::_msize(block));
    }
}

void noteAllocation(void* block) {
    if (block != nullptr) {
        std::lock_guard<std::mutex> lock(g_tracking.mutex);
        g_tracking.live.insert(block);
    }
}

void noteFree(void* block) {
    if (block == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_tracking.mutex);
    ++g_tracking.frees;
    if (g_tracking.live.erase(block) == 0) {
        ++g_tracking.unknownFrees;
    }
}

void* __cdecl trackedMalloc(size_t size) {
    void* block = g_tracking.realMalloc(size);
    noteAllocation(block);
    return block;
}

void* __cdecl trackedCalloc(size_t count, size_t size) {
    void* block = g_tracking.realCalloc(count, size);
    noteAllocation(block);
    return block;
}

void* __cdecl trackedRealloc(void* old, size_t size) {
    examineBeforeFree(old);
    void* block = g_tracking.realRealloc(old, size);
    if (block != nullptr || size == 0) {
        noteFree(old);
        noteAllocation(block);
    }
    return block;
}

void __cdecl trackedFree(void* block) {
    examineBeforeFree(block);
    noteFree(block);
    g_tracking.realFree(block);
}

// Replaces the import address table entry of msvcrt!`name` in `module`; returns the old target.
void* patchImport(HMODULE module, const char* name, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         import->Name != 0; ++import) {
        if (_stricmp(reinterpret_cast<const char*>(base + import->Name), "msvcrt.dll") != 0) {
            continue;
        }
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) {
                continue;
            }
            DWORD protection = 0;
            ::VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &protection);
            void* old = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            ::VirtualProtect(&slots->u1.Function, sizeof(void*), protection, &protection);
            return old;
        }
    }
    return nullptr;
}

template <class F>
void redirect(HMODULE dll, const char* name, F replacement, F& real, int& patched) {
    void* old = patchImport(dll, name, reinterpret_cast<void*>(replacement));
    if (old != nullptr) {
        real = reinterpret_cast<F>(old);
        ++patched;
    }
}

template <class F>
void restore(HMODULE dll, const char* name, F real) {
    if (real != nullptr) {
        patchImport(dll, name, reinterpret_cast<void*>(real));
    }
}

}  // namespace

DllHeapTracker::DllHeapTracker(HMODULE dll) : m_dll(dll) {
    clear();
    redirect(dll, "malloc", &trackedMalloc, g_tracking.realMalloc, m_patched);
    redirect(dll, "calloc", &trackedCalloc, g_tracking.realCalloc, m_patched);
    redirect(dll, "realloc", &trackedRealloc, g_tracking.realRealloc, m_patched);
    redirect(dll, "free", &trackedFree, g_tracking.realFree, m_patched);
}

DllHeapTracker::~DllHeapTracker() {
    g_tracking.examine = nullptr;
    restore(m_dll, "malloc", g_tracking.realMalloc);
    restore(m_dll, "calloc", g_tracking.realCalloc);
    restore(m_dll, "realloc", g_tracking.realRealloc);
    restore(m_dll, "free", g_tracking.realFree);
}

std::set<void*> DllHeapTracker::live() const {
    std::lock_guard<std::mutex> lock(g_tracking.mutex);
    return g_tracking.live;
}

size_t DllHeapTracker::frees() const {
    std::lock_guard<std::mutex> lock(g_tracking.mutex);
    return g_tracking.frees;
}

size_t DllHeapTracker::unknownFrees() const {
    std::lock_guard<std::mutex> lock(g_tracking.mutex);
    return g_tracking.unknownFrees;
}

void DllHeapTracker::clear() {
    std::lock_guard<std::mutex> lock(g_tracking.mutex);
    g_tracking.live.clear();
    g_tracking.frees = 0;
    g_tracking.unknownFrees = 0;
}

void DllHeapTracker::examineFrees(void (*examine)(const void*, size_t)) {
    g_tracking.examine = examine;
}
