#include "gateway/Reconnect.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "support/Boundary.h"
#include "support/CredentialVault.h"
#include "gateway/ProcessGateway.h"
#include "gateway/SiPassGateWay.h"
#include "support/SimpleLogger.h"

namespace reconnect {
namespace {

SimpleLogger& logger() {
    return *SimpleLogger::GetInstance();
}

constexpr int32_t kLongestDelayMs = 3600000;

// ---- Policy ----------------------------------------------------------------------------------------------

std::mutex g_PolicyMutex;
Policy g_Policy;  // guarded by g_PolicyMutex

// ---- Supervisor ------------------------------------------------------------------------------------------

// The one thread of the gateway's own. It waits for the due time of the pending attempt, takes the
// lifecycle lock (so attempts are serialised with Init and Close) and makes the attempt. It never blocks on
// the lifecycle lock for long: it tries, and gives up as soon as the attempt is cancelled or stop() is
// called, so that Close may hold the lock while it joins the thread.
class Supervisor {
public:
    int schedule(const std::shared_ptr<SiPassGateWay>& gateway, const Policy& policy) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_running) {
            // The connection the running attempt made was lost after that attempt reported its end (while
            // the host resynchronised in its report): attempt 1 follows once the run is over. The gateway
            // passes on only losses of a connection it reported up, never a late one of a replaced client.
            m_lossWhileRunning = true;
            return -1;
        }
        if (m_pending) {
            return -1;
        }
        m_target = gateway;
        m_attempt = 1;
        m_delayMs = policy.firstDelayMs;
        setDueLocked();
        m_pending = true;
        ++m_generation;
        if (!m_thread.joinable()) {
            m_stopping = false;
            // The thread is an entry point of the library like an export: nothing escapes it.
            m_thread = std::thread([this] { boundary::guard("the re-login thread", [this] { run(); }); });
        }
        m_wake.notify_all();
        return m_delayMs;
    }

    bool cancel() {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool was = m_pending;
        m_pending = false;
        m_lossWhileRunning = false;
        m_target.reset();
        ++m_generation;
        m_wake.notify_all();
        return was;
    }

    void stop() {
        std::thread finished;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pending = false;
            m_lossWhileRunning = false;
            m_target.reset();
            m_stopping = true;
            ++m_generation;
            finished.swap(m_thread);
            m_wake.notify_all();
        }
        if (finished.joinable()) {
            finished.join();
        }
    }

private:
    void setDueLocked() {
        // Up to a fifth of the delay on top, so that many gateways do not storm a recovering server.
        std::uniform_int_distribution<int> jitter(0, m_delayMs / 5);
        m_due = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_delayMs + jitter(m_random));
    }

    void run() {
        const HRESULT joined = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stopping) {
            if (!m_pending) {
                m_wake.wait(lock);
                continue;
            }
            if (std::chrono::steady_clock::now() < m_due) {
                m_wake.wait_until(lock, m_due);
                continue;
            }
            const unsigned long long generation = m_generation;
            lock.unlock();
            const bool locked = lockLifecycle(generation);
            lock.lock();
            if (!locked) {
                continue;
            }
            // Released on every way out of this turn, a C++ exception included.
            LifecycleHold lifecycle(&processGateway::lifecycleMutex());
            if (generation != m_generation || m_stopping) {
                lock.unlock();
                lifecycle.reset();
                lock.lock();
                continue;
            }
            std::shared_ptr<SiPassGateWay> target = m_target.lock();
            const int attempt = m_attempt;
            m_pending = false;
            m_running = true;
            m_lossWhileRunning = false;
            lock.unlock();

            // Only the object the host still has: one it closed or replaced is not logged in again.
            AttemptResult result = AttemptResult::LoggedIn;
            if (target && target == processGateway::current()) {
                result = makeAttempt(*target, attempt);
            }
            target.reset();

            lock.lock();
            m_running = false;
            if (std::exchange(m_lossWhileRunning, false) && result == AttemptResult::LoggedIn) {
                result = AttemptResult::LostAgain;
            }
            const bool retry = result == AttemptResult::Failed || result == AttemptResult::LostAgain;
            // A cancel while the attempt ran (the policy turned off) ends the chain; so does stop().
            const Policy current = policy();
            if (retry && !m_stopping && !m_pending && current.on()) {
                const bool failed = result == AttemptResult::Failed;
                m_attempt = failed ? attempt + 1 : 1;
                m_delayMs = failed ? std::min(std::max(m_delayMs, 1) * 2, current.maxDelayMs)
                                   : current.firstDelayMs;
                setDueLocked();
                m_pending = true;
                ++m_generation;
                const std::string line =
                    (failed ? "Re-login attempt " : "Connection to SiPass Server lost. Re-login attempt ") +
                    std::to_string(m_attempt) + " in " + std::to_string(m_delayMs) + " ms.";
                lock.unlock();
                logger().log(line);
                lock.lock();
            }
            lock.unlock();
            lifecycle.reset();
            lock.lock();
        }
        lock.unlock();
        if (SUCCEEDED(joined)) {
            ::CoUninitialize();
        }
    }

    // One attempt, under the guard: whatever its code raises past the guards of its client calls is
    // logged as "Exception in re-login attempt <n>: ..." and ends it as a failed attempt.
    static AttemptResult makeAttempt(SiPassGateWay& target, int attempt) {
        AttemptResult result = AttemptResult::Failed;
        const seh::Outcome outcome = seh::runGuarded([&] { result = target.relogin(attempt); });
        if (outcome.succeeded()) {
            return result;
        }
        const std::string where = "re-login attempt " + std::to_string(attempt);
        boundary::reportFailure("Exception in ", where.c_str(), outcome, "");
        target.abandonAttempt(attempt, boundary::failureResult(outcome));
        return AttemptResult::Failed;
    }

    // Takes the lifecycle lock unless the attempt is cancelled or the supervisor stopped meanwhile.
    bool lockLifecycle(unsigned long long generation) {
        for (;;) {
            if (processGateway::lifecycleMutex().try_lock()) {
                return true;
            }
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (generation != m_generation || m_stopping) {
                    return false;
                }
                m_wake.wait_for(lock, std::chrono::milliseconds(5));
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Guarded by m_mutex.
    std::thread m_thread;
    bool m_stopping = false;
    bool m_pending = false;  // an attempt is scheduled and has not started
    bool m_running = false;  // an attempt is being made
    bool m_lossWhileRunning = false;  // its connection was lost after it ended (see schedule)
    unsigned long long m_generation = 0;  // grows with every schedule, cancel and stop
    std::weak_ptr<SiPassGateWay> m_target;
    int m_attempt = 0;
    int m_delayMs = 0;
    std::chrono::steady_clock::time_point m_due;
    std::minstd_rand m_random{static_cast<unsigned>(::GetTickCount() ^ ::GetCurrentProcessId())};
};

Supervisor& supervisor() {
    static auto* const instance = new Supervisor;
    return *instance;
}

}  // namespace

bool setPolicy(int32_t firstDelayMs, int32_t maxDelayMs) {
    const bool off = firstDelayMs == 0 && maxDelayMs == 0;
    if (!off && (firstDelayMs <= 0 || maxDelayMs < firstDelayMs || maxDelayMs > kLongestDelayMs)) {
        logger().errLog("gateway_setReconnectPolicy(" + std::to_string(firstDelayMs) + ", " +
                        std::to_string(maxDelayMs) +
                        ") refused: the delays must be 0, 0 (off) or 0 < first <= max <= 3600000 ms. Nothing "
                        "changed.");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(g_PolicyMutex);
        g_Policy = Policy{firstDelayMs, maxDelayMs};
    }
    if (off) {
        cancelPending();
        credentialVault().wipe();
        logger().log("Automatic re-login off.");
    } else {
        logger().log("Automatic re-login on: first attempt " + std::to_string(firstDelayMs) +
                     " ms after a lost connection, at most " + std::to_string(maxDelayMs) + " ms apart.");
    }
    return true;
}

Policy policy() {
    std::lock_guard<std::mutex> lock(g_PolicyMutex);
    return g_Policy;
}

void storeCredentials(const wchar_t* user, const wchar_t* password) {
    // Under the policy's lock: a policy turned off meanwhile either comes first (nothing is stored) or
    // after (its wipe follows).
    std::lock_guard<std::mutex> lock(g_PolicyMutex);
    if (g_Policy.on()) {
        credentialVault().store(user, password);
    }
}

void wipeCredentials() {
    credentialVault().wipe();
}

bool readCredentials(std::wstring& user, std::wstring& password) {
    return credentialVault().read(user, password);
}

int scheduleAfterLoss(const std::shared_ptr<SiPassGateWay>& gateway) {
    const Policy current = policy();
    if (!current.on() || !gateway) {
        return -1;
    }
    if (!credentialVault().held()) {
        return -1;
    }
    return supervisor().schedule(gateway, current);
}

bool cancelPending() {
    return supervisor().cancel();
}

void stop() {
    supervisor().stop();
}

}  // namespace reconnect
