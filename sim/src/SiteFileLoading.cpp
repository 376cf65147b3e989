// Site files in the running simulator: loadSiteFile for tests, SIPASS_SIM_SITE for the registered DLL
// (read when a client is created), and the player of a site's timeline of scripted events and outages.
#include "SiteFileLoading.h"

#include "Environment.h"
#include "LiveClients.h"
#include "SiteFile.h"
#include "SimRuntime.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace sim {
namespace {

constexpr long kPointObjectType = 7;  // ePoint

struct Timeline {
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<TimedEvent> events;  // guarded by mutex; played from the start at each start
    bool stopRequested = false;      // guarded by mutex
    // stopRequested for the player's wait for the reports of an outage, which waits under State::mutex
    // and so cannot take this mutex.
    std::atomic<bool> stopping{false};
    std::thread thread;  // guarded by mutex
    std::atomic<bool> playing{false};
    std::wstring environmentSite;  // guarded by mutex: the SIPASS_SIM_SITE file loaded last
};

// Never destroyed: the player may still be ending when static objects go at process exit.
Timeline& timeline() {
    static auto* instance = new Timeline;
    return *instance;
}

// The player thread: each step at its delay after the start, while a client is alive. An outage's steps
// wait until their reports have been delivered, so that the events after it follow the reports; an event
// while the server is offline is not delivered. Ending during an outage of its own, the player ends the
// outage.
void play(std::vector<TimedEvent> events) {
    detail::markSimulatorThread();
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Timeline& t = timeline();
    const auto start = std::chrono::steady_clock::now();
    bool inOutage = false;
    for (const TimedEvent& timed : events) {
        {
            std::unique_lock<std::mutex> lock(t.mutex);
            if (t.wake.wait_until(lock, start + std::chrono::milliseconds(timed.delayMs),
                                  [&] { return t.stopRequested; })) {
                break;
            }
        }
        bool serverOnline = true;
        const DATE now = localNow();
        {
            std::lock_guard<std::mutex> lock(detail::state().mutex);
            if (detail::state().clients.empty()) {
                break;
            }
            serverOnline = detail::state().serverOnline;
            // A state event that is delivered moves its point first, as the event generator's do, so that
            // a query of the point after the event agrees with it.
            if (serverOnline && timed.action == TimedEvent::Action::Event && timed.event.objectState &&
                timed.event.objectType == kPointObjectType) {
                const auto point = detail::state().site.points.find(timed.event.objectId);
                if (point != detail::state().site.points.end()) {
                    point->second.state = timed.event.state;
                    point->second.stateType = timed.event.stateType;
                    point->second.serverTime = now;
                }
            }
        }
        if (timed.action != TimedEvent::Action::Event) {
            inOutage = timed.action == TimedEvent::Action::ServerOffline;
            const auto ticket = detail::changeServerState(!inOutage, timed.silent);
            detail::waitForReports(ticket, detail::kWaitForever, &t.stopping);
            continue;
        }
        if (!serverOnline) {
            continue;
        }
        EventObject event = timed.event;
        event.timestamp = now;
        event.serverTime = event.timestamp;
        EventBatch batch;
        batch.elements.push_back(EventElement{EventElement::Kind::Object, event});
        detail::deliverOnThisThread(batch);
    }
    if (inOutage) {
        detail::changeServerState(true);  // its reports go out without the player, which ends here
    }
    if (SUCCEEDED(init)) {
        CoUninitialize();
    }
    t.playing = false;
    --detail::g_runningThreads;
}

void stopTimeline() {
    Timeline& t = timeline();
    std::thread finished;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        t.stopRequested = true;
        t.stopping = true;
        finished = std::move(t.thread);
    }
    t.wake.notify_all();
    detail::wakeReportWaiters();  // a player waiting for the reports of an outage
    if (finished.joinable()) {
        finished.join();
    }
}

void applySite(SiteDefinition site) {
    stopTimeline();
    {
        auto& st = detail::state();
        std::lock_guard<std::mutex> lock(st.mutex);
        st.accounts = std::move(site.accounts);
        st.objects = std::move(site.objects);
        st.site = std::move(site.site);
        st.cardholders = site.cardholders ? std::move(*site.cardholders) : detail::defaultCardholders();
        st.siteSeed = site.seed;
        st.clientsReconnect = site.clientsReconnect;
    }
    Timeline& t = timeline();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.events = std::move(site.timeline);
}

}  // namespace

void loadSiteFile(const std::wstring& path) {
    applySite(readSiteFile(path));
}

namespace detail {

HRESULT loadSiteFromEnvironment() {
    const std::wstring path = environmentValue(L"SIPASS_SIM_SITE");
    if (path.empty()) {
        return S_OK;
    }
    Timeline& t = timeline();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        if (t.environmentSite == path) {
            return S_OK;  // loaded once per process; commands change the site afterwards
        }
    }
    try {
        applySite(readSiteFile(path));
    } catch (const std::exception& error) {
        // The process that created the client has no other way to learn why: standard error and the
        // debugger output carry the file, the line and what is wrong.
        tellHost(error.what());
        return E_FAIL;
    }
    std::lock_guard<std::mutex> lock(t.mutex);
    t.environmentSite = path;
    return S_OK;
}

void clearTimeline() {
    stopTimeline();
    Timeline& t = timeline();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.events.clear();
    t.environmentSite.clear();
}

void startTimelineOnConnect() {
    Timeline& t = timeline();
    if (t.playing) {
        return;
    }
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.events.empty() || t.playing) {
        return;
    }
    if (t.thread.joinable()) {
        t.thread.join();  // the last playing has ended (playing is false), so this returns at once
    }
    t.stopRequested = false;
    t.stopping = false;
    t.playing = true;
    ++g_runningThreads;
    try {
        t.thread = std::thread(play, t.events);
    } catch (...) {
        t.playing = false;
        --g_runningThreads;
    }
}

}  // namespace detail
}  // namespace sim
