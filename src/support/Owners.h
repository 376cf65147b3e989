// One owner for every resource the gateway takes that is not a COM reference: a value and the function
// that gives it back, run once on every path (early returns and exceptions included). Each resource is a
// one-line alias of UniqueResource with a small release policy; COM references have ClientRef.
#pragma once

#include <windows.h>

#include <utility>

// Owns one `Policy::Value`. `Policy` gives `static Value empty()` (the value that owns nothing) and
// `static void release(Value&)`, called once for a value that is not empty.
template <class Policy>
class UniqueResource {
public:
    using Value = typename Policy::Value;

    UniqueResource() = default;
    explicit UniqueResource(Value value) : m_value(std::move(value)) {}
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    const Value& get() const { return m_value; }
    explicit operator bool() const { return !(m_value == Policy::empty()); }

    // Out-parameter accessor: gives back the current value first.
    Value* put() {
        reset();
        return &m_value;
    }
    // Gives back the current value, then owns `value`.
    void reset(Value value = Policy::empty()) {
        Value old = std::exchange(m_value, std::move(value));
        if (!(old == Policy::empty())) {
            Policy::release(old);
        }
    }
    // Stops owning the value and hands it to the caller.
    Value release() { return std::exchange(m_value, Policy::empty()); }

private:
    Value m_value = Policy::empty();
};

namespace owners {

struct KernelHandle {
    using Value = HANDLE;
    static HANDLE empty() { return nullptr; }
    static void release(HANDLE handle) {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
};

struct ProcessHeap {
    using Value = void*;
    static void* empty() { return nullptr; }
    static void release(void* block) { ::HeapFree(::GetProcessHeap(), 0, block); }
};

}  // namespace owners

// A kernel handle closed with CloseHandle.
using UniqueHandle = UniqueResource<owners::KernelHandle>;
// A block of the process heap, freed with HeapFree.
using ProcessHeapBlock = UniqueResource<owners::ProcessHeap>;
