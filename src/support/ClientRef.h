// The owner of one counted reference to a COM object the gateway does not trust to behave: the client's
// objects, and the sink forwarder the client holds. Its meaning is the same on every toolchain, unlike
// ComPtr::Attach (MinGW-w64's adds a reference, Microsoft's takes the caller's over): adopt() takes the
// caller's reference over, put() receives an out parameter's, and nothing else creates one.
//
// Every AddRef and Release it makes runs under the structured-exception guard, with nothing owned between
// the guard and the call: a client whose Release raises loses that reference (the object stays alive, as
// its own fault leaves it) and nothing else, so the frames that own secrets and other references around it
// are never abandoned.
#pragma once

#include <windows.h>

#include <wrl/client.h>

#include <utility>

#include "support/Boundary.h"
#include "support/SehGuard.h"

namespace clientref {

// Releases one reference under the guard; what the release raised is logged as
// "Exception in IUnknown::Release: ...".
inline void release(IUnknown* object) noexcept {
    const seh::Outcome outcome = seh::runGuarded([object] { object->Release(); });
    boundary::reportFailure("Exception in ", "IUnknown::Release", outcome, "");
}

}  // namespace clientref

template <class T>
class ClientRef {
public:
    ClientRef() = default;
    ClientRef(const ClientRef&) = delete;
    ClientRef& operator=(const ClientRef&) = delete;
    ClientRef(ClientRef&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    ClientRef& operator=(ClientRef&& other) noexcept {
        if (this != &other) {
            reset();
            m_ptr = std::exchange(other.m_ptr, nullptr);
        }
        return *this;
    }
    ~ClientRef() { reset(); }

    // Takes over the reference the caller holds (a new object's first one).
    static ClientRef adopt(T* object) noexcept {
        ClientRef owner;
        owner.m_ptr = object;
        return owner;
    }

    T* get() const noexcept { return m_ptr; }
    T* operator->() const noexcept { return m_ptr; }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }

    // Out-parameter accessors: release the current reference first.
    T** put() noexcept {
        reset();
        return &m_ptr;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

    void reset() noexcept {
        if (T* object = std::exchange(m_ptr, nullptr)) {
            clientref::release(object);
        }
    }

    // Hands the reference over to the caller, who releases it.
    T* release() noexcept { return std::exchange(m_ptr, nullptr); }

    void swap(ClientRef& other) noexcept { std::swap(m_ptr, other.m_ptr); }

    // A reference of its own to the same object, for code that works on it outside the owner's lock; the
    // AddRef runs under the guard. Null when the AddRef raised, which is logged as
    // "Exception in IUnknown::AddRef: ..." unless the caller takes the outcome in `raised` to report it as
    // its own.
    ClientRef share(seh::Outcome* raised = nullptr) const noexcept { return shareOf(m_ptr, raised); }

    // As share(), for an object the caller only borrows (an element of the client's array).
    static ClientRef shareOf(T* object, seh::Outcome* raised = nullptr) noexcept {
        ClientRef shared;
        if (object != nullptr) {
            const seh::Outcome outcome = seh::runGuarded([object] { object->AddRef(); });
            if (outcome.succeeded()) {
                shared.m_ptr = object;
            } else if (raised != nullptr) {
                *raised = outcome;
            } else {
                boundary::reportFailure("Exception in ", "IUnknown::AddRef", outcome, "");
            }
        }
        return shared;
    }

private:
    T* m_ptr = nullptr;
};
