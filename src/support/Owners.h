// Small owners for the Win32 resources the gateway takes: each frees its resource on every path.
#pragma once

#include <windows.h>

#include <utility>

// A kernel handle closed with CloseHandle.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : m_handle(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return m_handle; }
    // Out-parameter accessor: closes the current handle first.
    HANDLE* put() {
        reset();
        return &m_handle;
    }
    void reset() {
        if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(m_handle);
        }
        m_handle = nullptr;
    }

private:
    HANDLE m_handle = nullptr;
};

// A zero-filled block of the process heap.
class ProcessHeapBlock {
public:
    explicit ProcessHeapBlock(size_t size)
        : m_block(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size)) {}
    ProcessHeapBlock(const ProcessHeapBlock&) = delete;
    ProcessHeapBlock& operator=(const ProcessHeapBlock&) = delete;
    ~ProcessHeapBlock() {
        if (m_block != nullptr) {
            ::HeapFree(::GetProcessHeap(), 0, m_block);
        }
    }
    void* get() const { return m_block; }

private:
    void* m_block;
};
