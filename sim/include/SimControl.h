// Control API of the simulated access-control client. The simulator is an in-process COM server that
// stands in for the vendor's client library: tests link the static library `sipass_sim`, register its
// class factories in-process and then drive and inspect the simulated site through the functions below.
// The shared library SiPassSim.dll exposes the same classes through DllGetClassObject and regsvr32.
//
// Every function here is thread-safe. None of them calls into a sink or another foreign object while
// holding the simulator's lock; sinks are called only from threads of the simulator's own
// (raiseClientStateChanged, deliverEvents, the events of manual commands, the reports of server outages
// and of a call fault's lost connection), unless a test asks for the events of manual commands on the thread
// that sends them (setCommandEventDelivery).
//
// The built-in site, which a process starts with: docs/site-format.md, "The built-in site".
//
// This header includes one header per concern of the control API:
//   SimRegistration.h    registering the class factories in-process; the count of live COM objects
//   SimErrors.h          the simulated client's own failure HRESULTs (E_SIM_...)
//   SimSite.h            resetSite, loadSiteFile, accounts, named objects, the initial event mask
//   SimFaults.h          fault injection by method name, call counts, call traces and faults by position
//   SimClients.h         the live clients and their sinks, raiseClientStateChanged; the client's behaviour
//                        worth knowing when writing a test
//   SimDoors.h           doors and points: the site model, what GetByType, GetByID and GetRelatives answer,
//                        point roles, malformed arrays
//   SimCommands.h        manual commands: command codes, refusals, their effect and events, sentCommands
//   SimEvents.h          event objects and OnEvent arrays, deliverEvents, createEvent, localNow
//   SimEventGenerator.h  the random event generator and its seed
//   SimDelivery.h        how the events of commands are delivered; serialised requests
//   SimOutages.h         server outages, the reconnect option and the connect delay
#pragma once

#include "SimClients.h"
#include "SimCommands.h"
#include "SimDelivery.h"
#include "SimDoors.h"
#include "SimErrors.h"
#include "SimEventGenerator.h"
#include "SimEvents.h"
#include "SimFaults.h"
#include "SimOutages.h"
#include "SimRegistration.h"
#include "SimSite.h"
