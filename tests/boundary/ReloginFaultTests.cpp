// Re-login when things go wrong at the worst moment: a client that raises during an attempt, a loss
// reported while a login is ending, late reports of a replaced client, a late Close, door calls from the
// connection-state callback against a client that serialises its requests, and a client that comes back by
// itself with the re-login off. Each ends with the last report telling the truth.
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionReports.h"

namespace {

// A log function that records like LogCapture and, once, runs an action on the line it waits for (on the
// thread that logs it, while that thread is inside the gateway).
std::mutex g_triggerMutex;
std::wstring g_triggerLine;
std::function<void()> g_triggerAction;

void SIPASSVORMEKGATEWAY_CALL logAndAct(LogLevel level, const wchar_t* text) {
    LogCapture::callback(level, text);
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(g_triggerMutex);
        if (g_triggerAction && text != nullptr && g_triggerLine == text) {
            action.swap(g_triggerAction);
        }
    }
    if (action) {
        action();
    }
}

class ReloginUnderFaults : public Reconnect {
protected:
    void SetUp() override {
        Reconnect::SetUp();
        library.RegisterLogCallback(&logAndAct);
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> lock(g_triggerMutex);
            g_triggerAction = nullptr;
        }
        library.RegisterLogCallback(&LogCapture::callback);
        Reconnect::TearDown();
    }

    // When `line` is logged next, the client reports `state` (from a simulator thread, waited for).
    static void onLine(const wchar_t* line, std::function<void()> action) {
        std::lock_guard<std::mutex> lock(g_triggerMutex);
        g_triggerLine = line;
        g_triggerAction = std::move(action);
    }

    // Waits until the last report is `expected` (any report of its state when `anyAttempt`) and no other
    // follows within quietMs.
    static bool settlesOn(const Report& expected, unsigned quietMs = 400, bool anyAttempt = false) {
        for (int turn = 0; turn < 200; ++turn) {
            const std::vector<Report> now = g_reports.snapshot();
            const bool matches = !now.empty() && (anyAttempt ? now.back().state == expected.state
                                                             : now.back() == expected);
            if (matches && !g_reports.waitFor(now.size() + 1, quietMs)) {
                return true;
            }
            g_reports.waitFor(now.size() + 1, 100);
        }
        return false;
    }
};

}  // namespace

// The re-login thread is an entry point: whatever the client raises during an attempt is logged, counted
// as a failed attempt with the HRESULT of the exception, and the next attempt logs in.
TEST_F(ReloginUnderFaults, AClientThatRaisesDuringAnAttemptFailsThatAttemptOnly) {
    const char* methods[] = {"IComClient::put_EventMask", "IComClient::get_ConnectionState",
                             "IConnectionPoint::Advise", "IComClient::Connect",
                             "IUnknown::QueryInterface(IConnectionPointContainer)"};
    for (const char* method : methods) {
        for (sim::Raise what : {sim::Raise::AccessViolation, sim::Raise::MsvcCppException}) {
            SCOPED_TRACE(std::string(method) + (what == sim::Raise::AccessViolation ? " AV" : " MSVC"));
            g_reports.clear();
            log.clear();
            loginWithPolicy(10, 40);
            sim::raiseInMethod(method, what);
            ASSERT_TRUE(sim::raiseClientStateChanged(0));
            // The attempt that met the fault, then the faults go and a later attempt logs in.
            ASSERT_TRUE(g_reports.waitFor(4));
            sim::clearFaults();
            ASSERT_TRUE(settlesOn(r(1), 200, true));
            const std::vector<Report> reports = g_reports.snapshot();
            const HRESULT raised = HRESULT_FROM_NT(what == sim::Raise::AccessViolation ? 0xC0000005 : 0xE06D7363);
            const std::wstring line = what == sim::Raise::AccessViolation
                                          ? L"Exception in re-login attempt 1: structured exception 0xC0000005"
                                          : L"Exception in re-login attempt 1: structured exception 0xE06D7363";
            EXPECT_TRUE(log.contains(line));
            // Reading the old client's state is not a step of the login: that attempt goes on and succeeds.
            if (std::string(method) == "IComClient::get_ConnectionState") {
                EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(1, 1)}), reports);
            } else {
                ASSERT_GE(reports.size(), 6u);
                EXPECT_EQ(r(0, 1, raised), reports[3]);
                EXPECT_EQ(r(2, 2), reports[4]);
            }
            EXPECT_EQ(1, sim::advisedSinkCount());
            // The lifecycle lock was given back: Close finishes, and the next round logs in again.
            EXPECT_TRUE(library.Close());
            library.RegisterAlarmStateCallback(&recordState);
            library.RegisterConnectionStateCallback(&recordConnection);
        }
    }
}

// The server drops right after the event connection is advised, before gateway_Init has returned: Init
// succeeds, the host hears 1, 0, 0 and then the loss, and the re-login follows; without a policy the last
// report says lost.
TEST_F(ReloginUnderFaults, ALossWhileInitEndsIsReportedAfterItAndReLoggedIn) {
    ASSERT_TRUE(library.setReconnectPolicy(20, 100));
    onLine(L"Advise ConnectionPoint succeeded.", [] { sim::raiseClientStateChanged(0, 3000); });
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(settlesOn(r(1, 1)));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(1, 1)}), g_reports.snapshot());
    EXPECT_EQ(1, g_reports.disconnects);
    EXPECT_EQ(1, sim::clients().at(0).connectionState);
    GatewayStatistics statistics{};
    statistics.size = sizeof statistics;
    ASSERT_TRUE(library.GetStatistics(&statistics));
    EXPECT_EQ(1, statistics.loggedIn);

    ASSERT_TRUE(library.setReconnectPolicy(0, 0));
    g_reports.clear();
    onLine(L"Advise ConnectionPoint succeeded.", [] { sim::raiseClientStateChanged(0, 3000); });
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(settlesOn(r(0)));
    EXPECT_EQ((std::vector<Report>{r(1), r(0)}), g_reports.snapshot());
    ASSERT_TRUE(library.GetStatistics(&statistics));
    EXPECT_EQ(0, statistics.loggedIn);
}

// A loss the replaced client reports while attempt 1 runs is not a loss of the new connection.
TEST_F(ReloginUnderFaults, TheOldClientsLateLossCostsNoSecondReLogin) {
    loginWithPolicy(20, 100);
    onLine(L"Re-login attempt 1.", [] { sim::raiseClientStateChanged(0, 3000); });
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(settlesOn(r(1, 1), 600));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(1, 1)}), g_reports.snapshot());
    EXPECT_EQ(2, sim::callCount("IComClient::Connect"));
    // The loss line announces an attempt only when one is scheduled: once here.
    size_t lossLines = 0;
    for (const std::wstring& text : log.texts()) {
        lossLines += text.rfind(L"Connection to SiPass Server lost. Re-login attempt 1 in ", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(1u, lossLines);
}

// gateway_Init refused for a null password is a failed Init: the credentials of the earlier login go.
TEST_F(ReloginUnderFaults, AnInitRefusedForANullPasswordKeepsNoCredentials) {
    loginWithPolicy(10, 40);
    EXPECT_FALSE(library.Init(L"operator", nullptr));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    EXPECT_FALSE(g_reports.waitFor(3, 300));
    EXPECT_EQ((std::vector<Report>{r(1), r(0)}), g_reports.snapshot());
    EXPECT_FALSE(log.contains(L"Re-login attempt 1."));
}

// With the re-login off, a client that comes back by itself is reported connected again; a connected
// report while an attempt runs neither ends the retries nor says connected before the attempt does.
TEST_F(ReloginUnderFaults, TheLastReportTellsWhetherTheClientIsConnectedWhateverThePolicy) {
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(sim::raiseClientStateChanged(1));
    ASSERT_TRUE(sim::raiseClientStateChanged(1));
    ASSERT_TRUE(settlesOn(r(1)));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(1)}), g_reports.snapshot());

    g_reports.clear();
    ASSERT_TRUE(library.setReconnectPolicy(10, 40));
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    sim::failMethodNext("IComClient::Connect", E_FAIL, 2);
    onLine(L"Re-login attempt 1.", [] { sim::raiseClientStateChanged(1, 3000); });
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(settlesOn(r(1, 3)));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(0, 1, E_FAIL), r(2, 2), r(0, 2, E_FAIL), r(2, 3),
                                   r(1, 3)}),
              g_reports.snapshot());
}

// Close, Init and Close queued behind an attempt: the second Close finds its object closed already and
// leaves the login of the Init between them alone, which is then logged in again after its next loss.
TEST_F(ReloginUnderFaults, ALateCloseLeavesANewerLoginAndItsCredentialsAlone) {
    int checked = 0;
    for (int trial = 0; trial < 6; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        loginWithPolicy(10, 40);
        sim::setConnectDelay(400);
        ASSERT_TRUE(sim::raiseClientStateChanged(0));
        ASSERT_TRUE(sim::waitForWaitingConnects(1));
        auto count = [&](const wchar_t* line) {
            size_t found = 0;
            for (const std::wstring& text : log.texts()) {
                found += text == line ? 1 : 0;
            }
            return found;
        };
        auto queued = [&](std::function<void()> call, const wchar_t* line) {
            const size_t before = count(line);
            std::thread thread(std::move(call));
            for (int i = 0; i < 2000 && count(line) == before; ++i) {
                ::Sleep(1);
            }
            ::Sleep(20);  // past its first line, waiting for the lifecycle lock
            return thread;
        };
        std::thread first = queued([&] { library.Close(); }, L"SIPASSVORMEKGATEWAY_API: close called");
        std::thread init = queued([&] { library.Init(L"operator", L"sipass"); }, L"SIPASSVORMEKGATEWAY_API: init");
        std::thread late = queued([&] { library.Close(); }, L"SIPASSVORMEKGATEWAY_API: close called");
        sim::setConnectDelay(0);
        first.join();
        init.join();
        late.join();
        // Where the Init ran last its login stands: its next loss is logged in again.
        if (sim::advisedSinkCount() == 1) {
            ++checked;
            log.clear();
            ASSERT_TRUE(sim::raiseClientStateChanged(0));
            for (int i = 0; i < 300 && !log.contains(L"Re-login attempt 1 succeeded."); ++i) {
                ::Sleep(10);
            }
            EXPECT_TRUE(log.contains(L"Re-login attempt 1 succeeded."));
        }
        ASSERT_TRUE(library.Close());
        library.RegisterAlarmStateCallback(&recordState);
        library.RegisterConnectionStateCallback(&recordConnection);
        g_reports.clear();
    }
    EXPECT_GT(checked, 0) << "the Init never ran between the two Close calls: the test proved nothing";
}

namespace {

// A connection-state callback that reads a point whenever the connection is up, as the header tells a
// host to do after a re-login, while an event delivery is in progress on a client thread.
GatewayLibrary* g_library = nullptr;
std::atomic<int> g_pointReads{0};
std::atomic<int> g_pointReadsFailed{0};

void SIPASSVORMEKGATEWAY_CALL readPointWhenUp(int32_t state, int32_t attempt, int32_t hresult) {
    recordConnection(state, attempt, hresult);
    if (state != GATEWAY_CONNECTION_CONNECTED) {
        return;
    }
    // An event on its way: the client's thread has entered the sink (or even left it) before the door
    // request is made.
    auto received = [] {
        std::lock_guard<std::mutex> lock(g_received.mutex);
        return g_received.states.size();
    };
    const size_t before = received();
    std::thread delivery([] { sim::deliverEvent(objectStateEvent(sim::localNow()), 10000); });
    for (int i = 0; i < 2000 && sim::deliveriesInProgress() == 0 && received() == before; ++i) {
        ::Sleep(1);
    }
    PointState point{};
    if (g_library->getPointState(1015, &point)) {
        ++g_pointReads;
        g_library->cleanupPointDefinition(PointDefinition{0, nullptr, point});
    } else {
        ++g_pointReadsFailed;
    }
    delivery.join();
}

}  // namespace

TEST_F(ReloginUnderFaults, TheConnectionStateCallbackMayReadTheDoorsFromASerialisingClient) {
    g_library = &library;
    g_pointReads = 0;
    g_pointReadsFailed = 0;
    library.RegisterConnectionStateCallback(&readPointWhenUp);
    sim::setSerialisedRequests(true);
    ASSERT_TRUE(library.setReconnectPolicy(10, 40));
    std::atomic<bool> done{false};
    std::thread host([&] {
        if (library.Init(L"operator", L"sipass") && sim::raiseClientStateChanged(0, 10000)) {
            for (int i = 0; i < 1000 && g_pointReads + g_pointReadsFailed < 2; ++i) {
                ::Sleep(5);
            }
        }
        done = true;
    });
    for (int i = 0; i < 1000 && !done; ++i) {
        ::Sleep(10);
    }
    const bool deadlocked = !done;
    // Lets every waiting request go on, so that a deadlock fails the test instead of hanging it.
    sim::setSerialisedRequests(false);
    host.join();
    ASSERT_FALSE(deadlocked) << "a door request from the connection-state callback waited for a delivery "
                                "that waited for the gateway";
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(1, 1)}), g_reports.snapshot());
    EXPECT_EQ(2, g_pointReads.load());
    EXPECT_EQ(0, g_pointReadsFailed.load());
    // Both events reached the host.
    std::lock_guard<std::mutex> lock(g_received.mutex);
    EXPECT_EQ(2u, g_received.states.size());
    EXPECT_TRUE(library.Close());
}
