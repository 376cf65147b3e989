// A hostile host: every export at once from its own thread, Close and Init in a loop, the log function
// replaced and raising on random lines, while simulator threads deliver events. Passing means no crash,
// no hang, no leak and no event delivered twice. GATEWAY_TORTURE_SECONDS sets the duration (default 3).
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>
#include <vector>

#include "EventFixture.h"
#include "HostFaults.h"

namespace {

constexpr int32_t kFirstEventId = 900000;  // apart from the ids of the command events

std::chrono::milliseconds tortureDuration() {
    const char* seconds = std::getenv("GATEWAY_TORTURE_SECONDS");
    const long value = seconds != nullptr ? std::strtol(seconds, nullptr, 10) : 0;
    return std::chrono::milliseconds(1000 * (value > 0 ? value : 3));
}

// Two raising log functions to swap between.
void SIPASSVORMEKGATEWAY_CALL raisingLogA(LogLevel level, const wchar_t* text) {
    sometimesRaisingLog(level, text);
}

void SIPASSVORMEKGATEWAY_CALL raisingLogB(LogLevel level, const wchar_t* text) {
    sometimesRaisingLog(level, text);
}

// A host thread that reads a point and sends it commands until the run ends.
template <class Running>
void readAndCommandADoor(GatewayLibrary& library, Running running) {
    for (int round = 0; running(); ++round) {
        PointState state{};
        if (library.getPointState(1015, &state)) {
            library.cleanupPointDefinition(PointDefinition{0, nullptr, state});
        }
        library.controlDoor(7, 1015, round % 2 == 0 ? sim::kCommandLock : sim::kCommandUnlock);
    }
}

// Whatever state a run left, the gateway still works: one login, one event, delivered once; and no event
// of the run reached the host twice.
void expectStillWorkingAndNothingTwice(GatewayLibrary& library) {
    library.RegisterAlarmStateCallback(&recordState);
    library.setDropDuration(INT_MAX);
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    EXPECT_EQ(1, sim::advisedSinkCount());
    sim::EventObject last = objectStateEvent(oleDate(2024, 2, 29, 13, 45, 31));
    last.eventId = kFirstEventId - 1;
    ASSERT_TRUE(sim::deliverEvent(last));
    EXPECT_TRUE(library.Close());
    EXPECT_EQ(0, sim::advisedSinkCount());

    const std::map<int32_t, int> received = g_received.eventIdsFrom(kFirstEventId - 1);
    for (const auto& [id, times] : received) {
        EXPECT_EQ(1, times) << "event " << id << " delivered " << times << " times";
    }
    EXPECT_EQ(1u, received.count(kFirstEventId - 1));
}

}  // namespace

using Torture = EventTest;

TEST_F(Torture, EveryExportFromItsOwnThreadWhileCloseAndInitLoop) {
    const auto deadline = std::chrono::steady_clock::now() + tortureDuration();
    auto running = [&] { return std::chrono::steady_clock::now() < deadline; };
    std::atomic<int> failedDeliveries{0};
    std::atomic<int> cycles{0};
    std::vector<std::thread> threads;

    threads.emplace_back([&] {
        while (running()) {
            library.Close();
            library.RegisterAlarmStateCallback(&recordState);
            library.RegisterAlarmAccessCallback(&recordAccess);
            library.RegisterGenericEventCallback(&recordGeneric);
            library.setDropDuration(INT_MAX);
            if (library.Init(L"operator", L"sipass")) {
                ++cycles;
            }
        }
    });
    threads.emplace_back([&] {
        while (running()) {
            Device* devices = nullptr;
            int32_t deviceCount = 0, doorCount = 0;
            library.getAllDoors(&devices, &deviceCount, &doorCount);
            library.cleanupDoorArray(devices, deviceCount);
        }
    });
    threads.emplace_back([&] { readAndCommandADoor(library, running); });
    threads.emplace_back([&] {
        for (int round = 0; running(); ++round) {
            library.RegisterAlarmStateCallback(round % 3 == 0 ? nullptr : &recordState);
            library.RegisterGenericEventCallback(&recordGeneric);
            library.RegisterAlarmAccessCallback(&recordAccess);
            library.RegisterDisconnectCallback(nullptr);
            library.setDropDuration(INT_MAX);
            library.RegisterEvent(6, 2, 3006);
            library.RegisterLogCallback(round % 2 == 0 ? &raisingLogA : &raisingLogB);
        }
    });
    for (int sender = 0; sender < 2; ++sender) {
        threads.emplace_back([&, sender] {
            const DATE stamp = oleDate(2024, 2, 29, 13, 45, 30);
            for (int i = 0; running(); ++i) {
                sim::EventObject event = i % 3 == 0   ? accessEvent(stamp)
                                         : i % 3 == 1 ? objectStateEvent(stamp)
                                                      : genericEvent(stamp);
                event.eventId = kFirstEventId + sender * 1000000 + i;
                if (!sim::deliverEvent(event, 20000)) {
                    ++failedDeliveries;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, failedDeliveries.load()) << "a delivery did not end in time";
    EXPECT_GT(cycles.load(), 0);
    ASSERT_TRUE(sim::waitForCommandEvents(20000));
    library.RegisterLogCallback(&LogCapture::callback);

    expectStillWorkingAndNothingTwice(library);
}

// The re-login under attack: the server drops and comes back, the client fails, raises and loses the
// connection at chosen calls of whichever thread meets them (a login, an attempt, a door request), and the
// host closes and logs in from three threads at once, stale Close calls included; events flow all the
// while. Passing means no crash, no hang, no leak, no event twice, and a gateway that still logs in.
TEST_F(Torture, ReLoginUnderClientFaultsLossesAndStaleCloseInitPairs) {
    const auto deadline = std::chrono::steady_clock::now() + tortureDuration();
    auto running = [&] { return std::chrono::steady_clock::now() < deadline; };
    ASSERT_TRUE(library.setReconnectPolicy(2, 10));
    std::atomic<int> failedDeliveries{0};
    std::vector<std::thread> threads;

    auto loginLoop = [&](int offset) {
        for (int round = offset; running(); ++round) {
            if (round % 3 == 0) {
                library.Close();
            } else {
                library.RegisterAlarmStateCallback(&recordState);
                library.RegisterAlarmAccessCallback(&recordAccess);
                library.RegisterGenericEventCallback(&recordGeneric);
                library.setDropDuration(INT_MAX);
                library.Init(L"operator", L"sipass");
            }
            ::Sleep(round % 7);
        }
    };
    for (int host = 0; host < 3; ++host) {
        threads.emplace_back(loginLoop, host);
    }
    threads.emplace_back([&] {
        while (running()) {
            sim::setServerOnline(false, 2000);
            ::Sleep(2);
            sim::setServerOnline(true, 2000);
            ::Sleep(15);
        }
    });
    threads.emplace_back([&] {
        const sim::CallFault kinds[] = {sim::CallFault::Fail, sim::CallFault::ReportLoss, sim::CallFault::Delay};
        const char* raising[] = {"IComClient::put_EventMask", "IConnectionPoint::Advise", "IComClient::Connect",
                                 "IConnectionPoint::Unadvise", "IComClient::Disconnect"};
        for (unsigned round = 0; running(); ++round) {
            sim::armCallFault(static_cast<int>(round * 7 % 23), kinds[round % 3], E_FAIL, 5);
            if (round % 4 == 0) {
                sim::raiseInMethod(raising[round / 4 % 5], round % 8 == 0 ? sim::Raise::AccessViolation
                                                                          : sim::Raise::MsvcCppException);
            }
            ::Sleep(3);
            sim::clearFaults();
        }
    });
    threads.emplace_back([&] { readAndCommandADoor(library, running); });
    threads.emplace_back([&] {
        const DATE stamp = oleDate(2024, 2, 29, 13, 45, 30);
        for (int i = 0; running(); ++i) {
            sim::EventObject event = objectStateEvent(stamp);
            event.eventId = kFirstEventId + i;
            if (!sim::deliverEvent(event, 20000)) {
                ++failedDeliveries;
            }
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    sim::clearFaults();
    ASSERT_TRUE(sim::setServerOnline(true));
    EXPECT_EQ(0, failedDeliveries.load()) << "a delivery did not end in time";
    ASSERT_TRUE(sim::waitForCommandEvents(20000));

    EXPECT_TRUE(library.setReconnectPolicy(0, 0));
    expectStillWorkingAndNothingTwice(library);
}
