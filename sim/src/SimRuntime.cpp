// Site state and module counters of the simulator, and the control API's functions of the site as a whole
// (SimSite.h), the live-object count and the record of sent commands.
#include "SimRuntime.h"

#include "SiteFileLoading.h"

#include <cstdio>

namespace sim::detail {

std::atomic<long> g_liveObjects{0};
std::atomic<long> g_serverLocks{0};
std::atomic<long> g_factoryRefs{0};
std::atomic<long> g_runningThreads{0};

bool canUnloadNow() {
    return g_liveObjects == 0 && g_serverLocks == 0 && g_factoryRefs == 0 && g_runningThreads == 0;
}

void State::loadDefaultSite() {
    accounts = {{L"operator", L"sipass"}, {L"Administrator", L"secret"}};
    // GetByID finds the site's devices and points first (SiteModel); these are the other named objects.
    objects = {{{7, 101}, L"Controller Halle 1"}, {{7, 102}, L"Controller Halle 2"}};
    site = defaultSiteModel();
    cardholders = defaultCardholders();
    siteSeed.reset();
    initialEventMask = 0;
    sentCommands.clear();
    commandEvents = CommandEventDelivery::Thread;
}

void tellHost(const std::string& line) {
    const std::string message = "SiPassSim: " + line + "\n";
    std::fputs(message.c_str(), stderr);
    std::fflush(stderr);
    ::OutputDebugStringA(message.c_str());
}

State& state() {
    static State* const instance = [] {
        auto* created = new State;
        created->loadDefaultSite();
        return created;
    }();
    return *instance;
}

}  // namespace sim::detail

namespace sim {

long liveObjects() {
    return detail::g_liveObjects;
}

void resetSite() {
    // The server first, so that a timeline stopped during one of its outages ends it without reconnects.
    detail::restoreServer();
    detail::clearTimeline();
    setSerialisedRequests(false);
    {
        auto& st = detail::state();
        std::lock_guard<std::mutex> lock(st.mutex);
        st.loadDefaultSite();
    }
    detail::resetFaultTable();
}

void addAccount(const std::wstring& user, const std::wstring& password) {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.accounts[user] = password;
}

void addObject(long type, long id, const std::wstring& name) {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.objects[{type, id}] = name;
}

void setInitialEventMask(long mask) {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.initialEventMask = mask;
}

std::vector<SentCommand> sentCommands() {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    return st.sentCommands;
}

}  // namespace sim
