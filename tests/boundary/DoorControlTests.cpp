// gateway_controlDoor: one manual command object per call, the command passed on unchanged, and the
// state change the simulated site reports back as an object-state event.
#include <condition_variable>
#include <mutex>

#include "DoorTestSupport.h"

using DoorControl = DoorTest;

TEST_F(DoorControl, ASuccessfulSendLogsTheValuesRightAfterTheirLabels) {
    login();
    EXPECT_TRUE(library.controlDoor(6, 2, 3));
    EXPECT_TRUE(
        linesMatch(log.texts(), {L"CoCreateInstance CLSID_ManualCommand succeeded.",
                                 L"Send ManualCommand succeeded: ObjectID=2 ObjectType=6 command=3"}));
    EXPECT_EQ(2, log.lines()[0].level);
    EXPECT_EQ(0, log.lines()[1].level);
    const auto sent = sim::sentCommands();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(2, sent[0].objectId);
    EXPECT_EQ(6, sent[0].objectType);
    EXPECT_EQ(3, sent[0].command);
    EXPECT_EQ(L"", sent[0].text);
}

TEST_F(DoorControl, AFailedSendEndsWithTheSignedHresult) {
    login();
    sim::failMethod("IComClient::SendManualCommand", E_FAIL);
    EXPECT_FALSE(library.controlDoor(6, 12, 3));
    EXPECT_EQ(L"Send ManualCommand failed: ObjectID=12 ObjectType=6 command=3 HRESULT=-2147467259",
              log.texts().back());
    EXPECT_EQ(1, log.lines().back().level);
}

// Every kind of command the server refuses: false, and the Error line with the server's own HRESULT,
// which shows that the values (a negative code too) reached it unchanged.
TEST_F(DoorControl, ACommandTheServerRefusesIsFalseWithItsHresult) {
    login();
    const struct {
        int32_t objectType, objectId, command;
        HRESULT refusal;
    } cases[] = {
        {99, 1015, sim::kCommandLock, sim::E_SIM_UNKNOWN_OBJECT_TYPE},
        {7, 1015, -5, sim::E_SIM_UNKNOWN_COMMAND},
        {7, 424242, sim::kCommandLock, sim::E_SIM_NO_OBJECT},
        {7, 1011, sim::kCommandLock, sim::E_SIM_COMMAND_NOT_FOR_ROLE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal);
        EXPECT_FALSE(library.controlDoor(c.objectType, c.objectId, c.command));
        EXPECT_EQ(L"Send ManualCommand failed: ObjectID=" + std::to_wstring(c.objectId) + L" ObjectType=" +
                      std::to_wstring(c.objectType) + L" command=" + std::to_wstring(c.command) +
                      L" HRESULT=" + std::to_wstring(static_cast<long>(c.refusal)),
                  log.texts().back());
        EXPECT_EQ(1, log.lines().back().level);
    }
    EXPECT_TRUE(sim::sentCommands().empty());
    EXPECT_EQ(4001, sim::findPoint(1015)->state) << "a refused command changes nothing";
}

TEST_F(DoorControl, TwoCommandsUseTwoCommandObjects) {
    login();
    const int created = sim::callCount("IClassFactory::CreateInstance");
    EXPECT_TRUE(library.controlDoor(7, 1015, sim::kCommandLock));
    EXPECT_TRUE(library.controlDoor(6, 2, sim::kCommandSecure));
    EXPECT_EQ(created + 2, sim::callCount("IClassFactory::CreateInstance"));
    EXPECT_EQ(2, sim::callCount("IManualCommand::put_Text"));
    const auto sent = sim::sentCommands();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(1015, sent[0].objectId);
    EXPECT_EQ(2, sent[1].objectId);
    EXPECT_EQ(6, sent[1].objectType);
    EXPECT_EQ(sim::kCommandSecure, sent[1].command);
}

TEST_F(DoorControl, AFailedCreationSendsNothing) {
    login();
    sim::failMethod("IClassFactory::CreateInstance", E_OUTOFMEMORY);
    EXPECT_FALSE(library.controlDoor(6, 1, 1));
    EXPECT_TRUE(linesMatch(log.texts(), {L"CoCreateInstance CLSID_ManualCommand failed."}));
    EXPECT_TRUE(sim::sentCommands().empty());
}

TEST_F(DoorControl, WithoutAClientSaysSoAndSendsNothing) {
    EXPECT_FALSE(library.controlDoor(6, 1, 1));
    EXPECT_EQ(
        L"COMClient is NULL. Call init first and check if init returns true before sending a door command.",
        log.texts().back());
    EXPECT_EQ(1, log.lines().back().level);
    EXPECT_TRUE(sim::sentCommands().empty());
}

namespace {

struct StateEvent {
    int32_t objectId;
    int32_t objectType;
    int32_t state;
};

std::mutex g_eventMutex;
std::condition_variable g_eventArrived;
std::vector<StateEvent> g_events;  // guarded by g_eventMutex

void SIPASSVORMEKGATEWAY_CALL recordStateEvent(int32_t, int32_t objectId, int32_t objectType, int32_t,
                                               int32_t, int32_t state, int32_t, int64_t, int64_t,
                                               const wchar_t*, const wchar_t*) {
    {
        std::lock_guard<std::mutex> lock(g_eventMutex);
        g_events.push_back({objectId, objectType, state});
    }
    g_eventArrived.notify_all();
}

}  // namespace

TEST_F(DoorControl, AMomentaryUnlockReachesTheHostAsTwoStateEvents) {
    {
        std::lock_guard<std::mutex> lock(g_eventMutex);
        g_events.clear();
    }
    library.RegisterAlarmStateCallback(&recordStateEvent);
    login();

    ASSERT_TRUE(library.controlDoor(7, 2025, sim::kCommandMomentaryUnlock));

    {
        std::unique_lock<std::mutex> lock(g_eventMutex);
        ASSERT_TRUE(
            g_eventArrived.wait_for(lock, std::chrono::seconds(10), [] { return g_events.size() >= 2; }));
        EXPECT_EQ(2025, g_events[0].objectId);
        EXPECT_EQ(7, g_events[0].objectType);
        EXPECT_EQ(4001, g_events[0].state);
        EXPECT_EQ(4000, g_events[1].state);
    }
    EXPECT_TRUE(sim::waitForCommandEvents());

    PointState state{};
    ASSERT_TRUE(library.getPointState(2025, &state));
    EXPECT_EQ(4000, state.state);
    library.cleanupPointDefinition(PointDefinition{0, nullptr, state});
}
