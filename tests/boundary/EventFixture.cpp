#include "EventFixture.h"

Received g_received;

void Received::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    states.clear();
    accesses.clear();
    generics.clear();
}

bool Received::waitForCalls(size_t count, unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return states.size() + accesses.size() + generics.size() >= count; });
}

std::map<int32_t, int> Received::eventIdsFrom(int32_t firstId) {
    std::lock_guard<std::mutex> lock(mutex);
    std::map<int32_t, int> counts;
    auto note = [&](int32_t id) {
        if (id >= firstId) {
            ++counts[id];
        }
    };
    for (const StateCall& call : states) {
        note(call.eventId);
    }
    for (const AccessCall& call : accesses) {
        note(call.eventId);
    }
    for (const GenericCall& call : generics) {
        note(call.eventId);
    }
    return counts;
}

void SIPASSVORMEKGATEWAY_CALL recordState(int32_t eventId, int32_t objectId, int32_t objectType, int32_t type,
                                          int32_t subType, int32_t state, int32_t stateType,
                                          int64_t timestampMs, int64_t serverTimeMs, const wchar_t* location,
                                          const wchar_t* description) {
    std::lock_guard<std::mutex> lock(g_received.mutex);
    g_received.states.push_back({eventId, objectId, objectType, type, subType, state, stateType, timestampMs,
                                 serverTimeMs, location, description});
    g_received.lastThread = ::GetCurrentThreadId();
    g_received.changed.notify_all();
}

void SIPASSVORMEKGATEWAY_CALL recordAccess(int32_t eventId, int32_t objectId, int32_t objectType,
                                           int32_t type, int32_t subType, int32_t state, int32_t stateType,
                                           int64_t timestampMs, int64_t serverTimeMs,
                                           const wchar_t* firstName, const wchar_t* lastName,
                                           const wchar_t* cardNumber, const wchar_t* location,
                                           const wchar_t* description) {
    std::lock_guard<std::mutex> lock(g_received.mutex);
    g_received.accesses.push_back({eventId, objectId, objectType, type, subType, state, stateType,
                                   timestampMs, serverTimeMs, firstName, lastName, cardNumber, location,
                                   description});
    g_received.lastThread = ::GetCurrentThreadId();
    g_received.changed.notify_all();
}

void SIPASSVORMEKGATEWAY_CALL recordGeneric(int32_t eventId, int32_t type, int32_t subType,
                                            int64_t timestampMs, int64_t serverTimeMs,
                                            const wchar_t* location, const wchar_t* description) {
    std::lock_guard<std::mutex> lock(g_received.mutex);
    g_received.generics.push_back({eventId, type, subType, timestampMs, serverTimeMs, location, description});
    g_received.lastThread = ::GetCurrentThreadId();
    g_received.changed.notify_all();
}

DATE oleDate(int year, int month, int day, int hour, int minute, int second) {
    SYSTEMTIME time{};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    DATE date = 0;
    ::SystemTimeToVariantTime(&time, &date);
    return date;
}

sim::EventObject objectStateEvent(DATE timestamp) {
    sim::EventObject event;
    event.objectState = true;
    event.eventId = 4711;
    event.objectId = 1203;
    event.objectType = 7;  // ePoint
    event.type = 11;       // eObjState
    event.subType = 5003;  // eAccessPoint
    event.state = 3006;    // eDoorForced
    event.stateType = 1;   // eStateAlarm
    event.timestamp = timestamp;
    event.serverTime = oleDate(2024, 2, 29, 13, 44, 0);
    event.location = L"Halle 1 T\u00FCr S\u00FCd";
    event.description = L"Door forced";
    return event;
}

sim::EventObject accessEvent(DATE timestamp) {
    sim::EventObject event = objectStateEvent(timestamp);
    event.objectState = false;
    event.accessEvent = true;
    event.type = 10;      // eAccessEvent
    event.state = 2030;   // eAccessGranted
    event.stateType = 0;  // eStateNormal
    event.firstName = L"J\u00FCrgen";
    event.lastName = L"M\u00FCller";
    event.cardNumber = L"000123456";
    event.description = L"Access granted";
    return event;
}

sim::EventObject genericEvent(DATE timestamp) {
    sim::EventObject event;
    event.genericEvent = true;
    event.eventId = 99;
    event.type = 8;        // eGenericEvent
    event.subType = 6002;  // eDBModify
    event.timestamp = timestamp;
    event.serverTime = oleDate(2024, 2, 29, 13, 44, 0);
    event.location = L"Server";
    event.description = L"Cardholder changed";
    return event;
}

std::vector<std::wstring> EventTest::eventLines() const {
    std::vector<std::wstring> lines;
    for (const std::wstring& text : log.texts()) {
        if (text != L"OnEvent") {
            lines.push_back(text);
        }
    }
    return lines;
}
