// Fixture of the event tests: a logged-in gateway loaded as a host loads it, the three event callbacks
// recording every argument they receive, and helpers that build simulated events.
#pragma once

#include <climits>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "BoundaryTest.h"

struct StateCall {
    int32_t eventId, objectId, objectType, type, subType, state, stateType;
    int64_t timestampMs, serverTimeMs;
    std::wstring location, description;
};

struct AccessCall {
    int32_t eventId, objectId, objectType, type, subType, state, stateType;
    int64_t timestampMs, serverTimeMs;
    std::wstring firstName, lastName, cardNumber, location, description;
};

struct GenericCall {
    int32_t eventId, type, subType;
    int64_t timestampMs, serverTimeMs;
    std::wstring location, description;
};

// What the callbacks received, from whichever thread delivered.
struct Received {
    std::mutex mutex;
    std::vector<StateCall> states;
    std::vector<AccessCall> accesses;
    std::vector<GenericCall> generics;
    DWORD lastThread = 0;
    std::condition_variable changed;  // notified after each callback
    void clear();
    // Waits until `count` callbacks of any kind have arrived; false after timeoutMs.
    bool waitForCalls(size_t count, unsigned timeoutMs = 10000);
    // How often each event id from `firstId` on reached a callback, of any kind.
    std::map<int32_t, int> eventIdsFrom(int32_t firstId);
};
extern Received g_received;

void SIPASSVORMEKGATEWAY_CALL recordState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                          int64_t, int64_t, const wchar_t*, const wchar_t*);
void SIPASSVORMEKGATEWAY_CALL recordAccess(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                           int64_t, int64_t, const wchar_t*, const wchar_t*, const wchar_t*,
                                           const wchar_t*, const wchar_t*);
void SIPASSVORMEKGATEWAY_CALL recordGeneric(int32_t, int32_t, int32_t, int64_t, int64_t, const wchar_t*,
                                            const wchar_t*);

// An OLE automation date for a local calendar time.
DATE oleDate(int year, int month, int day, int hour, int minute, int second);

// Events with every field set to a distinct value, stamped `timestamp`.
sim::EventObject objectStateEvent(DATE timestamp);
sim::EventObject accessEvent(DATE timestamp);
sim::EventObject genericEvent(DATE timestamp);

class EventTest : public BoundaryTest {
protected:
    void SetUp() override {
        BoundaryTest::SetUp();
        g_received.clear();
        library.RegisterAlarmStateCallback(&recordState);
        library.RegisterAlarmAccessCallback(&recordAccess);
        library.RegisterGenericEventCallback(&recordGeneric);
        // Fixed, old timestamps stay readable in the expected lines; the age filter has tests of its own.
        library.setDropDuration(INT_MAX);
        ASSERT_TRUE(library.Init(L"operator", L"sipass"));
        log.clear();
    }

    // The lines logged since the last clear, without the "OnEvent" line of each delivery.
    std::vector<std::wstring> eventLines() const;
};
