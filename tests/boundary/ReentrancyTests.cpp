// A host callback runs on a client thread while the gateway holds its lock. When it calls back into an
// export that takes that lock or waits for the delivery to end, the export is refused with an error line
// instead of deadlocking or destroying the object under the running delivery.
#include <atomic>
#include <climits>
#include <string>

#include "EventFixture.h"

namespace {

// What the re-entering callback got back from each export, read after the delivery.
struct Reentry {
    GatewayLibrary* library = nullptr;
    std::atomic<int> calls{0};
    bool registerEvent = true;
    bool close = true;
    bool init = true;
};
Reentry g_reentry;

void SIPASSVORMEKGATEWAY_CALL otherState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                         int64_t, int64_t, const wchar_t*, const wchar_t*) {}

// Calls every export that takes the gateway lock, then records the event as the fixture does.
void SIPASSVORMEKGATEWAY_CALL reenteringState(int32_t eventId, int32_t objectId, int32_t objectType,
                                              int32_t type, int32_t subType, int32_t state, int32_t stateType,
                                              int64_t timestampMs, int64_t serverTimeMs,
                                              const wchar_t* location, const wchar_t* description) {
    GatewayLibrary& library = *g_reentry.library;
    library.RegisterAlarmStateCallback(&otherState);
    library.RegisterAlarmAccessCallback(nullptr);
    library.RegisterGenericEventCallback(nullptr);
    library.RegisterDisconnectCallback(nullptr);
    g_reentry.registerEvent = library.RegisterEvent(6, 2, 3006);
    g_reentry.close = library.Close();
    g_reentry.init = library.Init(L"operator", L"sipass");
    ++g_reentry.calls;
    recordState(eventId, objectId, objectType, type, subType, state, stateType, timestampMs, serverTimeMs,
                location, description);
}

void SIPASSVORMEKGATEWAY_CALL closingDisconnect() {
    g_reentry.close = g_reentry.library->Close();
    ++g_reentry.calls;
}

class Reentrancy : public EventTest {
protected:
    void SetUp() override {
        EventTest::SetUp();
        g_reentry.library = &library;
        g_reentry.calls = 0;
    }

    size_t errorLinesContaining(const std::wstring& text) const {
        size_t count = 0;
        for (const LogLine& line : log.lines()) {
            if (line.level == Error && line.text.find(text) != std::wstring::npos) {
                ++count;
            }
        }
        return count;
    }
};

}  // namespace

TEST_F(Reentrancy, ExportsCalledFromAnEventCallbackAreRefusedAndChangeNothing) {
    library.RegisterAlarmStateCallback(&reenteringState);
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 30))));
    ASSERT_EQ(1, g_reentry.calls.load());

    EXPECT_FALSE(g_reentry.registerEvent);
    EXPECT_FALSE(g_reentry.close);
    EXPECT_FALSE(g_reentry.init);
    for (const wchar_t* operation :
         {L"RegisterAlarmStateCallback refused", L"RegisterAlarmAccessCallback refused",
          L"RegisterGenericEventCallback refused", L"RegisterDisconnectCallback refused",
          L"RegisterAlarmEvent refused", L"gateway_Close refused", L"Init refused"}) {
        EXPECT_EQ(1u, errorLinesContaining(operation)) << operation;
    }
    // Nothing was registered, nothing withdrawn: the same callbacks receive the next events.
    g_reentry.library = &library;
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 31))));
    ASSERT_TRUE(sim::deliverEvent(accessEvent(oleDate(2024, 2, 29, 13, 45, 32))));
    EXPECT_EQ(2, g_reentry.calls.load());
    std::lock_guard<std::mutex> lock(g_received.mutex);
    EXPECT_EQ(2u, g_received.states.size());
    EXPECT_EQ(1u, g_received.accesses.size());
}

TEST_F(Reentrancy, TheSameExportsFromAnotherThreadStillWork) {
    library.RegisterAlarmStateCallback(&reenteringState);
    library.RegisterAlarmStateCallback(&recordState);
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 30))));
    EXPECT_EQ(0, g_reentry.calls.load());
    EXPECT_EQ(0u, errorLinesContaining(L"refused"));
    EXPECT_TRUE(library.RegisterEvent(6, 2, 3006));
    EXPECT_TRUE(library.Close());
}

TEST_F(Reentrancy, CloseFromTheDisconnectCallbackIsRefusedAndTheGatewayStaysUsable) {
    library.RegisterDisconnectCallback(&closingDisconnect);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_EQ(1, g_reentry.calls.load());
    EXPECT_FALSE(g_reentry.close);
    EXPECT_EQ(1u, errorLinesContaining(L"gateway_Close refused"));

    ASSERT_TRUE(sim::deliverEvent(genericEvent(oleDate(2024, 2, 29, 13, 45, 30))));
    EXPECT_EQ(1u, g_received.generics.size());
    EXPECT_TRUE(library.Close());
}
