// Re-login against a hostile host's timing: a loss reported while an attempt's "connected" report is being
// delivered, the policy turned off from inside an attempt's report, and Close racing a report that a
// client thread is delivering. Every wait is bounded.
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionReports.h"

namespace {

GatewayLibrary* g_raceLibrary = nullptr;
std::atomic<bool> g_lossRaised{false};

// Records, and the first time attempt 1 reports connected, has the server drop the new connection from
// inside that report (the simulator raises the loss on a thread of its own and waits for it).
void SIPASSVORMEKGATEWAY_CALL lossDuringConnectedReport(int32_t state, int32_t attempt, int32_t hresult) {
    recordConnection(state, attempt, hresult);
    if (state == GATEWAY_CONNECTION_CONNECTED && attempt == 1 && !g_lossRaised.exchange(true)) {
        sim::raiseClientStateChanged(0, 3000);
    }
}

// Records, and the first time attempt 1 reports connected, resynchronises as the header asks (reads a
// point) while the server drops the connection during that read.
void SIPASSVORMEKGATEWAY_CALL lossDuringResync(int32_t state, int32_t attempt, int32_t hresult) {
    recordConnection(state, attempt, hresult);
    if (state == GATEWAY_CONNECTION_CONNECTED && attempt == 1 && !g_lossRaised.exchange(true)) {
        sim::armCallFault(0, sim::CallFault::ReportLoss, E_FAIL, 2000);
        PointState point{};
        if (g_raceLibrary->getPointState(1015, &point)) {
            g_raceLibrary->cleanupPointDefinition(PointDefinition{0, nullptr, point});
        }
    }
}

// Turns the re-login off from inside the report of attempt 1 about to start.
void SIPASSVORMEKGATEWAY_CALL policyOffWhenRetrying(int32_t state, int32_t attempt, int32_t hresult) {
    recordConnection(state, attempt, hresult);
    if (state == GATEWAY_CONNECTION_RETRYING) {
        g_raceLibrary->setReconnectPolicy(0, 0);
    }
}

// Blocks the report of a loss until released (bounded).
HANDLE g_inside = nullptr;
HANDLE g_release = nullptr;
std::atomic<int> g_afterClose{0};
std::atomic<bool> g_closed{false};

void SIPASSVORMEKGATEWAY_CALL blockOnLoss(int32_t state, int32_t attempt, int32_t hresult) {
    if (g_closed) {
        ++g_afterClose;
    }
    recordConnection(state, attempt, hresult);
    if (state == GATEWAY_CONNECTION_LOST) {
        ::SetEvent(g_inside);
        ::WaitForSingleObject(g_release, 5000);
    }
}

class ReloginRaces : public Reconnect {
protected:
    void SetUp() override {
        Reconnect::SetUp();
        g_raceLibrary = &library;
        g_lossRaised = false;
    }

    // How often a loss scheduled attempt 1 (the line is logged only when one was scheduled).
    size_t scheduledLosses() {
        size_t found = 0;
        for (const std::wstring& text : log.texts()) {
            found += text.rfind(L"Connection to SiPass Server lost. Re-login attempt 1 in ", 0) == 0 ? 1 : 0;
        }
        return found;
    }

    // True once the last report says connected and the client is connected, within timeoutMs.
    static bool endsConnected(unsigned timeoutMs) {
        for (unsigned waited = 0; waited < timeoutMs; waited += 20) {
            const std::vector<Report> now = g_reports.snapshot();
            const std::vector<sim::ClientSnapshot> clients = sim::clients();
            if (!now.empty() && now.back().state == GATEWAY_CONNECTION_CONNECTED && !clients.empty() &&
                clients.back().connectionState == 1) {
                return true;
            }
            ::Sleep(20);
        }
        return false;
    }
};

}  // namespace

// The new connection of attempt 1 drops while its "1, 1, 0" is being delivered, after the attempt has ended
// its login and before the re-login thread has finished the attempt: attempt 1 follows all the same.
TEST_F(ReloginRaces, ALossWhileAnAttemptReportsConnectedIsLoggedInAgain) {
    library.RegisterConnectionStateCallback(&lossDuringConnectedReport);
    loginWithPolicy(10, 40);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    const bool recovered = endsConnected(3000);
    EXPECT_TRUE(g_lossRaised.load());
    EXPECT_TRUE(recovered) << "down with the policy on and credentials kept, and no attempt pending";
    EXPECT_EQ(2u, scheduledLosses()) << "the second loss scheduled no attempt";
    const std::vector<Report> reports = g_reports.snapshot();
    ASSERT_GE(reports.size(), 5u);
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(1, 1), r(0)}),
              std::vector<Report>(reports.begin(), reports.begin() + 5));
}

// The same through what a host is asked to do after "1, n, 0": it reads the door states again, and the
// server drops during that read.
TEST_F(ReloginRaces, ALossWhileTheHostResynchronisesAfterAnAttemptIsLoggedInAgain) {
    library.RegisterConnectionStateCallback(&lossDuringResync);
    loginWithPolicy(10, 40);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    const bool recovered = endsConnected(3000);
    EXPECT_TRUE(g_lossRaised.load());
    EXPECT_TRUE(sim::appliedCallFault().has_value());
    EXPECT_TRUE(recovered) << "down with the policy on and credentials kept, and no attempt pending";
    EXPECT_EQ(2u, scheduledLosses()) << "the second loss scheduled no attempt";
    const std::vector<Report> reports = g_reports.snapshot();
    ASSERT_GE(reports.size(), 7u);
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(1, 1), r(0), r(2, 1)}),
              std::vector<Report>(reports.begin(), reports.begin() + 6));
    EXPECT_EQ(r(1, 1), reports.back());
}

// The policy turned off from inside "2, 1, 0" ends the attempt without credentials, reports it failed and
// schedules nothing more; nothing deadlocks.
TEST_F(ReloginRaces, ThePolicyTurnedOffInsideTheRetryingReportEndsTheAttempts) {
    library.RegisterConnectionStateCallback(&policyOffWhenRetrying);
    loginWithPolicy(10, 40);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(g_reports.waitFor(4, 3000));
    EXPECT_FALSE(g_reports.waitFor(5, 300));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(0, 1, E_ABORT)}), g_reports.snapshot());
    EXPECT_EQ(1, sim::callCount("IComClient::Connect"));
}

// Close while a client thread is inside the connection-state callback waits for it, and no report
// of the closed object follows Close.
TEST_F(ReloginRaces, CloseWaitsForAReportBeingDeliveredOnAClientThread) {
    g_inside = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_afterClose = 0;
    g_closed = false;
    library.RegisterConnectionStateCallback(&blockOnLoss);
    loginWithPolicy(10, 40);
    std::thread loss([] { sim::raiseClientStateChanged(0, 8000); });
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_inside, 5000));
    std::atomic<bool> closeReturned{false};
    std::thread closer([&] {
        library.Close();
        g_closed = true;
        closeReturned = true;
    });
    ::Sleep(300);
    EXPECT_FALSE(closeReturned.load()) << "Close returned while a callback of its object was running";
    ::SetEvent(g_release);
    closer.join();
    loss.join();
    ::Sleep(200);
    EXPECT_EQ(0, g_afterClose.load());
    EXPECT_EQ((std::vector<Report>{r(1), r(0)}), g_reports.snapshot());
    ::CloseHandle(g_inside);
    ::CloseHandle(g_release);
}
