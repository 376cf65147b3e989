#include "gateway/ProcessGateway.h"

#include <windows.h>

#include <stdexcept>
#include <string>

#include <boost/thread/lock_guard.hpp>

#include "gateway/ConnectionCheck.h"
#include "gateway/Reconnect.h"
#include "gateway/SiPassGateWay.h"
#include "support/LastError.h"
#include "support/SimpleLogger.h"
#include "support/Statistics.h"

namespace processGateway {
namespace {

// Guarded by g_PointerLock: shared to read and copy, exclusive to set or clear. Nothing foreign runs
// while it is held (a copy of a shared_ptr only counts). Never destroyed: an object still open when the
// library is unloaded is left alone, since shutting it down there would call the client and wait for
// its threads under the loader lock.
Pin& g_Gateway = *new Pin;
SRWLOCK g_PointerLock = SRWLOCK_INIT;
// Serialises creation. The constructor logs, so the host's log function runs while it is held.
OwnedMutex g_CreationMutex;
OwnedMutex g_LifecycleMutex;

// This thread's delivery depth, in a TLS slot taken when the library is loaded (no heap block per thread).
DWORD g_DeliverySlot = ::TlsAlloc();

Pin read() {
    ::AcquireSRWLockShared(&g_PointerLock);
    Pin gateway = g_Gateway;
    ::ReleaseSRWLockShared(&g_PointerLock);
    return gateway;
}

uintptr_t deliveryDepth() {
    return g_DeliverySlot == TLS_OUT_OF_INDEXES ? 0
                                                : reinterpret_cast<uintptr_t>(::TlsGetValue(g_DeliverySlot));
}

void setDeliveryDepth(uintptr_t depth) {
    if (g_DeliverySlot != TLS_OUT_OF_INDEXES) {
        ::TlsSetValue(g_DeliverySlot, reinterpret_cast<void*>(depth));
    }
}

}  // namespace

Pin obtain() {
    if (Pin gateway = read()) {
        return gateway;
    }
    if (g_CreationMutex.heldByThisThread()) {
        throw std::logic_error("the gateway object is being created on this thread");
    }
    boost::lock_guard<OwnedMutex> creating(g_CreationMutex);
    if (Pin gateway = read()) {
        return gateway;
    }
    Pin created = std::make_shared<SiPassGateWay>();
    ::AcquireSRWLockExclusive(&g_PointerLock);
    g_Gateway = created;
    ::ReleaseSRWLockExclusive(&g_PointerLock);
    return created;
}

Pin current() {
    return read();
}

bool takeOut(const Pin& gateway) {
    Pin taken;
    ::AcquireSRWLockExclusive(&g_PointerLock);
    const bool current = g_Gateway == gateway;
    if (current) {
        taken.swap(g_Gateway);
    }
    ::ReleaseSRWLockExclusive(&g_PointerLock);
    // `taken` lets go of its reference here, outside the lock; the caller still holds one.
    return current;
}

void close(const Pin& gateway) {
    // A Close whose object another Close has taken out already is late: what the host did since (an Init
    // that logged in again) is not its to end.
    if (!takeOut(gateway)) {
        return;
    }
    // A check in progress hands its finding to the object before the object is shut down; none follows.
    connectionCheck::stop();
    gateway->shutdown();
    statistics::counters().loggedIn.store(false, std::memory_order_relaxed);
    // No delivery of the old object runs any more, so nothing schedules an attempt after this; one
    // scheduled before is cancelled, and the supervisor thread ends.
    reconnect::stop();
    reconnect::wipeCredentials();
}

void closeCurrent() {
    boost::lock_guard<OwnedMutex> lifecycle(g_LifecycleMutex);
    if (Pin gateway = current()) {
        close(gateway);
    }
}

OwnedMutex& lifecycleMutex() {
    return g_LifecycleMutex;
}

bool insideDelivery() {
    return deliveryDepth() != 0;
}

bool refusedInsideCallback(const char* operation) {
    if (insideDelivery()) {
        SimpleLogger::GetInstance()->errLog(
            std::string(operation) +
            " refused: called from inside a gateway callback, which runs while the gateway delivers an "
            "event. Call it from another thread.");
        lastError::note(GATEWAY_E_INSIDE_CALLBACK);
        return true;
    }
    return false;
}

bool refusedDuringLifecycle(const char* operation) {
    if (g_LifecycleMutex.heldByThisThread() || g_CreationMutex.heldByThisThread()) {
        SimpleLogger::GetInstance()->errLog(std::string(operation) +
                                            " refused: called from the log function while this thread "
                                            "logs in, closes or creates the gateway. Call it from another "
                                            "thread.");
        lastError::note(GATEWAY_E_INSIDE_LOG);
        return true;
    }
    return false;
}

void releaseThreadSlot() {
    if (g_DeliverySlot != TLS_OUT_OF_INDEXES) {
        ::TlsFree(g_DeliverySlot);
        g_DeliverySlot = TLS_OUT_OF_INDEXES;
    }
}

DeliveryScope::DeliveryScope() {
    setDeliveryDepth(deliveryDepth() + 1);
}

DeliveryScope::~DeliveryScope() {
    setDeliveryDepth(deliveryDepth() - 1);
}

}  // namespace processGateway
