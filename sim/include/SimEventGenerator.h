// The event generator: random events of the site at a chosen rate, replayable from a seed.
#pragma once

#include <optional>

namespace sim {

// Random events of the site, eventsPerSecond of them, from a simulator thread to every advised sink, each
// stamped with the current local time, by the role of the point (SimDoors.h, "Point roles"):
//   access events (IAccessEvent, Type 10, SubType 5003) at readers that are not offline, with one of the
//     site's cardholders: 2030 eAccessGranted (state type 0), or 2040 eAccessDenied, 2011 eInvalidPIN,
//     2038 eCardExpired (state type 1); a secured reader (2022) denies, a free one (2021) grants;
//   object-state events (Type 11, SubType 7006), each of which also sets the point's state, state type and
//     server time in the site, as a command does: a door frame goes from 3006 eDoorForced or 3005
//     eDoorHeld (alarm) to 3004 eDoorClosed, from any other state to forced or held; a latch between 4001
//     eUnlocked and 4000 eLocked; a reader from 2025 eReaderOffline (alarm) to 2026 eReaderOnline, from any
//     other state to offline; a passback point from 3000 eInputPassback (alarm) to 3001 ePointNormal, from
//     any other state to passback;
//   generic events (IGenericEvent, Type 8) of the server: SubType 6001 eDBCreate "Cardholder record
//     created", 6002 eDBModify "Cardholder record changed", 6003 eDBDelete "Cardholder record deleted",
//     Location "SiPass Server", ObjectType and ObjectID 0.
// Events at a point carry its Location and Description. An event whose kind the site has no point for (or
// an access event when the site has no cardholder) becomes a generic one. EventIDs count from 1 for each
// start. While the server is offline no event is made. Replaces a running generator.
// The sequence depends only on the seed and the site: the same seed on the same site (with no command or
// other change in between) gives the same events. Without a seed, the site file's "seed" is used, or else a
// fresh one each start, so that runs differ; eventGeneratorSeed tells which, so that a run can be replayed.
// The registered DLL starts a generator by itself when a client connects and the environment variable
// SIPASS_SIM_EVENT_RATE gives a rate above 0 (events per second, a decimal number); SIPASS_SIM_SEED
// (0 to 4294967295) gives its seed before the site file's; it writes "SiPassSim: <rate> events per second,
// seed <seed> ..." to standard error and the debugger output when it starts, and ends when no client is
// left. A value of either variable that is no such number is an error reported as a wrong SIPASS_SIM_SITE
// is: its message on standard error and the debugger output, and the creation of the client fails (E_FAIL).
void startEventGenerator(double eventsPerSecond, std::optional<unsigned> seed = std::nullopt);
// Stops the generator and waits for its thread.
void stopEventGenerator();
// Events the generator delivered since it was started.
long generatedEvents();
// The seed of the generator running, or of the one started last; nullopt before the first start.
std::optional<unsigned> eventGeneratorSeed();

}  // namespace sim
