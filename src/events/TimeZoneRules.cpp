#include "events/TimeZoneRules.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace {

constexpr long long kSecondsFrom1601To1970 = 11644473600LL;
constexpr long long kTicksPerSecond = 10000000LL;
// Farther from a moment than any change of the clocks lasts, nearer than two changes ever come.
constexpr long long kAroundAChange = 26 * 3600LL;

bool toSystemTime(long long secondsSince1970, SYSTEMTIME& out) {
    const long long since1601 = secondsSince1970 + kSecondsFrom1601To1970;
    // FileTimeToSystemTime covers 1601 up to the year 30827.
    if (since1601 < 0 || since1601 > 910692730000LL) {
        return false;
    }
    const unsigned long long ticks = static_cast<unsigned long long>(since1601) * kTicksPerSecond;
    FILETIME fileTime{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return ::FileTimeToSystemTime(&fileTime, &out) != FALSE;
}

bool toSeconds(const SYSTEMTIME& time, long long& secondsSince1970) {
    FILETIME fileTime{};
    if (!::SystemTimeToFileTime(&time, &fileTime)) {
        return false;
    }
    const unsigned long long ticks =
        (static_cast<unsigned long long>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
    secondsSince1970 = static_cast<long long>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970;
    return true;
}

// local - UTC at a UTC moment; false where the rules cannot tell.
bool offsetAtUtc(long long utcSeconds, long long& offset) {
    SYSTEMTIME utc{}, local{};
    long long localSeconds = 0;
    if (!toSystemTime(utcSeconds, utc) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
        !toSeconds(local, localSeconds)) {
        return false;
    }
    offset = localSeconds - utcSeconds;
    return true;
}

long long standardOffset() {
    TIME_ZONE_INFORMATION zone{};
    if (::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) {
        return 0;
    }
    return -60LL * (zone.Bias + zone.StandardBias);
}

struct Resolution {
    long long offset;
    bool single;  // the local time occurs exactly once
};

// The offsets in force a day before and a day after are the only candidates; a candidate fits when the
// moment it gives is really shown as this local time.
Resolution resolve(long long local) {
    long long before = 0, after = 0;
    if (!offsetAtUtc(local - kAroundAChange, before) || !offsetAtUtc(local + kAroundAChange, after)) {
        return {standardOffset(), false};
    }
    long long shown = 0;
    const bool beforeFits = offsetAtUtc(local - before, shown) && shown == before;
    const bool afterFits = after != before && offsetAtUtc(local - after, shown) && shown == after;
    if (beforeFits && afterFits) {
        return {std::max(before, after), false};  // the earlier of the two moments
    }
    if (afterFits) {
        return {after, true};
    }
    return {before, beforeFits};  // a skipped local time keeps the offset before the change
}

}  // namespace

long long utcOffsetAtUtc(long long utcSeconds) {
    long long offset = 0;
    return offsetAtUtc(utcSeconds, offset) ? offset : standardOffset();
}

namespace {

// A kept hour: the hour (seconds since 1970 local / 3600) above 12 bits, its offset in minutes + 2048
// below, in one word so that a reader never pairs an hour with another hour's offset. 0: empty.
struct KeptHour {
    std::atomic<uint64_t> packed{0};
    std::atomic<ULONGLONG> tick{0};  // GetTickCount64 when resolved
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "a kept hour is read without a lock");

constexpr uint64_t kOffsetBits = 12;
constexpr uint64_t kOffsetMask = (1u << kOffsetBits) - 1;
constexpr long long kOffsetBias = 2048;  // minutes; offsets of 34 hours and more are never kept

uint64_t hourBits(long long hour) {
    return static_cast<uint64_t>(hour) << kOffsetBits;
}

}  // namespace

long long utcOffsetOfLocal(long long localSeconds) {
    // Events come in runs stamped within the same hour, and the rules are slow to consult: the offset of a local hour that occurs once, with one offset from its
    // first second to its last, is kept for a second of real time, so that a change of the time zone is
    // seen soon. The hours around a change of the clocks are resolved every time. Read on every event,
    // so the few kept hours are atomic words, not a lock: a reader racing a writer sees either entry
    // whole, at worst with the other's age.
    static KeptHour kept[4];
    static std::atomic<unsigned> next{0};
    const long long hour = localSeconds >= 0 ? localSeconds / 3600 : -((-localSeconds + 3599) / 3600);
    const ULONGLONG tick = ::GetTickCount64();
    for (const KeptHour& entry : kept) {
        const uint64_t packed = entry.packed.load(std::memory_order_acquire);
        if (packed != 0 && (packed & ~kOffsetMask) == hourBits(hour) &&
            tick - entry.tick.load(std::memory_order_relaxed) < 1000) {
            return (static_cast<long long>(packed & kOffsetMask) - kOffsetBias) * 60;
        }
    }
    const Resolution first = resolve(hour * 3600);
    const Resolution last = resolve(hour * 3600 + 3599);
    if (first.single && last.single && first.offset == last.offset) {
        const long long minutes = first.offset / 60;
        if (first.offset % 60 == 0 && minutes > -kOffsetBias && minutes < kOffsetBias) {
            KeptHour& entry = kept[next.fetch_add(1, std::memory_order_relaxed) % 4];
            entry.packed.store(0, std::memory_order_release);
            entry.tick.store(tick, std::memory_order_relaxed);
            entry.packed.store(hourBits(hour) | static_cast<uint64_t>(minutes + kOffsetBias),
                               std::memory_order_release);
        }
        return first.offset;
    }
    return resolve(localSeconds).offset;
}
