// The commands of a logged-in session: the door table, a point, a manual command, a subscription and
// watching the events. Each prints its result and returns it as an exit code.
#pragma once

#include <cstdint>
#include <optional>

#include "GatewayApi.h"
#include "Options.h"

// Every device, its doors and their points with their states.
int runDoors(const GatewayApi& api, const Options& options);

// The state of one point.
int runPoint(const GatewayApi& api, const Options& options, int32_t id);

// Sends a manual command and shows the state events of its object for --seconds (default 2); a refused
// command says why.
int runCommand(const GatewayApi& api, const Options& options, int32_t type, int32_t id, int32_t code);

// Registers with the server for the events of one object. The gateway delivers every event of the site
// all the same: a registration filters nothing, and the line it prints says so.
int runSubscribe(const GatewayApi& api, const Options& options, long type, long id, long state);

// Shows events for the given seconds, or until Ctrl+C when none are given; says so when none came.
int runWatch(const GatewayApi& api, std::optional<int> seconds);
// What the note of a watch that saw no event adds about the events' source (empty: nothing).
void setNoEventsHint(std::string hint);
