#include "TimeZoneRules.h"

#include <windows.h>

#include <algorithm>

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

long long utcOffsetOfLocal(long long localSeconds) {
    // Events come in runs stamped within the same hour, and the rules are slow to consult (a few
    // microseconds under Wine): the offset of a local hour that occurs once, with one offset from its
    // first second to its last, is kept for a second of real time, so that a change of the time zone is
    // seen soon. The hours around a change of the clocks are resolved every time. Fixed slots under a
    // slim lock, like the other caches of event times.
    struct HourOffset {
        long long hour;
        long long offset;
        ULONGLONG tick;  // GetTickCount64 when resolved; 0: empty slot
    };
    static SRWLOCK lock = SRWLOCK_INIT;
    static HourOffset recent[4];
    static unsigned next = 0;
    const long long hour = localSeconds >= 0 ? localSeconds / 3600 : -((-localSeconds + 3599) / 3600);
    const ULONGLONG tick = ::GetTickCount64();
    ::AcquireSRWLockShared(&lock);
    for (const HourOffset& entry : recent) {
        if (entry.tick != 0 && entry.hour == hour && tick - entry.tick < 1000) {
            const long long offset = entry.offset;
            ::ReleaseSRWLockShared(&lock);
            return offset;
        }
    }
    ::ReleaseSRWLockShared(&lock);
    const Resolution first = resolve(hour * 3600);
    const Resolution last = resolve(hour * 3600 + 3599);
    if (first.single && last.single && first.offset == last.offset) {
        ::AcquireSRWLockExclusive(&lock);
        recent[next++ % 4] = HourOffset{hour, first.offset, tick == 0 ? 1 : tick};
        ::ReleaseSRWLockExclusive(&lock);
        return first.offset;
    }
    return resolve(localSeconds).offset;
}
