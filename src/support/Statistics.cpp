#include "support/Statistics.h"

#include <cstddef>
#include <cstring>

#include <windows.h>

#include <intrin.h>
#include <string>

#include "events/EventTime.h"
#include "support/HostOptions.h"
#include "support/SimpleLogger.h"

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

// The system clock as milliseconds since 1970-01-01 00:00:00 UTC.
int64_t systemClockUtcMs() {
    constexpr unsigned long long kEpochIn100ns = 116444736000000000ULL;  // 1601-01-01 to 1970-01-01
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks > kEpochIn100ns ? static_cast<int64_t>((ticks - kEpochIn100ns) / 10000) : 0;
}

// The tick count and the system clock, read together. The tick of an event becomes the moment
// utcMs + (tick - this tick): the event path reads no clock, and the moment of a given tick stays the same
// from one read of the statistics to the next.
struct TimeBase {
    uint64_t tick = 0;
    int64_t utcMs = 0;

    static TimeBase now() {
        TimeBase base;
        base.tick = ::GetTickCount64();
        base.utcMs = systemClockUtcMs();
        return base;
    }
    int64_t momentOf(uint64_t eventTick) const {
        return utcMs + (static_cast<int64_t>(eventTick) - static_cast<int64_t>(tick));
    }
};

// The moments behind the statistics' times. The base is taken at load and again at each login, so that
// a change of the system clock (set by hand or by time synchronisation) counts from the next login
// on; before it is replaced, the last event's moment by the old base is pinned, so that the replacement
// does not move it. The event path never takes the lock.
struct Moments {
    SRWLOCK lock = SRWLOCK_INIT;
    TimeBase base = TimeBase::now();  // guarded by lock, like the fields below
    uint64_t pinnedEventTick = 0;     // the last event when the base was last replaced (0: none) ...
    int64_t pinnedEventUtcMs = 0;     // ... and its moment by the base it arrived under
    int64_t lastLoginUtcMs = 0;       // 0: none
};
Moments g_Moments;

// Milliseconds to the nearest second, halves away from zero.
int64_t roundedSeconds(int64_t ms) {
    return ms >= 0 ? (ms + 500) / 1000 : -((500 - ms) / 1000);
}

}  // namespace

void eventReceived(EventKind kind) {
    Counters& c = counters();
    add(c.received[static_cast<int>(kind)]);
    c.lastEventTick.store(::GetTickCount64(), std::memory_order_relaxed);
}

void loggedInNow() {
    const TimeBase now = TimeBase::now();
    ::AcquireSRWLockExclusive(&g_Moments.lock);
    const uint64_t eventTick = counters().lastEventTick.load(std::memory_order_relaxed);
    if (eventTick != 0 && eventTick != g_Moments.pinnedEventTick) {
        g_Moments.pinnedEventTick = eventTick;
        g_Moments.pinnedEventUtcMs = g_Moments.base.momentOf(eventTick);
    }
    g_Moments.base = now;
    g_Moments.lastLoginUtcMs = now.utcMs;
    ::ReleaseSRWLockExclusive(&g_Moments.lock);
    counters().loggedIn.store(true, std::memory_order_relaxed);
}

void raiseTo(std::atomic<uint64_t>& highest, uint64_t value) {
    uint64_t known = highest.load(std::memory_order_relaxed);
    while (value > known && !highest.compare_exchange_weak(known, value, std::memory_order_relaxed)) {
    }
}

void hostCallbackTook(uint64_t ticks) {
    raiseTo(counters().longestHostCallbackTicks, ticks);
}

bool fill(GatewayStatistics* statistics) {
    constexpr uint32_t kFirstVersionSize = GATEWAY_STATISTICS_V1_SIZE;
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
    const bool second = statistics->size >= sizeof(GatewayStatistics);
    filled.size = second ? sizeof(GatewayStatistics) : kFirstVersionSize;
    filled.version = second ? 2 : 1;
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
    // Both times from one reading of the options, whole seconds like every time the gateway hands the
    // host, local ones by the same time-zone rules as event times.
    const options::Snapshot hostOptions = options::snapshot();
    ::AcquireSRWLockShared(&g_Moments.lock);
    const TimeBase base = g_Moments.base;
    const uint64_t pinnedEventTick = g_Moments.pinnedEventTick;
    const int64_t pinnedEventUtcMs = g_Moments.pinnedEventUtcMs;
    const int64_t lastLoginUtcMs = g_Moments.lastLoginUtcMs;
    ::ReleaseSRWLockShared(&g_Moments.lock);
    auto hostMs = [&](int64_t utcMs) {
        return static_cast<uint64_t>(hostEpochMsOfUtc(roundedSeconds(utcMs), hostOptions));
    };
    const uint64_t eventTick = c.lastEventTick.load(std::memory_order_relaxed);
    if (eventTick != 0) {
        filled.lastEventReceivedMs =
            hostMs(eventTick == pinnedEventTick ? pinnedEventUtcMs : base.momentOf(eventTick));
    }
    filled.lastLoginMs = lastLoginUtcMs != 0 ? hostMs(lastLoginUtcMs) : 0;
    filled.loggedIn = c.loggedIn.load(std::memory_order_relaxed) ? 1 : 0;
    filled.longestHostCallbackUs = ticksToMicroseconds(get(c.longestHostCallbackTicks));
    filled.eventsQueued = get(c.queued);
    filled.queueHighWater = get(c.queueHighWater);
    filled.queueFullWaits = get(c.queueFullWaits);
    filled.queueFullWaitUs = ticksToMicroseconds(get(c.queueFullWaitTicks));
    filled.eventsDiscardedAtClose = get(c.discardedAtClose);
    filled.longestQueueWaitUs = ticksToMicroseconds(get(c.longestQueueWaitTicks));
    filled.connectionCheckLosses = get(c.checkLosses);
    filled.connectionCheckFailures = get(c.checkFailures);
    // An older host's record gets its own version only; a newer host's larger one keeps what lies beyond
    // this version's fields.
    std::memcpy(statistics, &filled, filled.size);
    return true;
}

}  // namespace statistics
