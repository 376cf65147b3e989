// Event times. The client delivers OLE automation dates (days since 1899-12-30, local wall-clock time of
// this computer); the host receives milliseconds since 1970-01-01 00:00:00 in the same local time base,
// or in UTC when it asked for it, and the debug lines show "%H:%M:%S %A, %B %d, %Y" (always local).
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>

#include "support/HostOptions.h"

// A date and whether it is valid. Dates read from events are always valid; only localNow can produce an
// invalid one (the local time was unavailable).
struct EventDate {
    double value = 0;
    bool valid = true;
};

// 1970-01-01 00:00:00 as an OLE automation date, built once when the library is loaded.
const EventDate& epochDate();

// The current time in whole seconds: the local date, and the same second since 1970-01-01 00:00:00 UTC.
struct CurrentTime {
    EventDate local;
    long long utcSeconds = 0;
};
CurrentTime currentTime();

// The current local time, in whole seconds.
EventDate localNow();

// The local time of a time in seconds since 1970-01-01 00:00:00 UTC (_time64); invalid when the C runtime
// cannot convert it.
EventDate localTimeOf(__time64_t time);

// Milliseconds from the epoch to `date`, rounded to the nearest second (halves away from zero) and
// times 1000; negative before 1970. Dates before 1899-12-30 count with their continuous value. A NaN date
// gives 0; a date whose milliseconds do not fit in 64 bits (infinities included) gives
// +-9223372036854775000, the nearest whole second that does.
long long toEpochMs(const EventDate& date);

// Milliseconds from 1970-01-01 00:00:00 UTC to the local date `date`, read with this computer's
// time-zone rules (see utcSecondsOf); NaN and out-of-range dates as toEpochMs.
long long toUtcEpochMs(const EventDate& date);

// toUtcEpochMs when `options` ask for UTC times, toEpochMs otherwise. An event passes the one reading of
// the options it takes for all its values; the one-argument form reads them itself, for a query that
// hands over a single time.
long long hostEpochMs(const EventDate& date, const options::Snapshot& options);
long long hostEpochMs(const EventDate& date);

// The milliseconds the host receives for a moment given as seconds since 1970-01-01 00:00:00 UTC: the
// moment itself when `options` ask for UTC times, else the local wall-clock time that the time-zone rules
// show at that moment (the rules event times are read with, not the C runtime's TZ).
long long hostEpochMsOfUtc(long long utcSeconds, const options::Snapshot& options);

// The UTC second of a local date, rounded like toEpochMs. A local time that occurs twice (the hour the
// clocks go back) is read as its first occurrence; one that does not occur (the hour skipped when they go
// forward) with the offset in force before the change. A date outside what the time-zone rules cover
// (before 1601) uses the zone's standard offset. NaN gives 0; a saturated date stays saturated.
long long utcSecondsOf(const EventDate& date);

// An event's timestamp in the two forms the gateway needs: its UTC second for the age, and the
// milliseconds the host receives (hostEpochMs with `options`), from one reading of the time-zone rules.
struct EventStamp {
    EventDate date;
    long long utcSeconds;
    long long hostMs;
};
EventStamp stampOf(const EventDate& date, const options::Snapshot& options);

// True when the event stamped `timestamp` (local) is more than `limitSeconds` old at `now` (strictly
// greater). The age is the real time elapsed: both moments in UTC, so the hour the clocks jump neither
// ages nor rejuvenates an event. A timestamp in the future has a negative age and is kept while the limit
// is zero or more. A NaN timestamp has the age 0; an invalid `now` makes every event young.
bool isEventTooOld(const EventStamp& stamp, const CurrentTime& now, int limitSeconds);
bool isEventTooOld(const EventDate& timestamp, const CurrentTime& now, int limitSeconds);
// The same with a local `now`, itself read through the time-zone rules.
bool isEventTooOld(const EventDate& timestamp, const EventDate& now, int limitSeconds);

// "12:00:00 Thursday, January 01, 1970", or "Invalid DateTime" (also for NaN and infinite dates).
std::wstring formatEventTime(const EventDate& date);
// Appends the narrow form of formatEventTime (wstr2str) without building either string.
void appendEventTime(std::string& out, const EventDate& date);
