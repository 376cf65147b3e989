// Owners for the COM automation resources the gateway receives from the client: a SAFEARRAY, the lock
// on one, and a VARIANT. Each frees what it holds on every path; each out-parameter accessor frees the
// previous value first, so a reused owner never leaks.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <utility>

// Owns a SAFEARRAY (SafeArrayDestroy).
class SafeArrayOwner {
public:
    SafeArrayOwner() = default;
    explicit SafeArrayOwner(SAFEARRAY* array) : m_array(array) {}
    SafeArrayOwner(const SafeArrayOwner&) = delete;
    SafeArrayOwner& operator=(const SafeArrayOwner&) = delete;
    SafeArrayOwner(SafeArrayOwner&& other) noexcept : m_array(std::exchange(other.m_array, nullptr)) {}
    SafeArrayOwner& operator=(SafeArrayOwner&& other) noexcept {
        if (this != &other) {
            reset();
            m_array = std::exchange(other.m_array, nullptr);
        }
        return *this;
    }
    ~SafeArrayOwner() { reset(); }

    SAFEARRAY* get() const { return m_array; }
    SAFEARRAY** ReleaseAndGetAddressOf() {
        reset();
        return &m_array;
    }
    void reset() {
        if (m_array != nullptr) {
            ::SafeArrayDestroy(std::exchange(m_array, nullptr));
        }
    }
    explicit operator bool() const { return m_array != nullptr; }

private:
    SAFEARRAY* m_array = nullptr;
};

// Holds SafeArrayLock on an array for its lifetime. locked() tells whether the lock was taken.
class SafeArrayLockGuard {
public:
    explicit SafeArrayLockGuard(SAFEARRAY* array) : m_array(array) {
        if (m_array != nullptr && FAILED(::SafeArrayLock(m_array))) {
            m_array = nullptr;
        }
    }
    SafeArrayLockGuard(const SafeArrayLockGuard&) = delete;
    SafeArrayLockGuard& operator=(const SafeArrayLockGuard&) = delete;
    ~SafeArrayLockGuard() {
        if (m_array != nullptr) {
            ::SafeArrayUnlock(m_array);
        }
    }
    bool locked() const { return m_array != nullptr; }

private:
    SAFEARRAY* m_array;
};

// Owns a VARIANT (VariantClear).
class VariantOwner {
public:
    VariantOwner() { ::VariantInit(&m_value); }
    VariantOwner(const VariantOwner&) = delete;
    VariantOwner& operator=(const VariantOwner&) = delete;
    ~VariantOwner() { ::VariantClear(&m_value); }

    VARIANT* get() { return &m_value; }
    const VARIANT& value() const { return m_value; }
    // Out-parameter accessor: clears the current value first.
    VARIANT* ReleaseAndGetAddressOf() {
        ::VariantClear(&m_value);
        return &m_value;
    }

private:
    VARIANT m_value;
};
