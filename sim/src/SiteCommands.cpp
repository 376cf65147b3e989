// Manual commands acting on the simulated site, and the delivery of the object-state events they raise:
// by a thread of their own, or on the thread that sent the command.
#include "SiteCommands.h"

#include "LiveClients.h"
#include "SimRuntime.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <thread>

namespace sim::detail {
namespace {

constexpr long kDeviceType = 6;
constexpr long kPointType = 7;
constexpr long kObjStateEventType = 11;          // eObjState
constexpr long kAccessPointStateSubType = 7006;  // eAccessPointState

struct StateStep {
    long state;
    long stateType;
};

// Whether the command table has the code.
bool knownCommand(long command) {
    return command >= kCommandLock && command <= kCommandResetAlarm;
}

// Which roles take which command (SimCommands.h).
bool takes(PointRole role, long command) {
    switch (command) {
        case kCommandLock:
        case kCommandUnlock:
        case kCommandMomentaryUnlock:
            return role == PointRole::Latch;
        case kCommandSecure:
        case kCommandFree:
            return role == PointRole::Reader;
        case kCommandResetAlarm:
            return role == PointRole::Reader || role == PointRole::DoorFrame || role == PointRole::Passback;
        default:
            return false;
    }
}

// The states an accepted command puts a point through, in order; none when it changes nothing.
std::vector<StateStep> stepsOf(long command, const SitePoint& point) {
    switch (command) {
        case kCommandLock:
            return {{kLocked, kStateNormal}};
        case kCommandUnlock:
            return {{kUnlocked, kStateNormal}};
        case kCommandMomentaryUnlock:
            return {{kUnlocked, kStateNormal}, {kLocked, kStateNormal}};
        case kCommandSecure:
            return {{kDoorSecured, kStateNormal}};
        case kCommandFree:
            return {{kDoorFree, kStateNormal}};
        case kCommandResetAlarm:
            if (point.stateType == kStateNormal) {
                return {};  // nothing to reset
            }
            return {{point.state, kStateNormal}};
        default:
            return {};
    }
}

// The points an accepted command changes, or the refusal. A device stands for those of its points whose
// role takes the command.
HRESULT targetsOf(const SiteModel& site, const SentCommand& command, std::vector<long>& points) {
    if (command.objectType != kPointType && command.objectType != kDeviceType) {
        return E_SIM_UNKNOWN_OBJECT_TYPE;
    }
    if (!knownCommand(command.command)) {
        return E_SIM_UNKNOWN_COMMAND;
    }
    if (command.objectType == kPointType) {
        if (site.points.count(command.objectId) == 0) {
            return E_SIM_NO_OBJECT;
        }
        if (!takes(roleOf(site, command.objectId), command.command)) {
            return E_SIM_COMMAND_NOT_FOR_ROLE;
        }
        points.push_back(command.objectId);
        return S_OK;
    }
    const auto device = std::find_if(site.devices.begin(), site.devices.end(),
                                     [&](const SiteDevice& d) { return d.id == command.objectId; });
    if (device == site.devices.end()) {
        return E_SIM_NO_OBJECT;
    }
    forEachDoorPoint(*device, [&](long id, PointRole) {
        // Its role in the whole site: a point the control API put into several doors has one role.
        if (takes(roleOf(site, id), command.command) && site.points.count(id) > 0 &&
            std::find(points.begin(), points.end(), id) == points.end()) {
            points.push_back(id);
        }
    });
    return points.empty() ? E_SIM_COMMAND_NOT_FOR_ROLE : S_OK;
}

// The command-event thread's queue. Created on first use and never destroyed, like State.
struct EventQueue {
    std::mutex mutex;
    std::condition_variable idle;
    std::deque<EventObject> pending;  // guarded by mutex
    bool running = false;             // guarded by mutex: a delivering thread exists
};

EventQueue& eventQueue() {
    static auto* const queue = new EventQueue;
    return *queue;
}

// Delivers queued events one after another until the queue is empty, then ends.
void deliverQueuedEvents() {
    markSimulatorThread();
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EventQueue& queue = eventQueue();
    for (;;) {
        EventObject event;
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            if (queue.pending.empty()) {
                queue.running = false;
                break;
            }
            event = std::move(queue.pending.front());
            queue.pending.pop_front();
        }
        // A sink that does not return in time is left to finish on deliverEvent's own thread.
        deliverEvent(event);
    }
    if (SUCCEEDED(init)) {
        CoUninitialize();
    }
    queue.idle.notify_all();
    --g_runningThreads;
}

}  // namespace

HRESULT applyCommandLocked(SiteModel& site, const SentCommand& command, DATE now,
                           std::vector<EventObject>& events) {
    std::vector<long> targets;
    const HRESULT checked = targetsOf(site, command, targets);
    if (FAILED(checked)) {
        return checked;
    }
    for (long pointId : targets) {
        SitePoint& point = site.points.at(pointId);
        for (const StateStep& step : stepsOf(command.command, point)) {
            point.state = step.state;
            point.stateType = step.stateType;
            point.serverTime = now;
            EventObject event;
            event.objectState = true;
            event.eventId = site.nextEventId++;
            event.type = kObjStateEventType;
            event.subType = kAccessPointStateSubType;
            event.timestamp = now;
            event.serverTime = now;
            event.location = point.location;
            event.description = point.description;
            event.objectId = point.id;
            event.objectType = kPointType;
            event.state = point.state;
            event.stateType = point.stateType;
            events.push_back(std::move(event));
        }
    }
    return S_OK;
}

void raiseCommandEvents(std::vector<EventObject> events, CommandEventDelivery delivery) {
    if (events.empty()) {
        return;
    }
    if (delivery == CommandEventDelivery::CallingThread) {
        try {
            for (const EventObject& event : events) {
                EventBatch batch;
                batch.elements.push_back(EventElement{EventElement::Kind::Object, event});
                deliverOnThisThread(batch);
            }
        } catch (const std::bad_alloc&) {
            // Out of memory in the simulator itself: the rest is lost, the states changed (as below).
        }
        return;
    }
    EventQueue& queue = eventQueue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    for (EventObject& event : events) {
        queue.pending.push_back(std::move(event));
    }
    if (queue.running) {
        return;
    }
    // Counted before the thread starts, so the module cannot be unloaded under it.
    ++g_runningThreads;
    try {
        std::thread(deliverQueuedEvents).detach();
        queue.running = true;
    } catch (...) {
        --g_runningThreads;
        queue.pending.clear();  // no thread to deliver them: the events are lost, the states changed
    }
}

}  // namespace sim::detail

namespace sim {

void setCommandEventDelivery(CommandEventDelivery delivery) {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.commandEvents = delivery;
}

bool waitForCommandEvents(unsigned timeoutMs) {
    auto& queue = detail::eventQueue();
    std::unique_lock<std::mutex> lock(queue.mutex);
    return queue.idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return queue.pending.empty() && !queue.running; });
}

}  // namespace sim
