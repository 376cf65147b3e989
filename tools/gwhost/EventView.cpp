#include "EventView.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "CommandRefusal.h"
#include "Output.h"
#include "Text.h"
#include "names/EnumNames.h"

namespace {

// The state of every point of every door, by point id: its state and state type.
using PointStates = std::map<int32_t, std::pair<int32_t, int32_t>>;

struct EventView {
    // Set by startEventView before any callback is registered, then only read.
    bool json = false;
    std::set<std::string> kinds;     // empty: every kind
    std::optional<long> eventLimit;  // a wait ends after this many events shown
    HANDLE stop = nullptr;    // manual reset: set by Ctrl+C, or when a command has seen what it waited for
    HANDLE resync = nullptr;  // manual reset: set by the connection-state callback after a re-login
    bool connectionReports = false;  // setConnectionReports was called: onConnection reports a loss
    bool relogin = false;            // the gateway logs in again after a loss
    // showLossesFoundByTheCheck: the statistics' reader, and the check's losses counted so far (read and
    // written only by onConnection, whose reports never overlap, after the login).
    decltype(&gateway_GetStatistics) getStatistics = nullptr;
    uint64_t checkLosses = 0;

    std::atomic<int32_t> commandTarget{0};  // showOnlyObject
    std::atomic<int> windows{0};            // EventWindows open

    std::mutex countMutex;
    long shown = 0;  // events shown in this wait; guarded by countMutex

    // The door states as last known: read at the login and after each re-login, kept up to date by the
    // state events in between (shown or not), so that a re-login reports only what changed unseen.
    std::mutex statesMutex;   // never held across a gateway call: the state callback takes it
    PointStates knownStates;  // guarded by statesMutex
};

EventView g_view;

bool eventsShown() {
    return g_view.windows.load() > 0;
}

bool kindShown(const char* kind) {
    return g_view.kinds.empty() || g_view.kinds.count(kind) > 0;
}

// The losses the gateway's connection check has found since the DLL was loaded; 0 without
// showLossesFoundByTheCheck, or from a DLL whose statistics have no second version.
uint64_t checkLossesSoFar() {
    if (g_view.getStatistics == nullptr) {
        return 0;
    }
    GatewayStatistics statistics{};
    statistics.size = sizeof statistics;
    if (!g_view.getStatistics(&statistics) || statistics.version < 2) {
        return 0;
    }
    return statistics.connectionCheckLosses;
}

// Whether the loss being reported is one the connection check found: the gateway counts it before it
// reports it. Called once for each report of a loss.
bool lossFoundByTheCheck() {
    const uint64_t now = checkLossesSoFar();
    const bool found = now > g_view.checkLosses;
    g_view.checkLosses = now;
    return found;
}

struct EventLine {
    const char* kind;
    int32_t eventId;
    int64_t timestampMs;
    std::string object;  // "ePoint 2015" or the generic event's type
    int32_t objectType = 0;
    int32_t objectId = 0;
    std::optional<int32_t> state;
    std::optional<int32_t> stateType;
    int32_t subType;
    std::string cardholder;
    std::string card;
    std::string location;
    std::string description;
};

// With an event limit, the limit-th event shown ends the wait, whatever its time allows.
void countShownEvent() {
    std::lock_guard<std::mutex> lock(g_view.countMutex);
    if (++g_view.shown >= g_view.eventLimit.value_or(LONG_MAX)) {
        ::SetEvent(g_view.stop);
    }
}

void printEvent(const EventLine& event) {
    if (g_view.json) {
        nlohmann::ordered_json line = {{"kind", event.kind},
                                       {"eventId", event.eventId},
                                       {"time", dateText(event.timestampMs)},
                                       {"timeMs", event.timestampMs},
                                       {"timeIso", isoTimeText(event.timestampMs)},
                                       {"subType", event.subType},
                                       {"subTypeName", subTypeName(event.subType)},
                                       {"location", event.location},
                                       {"description", event.description}};
        if (event.objectType != 0 || event.objectId != 0) {
            line["objectType"] = event.objectType;
            line["objectTypeName"] = objectTypeName(event.objectType);
            line["objectId"] = event.objectId;
        }
        if (event.state) {
            line["state"] = *event.state;
            line["stateName"] = stateName(*event.state);
            line["stateType"] = *event.stateType;
            line["stateTypeName"] = stateTypeName(*event.stateType);
        }
        if (std::string(event.kind) == "access") {
            line["cardholder"] = event.cardholder;
            line["card"] = event.card;
        }
        printJson(line);
        countShownEvent();
        return;
    }
    std::string text = dateText(event.timestampMs) + "  " + event.kind;
    text.append(8 - std::string(event.kind).size(), ' ');
    text += event.object;
    if (event.state) {
        text += "  " + stateName(*event.state) + " (" + stateTypeName(*event.stateType) + ")";
    }
    text += "  " + subTypeName(event.subType);
    if (!event.cardholder.empty() || !event.card.empty()) {
        text += "  " + event.cardholder + " card " + event.card;
    }
    text += "  at " + event.location;
    if (!event.description.empty()) {
        text += ": " + event.description;
    }
    printLine(text);
    countShownEvent();
}

// Runs on the client's event threads.
void rememberPointState(int32_t objectType, int32_t objectId, int32_t state, int32_t stateType) {
    std::lock_guard<std::mutex> lock(g_view.statesMutex);
    const auto known = g_view.knownStates.find(objectId);
    if (objectType == ePoint && known != g_view.knownStates.end()) {
        known->second = {state, stateType};
    }
}

BOOL WINAPI onConsoleControl(DWORD) {
    ::SetEvent(g_view.stop);
    return TRUE;
}

// The door states as getAllDoors reports them; false when it fails (`states` is empty then).
bool readPointStates(const GatewayApi& api, PointStates& states) {
    Device* devices = nullptr;
    int32_t deviceCount = 0, doorCount = 0;
    const bool read = api.getAllDoors(&devices, &deviceCount, &doorCount);
    states.clear();
    for (int32_t d = 0; read && d < deviceCount; ++d) {
        for (int32_t n = 0; n < devices[d].doorsetCount; ++n) {
            const Doorset& door = devices[d].doorsets[n];
            for (const PointDefinition* point :
                 {&door.reader1, &door.reader2, &door.doorFrame, &door.passback, &door.latch}) {
                if (point->id != 0) {
                    states[point->id] = {point->state.state, point->state.stateType};
                }
            }
        }
    }
    api.cleanupDoorArray(devices, deviceCount);
    return read;
}

// After a re-login events may have been missed: reads the door states again and shows what changed.
void resynchronise(const GatewayApi& api) {
    PointStates now;
    if (!readPointStates(api, now)) {
        printLine("the door states could not be read again (--log-level info shows why)");
        return;
    }
    const size_t points = now.size();
    nlohmann::ordered_json changed = nlohmann::ordered_json::array();
    std::vector<std::string> lines;
    std::unique_lock<std::mutex> statesLock(g_view.statesMutex);
    for (const auto& [id, state] : now) {
        const auto before = g_view.knownStates.find(id);
        if (before != g_view.knownStates.end() && before->second == state) {
            continue;
        }
        const std::string was =
            before == g_view.knownStates.end() ? "unknown" : stateName(before->second.first);
        changed.push_back({{"point", id},
                           {"was", was},
                           {"now", stateName(state.first)},
                           {"stateType", stateTypeName(state.second)}});
        lines.push_back("  point " + std::to_string(id) + "  " + was + " -> " + stateName(state.first) +
                        " (" + stateTypeName(state.second) + ")");
    }
    g_view.knownStates = std::move(now);
    statesLock.unlock();
    if (!kindShown("connection")) {
        return;
    }
    if (g_view.json) {
        printJson({{"kind", "resync"}, {"points", points}, {"changed", changed}});
        return;
    }
    printLine("door states read again: " + std::to_string(points) + " points, " +
              std::to_string(lines.size()) + " changed during the outage");
    for (const std::string& line : lines) {
        printLine(line);
    }
}

}  // namespace

void startEventView(bool json, const std::set<std::string>& kinds, std::optional<long> eventLimit) {
    g_view.json = json;
    g_view.kinds = kinds;
    g_view.eventLimit = eventLimit;
    g_view.stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_view.resync = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(&onConsoleControl, TRUE);
}

EventWindow::EventWindow(bool open) : m_open(open) {
    if (m_open) {
        ++g_view.windows;
    }
}

EventWindow::~EventWindow() {
    if (m_open) {
        --g_view.windows;
    }
}

void showOnlyObject(int32_t objectId) {
    g_view.commandTarget = objectId;
}

void SIPASSVORMEKGATEWAY_CALL onStateEvent(int32_t eventId, int32_t objectId, int32_t objectType, int32_t,
                                           int32_t subType, int32_t state, int32_t stateType,
                                           int64_t timestampMs, int64_t, const wchar_t* location,
                                           const wchar_t* description) {
    rememberPointState(objectType, objectId, state, stateType);
    if (!eventsShown() || !kindShown("state") ||
        (g_view.commandTarget != 0 && objectId != g_view.commandTarget)) {
        return;
    }
    printEvent({"state", eventId, timestampMs, objectTypeName(objectType) + " " + std::to_string(objectId),
                objectType, objectId, state, stateType, subType, "", "", utf8(location), utf8(description)});
}

void SIPASSVORMEKGATEWAY_CALL onAccessEvent(int32_t eventId, int32_t objectId, int32_t objectType, int32_t,
                                            int32_t subType, int32_t state, int32_t stateType,
                                            int64_t timestampMs, int64_t, const wchar_t* firstName,
                                            const wchar_t* lastName, const wchar_t* cardNumber,
                                            const wchar_t* location, const wchar_t* description) {
    if (!eventsShown() || !kindShown("access") || g_view.commandTarget != 0) {
        return;
    }
    std::string cardholder = utf8(firstName);
    const std::string last = utf8(lastName);
    cardholder += (cardholder.empty() || last.empty() ? "" : " ") + last;
    printEvent({"access", eventId, timestampMs, objectTypeName(objectType) + " " + std::to_string(objectId),
                objectType, objectId, state, stateType, subType, cardholder, utf8(cardNumber), utf8(location),
                utf8(description)});
}

void SIPASSVORMEKGATEWAY_CALL onGenericEvent(int32_t eventId, int32_t type, int32_t subType,
                                             int64_t timestampMs, int64_t, const wchar_t* location,
                                             const wchar_t* description) {
    if (!eventsShown() || !kindShown("generic") || g_view.commandTarget != 0) {
        return;
    }
    printEvent({"generic", eventId, timestampMs, objectTypeName(type), 0, 0, std::nullopt, std::nullopt,
                subType, "", "", utf8(location), utf8(description)});
}

void SIPASSVORMEKGATEWAY_CALL onDisconnect() {
    if (!kindShown("disconnect")) {
        return;
    }
    if (g_view.json) {
        printJson({{"kind", "disconnect"}});
    } else if (!g_view.connectionReports || !kindShown("connection")) {
        printLine("the access-control client reports a lost connection");
    }
}

void setConnectionReports(bool relogin) {
    g_view.connectionReports = true;
    g_view.relogin = relogin;
}

// After a re-login the waiting command reads the door states again: the callback must not, it runs with
// the gateway's lock held.
void SIPASSVORMEKGATEWAY_CALL onConnection(int32_t state, int32_t attempt, int32_t hresult) {
    if (state == GATEWAY_CONNECTION_CONNECTED && attempt > 0) {
        ::SetEvent(g_view.resync);
    }
    // Asked for every loss, shown or not, so that the count read last stays current.
    const bool foundByCheck = state == GATEWAY_CONNECTION_LOST && attempt == 0 && lossFoundByTheCheck();
    if (!kindShown("connection")) {
        return;
    }
    static const char* const kStates[] = {"lost", "connected", "retrying"};
    const char* name = state >= 0 && state <= 2 ? kStates[state] : "unknown";
    if (g_view.json) {
        nlohmann::ordered_json line = {{"kind", "connection"}, {"state", name}, {"attempt", attempt}};
        if (foundByCheck) {
            line["foundByCheck"] = true;
        }
        if (hresult != 0) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hresult));
            line["hresult"] = code;
            const std::string message = hresultMessage(hresult);
            if (!message.empty()) {
                line["hresultMessage"] = message;
            }
        }
        printJson(line);
        return;
    }
    const std::string number = std::to_string(attempt);
    if (state == GATEWAY_CONNECTION_LOST && attempt > 0) {
        printLine("connection: attempt " + number + " failed (" + hresultText(hresult) + ")");
    } else if (state == GATEWAY_CONNECTION_LOST) {
        printLine("connection lost" + (hresult != 0 ? " (" + hresultText(hresult) + ")" : std::string()) +
                  (foundByCheck ? " (found by the connection check: the client reported nothing)" : "") +
                  (g_view.relogin ? "" : "; not logging in again (--no-reconnect)"));
    } else if (state == GATEWAY_CONNECTION_RETRYING) {
        printLine("connection: logging in again, attempt " + number);
    } else if (attempt > 0) {
        printLine("connected again after attempt " + number + "; reading the door states again");
    } else {
        printLine("connected");
    }
}

void showLossesFoundByTheCheck(const GatewayApi& api) {
    g_view.getStatistics = api.getStatistics;
    g_view.checkLosses = checkLossesSoFar();
}

void readKnownStates(const GatewayApi& api) {
    PointStates now;
    readPointStates(api, now);
    std::lock_guard<std::mutex> lock(g_view.statesMutex);
    g_view.knownStates = std::move(now);
}

void resynchroniseIfAsked(const GatewayApi& api) {
    if (::WaitForSingleObject(g_view.resync, 0) == WAIT_OBJECT_0) {
        ::ResetEvent(g_view.resync);
        resynchronise(api);
    }
}

void resetEventWait() {
    ::ResetEvent(g_view.stop);
    std::lock_guard<std::mutex> lock(g_view.countMutex);
    g_view.shown = 0;
}

void endEventWait() {
    ::SetEvent(g_view.stop);
}

long eventsShownInWait() {
    std::lock_guard<std::mutex> lock(g_view.countMutex);
    return g_view.shown;
}

void waitForEvents(std::optional<int> seconds, const GatewayApi* api) {
    const ULONGLONG deadline = seconds ? ::GetTickCount64() + static_cast<ULONGLONG>(*seconds) * 1000 : 0;
    for (;;) {
        DWORD timeout = INFINITE;
        if (seconds) {
            const ULONGLONG now = ::GetTickCount64();
            timeout = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        const HANDLE handles[] = {g_view.stop, g_view.resync};
        const DWORD woken = ::WaitForMultipleObjects(api != nullptr ? 2 : 1, handles, FALSE, timeout);
        if (woken != WAIT_OBJECT_0 + 1) {
            return;
        }
        ::ResetEvent(g_view.resync);
        resynchronise(*api);
    }
}
