// The gateway's health counters, since the library was loaded. Every counter is a relaxed atomic: the
// event path only adds, and a reader takes a snapshot without any lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "SiPassVormekGateway.h"

namespace statistics {

enum class EventKind { Access = 0, ObjectState = 1, Generic = 2 };

struct Counters {
    std::atomic<uint64_t> received[3]{};
    std::atomic<uint64_t> delivered[3]{};
    std::atomic<uint64_t> droppedTooOld{0};
    std::atomic<uint64_t> withoutCallback{0};
    std::atomic<uint64_t> abandonedAtGetter{0};
    std::atomic<uint64_t> malformedArrays{0};
    std::atomic<uint64_t> hostCallbacksRaised{0};
    std::atomic<uint64_t> connectionLosses{0};
    std::atomic<uint64_t> reloginAttempts{0};
    std::atomic<uint64_t> reloginSuccesses{0};
    // GetTickCount64 at the last event (0: none); turned into a moment only when read (fill), since
    // reading the clock costs more than the rest of the counting.
    std::atomic<uint64_t> lastEventTick{0};
    std::atomic<bool> loggedIn{false};
    // In time-stamp-counter ticks, turned into microseconds when read, so that timing a callback stays
    // cheap (see callHost).
    std::atomic<uint64_t> longestHostCallbackTicks{0};
    // The delivery queue. The times are time-stamp-counter ticks like the callback's.
    std::atomic<uint64_t> queued{0};
    std::atomic<uint64_t> queueHighWater{0};
    std::atomic<uint64_t> queueFullWaits{0};
    std::atomic<uint64_t> queueFullWaitTicks{0};
    std::atomic<uint64_t> discardedAtClose{0};
    std::atomic<uint64_t> longestQueueWaitTicks{0};
    // The connection check.
    std::atomic<uint64_t> checkLosses{0};
    std::atomic<uint64_t> checkFailures{0};
};

Counters& counters();

inline void add(std::atomic<uint64_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
}

void eventReceived(EventKind kind);
// A login (gateway_Init or a re-login) succeeded, now. Reads the system clock, and from now on turns the
// ticks of later events into moments against this reading.
void loggedInNow();
// A host callback took `ticks` of the time-stamp counter.
void hostCallbackTook(uint64_t ticks);
// Raises `highest` to `value` if that is higher.
void raiseTo(std::atomic<uint64_t>& highest, uint64_t value);

// Fills the versions of the caller's record that fit its size; false (after a log line) for null or a
// size below the first version's.
bool fill(GatewayStatistics* statistics);

}  // namespace statistics
