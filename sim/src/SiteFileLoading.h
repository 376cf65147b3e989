// Site files in the running simulator (SiteFileLoading.cpp): the file the registered DLL loads from the
// environment, and the player of a site's timeline.
#pragma once

#include <windows.h>

namespace sim::detail {

// Loads the site file SIPASS_SIM_SITE names, once per process and file, when a client is created: how
// the registered DLL plays a site file for a host that has no control API. A wrong file: its message on
// standard error and a failure HRESULT, so that the client is not created.
HRESULT loadSiteFromEnvironment();
// Plays the loaded site's event timeline from its start when a client connects and none is playing.
void startTimelineOnConnect();
// Stops a playing timeline and forgets it (resetSite).
void clearTimeline();

}  // namespace sim::detail
