// Calls on the advised sinks of every live client that other parts of the simulator make
// (LiveClients.cpp).
#pragma once

#include "SimEvents.h"

#include <functional>

namespace sim::detail {

// Calls OnEvent with the batch on every sink advised now, on the calling thread.
void deliverOnThisThread(const EventBatch& batch);

// The report of a call fault's lost connection: every live client's connection state becomes 0 and
// OnClientStateChanged(0) is called on every advised sink from a new simulator thread, which calls
// `started` first. Returns once the sink calls have returned, or after timeoutMs. Throws what
// starting a thread throws. REQUIRES: no simulator lock held.
void reportConnectionLoss(unsigned timeoutMs, std::function<void()> started);

}  // namespace sim::detail
