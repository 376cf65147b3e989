// The connection check: a loss the client never reports, found by asking it, and handled as a reported
// loss; the check's own failures and raises; the interval's range; its thread against Close, Init and the
// re-login. Every wait is bounded.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionReports.h"

namespace {

const char kStateCall[] = "IComClient::get_ConnectionState";
const wchar_t kNotConnectedLine[] =
    L"Connection check: the client answers that it is not connected (state 0).";
const wchar_t kTreatedAsLostLine[] =
    L"Connection check: the client reported no loss of this connection. Treated as lost.";
const wchar_t kStaleLine[] =
    L"Connection check: the connection changed before its loss was handled. Nothing to do.";

// Lines as they arrive, so that a test can wait for one.
std::mutex g_lineMutex;
std::condition_variable g_lineArrived;

void SIPASSVORMEKGATEWAY_CALL watchLog(LogLevel level, const wchar_t* text) {
    LogCapture::callback(level, text);
    { std::lock_guard<std::mutex> lock(g_lineMutex); }
    g_lineArrived.notify_all();
}

GatewayLibrary* g_checkLibrary = nullptr;
std::atomic<int> g_closeResult{-1};  // what the Close made from a callback returned: 1 true, 0 false

// Records, and brings the server back from inside the report of a loss, so that attempt 1 finds it online.
void SIPASSVORMEKGATEWAY_CALL serverBackOnLoss(int32_t state, int32_t attempt, int32_t hresult) {
    recordConnection(state, attempt, hresult);
    if (state == GATEWAY_CONNECTION_LOST && attempt == 0) {
        sim::setServerOnline(true);
    }
}

// The disconnect callback of a loss the check found runs on the check's thread: Close from there is
// refused like Close from any callback.
void SIPASSVORMEKGATEWAY_CALL closeFromDisconnect() {
    countDisconnect();
    g_closeResult = g_checkLibrary->Close() ? 1 : 0;
}

// Closes the gateway from the log function, on the check's thread, when the check logs what it found.
void SIPASSVORMEKGATEWAY_CALL closeOnFinding(LogLevel level, const wchar_t* text) {
    watchLog(level, text);
    if (std::wcscmp(text, kNotConnectedLine) == 0 && g_closeResult.load() == -1) {
        g_closeResult = g_checkLibrary->Close() ? 1 : 0;
    }
}

class ConnectionCheck : public Reconnect {
protected:
    void SetUp() override {
        Reconnect::SetUp();
        library.RegisterLogCallback(&watchLog);
        g_checkLibrary = &library;
        g_closeResult = -1;
    }
    void releaseEverything() override {
        Reconnect::releaseEverything();
        library.setConnectionCheck(0);
        library.setDeliveryQueue(0);
    }

    void login() {
        ASSERT_TRUE(library.Init(L"operator", L"sipass"));
        ASSERT_TRUE(g_reports.waitFor(1));
    }

    bool waitForLine(const std::wstring& text, unsigned timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(g_lineMutex);
        return g_lineArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return log.contains(text); });
    }

    size_t countLines(const std::wstring& text) const {
        size_t found = 0;
        for (const std::wstring& line : log.texts()) {
            found += line == text ? 1 : 0;
        }
        return found;
    }

    // True when each line occurs, each after the one before it.
    bool inOrder(const std::vector<std::wstring>& lines) const {
        const std::vector<std::wstring> texts = log.texts();
        size_t at = 0;
        for (const std::wstring& line : lines) {
            while (at < texts.size() && texts[at] != line) {
                ++at;
            }
            if (at == texts.size()) {
                return false;
            }
            ++at;
        }
        return true;
    }

    GatewayStatistics statistics() {
        GatewayStatistics record{};
        record.size = sizeof record;
        EXPECT_TRUE(library.GetStatistics(&record));
        return record;
    }

    // Delays the get_ConnectionState of the next check and waits until the check is inside that call. The
    // position of that call among a turn's traced calls (the client's AddRef and Release around it) is
    // read from one whole turn first. REQUIRES: a login, and no check due within the next few hundred ms.
    void holdNextCheckInItsCall(unsigned delayMs) {
        sim::startCallTrace();
        ASSERT_TRUE(sim::waitForCallCount(kStateCall, sim::callCount(kStateCall) + 1));
        ::Sleep(200);  // the rest of that turn; the next one is most of an interval away
        const std::vector<std::string> turn = sim::stopCallTrace();
        const auto at = std::find(turn.begin(), turn.end(), kStateCall);
        ASSERT_NE(turn.end(), at);
        sim::armCallFault(static_cast<int>(at - turn.begin()), sim::CallFault::Delay, S_OK, delayMs);
        ASSERT_TRUE(sim::waitForCallFault(5000));
        ASSERT_EQ(kStateCall, sim::appliedCallFault().value_or(""));
    }
};

}  // namespace

// A path that died without the client noticing: the check finds it, the host hears what a reported loss
// tells it, the re-login brings the connection back and events flow again. The checks that tick during the
// slow attempt change nothing, and the check follows the new connection: the next silent outage is found
// too.
TEST_F(ConnectionCheck, ASilentOutageIsFoundTreatedAsAReportedLossAndLoggedInAgain) {
    library.RegisterConnectionStateCallback(&serverBackOnLoss);
    const GatewayStatistics before = statistics();
    ASSERT_TRUE(library.setConnectionCheck(1000));
    loginWithPolicy(50, 200);
    deliverOneEvent(1);

    sim::setConnectDelay(2500);
    sim::setServerOfflineSilently();
    ASSERT_TRUE(g_reports.waitFor(4, 15000));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(1, 1)}), g_reports.snapshot());
    EXPECT_EQ(1, g_reports.disconnects);
    EXPECT_TRUE(inOrder({kNotConnectedLine, kTreatedAsLostLine, L"Client State Changed",
                         L"Connection to SiPass Server lost. Re-login attempt 1 in 50 ms.",
                         L"Re-login attempt 1 succeeded."}));
    sim::setConnectDelay(0);

    deliverOneEvent(2);
    {
        std::lock_guard<std::mutex> lock(g_received.mutex);
        ASSERT_EQ(2u, g_received.states.size());
        EXPECT_EQ(2, g_received.states[1].eventId);
    }
    ASSERT_EQ(1u, sim::clients().size());
    EXPECT_EQ(1, sim::advisedSinkCount());

    sim::setServerOfflineSilently();
    ASSERT_TRUE(g_reports.waitFor(7, 15000));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(1, 1), r(0), r(2, 1), r(1, 1)}),
              g_reports.snapshot());
    EXPECT_EQ(2, g_reports.disconnects);

    const GatewayStatistics after = statistics();
    EXPECT_EQ(2u, after.connectionCheckLosses - before.connectionCheckLosses);
    EXPECT_EQ(2u, after.connectionLosses - before.connectionLosses);
    EXPECT_EQ(0u, after.connectionCheckFailures - before.connectionCheckFailures);
    EXPECT_EQ(2u, after.reloginSuccesses - before.reloginSuccesses);
}

// One failed or raising check is nothing; a success in between starts the count afresh; the second failure
// in a row is a loss. Once the host has been told of the loss, the check asks no more.
TEST_F(ConnectionCheck, AFailingCheckCountsAsALossOnlyAtTheSecondFailureInARow) {
    const GatewayStatistics before = statistics();
    ASSERT_TRUE(library.setConnectionCheck(1000));
    login();
    const int calls = sim::callCount(kStateCall);

    // Failed, good, failed, good. The fault of each is set once the call before it has been counted (and
    // has looked up its own fault).
    sim::failMethodNext(kStateCall, E_FAIL, 1);
    ASSERT_TRUE(sim::waitForCallCount(kStateCall, calls + 2));
    sim::failMethodNext(kStateCall, E_FAIL, 1);
    ASSERT_TRUE(sim::waitForCallCount(kStateCall, calls + 4));
    // The fourth call has started, so the third's outcome has been handled.
    EXPECT_EQ((std::vector<Report>{r(1)}), g_reports.snapshot());
    EXPECT_EQ(0, g_reports.disconnects);
    EXPECT_EQ(2u, countLines(L"get_ConnectionState() for the connection check failed: hr=-2147467259"));
    EXPECT_EQ(0u, countLines(kTreatedAsLostLine));

    // A raise, then a failure: two in a row.
    sim::raiseInMethod(kStateCall, sim::Raise::AccessViolation);
    ASSERT_TRUE(sim::waitForCallCount(kStateCall, calls + 5));
    sim::clearFaults();
    sim::failMethodNext(kStateCall, E_FAIL, 1);
    ASSERT_TRUE(g_reports.waitFor(2));
    EXPECT_EQ((std::vector<Report>{r(1), r(0)}), g_reports.snapshot());
    EXPECT_EQ(1, g_reports.disconnects);
    EXPECT_TRUE(
        inOrder({L"Exception in the connection check: structured exception 0xC0000005",
                 L"get_ConnectionState() for the connection check failed: hr=-2147467259",
                 L"Connection check: the client could not tell its connection state 2 times in a row.",
                 kTreatedAsLostLine, L"Client State Changed"}));

    EXPECT_FALSE(sim::waitForCallCount(kStateCall, calls + 7, 2500)) << "the check asked a client it had "
                                                                        "found lost";
    const GatewayStatistics after = statistics();
    EXPECT_EQ(4u, after.connectionCheckFailures - before.connectionCheckFailures);
    EXPECT_EQ(1u, after.connectionCheckLosses - before.connectionCheckLosses);
}

// The client reports the loss the check found after all: the host is not told twice. Once the client has
// reported the connection back, its next loss is news again.
TEST_F(ConnectionCheck, TheClientsOwnReportOfALossTheCheckFoundReachesTheHostOnce) {
    ASSERT_TRUE(library.setConnectionCheck(1000));
    login();
    sim::setServerOfflineSilently();
    ASSERT_TRUE(g_reports.waitFor(2));

    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    EXPECT_EQ((std::vector<Report>{r(1), r(0)}), g_reports.snapshot());
    EXPECT_EQ(1, g_reports.disconnects);
    EXPECT_TRUE(
        log.contains(L"Connection check: the client now reports the loss the check found. The host has "
                     L"been told of it already."));

    ASSERT_TRUE(sim::setServerOnline(true));
    ASSERT_TRUE(sim::raiseClientStateChanged(1));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(1), r(0)}), g_reports.snapshot());
    EXPECT_EQ(2, g_reports.disconnects);
}

// Off by default: a host that never turns the check on has no check and no thread of it, and a silent
// outage goes unnoticed, as it always has. Values out of range are refused and change nothing; the bounds
// are taken, and a shorter interval applies at once, not after the longer one.
TEST_F(ConnectionCheck, TheCheckIsOffUntilAnIntervalInRangeTurnsItOn) {
    login();
    const int calls = sim::callCount(kStateCall);
    sim::setServerOfflineSilently();
    EXPECT_FALSE(sim::waitForCallCount(kStateCall, calls + 1, 2500));

    for (int32_t value : {-1, 1, 999, 3600001, INT32_MIN, INT32_MAX}) {
        EXPECT_FALSE(library.setConnectionCheck(value)) << value;
        wchar_t text[256] = {};
        EXPECT_EQ(GATEWAY_E_INVALID_ARGUMENT, library.GetLastError(text, 256)) << value;
    }
    EXPECT_TRUE(
        log.contains(L"gateway_setConnectionCheck(999) refused: the interval must be 0 (off) or 1000 to "
                     L"3600000 ms. Nothing changed."));
    EXPECT_FALSE(sim::waitForCallCount(kStateCall, calls + 1, 1500));
    EXPECT_EQ((std::vector<Report>{r(1)}), g_reports.snapshot());
    EXPECT_EQ(0, g_reports.disconnects);

    ASSERT_TRUE(library.setConnectionCheck(3600000));
    wchar_t text[64] = {};
    EXPECT_EQ(0, library.GetLastError(text, 64));
    EXPECT_TRUE(log.contains(L"Connection check on: every 3600000 ms."));
    ASSERT_TRUE(library.setConnectionCheck(1000));
    ASSERT_TRUE(g_reports.waitFor(2, 5000))
        << "the check did not start after the login, or waited out the hour";
    EXPECT_EQ((std::vector<Report>{r(1), r(0)}), g_reports.snapshot());
    EXPECT_TRUE(library.setConnectionCheck(0));
    EXPECT_TRUE(log.contains(L"Connection check off."));
}

// The check's thread starts with a login, not before; Close ends it; the interval outlives Close like the
// re-login policy; a failed Init starts nothing.
TEST_F(ConnectionCheck, NoThreadWithoutALoginAndNoneLeftAfterClose) {
    const int threadsBefore = threadCount();
    ASSERT_TRUE(library.setConnectionCheck(1000));
    EXPECT_EQ(threadsBefore, threadCount()) << "a thread without a login";

    // No SCOPED_TRACE here: its first use on a thread starts a thread of GoogleTest's own.
    for (int round = 0; round < 2; ++round) {
        g_reports.clear();
        login();
        ASSERT_TRUE(sim::waitForCallCount(kStateCall, sim::callCount(kStateCall) + 1))
            << "no check after login " << round;
        EXPECT_TRUE(library.Close());
        EXPECT_TRUE(waitForThreadsAtMost(threadsBefore))
            << "login " << round << ": " << threadCount() << " threads, " << threadsBefore << " before";
        EXPECT_FALSE(sim::waitForCallCount(kStateCall, sim::callCount(kStateCall) + 1, 1500))
            << "a check after Close " << round;
        library.RegisterConnectionStateCallback(&recordConnection);
    }

    EXPECT_FALSE(library.Init(L"operator", L"wrong"));
    EXPECT_EQ(threadsBefore, threadCount()) << "a thread after a failed login";
}

// Close while a check waits in its client call: Close waits for that one call and no longer, and what the
// call then answers ("not connected": the server went away meanwhile) reaches nobody.
TEST_F(ConnectionCheck, CloseWaitsForACheckInItsClientCallAndNothingOfItFollows) {
    ASSERT_TRUE(library.setConnectionCheck(1000));
    login();
    ASSERT_NO_FATAL_FAILURE(holdNextCheckInItsCall(1500));
    sim::setServerOfflineSilently();
    // Counted here, with the check's thread: GoogleTest's own thread for this one has started by now.
    const int threadsBefore = threadCount() - 1;

    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(library.Close());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(4000));
    EXPECT_TRUE(waitForThreadsAtMost(threadsBefore))
        << threadCount() << " threads, " << threadsBefore << " before";
    EXPECT_TRUE(log.contains(kNotConnectedLine)) << "the held call did not return before Close did";
    EXPECT_FALSE(log.contains(kTreatedAsLostLine));
    EXPECT_EQ((std::vector<Report>{r(1)}), g_reports.snapshot());
    EXPECT_EQ(0, g_reports.disconnects);
}

// The check's own thread closes the gateway: from the disconnect callback it is refused as from any
// callback; from the log function, during a line of the check, it closes without waiting for itself, and
// the check delivers nothing afterwards.
TEST_F(ConnectionCheck, CloseOnTheChecksOwnThreadNeitherDeadlocksNorDeliversAfterwards) {
    const int threadsBefore = threadCount();
    library.RegisterDisconnectCallback(&closeFromDisconnect);
    ASSERT_TRUE(library.setConnectionCheck(1000));
    login();
    sim::setServerOfflineSilently();
    ASSERT_TRUE(g_reports.waitFor(2));
    EXPECT_EQ(0, g_closeResult.load());
    EXPECT_TRUE(
        log.contains(L"gateway_Close refused: called from inside a gateway callback, which runs while "
                     L"the gateway delivers an event. Call it from another thread."));
    EXPECT_EQ((std::vector<Report>{r(1), r(0)}), g_reports.snapshot());
    EXPECT_TRUE(library.Close());
    ASSERT_TRUE(sim::setServerOnline(true));

    g_closeResult = -1;
    g_reports.clear();
    library.RegisterConnectionStateCallback(&recordConnection);
    library.RegisterDisconnectCallback(&countDisconnect);
    library.RegisterLogCallback(&closeOnFinding);
    login();
    log.clear();
    sim::setServerOfflineSilently();
    ASSERT_TRUE(waitForLine(L"Destructor called"));
    // The thread ends once the Close on it has returned and its turn is over.
    EXPECT_TRUE(waitForThreadsAtMost(threadsBefore))
        << threadCount() << " threads, " << threadsBefore << " before";
    EXPECT_EQ(1, g_closeResult.load());
    library.RegisterLogCallback(&watchLog);
    EXPECT_FALSE(log.contains(kTreatedAsLostLine)) << "the check delivered after the Close on its thread";
    EXPECT_EQ((std::vector<Report>{r(1)}), g_reports.snapshot());
    EXPECT_EQ(0, g_reports.disconnects);
}

// The host logs in again while a check waits in its call to the old client: that client, disconnected and
// replaced meanwhile, answers "not connected", which is about a connection the host no longer has. The
// check goes on with the new one.
TEST_F(ConnectionCheck, AFindingAboutAConnectionInitReplacedMeanwhileChangesNothing) {
    ASSERT_TRUE(library.setConnectionCheck(1000));
    login();
    ASSERT_NO_FATAL_FAILURE(holdNextCheckInItsCall(1500));
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(waitForLine(kStaleLine));
    EXPECT_TRUE(log.contains(kNotConnectedLine));
    EXPECT_EQ((std::vector<Report>{r(1), r(1)}), g_reports.snapshot());
    EXPECT_EQ(0, g_reports.disconnects);

    sim::setServerOfflineSilently();
    ASSERT_TRUE(g_reports.waitFor(3));
    EXPECT_EQ((std::vector<Report>{r(1), r(1), r(0)}), g_reports.snapshot());
    EXPECT_EQ(1, g_reports.disconnects);
}

// While a check waits in its call, the client reports the loss itself and the re-login replaces it: the
// check's late "not connected" neither reaches the host a second time nor starts another re-login of the
// healthy new connection.
TEST_F(ConnectionCheck, AFindingThatArrivesAfterTheClientsReportAndTheReloginChangesNothing) {
    const GatewayStatistics before = statistics();
    ASSERT_TRUE(library.setConnectionCheck(1000));
    loginWithPolicy(20, 100);
    ASSERT_NO_FATAL_FAILURE(holdNextCheckInItsCall(2000));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(g_reports.waitFor(4));
    ASSERT_TRUE(waitForLine(kStaleLine));
    EXPECT_FALSE(g_reports.waitFor(5, 1500));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(2, 1), r(1, 1)}), g_reports.snapshot());
    EXPECT_EQ(1, g_reports.disconnects);
    EXPECT_EQ(0u, statistics().connectionCheckLosses - before.connectionCheckLosses);
}

// With the delivery queue on, the client's reports and the check's findings are handled on their own
// threads without the gateway lock: a found loss reaches the host through the queue, and a finding held up
// until the client has reported the same loss itself counts for nothing.
TEST_F(ConnectionCheck, WithTheDeliveryQueueAFoundLossGoesThroughTheQueueAndIsToldOnce) {
    ASSERT_TRUE(library.setDeliveryQueue(100));
    ASSERT_TRUE(library.setConnectionCheck(1000));
    login();
    sim::setServerOfflineSilently();
    ASSERT_TRUE(g_reports.waitFor(2));
    EXPECT_EQ((std::vector<Report>{r(1), r(0)}), g_reports.snapshot());
    EXPECT_EQ(1, g_reports.disconnects);

    ASSERT_TRUE(sim::setServerOnline(true));
    ASSERT_TRUE(sim::raiseClientStateChanged(1));
    ASSERT_TRUE(g_reports.waitFor(3));
    ASSERT_NO_FATAL_FAILURE(holdNextCheckInItsCall(1500));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(waitForLine(kStaleLine));
    EXPECT_FALSE(g_reports.waitFor(5, 500));
    EXPECT_EQ((std::vector<Report>{r(1), r(0), r(1), r(0)}), g_reports.snapshot());
    EXPECT_EQ(2, g_reports.disconnects);
    EXPECT_EQ(1u, countLines(kTreatedAsLostLine));
}

// ---- A log function that holds the check between its answer and the handling of it ---------------------

namespace {

// Set by the log function when the check's thread has logged "not connected", which it does after the
// client answered and before the finding is handled; that thread then waits for g_letCheckGoOn.
HANDLE g_checkAnswered = nullptr;
HANDLE g_letCheckGoOn = nullptr;
// The log function closes the gateway once g_letCheckGoOn lets it go on.
std::atomic<bool> g_closeAfterHold{false};

void SIPASSVORMEKGATEWAY_CALL holdAfterAnswer(LogLevel level, const wchar_t* text) {
    watchLog(level, text);
    if (std::wcscmp(text, kNotConnectedLine) == 0 &&
        ::WaitForSingleObject(g_checkAnswered, 0) != WAIT_OBJECT_0) {
        ::SetEvent(g_checkAnswered);
        ::WaitForSingleObject(g_letCheckGoOn, 10000);
        if (g_closeAfterHold.load()) {
            g_closeResult = g_checkLibrary->Close() ? 1 : 0;
        }
    }
}

class ConnectionCheckHeld : public ConnectionCheck {
protected:
    void SetUp() override {
        ConnectionCheck::SetUp();
        g_checkAnswered = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_letCheckGoOn = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_closeAfterHold = false;
        library.RegisterLogCallback(&holdAfterAnswer);
    }
    void TearDown() override {
        ::SetEvent(g_letCheckGoOn);
        ConnectionCheck::TearDown();
        ::CloseHandle(g_checkAnswered);
        ::CloseHandle(g_letCheckGoOn);
    }
};

}  // namespace

// The client answers "not connected", and before that answer is handled (the host's log function is slow)
// the server comes back and the client reports itself connected. The answer is older than the report: the
// host, told nothing of a loss, must not now be told the connection it has is lost.
TEST_F(ConnectionCheckHeld, AFindingOlderThanTheClientsReportThatItIsConnectedChangesNothing) {
    const GatewayStatistics before = statistics();
    sim::setClientsReconnectByThemselves(true);
    ASSERT_TRUE(library.setConnectionCheck(1000));
    login();
    sim::setServerOfflineSilently();
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_checkAnswered, 10000));
    ASSERT_TRUE(sim::setServerOnline(true));
    ASSERT_EQ(1L, sim::clients().at(0).connectionState);
    ::SetEvent(g_letCheckGoOn);

    EXPECT_TRUE(waitForLine(kStaleLine));
    EXPECT_FALSE(log.contains(kTreatedAsLostLine));
    EXPECT_EQ((std::vector<Report>{r(1)}), g_reports.snapshot());
    EXPECT_EQ(0, g_reports.disconnects);
    EXPECT_EQ(0u, statistics().connectionCheckLosses - before.connectionCheckLosses);
}

// The host closes on one thread while its log function closes on the check's thread, during the check's
// line: the first Close waits for the check's thread with the lifecycle lock held, and the second waits for
// that lock. Both must return.
TEST_F(ConnectionCheckHeld, CloseOnTheChecksThreadWhileAnotherThreadClosesDoesNotDeadlock) {
    g_closeAfterHold = true;
    ASSERT_TRUE(library.setConnectionCheck(1000));
    login();
    sim::setServerOfflineSilently();
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_checkAnswered, 10000));

    HANDLE closed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> hostClose{-1};
    std::thread closer([&] {
        hostClose = library.Close() ? 1 : 0;
        ::SetEvent(closed);
    });
    EXPECT_TRUE(waitForLine(L"SIPASSVORMEKGATEWAY_API: close called"));
    ::Sleep(300);  // the host's Close takes the lifecycle lock and waits for the check's thread
    ::SetEvent(g_letCheckGoOn);

    if (::WaitForSingleObject(closed, 10000) != WAIT_OBJECT_0) {
        // Two threads wait for each other for good: nothing can end this process's run normally.
        ADD_FAILURE() << "gateway_Close on two threads deadlocked";
        std::fflush(stdout);
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }
    closer.join();
    ::CloseHandle(closed);
    EXPECT_EQ(1, hostClose.load());
    EXPECT_EQ(0, g_closeResult.load());
    EXPECT_TRUE(
        log.contains(L"gateway_Close refused: called from the log function on the connection check's thread "
                     L"while another thread closes the gateway. Call it from another thread."));
    EXPECT_FALSE(log.contains(kTreatedAsLostLine));
    EXPECT_EQ((std::vector<Report>{r(1)}), g_reports.snapshot());
    EXPECT_EQ(0, g_reports.disconnects);
}
