// Manual commands acting on the simulated site, and the delivery of the object-state events they raise:
// by a thread of their own, or on the thread that sent the command.
#include "SiteModel.h"

#include "EventObject.h"
#include "SimRuntime.h"

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

// The states a command puts a point through, in order; none for a code the site does not know.
std::vector<StateStep> stepsOf(long command, const SitePoint& point) {
    switch (command) {
        case kCommandLock:
            return {{4000, 0}};
        case kCommandUnlock:
            return {{4001, 0}};
        case kCommandMomentaryUnlock:
            return {{4001, 0}, {4000, 0}};
        case kCommandSecure:
            return {{2022, 0}};
        case kCommandFree:
            return {{2021, 0}};
        case kCommandResetAlarm:
            return {{point.state, 0}};
        default:
            return {};
    }
}

// The points a command addresses: the point itself, or the latches of a device's door sets.
std::vector<long> targetsOf(const SiteModel& site, long objectType, long objectId) {
    std::vector<long> points;
    if (objectType == kPointType) {
        points.push_back(objectId);
    } else if (objectType == kDeviceType) {
        for (const SiteDevice& device : site.devices) {
            if (device.id == objectId) {
                for (const SiteDoorSet& doorSet : device.doorSets) {
                    if (doorSet.latch != 0) {
                        points.push_back(doorSet.latch);
                    }
                }
                break;
            }
        }
    }
    return points;
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

std::vector<EventObject> applyCommandLocked(SiteModel& site, const SentCommand& command, DATE now) {
    std::vector<EventObject> events;
    for (long pointId : targetsOf(site, command.objectType, command.objectId)) {
        const auto found = site.points.find(pointId);
        if (found == site.points.end()) {
            continue;
        }
        SitePoint& point = found->second;
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
    return events;
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
