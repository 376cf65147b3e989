#include "events/EventTime.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <clocale>
#include <cwchar>

#include "support/HostOptions.h"
#include "events/TimeZoneRules.h"
#include "support/Win32Helper.h"

// The locale ids of the C runtime's current locale, by category (msvcrt; the headers do not declare it).
extern "C" __declspec(dllimport) LCID* __cdecl ___lc_handle_func(void);

namespace {

// Half a second in days: the rounding constant of every conversion from days to seconds.
constexpr double kHalfSecondInDays = 0.5 / 86400;

EventDate makeEpochDate() {
    SYSTEMTIME epoch{};
    epoch.wYear = 1970;
    epoch.wMonth = 1;
    epoch.wDay = 1;
    EventDate date;
    date.valid = ::SystemTimeToVariantTime(&epoch, &date.value) != FALSE;
    return date;
}

// The text of a date that is not valid or cannot be taken apart.
constexpr wchar_t kInvalidText[] = L"Invalid DateTime";

std::wstring formatUncached(const EventDate& date);

// Built by a static initialiser at load, before any export can run.
const EventDate g_EpochDate = makeEpochDate();

// OLE dates below zero count whole days backwards and the fraction forwards (-1.25 is 1899-12-29 06:00);
// this gives the number on a continuous scale (-0.75 for -1.25).
double continuousValue(double days) {
    if (days > -kHalfSecondInDays || !std::isfinite(days)) {
        return days;
    }
    double whole = std::ceil(days);
    return whole - (days - whole);
}

// The largest whole number of seconds whose milliseconds fit in 64 bits.
constexpr long long kMaxSeconds = 9223372036854775LL;

// Days to whole seconds, to the nearest second with halves away from zero. A date sent by a faulty or
// hostile client may be anything: NaN gives 0, and values beyond kMaxSeconds (infinities included) give
// kMaxSeconds with their sign, so neither this conversion nor the milliseconds made from it overflow.
long long daysToSeconds(double days) {
    if (std::isnan(days)) {
        return 0;
    }
    const double seconds = (days >= 0 ? days + kHalfSecondInDays : days - kHalfSecondInDays) * 86400;
    if (seconds >= static_cast<double>(kMaxSeconds)) {
        return kMaxSeconds;
    }
    if (seconds <= -static_cast<double>(kMaxSeconds)) {
        return -kMaxSeconds;
    }
    return static_cast<long long>(seconds);
}

// The seconds since 1970 (UTC), as _time64 gives them, and the milliseconds already gone of that second.
// Read from the system clock directly: _time64 also consults the time zone, which costs about as much as
// the rest of an event's handling.
__time64_t currentSecond(unsigned& millisecondsIntoIt) {
    constexpr unsigned long long kEpochIn100ns = 116444736000000000ULL;  // 1601-01-01 to 1970-01-01
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    if (ticks < kEpochIn100ns) {
        millisecondsIntoIt = 0;
        return -1;
    }
    millisecondsIntoIt = static_cast<unsigned>((ticks - kEpochIn100ns) % 10000000ULL / 10000ULL);
    return static_cast<__time64_t>((ticks - kEpochIn100ns) / 10000000ULL);
}

// Farther from the end of a second than the tick count can lag behind the clock (its steps are about
// 16 ms on Windows).
constexpr ULONGLONG kTickMarginMs = 50;

}  // namespace

const EventDate& epochDate() {
    return g_EpochDate;
}

CurrentTime currentTime() {
    // The conversion below costs more than the rest of an event's handling; within one second its result
    // cannot change, so the last second converted is kept. (Only a change of the time zone within that
    // second would be seen a second later.) Reading the clock costs a tenth of an event's handling under
    // Wine, so until shortly before the kept second ends, as the tick count (nearly free) tells, the clock
    // is not read at all. A plain static under a slim lock, not thread_local: this toolchain's
    // thread-local storage takes heap blocks per thread.
    static SRWLOCK lock = SRWLOCK_INIT;
    static __time64_t lastSecond = -1;
    static EventDate lastDate{0, false};
    static ULONGLONG keptUntilTick = 0;  // the kept second is still current before this tick
    const ULONGLONG tick = ::GetTickCount64();
    ::AcquireSRWLockShared(&lock);
    if (tick < keptUntilTick) {
        const CurrentTime kept{lastDate, lastSecond};
        ::ReleaseSRWLockShared(&lock);
        return kept;
    }
    ::ReleaseSRWLockShared(&lock);
    unsigned millisecondsIntoIt = 0;
    const __time64_t now = currentSecond(millisecondsIntoIt);
    const ULONGLONG left = 1000 - millisecondsIntoIt;  // counted from after the tick was read: a lower bound
    const ULONGLONG until = now != -1 && left > kTickMarginMs ? tick + left - kTickMarginMs : 0;
    ::AcquireSRWLockShared(&lock);
    const bool known = now == lastSecond && now != -1;
    const EventDate knownDate = lastDate;
    ::ReleaseSRWLockShared(&lock);
    const EventDate date = known ? knownDate : localTimeOf(now);
    ::AcquireSRWLockExclusive(&lock);
    lastSecond = now;
    lastDate = date;
    keptUntilTick = until;
    ::ReleaseSRWLockExclusive(&lock);
    return CurrentTime{date, now};
}

EventDate localNow() {
    return currentTime().local;
}

EventDate localTimeOf(__time64_t now) {
    struct tm local {};
    if (_localtime64_s(&local, &now) != 0) {
        return EventDate{0, false};
    }
    SYSTEMTIME fields{};
    fields.wYear = static_cast<WORD>(local.tm_year + 1900);
    fields.wMonth = static_cast<WORD>(local.tm_mon + 1);
    fields.wDayOfWeek = static_cast<WORD>(local.tm_wday);
    fields.wDay = static_cast<WORD>(local.tm_mday);
    fields.wHour = static_cast<WORD>(local.tm_hour);
    fields.wMinute = static_cast<WORD>(local.tm_min);
    fields.wSecond = static_cast<WORD>(local.tm_sec);
    EventDate date;
    SYSTEMTIME back{};
    date.valid = ::SystemTimeToVariantTime(&fields, &date.value) &&
                 ::VariantTimeToSystemTime(date.value, &back) && back.wYear == fields.wYear &&
                 back.wMonth == fields.wMonth && back.wDay == fields.wDay && back.wHour == fields.wHour &&
                 back.wMinute == fields.wMinute && back.wSecond == fields.wSecond;
    return date;
}

namespace {

// The whole local seconds from the epoch to `date`: the common ground of toEpochMs and utcSecondsOf.
long long localSecondsOf(const EventDate& date) {
    return daysToSeconds(continuousValue(date.value) - continuousValue(epochDate().value));
}

// The UTC second of a date whose local seconds are `local`. NaN gives 0 (its local seconds are 0 too, but
// no moment); a saturated date stays saturated, and near the ends of the range the offset could push the
// milliseconds beyond 64 bits.
long long utcSecondsFromLocal(const EventDate& date, long long local) {
    if (std::isnan(date.value)) {
        return 0;
    }
    if (local >= kMaxSeconds || local <= -kMaxSeconds) {
        return local;
    }
    return std::max(-kMaxSeconds, std::min(kMaxSeconds, local - utcOffsetOfLocal(local)));
}

}  // namespace

long long toEpochMs(const EventDate& date) {
    return localSecondsOf(date) * 1000;
}

long long toUtcEpochMs(const EventDate& date) {
    return utcSecondsOf(date) * 1000;
}

long long hostEpochMs(const EventDate& date, const options::Snapshot& options) {
    return options.utcTimes() ? toUtcEpochMs(date) : toEpochMs(date);
}

long long hostEpochMs(const EventDate& date) {
    return hostEpochMs(date, options::snapshot());
}

long long hostEpochMsOfUtc(long long utcSeconds, const options::Snapshot& options) {
    return (options.utcTimes() ? utcSeconds : utcSeconds + utcOffsetAtUtc(utcSeconds)) * 1000;
}

long long utcSecondsOf(const EventDate& date) {
    return utcSecondsFromLocal(date, localSecondsOf(date));
}

EventStamp stampOf(const EventDate& date, const options::Snapshot& options) {
    const long long local = localSecondsOf(date);
    const long long utc = utcSecondsFromLocal(date, local);
    return EventStamp{date, utc, (options.utcTimes() ? utc : local) * 1000};
}

bool isEventTooOld(const EventStamp& stamp, const CurrentTime& now, int limitSeconds) {
    if (!now.local.valid) {
        return false;
    }
    const long long age = std::isnan(stamp.date.value) ? 0 : now.utcSeconds - stamp.utcSeconds;
    return age > limitSeconds;
}

bool isEventTooOld(const EventDate& timestamp, const CurrentTime& now, int limitSeconds) {
    // The age does not depend on the options.
    return isEventTooOld(stampOf(timestamp, options::Snapshot{}), now, limitSeconds);
}

bool isEventTooOld(const EventDate& timestamp, const EventDate& now, int limitSeconds) {
    if (!now.valid) {
        return false;
    }
    return isEventTooOld(timestamp, CurrentTime{now, utcSecondsOf(now)}, limitSeconds);
}

namespace {

// Shared hold of a slim lock for a scope.
class SharedHold {
public:
    explicit SharedHold(SRWLOCK& lock) : m_lock(lock) { ::AcquireSRWLockShared(&m_lock); }
    ~SharedHold() { ::ReleaseSRWLockShared(&m_lock); }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

private:
    SRWLOCK& m_lock;
};

// Calls use(text, length) with the date's display text. A debug line formats three dates, and events of
// the same second repeat them: the last few texts are kept. The day and month names come from the C
// runtime's time locale, so it is part of the key, and a host that changes its locale gets the new names
// at once. Fixed buffers under a slim lock: the cache holds no heap memory (thread_local would take heap
// blocks per thread on this toolchain).
template <class Use>
void withEventTime(const EventDate& date, Use&& use) {
    // VarUdateFromDate's range check lets NaN through.
    if (!date.valid || !std::isfinite(date.value)) {
        use(kInvalidText, sizeof kInvalidText / sizeof kInvalidText[0] - 1);
        return;
    }
    struct Formatted {
        double value;
        LCID locale;
        size_t length;  // 0: empty slot (a formatted date is never empty)
        wchar_t text[128];
    };
    static SRWLOCK lock = SRWLOCK_INIT;
    static Formatted recent[4];
    static unsigned next = 0;
    const LCID locale = ___lc_handle_func()[LC_TIME];
    {
        SharedHold hold(lock);
        for (const Formatted& entry : recent) {
            if (entry.length != 0 && entry.value == date.value && entry.locale == locale) {
                use(entry.text, entry.length);
                return;
            }
        }
    }
    const std::wstring text = formatUncached(date);
    if (!text.empty() && text.size() <= 128) {
        ::AcquireSRWLockExclusive(&lock);
        Formatted& entry = recent[next++ % 4];
        entry.value = date.value;
        entry.locale = locale;
        entry.length = text.size();
        std::wmemcpy(entry.text, text.data(), text.size());
        ::ReleaseSRWLockExclusive(&lock);
    }
    use(text.data(), text.size());
}

}  // namespace

std::wstring formatEventTime(const EventDate& date) {
    std::wstring text;
    withEventTime(date, [&](const wchar_t* characters, size_t length) { text.assign(characters, length); });
    return text;
}

void appendEventTime(std::string& out, const EventDate& date) {
    withEventTime(date, [&](const wchar_t* characters, size_t length) {
        Win32Helper::appendNarrow(out, characters, length);
    });
}

namespace {

std::wstring formatUncached(const EventDate& date) {
    UDATE fields{};
    if (FAILED(::VarUdateFromDate(date.value, 0, &fields))) {
        return kInvalidText;
    }
    struct tm broken {};
    broken.tm_sec = fields.st.wSecond;
    broken.tm_min = fields.st.wMinute;
    broken.tm_hour = fields.st.wHour;
    broken.tm_mday = fields.st.wDay;
    broken.tm_mon = fields.st.wMonth - 1;
    broken.tm_year = fields.st.wYear - 1900;
    broken.tm_wday = fields.st.wDayOfWeek;
    broken.tm_yday = fields.wDayOfYear - 1;
    broken.tm_isdst = 0;
    wchar_t text[256];
    size_t length = std::wcsftime(text, 256, L"%H:%M:%S %A, %B %d, %Y", &broken);
    return std::wstring(text, length);
}

}  // namespace
