// The owner of an array of objects the client handed over: its door and point answers, and the copy of
// an event array.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <utility>

#include "com/ComOwners.h"

// Owns an array the client returned. Before the array is destroyed, every object reference it holds
// directly (a VT_UNKNOWN or VT_DISPATCH element of a VARIANT array, an element of an array of interface
// pointers) is taken out and released under the guard, as a ClientRef releases: a client whose Release
// raises keeps that one object, and SafeArrayDestroy does not stop halfway on it, which would leave the
// array and the rest of its elements behind. References held deeper (in an array or a record inside an
// element) are left to SafeArrayDestroy, unguarded: the client returns neither.
class ClientArray {
public:
    ClientArray() = default;
    ClientArray(const ClientArray&) = delete;
    ClientArray& operator=(const ClientArray&) = delete;
    ClientArray(ClientArray&& other) noexcept = default;
    ClientArray& operator=(ClientArray&& other) noexcept {
        if (this != &other) {
            reset();
            m_array = std::move(other.m_array);
        }
        return *this;
    }
    ~ClientArray() { reset(); }

    SAFEARRAY* get() const { return m_array.get(); }
    // Out-parameter accessor: frees the current array first.
    SAFEARRAY** ReleaseAndGetAddressOf() {
        reset();
        return m_array.ReleaseAndGetAddressOf();
    }
    explicit operator bool() const { return static_cast<bool>(m_array); }
    void reset() noexcept;

private:
    SafeArrayOwner m_array;
};
