// Automatic re-login after a lost connection: the connection-state reports in their exact order, the
// delays, the client's own recovery, Close and Init while an attempt is pending, and the credentials.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <malloc.h>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionReports.h"
#include "DoorHeapTracker.h"
#include "HostFaults.h"

TEST_F(Reconnect, ALostConnectionIsLoggedInAgainAndEventsFlowThroughTheSameCallbacks) {
    loginWithPolicy(20, 200);
    deliverOneEvent(1);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(g_reports.waitFor(4));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(1, 1)}), g_reports.snapshot());
    EXPECT_EQ(1, g_reports.disconnects);
    EXPECT_TRUE(log.contains(L"Connection to SiPass Server lost. Re-login attempt 1 in 20 ms."));
    EXPECT_TRUE(log.contains(L"Re-login attempt 1 succeeded."));

    // The old client is gone; the new one is connected and advised once.
    ASSERT_EQ(1u, sim::clients().size());
    EXPECT_EQ(1, sim::clients()[0].connectionState);
    EXPECT_EQ(1, sim::advisedSinkCount());
    deliverOneEvent(2);
    std::lock_guard<std::mutex> lock(g_received.mutex);
    ASSERT_EQ(2u, g_received.states.size());
    EXPECT_EQ(2, g_received.states[1].eventId);
}

TEST_F(Reconnect, FailedAttemptsAreRetriedWithDoublingDelaysUpToTheCap) {
    loginWithPolicy(40, 100);
    sim::failMethodNext("IComClient::Connect", E_FAIL, 3);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(g_reports.waitFor(10));
    const std::vector<Report> reports = g_reports.snapshot();
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(0, 1, E_FAIL), r(2, 2), r(0, 2, E_FAIL), r(2, 3),
                                   r(0, 3, E_FAIL), r(2, 4), r(1, 4)}),
              reports);
    for (const wchar_t* line : {L"Re-login attempt 1 failed: hr=-2147467259", L"Re-login attempt 2 in 80 ms.",
                                L"Re-login attempt 3 in 100 ms.", L"Re-login attempt 4 in 100 ms."}) {
        EXPECT_TRUE(log.contains(line)) << line;
    }
    // Each attempt waits at least its delay after the failure before it (the jitter only adds).
    using std::chrono::milliseconds;
    EXPECT_GE(reports[4].at - reports[3].at, milliseconds(80));
    EXPECT_GE(reports[6].at - reports[5].at, milliseconds(100));
    EXPECT_GE(reports[8].at - reports[7].at, milliseconds(100));
    EXPECT_EQ(1 + 4, sim::callCount("IComClient::Connect"));
    EXPECT_EQ(1, sim::advisedSinkCount());
}

TEST_F(Reconnect, TheClientsOwnRecoveryBeforeTheFirstAttemptCostsNoReLogin) {
    loginWithPolicy(300, 1000);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(sim::raiseClientStateChanged(1));
    ASSERT_TRUE(g_reports.waitFor(3));
    // Past the first delay and its jitter: still no attempt.
    EXPECT_FALSE(g_reports.waitFor(4, 800));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(1)}), g_reports.snapshot());
    EXPECT_EQ(1, sim::callCount("IComClient::Connect"));
    EXPECT_TRUE(log.contains(L"Connection to SiPass Server restored by the client. Re-login cancelled."));
    deliverOneEvent(3);
    EXPECT_EQ(1u, g_received.states.size());
}

TEST_F(Reconnect, ClosingWhileAnAttemptIsPendingCancelsItAndLeavesNoThread) {
    const int threadsBefore = threadCount();
    loginWithPolicy(10000, 20000);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(g_reports.waitFor(2));
    EXPECT_TRUE(library.Close());
    EXPECT_TRUE(waitForThreadsAtMost(threadsBefore))
        << threadCount() << " threads, " << threadsBefore << " before";
    EXPECT_FALSE(log.contains(L"Re-login attempt 1."));
    EXPECT_EQ(1, sim::callCount("IComClient::Connect"));
}

TEST_F(Reconnect, TurningThePolicyOffOrTheHostsOwnInitCancelsAPendingAttempt) {
    // Off right after the loss: no attempt, within well over the delay and its jitter.
    loginWithPolicy(300, 600);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(library.setReconnectPolicy(0, 0));
    EXPECT_FALSE(g_reports.waitFor(3, 1000));
    EXPECT_EQ((std::vector<Report>{r(1), r(0)}), g_reports.snapshot());
    EXPECT_TRUE(log.contains(L"Automatic re-login off."));

    // The host logs in itself while an attempt is pending (far off). Had the attempt stayed pending, the
    // next loss would schedule nothing and log no loss line of its own.
    ASSERT_TRUE(library.setReconnectPolicy(5000, 10000));
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(g_reports.waitFor(6));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(1), r(0), r(1), r(0)}), g_reports.snapshot());
    size_t lossLines = 0;
    for (const std::wstring& text : log.texts()) {
        lossLines += text == L"Connection to SiPass Server lost. Re-login attempt 1 in 5000 ms." ? 1 : 0;
    }
    EXPECT_EQ(2u, lossLines);
    EXPECT_EQ(3, sim::callCount("IComClient::Connect"));
}

TEST_F(Reconnect, DoorServicesFailCleanlyDuringTheOutageAndWorkAfterIt) {
    loginWithPolicy(400, 800);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    Device* devices = reinterpret_cast<Device*>(0x1234);
    int32_t deviceCount = -1, doorCount = -1;
    EXPECT_FALSE(library.getAllDoors(&devices, &deviceCount, &doorCount));
    EXPECT_EQ(nullptr, devices);
    PointState state{};
    EXPECT_FALSE(library.getPointState(1015, &state));
    EXPECT_FALSE(library.controlDoor(7, 1015, sim::kCommandLock));

    ASSERT_TRUE(g_reports.waitFor(4));
    EXPECT_EQ(r(1, 1), g_reports.snapshot().back());
    EXPECT_TRUE(library.getAllDoors(&devices, &deviceCount, &doorCount));
    EXPECT_EQ(3, deviceCount);
    library.cleanupDoorArray(devices, deviceCount);
}

TEST_F(Reconnect, OutOfRangePoliciesAreRefusedAndChangeNothing) {
    for (auto values :
         {std::pair<int32_t, int32_t>{-1, 100}, {10, -1}, {200, 100}, {0, 100}, {100, 3600001}}) {
        EXPECT_FALSE(library.setReconnectPolicy(values.first, values.second)) << values.first;
    }
    EXPECT_TRUE(log.contains(
        L"gateway_setReconnectPolicy(200, 100) refused: the delays must be 0, 0 (off) or 0 < first <= max <= "
        L"3600000 ms. Nothing changed."));
    // Still off: a loss is reported and nothing else happens.
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(g_reports.waitFor(2));
    EXPECT_FALSE(g_reports.waitFor(3, 300));
    EXPECT_TRUE(library.setReconnectPolicy(3600000, 3600000));
}

namespace {

const wchar_t kSecret[] = L"Re-9b7e5d3c-1a2f-4e6d-8c0b-7a5f3e1d9c2b";
std::atomic<int> g_blocksWithSecret{0};

bool holdsSecret(const void* block, size_t size) {
    const size_t secretBytes = (sizeof kSecret) - sizeof(wchar_t);
    const auto* bytes = static_cast<const unsigned char*>(block);
    for (size_t at = 0; at + secretBytes <= size; ++at) {
        if (std::memcmp(bytes + at, kSecret, secretBytes) == 0) {
            return true;
        }
    }
    return false;
}

void countSecret(const void* block, size_t size) {
    if (holdsSecret(block, size)) {
        ++g_blocksWithSecret;
    }
}

// Live blocks of the DLL (the test and the DLL share msvcrt's heap, so _msize answers for them).
int liveBlocksWithSecret(const DllHeapTracker& heap) {
    int count = 0;
    for (void* block : heap.live()) {
        count += holdsSecret(block, ::_msize(block)) ? 1 : 0;
    }
    return count;
}

}  // namespace

TEST_F(Reconnect, NoHeapBlockOfTheDllHoldsThePasswordAfterCloseOrWithThePolicyOff) {
    sim::addAccount(L"guard", kSecret);
    DllHeapTracker heap(library.module());
    ASSERT_TRUE(heap.active());
    g_blocksWithSecret = 0;
    heap.examineFrees(&countSecret);

    ASSERT_TRUE(library.setReconnectPolicy(20, 100));
    ASSERT_TRUE(library.Init(L"guard", kSecret));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(g_reports.waitFor(4));
    EXPECT_EQ(r(1, 1), g_reports.snapshot().back());
    EXPECT_TRUE(library.Close());
    EXPECT_EQ(0, liveBlocksWithSecret(heap));

    ASSERT_TRUE(library.Init(L"guard", kSecret));
    ASSERT_TRUE(library.setReconnectPolicy(0, 0));
    EXPECT_EQ(0, liveBlocksWithSecret(heap));
    EXPECT_TRUE(library.Close());
    heap.examineFrees(nullptr);

    EXPECT_GT(heap.frees(), 0u) << "the tracker saw no free: the test would prove nothing";
    EXPECT_EQ(0, g_blocksWithSecret.load());
    for (const std::wstring& text : log.texts()) {
        EXPECT_EQ(std::wstring::npos, text.find(kSecret)) << text;
    }
}

TEST_F(Reconnect, AServerOutageIsRetriedUntilTheServerIsBackAndEventsFlowBeforeAndAfter) {
    loginWithPolicy(20, 60);
    deliverOneEvent(1);
    ASSERT_TRUE(sim::setServerOnline(false));
    // Attempts fail while the server is away.
    ASSERT_TRUE(g_reports.waitFor(6));
    ASSERT_TRUE(sim::setServerOnline(true));
    std::vector<Report> reports;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(g_reports.waitFor(reports.size() + 1));
        reports = g_reports.snapshot();
        if (reports.back().state == GATEWAY_CONNECTION_CONNECTED) {
            break;
        }
    }
    // 1, 0, 0; 0, 0, 0; then per attempt 2, n, 0 followed by 0, n, offline, until 2, k, 0 and 1, k, 0.
    ASSERT_GE(reports.size(), 6u);
    EXPECT_EQ(r(1), reports[0]);
    EXPECT_EQ(r(0), reports[1]);
    const int32_t last = static_cast<int32_t>((reports.size() - 2) / 2);
    for (int32_t attempt = 1; attempt <= last; ++attempt) {
        EXPECT_EQ(r(2, attempt), reports[2 * attempt]) << attempt;
        EXPECT_EQ(attempt < last ? r(0, attempt, sim::E_SIM_SERVER_OFFLINE) : r(1, attempt),
                  reports[2 * attempt + 1])
            << attempt;
    }
    EXPECT_EQ(1, g_reports.disconnects);
    EXPECT_TRUE(log.contains(L"Re-login attempt 1 failed: hr=-2147023671"));

    deliverOneEvent(2);
    std::lock_guard<std::mutex> lock(g_received.mutex);
    ASSERT_EQ(2u, g_received.states.size());
    EXPECT_EQ(2, g_received.states[1].eventId);
}

TEST_F(Reconnect, AClientThatReconnectsByItselfWithinTheFirstDelayNeedsNoReLogin) {
    sim::setClientsReconnectByThemselves(true);
    loginWithPolicy(2000, 4000);
    ASSERT_TRUE(sim::setServerOnline(false));
    ASSERT_TRUE(sim::setServerOnline(true));
    ASSERT_TRUE(g_reports.waitFor(3));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(1)}), g_reports.snapshot());
    EXPECT_EQ(1, sim::callCount("IComClient::Connect"));
    deliverOneEvent(5);
    EXPECT_EQ(1u, g_received.states.size());
}

TEST_F(Reconnect, CloseDuringAnAttemptsConnectWaitsForItThenReleasesEverything) {
    const int threadsBefore = threadCount();
    loginWithPolicy(10, 100);
    sim::setConnectDelay(1500);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(sim::waitForWaitingConnects(1));
    EXPECT_TRUE(library.Close());
    // The attempt ended before Close went on: its outcome was reported, nothing is left.
    EXPECT_EQ(0, sim::waitingConnects());
    EXPECT_EQ(r(1, 1), g_reports.snapshot().back());
    EXPECT_TRUE(sim::clients().empty());
    EXPECT_EQ(0, sim::advisedSinkCount());
    EXPECT_TRUE(waitForThreadsAtMost(threadsBefore))
        << threadCount() << " threads, " << threadsBefore << " before";
}

TEST_F(Reconnect, FiftyOutagesInARowWhileHostThreadsUseTheDoorServices) {
    loginWithPolicy(5, 20);
    library.RegisterLogCallback(&sometimesRaisingLog);
    std::atomic<bool> running{true};
    std::vector<std::thread> hosts;
    hosts.emplace_back([&] {
        while (running) {
            Device* devices = nullptr;
            int32_t deviceCount = 0, doorCount = 0;
            library.getAllDoors(&devices, &deviceCount, &doorCount);
            library.cleanupDoorArray(devices, deviceCount);
        }
    });
    hosts.emplace_back([&] {
        for (int round = 0; running; ++round) {
            PointState state{};
            if (library.getPointState(1015, &state)) {
                library.cleanupPointDefinition(PointDefinition{0, nullptr, state});
            }
            library.controlDoor(7, 1015, round % 2 == 0 ? sim::kCommandLock : sim::kCommandUnlock);
        }
    });
    int reconnected = 0;
    for (int outage = 0; outage < 50; ++outage) {
        ASSERT_TRUE(sim::setServerOnline(false)) << outage;
        ASSERT_TRUE(sim::setServerOnline(true)) << outage;
        // Back once a re-login has succeeded since this outage began.
        for (int i = 0; i < 2000; ++i) {
            const std::vector<Report> reports = g_reports.snapshot();
            int succeeded = 0;
            for (const Report& report : reports) {
                succeeded += report.state == GATEWAY_CONNECTION_CONNECTED && report.attempt > 0 ? 1 : 0;
            }
            if (succeeded > reconnected) {
                reconnected = succeeded;
                break;
            }
            g_reports.waitFor(reports.size() + 1, 10);
        }
        ASSERT_EQ(outage + 1, reconnected) << "outage " << outage << " was not recovered from";
    }
    running = false;
    for (std::thread& host : hosts) {
        host.join();
    }
    ASSERT_TRUE(sim::waitForCommandEvents(20000));
    library.RegisterLogCallback(&LogCapture::callback);
    EXPECT_EQ(1, sim::advisedSinkCount());
    deliverOneEvent(77);
    EXPECT_EQ(77, g_received.states.back().eventId);
}
