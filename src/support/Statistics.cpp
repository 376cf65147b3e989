#include "Statistics.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "EventTime.h"
#include "SimpleLogger.h"

namespace statistics {

Counters& counters() {
    static auto* const instance = new Counters;
    return *instance;
}

void eventReceived(EventKind kind) {
    Counters& c = counters();
    add(c.received[static_cast<int>(kind)]);
    c.lastEventReceivedMs.store(toEpochMs(localNow()), std::memory_order_relaxed);
}

void loggedInNow() {
    Counters& c = counters();
    c.lastLoginMs.store(toEpochMs(localNow()), std::memory_order_relaxed);
    c.loggedIn.store(true, std::memory_order_relaxed);
}

void hostCallbackTook(uint64_t microseconds) {
    std::atomic<uint64_t>& longest = counters().longestHostCallbackUs;
    uint64_t known = longest.load(std::memory_order_relaxed);
    while (microseconds > known &&
           !longest.compare_exchange_weak(known, microseconds, std::memory_order_relaxed)) {
    }
}

bool fill(GatewayStatistics* statistics) {
    constexpr uint32_t kFirstVersionSize = sizeof(GatewayStatistics);
    if (statistics == nullptr || statistics->size < kFirstVersionSize) {
        SimpleLogger::GetInstance()->errLog(
            "gateway_GetStatistics: the record is null or its size (" +
            std::string(statistics == nullptr ? "-" : std::to_string(statistics->size)) +
            ") is below 160; set size to sizeof(GatewayStatistics) first.");
        return false;
    }
    const Counters& c = counters();
    auto get = [](const std::atomic<uint64_t>& counter) { return counter.load(std::memory_order_relaxed); };
    GatewayStatistics filled{};
    filled.size = kFirstVersionSize;
    filled.version = 1;
    filled.accessEventsReceived = get(c.received[0]);
    filled.objectStateEventsReceived = get(c.received[1]);
    filled.genericEventsReceived = get(c.received[2]);
    filled.accessEventsDelivered = get(c.delivered[0]);
    filled.objectStateEventsDelivered = get(c.delivered[1]);
    filled.genericEventsDelivered = get(c.delivered[2]);
    filled.eventsDroppedTooOld = get(c.droppedTooOld);
    filled.eventsWithoutCallback = get(c.withoutCallback);
    filled.eventsAbandonedAtGetter = get(c.abandonedAtGetter);
    filled.malformedArrays = get(c.malformedArrays);
    filled.hostCallbacksRaised = get(c.hostCallbacksRaised);
    filled.logCallsRaised = static_cast<uint64_t>(SimpleLogger::GetInstance()->raisedLines());
    filled.connectionLosses = get(c.connectionLosses);
    filled.reloginAttempts = get(c.reloginAttempts);
    filled.reloginSuccesses = get(c.reloginSuccesses);
    filled.lastEventReceivedMs = static_cast<uint64_t>(c.lastEventReceivedMs.load(std::memory_order_relaxed));
    filled.lastLoginMs = static_cast<uint64_t>(c.lastLoginMs.load(std::memory_order_relaxed));
    filled.loggedIn = c.loggedIn.load(std::memory_order_relaxed) ? 1 : 0;
    filled.longestHostCallbackUs = get(c.longestHostCallbackUs);
    // A newer host's larger record keeps what lies beyond this version's fields.
    std::memcpy(statistics, &filled, kFirstVersionSize);
    return true;
}

}  // namespace statistics
