// Manual commands: which commands the site takes at which points, how they change the points' states,
// the object-state events they raise, and the commands it has recorded. The refusals' HRESULTs are in
// SimErrors.h, the roles of points in SimDoors.h ("Point roles"), the event object in SimEvents.h.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Manual commands change the site. SendManualCommand checks a command, once the client is connected, in
// this order and refuses it with the first that applies: an object type other than 7 (point) and 6
// (device), E_SIM_UNKNOWN_OBJECT_TYPE; a code the table below does not have, E_SIM_UNKNOWN_COMMAND; an id
// the site has no point or device of, E_SIM_NO_OBJECT; a point whose role does not take the code, or a
// device none of whose points does, E_SIM_COMMAND_NOT_FOR_ROLE. A refused command changes nothing, is not
// recorded (sentCommands) and raises no event. An accepted one is recorded and changes the states of its
// target points: a point target is that point, a device target stands for every point of its door sets
// whose role takes the code (doors in order, within a door reader 1, reader 2, door frame, passback,
// latch).
//
//   code  command            taken by                         new state of each target point
//   1     lock               latch                            4000 eLocked, 0
//   2     unlock             latch                            4001 eUnlocked, 0
//   3     momentary unlock   latch                            4001 eUnlocked, 0, then at once 4000 eLocked, 0
//                                                             (two events; ends locked)
//   4     secure             reader                           2022 eDoorSecured, 0
//   5     free               reader                           2021 eDoorFree, 0
//   6     reset alarm        reader, door frame, passback     a point in alarm: state code kept, state type
//                                                             0; a point not in alarm: no change, no event
//
// Each change sets the point's server time to the current local time (whole seconds) and, when any sink
// is advised at that moment, raises one object-state event (EventObject with objectState set: Type 11,
// SubType 7006, EventID counting from 1 since resetSite, ObjectID the point id, ObjectType 7, the new
// State and StateType, Timestamp and ServerTime the time of the change, the point's Location and
// Description). By default the events are delivered in order with deliverEvent from a simulator thread
// of their own, and SendManualCommand returns without waiting for them; setCommandEventDelivery can have
// them delivered on the calling thread before SendManualCommand returns.

// Command codes of the simulated site.
constexpr long kCommandLock = 1;
constexpr long kCommandUnlock = 2;
constexpr long kCommandMomentaryUnlock = 3;
constexpr long kCommandSecure = 4;
constexpr long kCommandFree = 5;
constexpr long kCommandResetAlarm = 6;

struct SentCommand {
    long objectId;
    long objectType;
    long command;
    std::wstring text;
};
// Commands accepted by SendManualCommand, oldest first.
std::vector<SentCommand> sentCommands();

// Waits until every event raised by a manual command so far has been delivered; false after timeoutMs.
bool waitForCommandEvents(unsigned timeoutMs = 5000);

}  // namespace sim
