// Creation of the simulated event objects and delivery of OnEvent arrays to the advised sinks.
#pragma once

#include "SimControl.h"

#include "client/ClientInterfaces.h"

namespace sim::detail {

// A new event object with one reference, owned by the caller.
HRESULT createEventObject(const EventObject& fields, IUnknown** object);

// Calls OnEvent with the batch on every sink advised now, on the calling thread.
void deliverOnThisThread(const EventBatch& batch);

// Starts the event generator when the environment asks for one (SIPASS_SIM_EVENT_RATE, events per
// second, and SIPASS_SIM_SEED) and none runs: how the registered DLL produces events for a host that has
// no control API. Tells the host's user the seed it uses.
void startEventGeneratorFromEnvironment();
// Checks SIPASS_SIM_EVENT_RATE and SIPASS_SIM_SEED when a client is created: a value that is no such
// number is reported as a wrong site file is (tellHost) and gives E_FAIL, so that the client is not
// created rather than silently giving no events.
HRESULT checkGeneratorEnvironment();

// Loads the site file SIPASS_SIM_SITE names, once per process and file, when a client is created: how
// the registered DLL plays a site file for a host that has no control API. A wrong file: its message on
// standard error and a failure HRESULT, so that the client is not created.
HRESULT loadSiteFromEnvironment();
// Plays the loaded site's event timeline from its start when a client connects and none is playing.
void startTimelineOnConnect();
// Stops a playing timeline and forgets it (resetSite).
void clearTimeline();

}  // namespace sim::detail
