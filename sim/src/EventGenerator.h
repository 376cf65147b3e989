// The registered DLL's event generator, started and checked from the environment (EventGenerator.cpp).
#pragma once

#include <windows.h>

namespace sim::detail {

// Starts the event generator when the environment asks for one (SIPASS_SIM_EVENT_RATE, events per
// second, and SIPASS_SIM_SEED) and none runs: how the registered DLL produces events for a host that has
// no control API. Tells the host's user the seed it uses.
void startEventGeneratorFromEnvironment();
// Checks SIPASS_SIM_EVENT_RATE and SIPASS_SIM_SEED when a client is created: a value that is no such
// number is reported as a wrong site file is (tellHost) and gives E_FAIL, so that the client is not
// created rather than silently giving no events.
HRESULT checkGeneratorEnvironment();

}  // namespace sim::detail
