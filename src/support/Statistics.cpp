#include "Statistics.h"

#include <cstddef>
#include <cstring>

#include <windows.h>

#include <intrin.h>
#include <string>

#include "EventTime.h"
#include "HostOptions.h"
#include "SimpleLogger.h"

namespace statistics {

Counters& counters() {
    static auto* const instance = new Counters;
    return *instance;
}

namespace {

// A pair of readings of the performance counter and the time-stamp counter, taken when the library is
// loaded; a second pair at read time gives the time-stamp counter's rate.
struct ClockPair {
    LARGE_INTEGER counter{};
    uint64_t stamp = 0;
    static ClockPair now() {
        ClockPair pair;
        ::QueryPerformanceCounter(&pair.counter);
        pair.stamp = __rdtsc();
        return pair;
    }
};
const ClockPair g_Loaded = ClockPair::now();

uint64_t ticksToMicroseconds(uint64_t ticks) {
    LARGE_INTEGER frequency{};
    ::QueryPerformanceFrequency(&frequency);
    const ClockPair now = ClockPair::now();
    const double seconds = static_cast<double>(now.counter.QuadPart - g_Loaded.counter.QuadPart) /
                           static_cast<double>(frequency.QuadPart > 0 ? frequency.QuadPart : 1);
    const double rate =
        now.stamp > g_Loaded.stamp && seconds > 0 ? (now.stamp - g_Loaded.stamp) / seconds : 0;
    return rate > 0 ? static_cast<uint64_t>(static_cast<double>(ticks) * 1e6 / rate) : 0;
}

}  // namespace

void eventReceived(EventKind kind) {
    Counters& c = counters();
    add(c.received[static_cast<int>(kind)]);
    c.lastEventTick.store(::GetTickCount64(), std::memory_order_relaxed);
}

void loggedInNow() {
    Counters& c = counters();
    c.lastLoginTick.store(::GetTickCount64(), std::memory_order_relaxed);
    c.loggedIn.store(true, std::memory_order_relaxed);
}

void hostCallbackTook(uint64_t ticks) {
    std::atomic<uint64_t>& longest = counters().longestHostCallbackTicks;
    uint64_t known = longest.load(std::memory_order_relaxed);
    while (ticks > known && !longest.compare_exchange_weak(known, ticks, std::memory_order_relaxed)) {
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
    // Both times from one reading of the clock, so that they keep their order; whole seconds, like every
    // time the gateway hands the host.
    const CurrentTime now = currentTime();
    const int64_t nowMs = options::snapshot().utcTimes() ? now.utcSeconds * 1000 : toEpochMs(now.local);
    const uint64_t nowTick = ::GetTickCount64();
    auto timeOf = [&](uint64_t tick) -> uint64_t {
        if (tick == 0) {
            return 0;
        }
        const int64_t ms = nowMs - static_cast<int64_t>(nowTick - tick);
        return static_cast<uint64_t>((ms + 500) / 1000 * 1000);
    };
    filled.lastEventReceivedMs = timeOf(c.lastEventTick.load(std::memory_order_relaxed));
    filled.lastLoginMs = timeOf(c.lastLoginTick.load(std::memory_order_relaxed));
    filled.loggedIn = c.loggedIn.load(std::memory_order_relaxed) ? 1 : 0;
    filled.longestHostCallbackUs = ticksToMicroseconds(get(c.longestHostCallbackTicks));
    // A newer host's larger record keeps what lies beyond this version's fields.
    std::memcpy(statistics, &filled, kFirstVersionSize);
    return true;
}

}  // namespace statistics
