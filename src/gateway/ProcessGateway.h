// The process-wide gateway object and the rules every export follows to use it.
//
// Lifetime: the object is held by shared ownership. Each export pins the object it works on for its own
// duration, so an export running while another thread closes the gateway finishes against the old object
// and never reads freed memory; the object is freed with the last pin. gateway_Close takes the object
// out of the process-wide pointer and shuts it down at once (event connection withdrawn, client
// disconnected and released), whoever still holds a pin.
//
// Lifecycle: Init, Close and the automatic re-login run one at a time, under one lock.
#pragma once

#include <memory>

#include "support/OwnedMutex.h"
#include "support/Owners.h"

class SiPassGateWay;

namespace processGateway {

using Pin = std::shared_ptr<SiPassGateWay>;

// The gateway object, created on first use. Never null: creation that fails throws, and so does a
// request made on the thread that is creating the object (from the log function its constructor calls).
Pin obtain();

// The current object or null; creates nothing.
Pin current();

// Takes `gateway` out of the process-wide pointer if it is still the current object. False when another
// thread has taken it out already (or replaced it).
bool takeOut(const Pin& gateway);

// gateway_Close's work: takes `gateway` out of the process-wide pointer, ends the connection check, shuts
// the object down, ends the re-login and wipes the credentials; nothing at all when another Close has taken
// it out already. REQUIRES: the lifecycle lock.
void close(const Pin& gateway);

// Closes the current object, if any, under the lifecycle lock (for the library's own tools and tests).
void closeCurrent();

// Serialises Init, Close and the re-login. A thread that holds it and calls in again (from the log
// function) is refused by refusedDuringLifecycle instead of waiting for itself.
OwnedMutex& lifecycleMutex();


// When this thread is inside a host callback of a gateway delivery (an event callback, the disconnect
// callback, or the log function during one): logs "<operation> refused: called from inside a gateway
// callback, ..." with errLog and returns true. Called first by every operation that takes the gateway lock
// or waits for a delivery to end, which would otherwise wait for its own thread forever.
bool refusedInsideCallback(const char* operation);

// When this thread holds the lifecycle lock or is creating the gateway object (the log function called
// back into Init or Close): logs "<operation> refused: called from the log function ..." and returns true.
bool refusedDuringLifecycle(const char* operation);

// True while this thread delivers an event or a state change of any gateway object.
bool insideDelivery();

// Gives back the thread-local slot of the delivery depth when the library is unloaded.
void releaseThreadSlot();

// Marks this thread as delivering for its lifetime (nests).
class DeliveryScope {
public:
    DeliveryScope();
    ~DeliveryScope();
    DeliveryScope(const DeliveryScope&) = delete;
    DeliveryScope& operator=(const DeliveryScope&) = delete;
};

}  // namespace processGateway

namespace owners {

// The lifecycle lock, taken already (try_lock), unlocked by its owner.
struct LifecycleLock {
    using Value = OwnedMutex*;
    static OwnedMutex* empty() { return nullptr; }
    static void release(OwnedMutex* mutex) { mutex->unlock(); }
};

}  // namespace owners

using LifecycleHold = UniqueResource<owners::LifecycleLock>;
