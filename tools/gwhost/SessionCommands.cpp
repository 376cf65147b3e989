#include "SessionCommands.h"

#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "CommandRefusal.h"
#include "DoorTable.h"
#include "EventView.h"
#include "ExitCodes.h"
#include "Output.h"
#include "Text.h"

int runDoors(const GatewayApi& api, const Options& options) {
    Device* devices = nullptr;
    int32_t deviceCount = 0;
    int32_t doorCount = 0;
    if (!api.getAllDoors(&devices, &deviceCount, &doorCount)) {
        const std::string reason = failureReason(api, options.real);
        api.cleanupDoorArray(devices, deviceCount);
        return fail(kRefused, "gateway_getAllDoors failed: " + reason);
    }
    if (options.json) {
        printJson(doorTableJson(devices, deviceCount, doorCount));
    } else {
        std::string table = doorTableText(devices, deviceCount, doorCount);
        table.pop_back();
        printLine(table);
    }
    api.cleanupDoorArray(devices, deviceCount);
    return kDone;
}

int runPoint(const GatewayApi& api, const Options& options, int32_t id) {
    PointDefinition point{};
    point.id = id;
    if (!api.getPointState(id, &point.state)) {
        return fail(kRefused,
                    "gateway_getPointState(" + std::to_string(id) + ") failed: " + failureReason(api, options.real));
    }
    if (options.json) {
        printJson(pointStateJson(id, point.state));
    } else {
        printLine("point " + std::to_string(id) + "  " + stateName(point.state.state) + " (" +
                  stateTypeName(point.state.stateType) + ")  since " + dateText(point.state.serverTimeMs) +
                  "  at " + utf8(point.state.location) + ": " + utf8(point.state.description));
    }
    api.cleanupPointDefinition(point);  // frees the two state texts; the name is null
    return kDone;
}

int runCommand(const GatewayApi& api, const Options& options, int32_t type, int32_t id, int32_t code) {
    // Only this object's events are shown, from before the command is sent (they may arrive before
    // controlDoor returns) to the end of the wait.
    showOnlyObject(id);
    bool sent = false;
    std::string reason;
    {
        EventWindow window;
        sent = api.controlDoor(type, id, code);
        if (!sent) {
            reason = failureReason(api, options.real);
        }
        if (options.json) {
            nlohmann::ordered_json line = {
                {"command", code}, {"objectType", type}, {"objectId", id}, {"sent", sent}};
            if (!sent) {
                line["reason"] = reason;
            }
            printJson(line);
        } else {
            printLine(std::string("gateway_controlDoor(") + std::to_string(type) + ", " + std::to_string(id) +
                      ", " + std::to_string(code) + ") " + (sent ? "sent" : "failed"));
        }
        if (sent) {
            waitForEvents(options.seconds ? options.seconds : 2);
        }
    }
    showOnlyObject(0);  // after the window has closed, so that no other object's event slips through
    if (!sent) {
        return fail(kRefused, "the command was refused: " + reason);
    }
    return kDone;
}

int runSubscribe(const GatewayApi& api, const Options& options, long type, long id, long state) {
    const bool registered = api.registerEvent(type, id, state);
    if (options.json) {
        printJson({{"subscribe", {{"objectType", type}, {"objectId", id}, {"state", state}}},
                   {"registered", registered}});
    } else {
        // A registration is the server's business: the gateway delivers every event of the site all the
        // same, so the line says that nothing is filtered, lest a user take the events that follow for
        // this object's alone.
        printLine("gateway_RegisterEvent(" + std::to_string(type) + ", " + std::to_string(id) + ", " +
                  std::to_string(state) + ") " +
                  (registered ? "registered with the server; this filters nothing: every event of the site "
                                "is shown"
                              : "failed"));
    }
    if (!registered) {
        return fail(kRefused, "the registration was refused: " + failureReason(api, options.real));
    }
    return kDone;
}

namespace {

std::string g_noEventsHint;  // set once, before any command runs

}  // namespace

void setNoEventsHint(std::string hint) {
    g_noEventsHint = std::move(hint);
}

int runWatch(const GatewayApi& api, std::optional<int> seconds) {
    EventWindow window;
    waitForEvents(seconds, &api);
    if (seconds && eventsShownInWait() == 0) {
        note("no events in " + std::to_string(*seconds) + " s" + g_noEventsHint);
    }
    return kDone;
}
