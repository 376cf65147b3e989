// Pieces shared by the three event translators: reading an event's getters in order until the first
// failure, and composing a debug line without a string stream.
#pragma once

#include <string>

#include "support/Boundary.h"
#include "gateway/DeliveryQueue.h"
#include "names/EnumNames.h"
#include "events/EventTime.h"
#include "support/FailureText.h"
#include "support/HostOptions.h"
#include "support/SimpleLogger.h"
#include "support/Statistics.h"
#include "support/Win32Helper.h"

// Calls one getter after another on an event; the first failure is logged as
// "<getter> for <kind> failed: hr=<n>" with errLog, and every later read is refused, so that a chain of
// reads joined with && stops at the first failure.
template <class Event>
class EventReader {
public:
    EventReader(Event* event, const char* kind) : m_event(event), m_kind(kind) {}

    template <class Interface, class T>
    bool operator()(HRESULT (STDMETHODCALLTYPE Interface::*getter)(T*), const char* name, T* out) {
        m_current = name;
        HRESULT hr = (m_event->*getter)(out);
        if (FAILED(hr)) {
            SimpleLogger::GetInstance()->errLog(failedCall(name, m_kind, hr));
            return false;
        }
        return true;
    }

    // A date getter: the value lands in the EventDate, which stays valid.
    template <class Interface>
    bool operator()(HRESULT (STDMETHODCALLTYPE Interface::*getter)(DATE*), const char* name, EventDate* out) {
        return (*this)(getter, name, &out->value);
    }

    // Runs a chain of reads under the structured-exception guard: a getter that raises ends the chain
    // like a failed one, logged as "Exception in <getter> for <kind>: structured exception 0x...". The
    // chain's frames own nothing, so abandoning them leaks nothing; the values read so far stay with the
    // caller's owners.
    template <class Chain>
    bool all(Chain&& chain) {
        bool complete = false;
        const seh::Outcome outcome = seh::runGuarded([&] { complete = chain(); });
        if (outcome.raised) {
            boundary::logFailure(std::string("Exception in ") + m_current + " for " + m_kind + ": " +
                                 boundary::describeStructured(outcome.code));
            complete = false;
        }
        if (!complete || outcome.cpp) {
            statistics::add(statistics::counters().abandonedAtGetter);
            return false;
        }
        return true;
    }

private:
    Event* m_event;
    const char* m_kind;
    const char* m_current = "";
};

// Builds a log line piece by piece, in one string that is reserved once.
class LogLine {
public:
    LogLine() { m_text.reserve(512); }

    LogLine& operator<<(const char* text) {
        m_text += text;
        return *this;
    }
    LogLine& operator<<(const std::string& text) {
        m_text += text;
        return *this;
    }
    // Plain signed decimal.
    LogLine& operator<<(long value) {
        char digits[12];
        char* end = digits + sizeof digits;
        char* first = end;
        unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value) : value;
        do {
            *--first = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) {
            *--first = '-';
        }
        m_text.append(first, end);
        return *this;
    }
    // A BSTR field as narrow text (bstr2str).
    LogLine& operator<<(const CComBSTR& text) {
        Win32Helper::appendNarrow(m_text, text);
        return *this;
    }
    // A date as display text (wstr2str of formatEventTime).
    LogLine& operator<<(const EventDate& date) {
        appendEventTime(m_text, date);
        return *this;
    }
    std::string& text() { return m_text; }

private:
    std::string m_text;
};

// The age filter of every translator: true when the event stamped `stamp` is older than `limit` seconds
// at `now`; then `dropLine` and the timestamp's text are logged (only while someone listens).
inline bool droppedAsTooOld(const EventStamp& stamp, const CurrentTime& now, int limit,
                            const char* dropLine) {
    if (!isEventTooOld(stamp, now, limit)) {
        return false;
    }
    statistics::add(statistics::counters().droppedTooOld);
    SimpleLogger& logger = *SimpleLogger::GetInstance();
    if (logger.enabled()) {
        LogLine line;
        line << dropLine << stamp.date;
        logger.dbgLog(line.text());
    }
    return true;
}

// Counts an event that found no callback of its kind.
inline void countWithoutCallback() {
    statistics::add(statistics::counters().withoutCallback);
}

// The line that precedes every host callback of an event, which is counted as delivered.
inline void announceHostCall(statistics::EventKind kind) {
    statistics::add(statistics::counters().delivered[static_cast<int>(kind)]);
    SimpleLogger& logger = *SimpleLogger::GetInstance();
    if (logger.enabled()) {
        logger.dbgLog("Fire an registered event.");
    }
}

// The form in which this event's texts reach the host, by the event's one reading of the options.
inline Win32Helper::TextForm hostTextForm(const options::Snapshot& options) {
    return options.unchangedTexts() ? Win32Helper::TextForm::Unchanged : Win32Helper::TextForm::Narrowed;
}

// The queued copy of an event's numbers (the generic callback takes eventId, type and subType of them).
inline delivery::Item queuedEvent(delivery::Item::Kind kind, long eventId, long objectId, long objectType,
                                  long type, long subType, long state, long stateType, long long timestampMs,
                                  long long serverTimeMs) {
    delivery::Item item;
    item.kind = kind;
    const long values[7] = {eventId, objectId, objectType, type, subType, state, stateType};
    for (int i = 0; i < 7; ++i) {
        item.values[i] = static_cast<int32_t>(values[i]);
    }
    item.timestampMs = timestampMs;
    item.serverTimeMs = serverTimeMs;
    return item;
}
