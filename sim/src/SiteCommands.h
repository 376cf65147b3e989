// Manual commands acting on the site model, and the delivery of the events they raise (SiteCommands.cpp).
#pragma once

#include "SimCommands.h"
#include "SimDelivery.h"
#include "SimEvents.h"
#include "SiteModel.h"

#include <vector>

namespace sim::detail {

// Checks one manual command against the site and applies it: S_OK with the object-state events it
// raises, in order, or the refusal (SimCommands.h) with no change and no event. REQUIRES: State::mutex
// held.
HRESULT applyCommandLocked(SiteModel& site, const SentCommand& command, DATE now,
                           std::vector<EventObject>& events);

// Delivers the events of a command in order, one OnEvent call per event: with Thread, hands them to the
// command-event thread and returns at once; with CallingThread, calls the sinks on this thread and returns
// when every call has. No simulator lock may be held.
void raiseCommandEvents(std::vector<EventObject> events, CommandEventDelivery delivery);

}  // namespace sim::detail
