// The fault-position sweep: every client call the gateway makes during gateway_Init, during an automatic
// attempt and during gateway_Close is found by a clean run, then each one in turn fails, raises, has the
// connection lost under it, or waits while another host thread calls gateway_Close. After every run: no
// crash or hang, no client object or BSTR left, the last connection report tells the truth (and a lost
// connection with the policy on is logged in again), the credentials end with Close, and the gateway still
// logs in and delivers.
#include <windows.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionReports.h"

namespace {

const sim::CallFault kKinds[] = {sim::CallFault::Fail, sim::CallFault::Raise, sim::CallFault::ReportLoss,
                                 sim::CallFault::Delay};

// COM itself, not the gateway, calls the class factory's AddRef and Release inside CoCreateInstance, and
// under Wine with its class-registration lock held: a raise there abandons COM's own frames with that lock
// taken, which no caller can mend (COM then hangs every other thread that creates an object). Those two
// raise positions are left out; every other kind still runs at them.
bool breaksComItself(const std::string& method, sim::CallFault kind) {
    return kind == sim::CallFault::Raise &&
           (method == "IClassFactory::AddRef" || method == "IClassFactory::Release");
}

const char* kindName(sim::CallFault kind) {
    switch (kind) {
        case sim::CallFault::Fail: return "fail";
        case sim::CallFault::Raise: return "raise";
        case sim::CallFault::ReportLoss: return "loss";
        case sim::CallFault::Delay: return "delay";
    }
    return "?";
}

class FaultSweep : public Reconnect {
protected:
    void SetUp() override {
        Reconnect::SetUp();
        ASSERT_TRUE(library.setReconnectPolicy(5, 20));
        m_objects = sim::liveObjects();
        m_allocations = leaks::outstandingAllocations();
    }

    // Arms the fault; for Delay, another host thread calls gateway_Close while the call waits.
    void arm(int position, sim::CallFault kind) {
        sim::armCallFault(position, kind, E_FAIL, kind == sim::CallFault::Delay ? 40 : 200);
        if (kind == sim::CallFault::Delay) {
            m_closer = std::thread([this] {
                sim::waitForCallFault(3000);
                library.Close();
            });
        }
    }

    // Ends a run: the connection settles on a state the last report tells truthfully, events flow once
    // logged in, and after Close nothing of the client is left and a loss brings no attempt. `loggedIn`:
    // the host's last Init returned true.
    void finish(const std::string& run, sim::CallFault kind, bool loggedIn = true) {
        SCOPED_TRACE(run);
        if (m_closer.joinable()) {
            m_closer.join();
        }
        const std::optional<std::string> applied = sim::appliedCallFault();
        sim::clearFaults();
        if (!loggedIn || closed()) {
            // Nothing to come by itself: the host logs in again, and that must work.
            registerCallbacks();
            EXPECT_TRUE(library.Init(L"operator", L"sipass"));
        }
        if (!settled()) {
            std::string lines;
            for (const std::wstring& text : log.texts()) {
                lines += "\n  " + std::string(text.begin(), text.end());
            }
            ADD_FAILURE() << "the connection did not settle up; " << lastReport() << "; log:" << lines;
            fflush(stdout);
        }
        if (up()) {
            // Lost with the policy on: logged in again; up: the last report says so.
            ASSERT_EQ(GATEWAY_CONNECTION_CONNECTED, g_reports.snapshot().back().state);
            const size_t before = received();
            sim::EventObject event = objectStateEvent(sim::localNow());
            event.eventId = 4711;
            EXPECT_TRUE(sim::deliverEvent(event));
            EXPECT_EQ(before + 1, received());
        }
        EXPECT_TRUE(library.Close());
        // The credentials went with Close: a report of a client left over brings no attempt.
        log.clear();
        sim::raiseClientStateChanged(0, 1000);
        EXPECT_FALSE(log.contains(L"Re-login attempt 1.")) << "credentials outlived Close";
        EXPECT_EQ(0, sim::advisedSinkCount());
        // An object whose own Release raised stays alive, and so does one whose QueryInterface or factory
        // raised inside COM's creation of it (COM's frames that held it are gone): that is the client's
        // leak, not the gateway's. Nothing else may stay.
        const bool clientKeptItself = kind == sim::CallFault::Raise && applied.has_value();
        const long kept = sim::liveObjects() - m_objects;
        EXPECT_TRUE(kept == 0 || (clientKeptItself && kept == 1)) << kept << " objects left";
        if (kept > 0) {
            m_objects += kept;
            allowObjectsKeptByTheClient(kept);
        }
        EXPECT_EQ(m_allocations, leaks::outstandingAllocations()) << "BSTRs or SAFEARRAYs left";
        g_reports.clear();
        registerCallbacks();
    }

    void registerCallbacks() {
        library.RegisterAlarmStateCallback(&recordState);
        library.RegisterConnectionStateCallback(&recordConnection);
        library.setDropDuration(INT_MAX);
    }

    // The connection is up and the last report says so (bounded: false after about three seconds).
    bool settled() {
        for (int i = 0; i < 300; ++i) {
            const std::vector<Report> reports = g_reports.snapshot();
            const bool reportedUp =
                !reports.empty() && reports.back().state == GATEWAY_CONNECTION_CONNECTED;
            if (up() && reportedUp) {
                return true;
            }
            g_reports.waitFor(reports.size() + 1, 10);
        }
        return false;
    }

    // One client connected with the gateway's sink advised (a client that kept itself alive may be there
    // as well, disconnected).
    static bool up() {
        int advised = 0;
        for (const sim::ClientSnapshot& client : sim::clients()) {
            advised += client.advisedSinks;
            if (client.advisedSinks > 0 && client.connectionState != 1) {
                return false;
            }
        }
        return advised == 1;
    }

    static bool closed() {
        for (const sim::ClientSnapshot& client : sim::clients()) {
            if (client.advisedSinks > 0 || client.connectionState == 1) {
                return false;
            }
        }
        return true;
    }

    static size_t received() {
        std::lock_guard<std::mutex> lock(g_received.mutex);
        return g_received.states.size();
    }

    static std::string lastReport() {
        const std::vector<Report> reports = g_reports.snapshot();
        std::string text = "reports:";
        for (const Report& report : reports) {
            text += " " + std::to_string(report.state) + "," + std::to_string(report.attempt) + "," +
                    std::to_string(report.hresult);
        }
        return text;
    }

    static std::string name(const std::vector<std::string>& trace, int position, sim::CallFault kind) {
        return std::string(kindName(kind)) + " at " + std::to_string(position) + " (" + trace[position] + ")";
    }

    // One run per position of `trace` and kind of fault: `prepare`, the fault armed, `act` (the host's
    // answer to what it did: false when its Init failed), then finish.
    template <class Prepare, class Act>
    void sweep(const std::vector<std::string>& trace, Prepare prepare, Act act) {
        RecordProperty("positions", static_cast<int>(trace.size()));
        for (int position = 0; position < static_cast<int>(trace.size()); ++position) {
            for (sim::CallFault kind : kKinds) {
                if (breaksComItself(trace[position], kind)) {
                    continue;
                }
                prepare();
                arm(position, kind);
                const bool loggedIn = act();
                finish(name(trace, position, kind), kind, loggedIn);
            }
        }
    }

    std::thread m_closer;
    long m_objects = 0;
    long m_allocations = 0;
};

}  // namespace

TEST_F(FaultSweep, EveryCallOfInit) {
    sim::startCallTrace();
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    const std::vector<std::string> trace = sim::stopCallTrace();
    ASSERT_GE(trace.size(), 8u);
    finish("clean run", sim::CallFault::Fail);
    sweep(trace, [] {}, [&] { return library.Init(L"operator", L"sipass"); });
}

TEST_F(FaultSweep, EveryCallOfAnAttempt) {
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    sim::startCallTrace();
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    ASSERT_TRUE(settled());
    const std::vector<std::string> trace = sim::stopCallTrace();
    ASSERT_GE(trace.size(), 8u);
    finish("clean run", sim::CallFault::Fail);
    sweep(
        trace, [&] { EXPECT_TRUE(library.Init(L"operator", L"sipass")); },
        [] {
            EXPECT_TRUE(sim::raiseClientStateChanged(0));
            return true;
        });
}

TEST_F(FaultSweep, EveryCallOfClose) {
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    sim::startCallTrace();
    ASSERT_TRUE(library.Close());
    const std::vector<std::string> trace = sim::stopCallTrace();
    ASSERT_GE(trace.size(), 3u);
    finish("clean run", sim::CallFault::Fail);
    sweep(
        trace, [&] { EXPECT_TRUE(library.Init(L"operator", L"sipass")); },
        [&] {
            EXPECT_TRUE(library.Close());
            return true;
        });
}
