// The simulated server going offline and coming back: the connection state of every client it affects,
// the reports of lost and regained connections to their sinks, and the control API for both.
//
// The reports go through one queue, in the order the server changed, and one simulator thread at a time
// delivers them: a sink never hears "connected" before the "disconnected" that came first, and the last
// report a sink hears agrees with its client's state. The queue is guarded by State::mutex, which is never
// held while a sink runs.
#include "ComClient.h"

#include <chrono>
#include <deque>
#include <thread>

namespace sim::detail {
namespace {

struct Report {
    long state;
    std::vector<std::shared_ptr<const AdvisedSink>> sinks;
};

// Guarded by State::mutex. Never destroyed: the thread may still be ending when static objects go.
struct ReportQueue {
    std::deque<Report> pending;
    bool running = false;  // a delivering thread exists
};

ReportQueue& reportQueue() {
    static auto* const queue = new ReportQueue;
    return *queue;
}

// The connection-report thread: delivers queued reports in order until the queue is empty, then ends.
void deliverReports() {
    markSimulatorThread();
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    auto& st = state();
    ReportQueue& queue = reportQueue();
    for (;;) {
        Report report;
        {
            std::lock_guard<std::mutex> lock(st.mutex);
            if (queue.pending.empty()) {
                queue.running = false;
                break;
            }
            report = std::move(queue.pending.front());
            queue.pending.pop_front();
        }
        for (const auto& sink : report.sinks) {
            SinkCall inProgress;
            sink->events->OnClientStateChanged(report.state);
        }
        report.sinks.clear();  // a sink unadvised meanwhile is released here, before it counts as delivered
        {
            std::lock_guard<std::mutex> lock(st.mutex);
            ++st.reportsDelivered;
        }
        st.serverChanged.notify_all();
    }
    if (SUCCEEDED(init)) {
        CoUninitialize();
    }
    --g_runningThreads;
}

// Queues a report and starts the thread when none runs. REQUIRES: State::mutex held.
void queueReportLocked(State& st, Report report) {
    ReportQueue& queue = reportQueue();
    queue.pending.push_back(std::move(report));
    ++st.reportsQueued;
    if (queue.running) {
        return;
    }
    // Counted before the thread starts, so the module cannot be unloaded under it.
    ++g_runningThreads;
    try {
        std::thread(deliverReports).detach();
        queue.running = true;
    } catch (...) {
        --g_runningThreads;
        // No thread to deliver them: the reports are lost (the states have changed), and nobody waits
        // for them.
        queue.pending.clear();
        st.reportsDelivered = st.reportsQueued;
    }
}

}  // namespace

unsigned long long changeServerState(bool online, bool silent) {
    auto& st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.serverOnline == online) {
        return st.reportsQueued;
    }
    st.serverOnline = online;
    Report report{online ? kClientConnected : 0, {}};
    try {
        for (ComClient* client : st.clients) {
            const bool changed =
                online ? client->endOutageLocked(st, st.clientsReconnect) : client->loseConnectionLocked();
            if (changed) {
                client->appendSinksLocked(report.sinks);
            }
        }
        if (!report.sinks.empty() && !(silent && !online)) {
            queueReportLocked(st, std::move(report));
        }
    } catch (const std::bad_alloc&) {
        // Out of memory in the simulator itself: the states have changed, the report is lost.
    }
    st.serverChanged.notify_all();
    return st.reportsQueued;
}

bool waitForReports(unsigned long long ticket, unsigned timeoutMs, const std::atomic<bool>* stop) {
    auto& st = state();
    std::unique_lock<std::mutex> lock(st.mutex);
    const auto done = [&] { return st.reportsDelivered >= ticket || (stop != nullptr && stop->load()); };
    if (timeoutMs == kWaitForever) {
        st.serverChanged.wait(lock, done);
    } else {
        st.serverChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }
    return st.reportsDelivered >= ticket;
}

void restoreServer() {
    auto& st = state();
    {
        std::lock_guard<std::mutex> lock(st.mutex);
        st.serverOnline = true;
        st.clientsReconnect = false;
        st.connectDelayMs = 0;
        for (ComClient* client : st.clients) {
            client->endOutageLocked(st, false);
        }
    }
    st.serverChanged.notify_all();
}

void wakeReportWaiters() {
    auto& st = state();
    // Taken once, so that a waiter that has just found its flag unset is waiting before it is woken.
    st.mutex.lock();
    st.mutex.unlock();
    st.serverChanged.notify_all();
}

}  // namespace sim::detail

namespace sim {

bool setServerOnline(bool online, unsigned timeoutMs) {
    return detail::waitForReports(detail::changeServerState(online), timeoutMs);
}

void setServerOfflineSilently() {
    detail::changeServerState(false, true);
}

bool serverOnline() {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    return st.serverOnline;
}

bool waitForServerState(bool online, unsigned timeoutMs) {
    auto& st = detail::state();
    std::unique_lock<std::mutex> lock(st.mutex);
    return st.serverChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return st.serverOnline == online && st.reportsDelivered == st.reportsQueued;
    });
}

void setClientsReconnectByThemselves(bool reconnect) {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.clientsReconnect = reconnect;
}

void setConnectDelay(unsigned milliseconds) {
    auto& st = detail::state();
    {
        std::lock_guard<std::mutex> lock(st.mutex);
        st.connectDelayMs = milliseconds;
    }
    st.serverChanged.notify_all();  // a waiting Connect measures itself against the new delay
}

int waitingConnects() {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    return st.waitingConnects;
}

bool waitForWaitingConnects(int count, unsigned timeoutMs) {
    auto& st = detail::state();
    std::unique_lock<std::mutex> lock(st.mutex);
    return st.serverChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return st.waitingConnects == count; });
}

}  // namespace sim
