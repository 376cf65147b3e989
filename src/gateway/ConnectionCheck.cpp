#include "gateway/ConnectionCheck.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "gateway/ProcessGateway.h"
#include "gateway/SiPassGateWay.h"
#include "support/Boundary.h"
#include "support/ClientRef.h"
#include "support/FailureText.h"
#include "support/LastError.h"
#include "support/SehGuard.h"
#include "support/SimpleLogger.h"
#include "support/Statistics.h"

namespace {

SimpleLogger& logger() {
    return *SimpleLogger::GetInstance();
}

}  // namespace

namespace connectionCheck {
namespace {

constexpr int32_t kShortestIntervalMs = 1000;
constexpr int32_t kLongestIntervalMs = 3600000;
// A failed call counts as "not connected" only when the one before it failed too.
constexpr int kFailuresForALoss = 2;

std::atomic<int32_t> g_interval{0};

// What one check found.
enum class Finding { Connected, Failed, NotConnected };

// The checker thread. Its turns wait on m_mutex; a turn itself (the client call and the delivery of its
// finding) runs without it, so that stop() can always take it. Each thread runs for one generation: stop()
// starts the next, and a thread whose generation has passed ends at its next look.
class Checker {
public:
    void loginSucceeded() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = true;
        startLocked();
    }

    void intervalChanged() {
        std::lock_guard<std::mutex> lock(m_mutex);
        startLocked();
        m_wake.notify_all();
    }

    void stop() {
        std::thread finished;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_armed = false;
            ++m_generation;
            finished.swap(m_thread);
            m_wake.notify_all();
        }
        if (!finished.joinable()) {
            return;
        }
        if (finished.get_id() == std::this_thread::get_id()) {
            // Close from the host's log function during a line of this thread's check: the thread sees its
            // generation gone as soon as that line returns, and ends.
            finished.detach();
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_joining = finished.get_id();
            m_wake.notify_all();
        }
        finished.join();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_joining = std::thread::id();
    }

    bool lockLifecycle(const char* operation) {
        OwnedMutex& lifecycle = processGateway::lifecycleMutex();
        std::unique_lock<std::mutex> lock(m_mutex);
        const std::thread::id self = std::this_thread::get_id();
        if (m_thread.get_id() != self && m_joining != self) {
            lock.unlock();
            lifecycle.lock();
            return true;
        }
        // Never blocks on the lifecycle lock: a Close that holds it names this thread in m_joining before
        // it waits for the thread, and that ends the wait here.
        while (!lifecycle.try_lock()) {
            if (m_joining == self) {
                lock.unlock();
                logger().errLog(std::string(operation) +
                                " refused: called from the log function on the connection check's thread "
                                "while another thread closes the gateway. Call it from another thread.");
                lastError::note(GATEWAY_E_INSIDE_LOG);
                return false;
            }
            m_wake.wait_for(lock, std::chrono::milliseconds(5));
        }
        return true;
    }

    // Whether the thread of `generation` is still the one that should run.
    bool current(unsigned long long generation) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return generation == m_generation;
    }

private:
    // Starts the thread when a login has succeeded since the last stop, the check is on and none runs.
    // REQUIRES: m_mutex.
    void startLocked() {
        if (!m_armed || m_thread.joinable() || g_interval.load() == 0) {
            return;
        }
        const unsigned long long generation = m_generation;
        try {
            // The thread is an entry point of the library like an export: nothing escapes it.
            m_thread = std::thread([this, generation] {
                boundary::guard("the connection check thread", [&] { run(generation); });
            });
        } catch (const std::system_error& e) {
            // The login or the setting stands; only the check is missing until the next try.
            logger().errLog(std::string("Connection check: its thread could not be started: ") + e.what());
        }
    }

    void run(unsigned long long generation) {
        const HRESULT joined = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        Turns turns;
        std::unique_lock<std::mutex> lock(m_mutex);
        auto last = std::chrono::steady_clock::now();
        while (generation == m_generation) {
            const int32_t intervalMs = g_interval.load();
            if (intervalMs == 0) {
                // Off: the next check comes one interval after the check is turned on again.
                m_wake.wait(lock);
                last = std::chrono::steady_clock::now();
                continue;
            }
            const auto due = last + std::chrono::milliseconds(intervalMs);
            if (std::chrono::steady_clock::now() < due) {
                m_wake.wait_until(lock, due);
                continue;
            }
            last = std::chrono::steady_clock::now();
            lock.unlock();
            // Each turn under a guard of its own, taken with m_mutex released: a turn that raises past the
            // guards of its calls is logged and the next turn follows.
            boundary::guard("the connection check", [&] { turns.check(*this, generation); });
            lock.lock();
        }
        lock.unlock();
        if (SUCCEEDED(joined)) {
            ::CoUninitialize();
        }
    }

    // The failures in a row of one connection, across the turns of one thread.
    struct Turns {
        unsigned connection = 0;
        int failures = 0;

        void check(Checker& checker, unsigned long long generation) {
            const processGateway::Pin gateway = processGateway::current();
            SiPassGateWay::CheckTarget target;
            if (gateway) {
                target = gateway->checkTarget();
            }
            if (!target.client || target.connection != connection) {
                // Nothing to check (no login, one under way, or the host was told of a loss already), or
                // another connection than the one that failed before: its failures start afresh.
                connection = target.connection;
                failures = 0;
            }
            if (!target.client) {
                return;
            }
            // A reference of its own, released under the guard, so that the client may go at any moment.
            const ClientRef<IComClient> client = std::move(target.client);
            const Finding finding = ask(client.get());
            if (finding == Finding::Connected) {
                failures = 0;
                return;
            }
            if (finding == Finding::Failed && ++failures < kFailuresForALoss) {
                return;
            }
            failures = 0;
            // A gateway_Close that the log function made during this turn ended this thread's generation:
            // the closed object hears nothing more from it.
            if (!checker.current(generation)) {
                return;
            }
            if (finding == Finding::Failed) {
                logger().log("Connection check: the client could not tell its connection state " +
                             std::to_string(kFailuresForALoss) + " times in a row.");
            }
            gateway->clientStateChanged(0, target.connection | kFoundByCheck);
        }

        // One get_ConnectionState, with nothing owned between the guard and the call.
        static Finding ask(IComClient* client) {
            long state = kClientConnected;
            HRESULT hr = E_UNEXPECTED;
            const seh::Outcome outcome =
                seh::runGuarded([client, &state, &hr] { hr = client->get_ConnectionState(&state); });
            if (!outcome.succeeded() || FAILED(hr)) {
                statistics::add(statistics::counters().checkFailures);
                if (!boundary::reportFailure("Exception in ", "the connection check", outcome, "")) {
                    logger().errLog(failedCall("get_ConnectionState()", "the connection check", hr));
                }
                return Finding::Failed;
            }
            if (state == kClientConnected) {
                return Finding::Connected;
            }
            logger().log("Connection check: the client answers that it is not connected (state " +
                         std::to_string(state) + ").");
            return Finding::NotConnected;
        }
    };

    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Guarded by m_mutex.
    std::thread m_thread;
    bool m_armed = false;                 // a gateway_Init succeeded since the last stop
    unsigned long long m_generation = 0;  // grows with every stop
    std::thread::id m_joining;            // the thread stop() waits for, under the lifecycle lock
};

Checker& checker() {
    static auto* const instance = new Checker;
    return *instance;
}

}  // namespace

bool setInterval(int32_t intervalMs) {
    if (intervalMs != 0 && (intervalMs < kShortestIntervalMs || intervalMs > kLongestIntervalMs)) {
        logger().errLog("gateway_setConnectionCheck(" + std::to_string(intervalMs) +
                        ") refused: the interval must be 0 (off) or 1000 to 3600000 ms. Nothing changed.");
        return false;
    }
    g_interval.store(intervalMs);
    checker().intervalChanged();
    logger().log(intervalMs == 0 ? std::string("Connection check off.")
                                 : "Connection check on: every " + std::to_string(intervalMs) + " ms.");
    return true;
}

void loginSucceeded() {
    checker().loginSucceeded();
}

bool lockLifecycle(const char* operation) {
    return checker().lockLifecycle(operation);
}

void stop() {
    checker().stop();
}

}  // namespace connectionCheck

// ---- The gateway object's side ------------------------------------------------------------------------

SiPassGateWay::CheckTarget SiPassGateWay::checkTarget() {
    CheckTarget target;
    unsigned connection = 0;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (!m_reportedUp || m_loggingIn) {
            return target;
        }
        connection = m_connection;
        // The answer this check gets is news only until the client reports its state itself.
        m_checkAsking = connection;
    }
    if (connection == 0) {
        return target;
    }
    // The client is taken after the connection number: a login that replaced both in between leaves a
    // number that its finding no longer matches, so that finding counts for nothing.
    target.client = client();
    target.connection = connection;
    return target;
}

bool SiPassGateWay::screenForConnectionCheck(long state, unsigned& connection) {
    const bool byCheck = (connection & connectionCheck::kFoundByCheck) != 0;
    connection &= ~connectionCheck::kFoundByCheck;
    enum class Verdict { Pass, Found, Stale, Repeat } verdict = Verdict::Pass;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        const bool current = connection != 0 && connection == m_connection;
        if (!byCheck && current && (state == 0 || state == kClientConnected)) {
            // The client's own word is newer than the answer of a check asking meanwhile: a loss in that
            // answer is not news when the client has since said it is connected.
            m_checkAsking = 0;
        }
        if (byCheck) {
            if (current && m_reportedUp && !m_loggingIn && m_lossPassedOn != connection &&
                m_checkAsking == connection) {
                m_lossPassedOn = connection;
                m_lossFoundByCheck = true;
                verdict = Verdict::Found;
            } else {
                verdict = Verdict::Stale;
            }
            m_checkAsking = 0;
        } else if (state == 0) {
            if (connection != 0 && connection == m_lossPassedOn && m_lossFoundByCheck) {
                verdict = Verdict::Repeat;
            } else if (current) {
                // Claimed for the client's report, so that a finding of the check about the same loss that
                // arrives meanwhile on another thread counts for nothing.
                m_lossPassedOn = connection;
                m_lossFoundByCheck = false;
            }
        } else if (state == kClientConnected && connection != 0 && connection == m_lossPassedOn) {
            // Back: a later loss of this connection is news again.
            m_lossPassedOn = 0;
        }
    }
    switch (verdict) {
        case Verdict::Pass:
            return true;
        case Verdict::Found:
            statistics::add(statistics::counters().checkLosses);
            logger().log(
                "Connection check: the client reported no loss of this connection. Treated as lost.");
            return true;
        case Verdict::Stale:
            // The client reported its state itself meanwhile, or a login or Close replaced the connection.
            logger().dbgLog(
                "Connection check: the connection changed before its loss was handled. Nothing to "
                "do.");
            return false;
        case Verdict::Repeat:
            logger().log(
                "Connection check: the client now reports the loss the check found. The host has been "
                "told of it already.");
            return false;
    }
    return true;
}
