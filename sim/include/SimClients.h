// The live client objects: their state as a test sees it, their advised sinks, and connection-state
// reports to those sinks.
#pragma once

#include <string>
#include <vector>

namespace sim {

// Behaviour worth knowing when writing a test against the simulator:
//   - A rejected Connect leaves the client's connection as it was.
//   - SendManualCommand, GetByID, GetByType and GetRelatives need a connected client and an online server
//     (E_SIM_NOT_CONNECTED otherwise): a command sent without a connection never reaches the site, so it is
//     neither recorded nor reported as sent.
//   - SendManualCommand accepts only commands created from the simulator's CLSID_ManualCommand class
//     (E_INVALIDARG for another implementation), since IManualCommand has no getters to read one from.
//   - raiseClientStateChanged also sets the connection state of every live client to the raised state, so
//     that get_ConnectionState agrees with the event a sink has just received.
//   - Cookies of IConnectionPoint::Advise are unique over all clients of the process.

struct ClientSnapshot {
    long connectionState;
    long eventMask;
    int advisedSinks;
    std::wstring user;  // account of the last successful Connect; empty after Disconnect or before one
};
// Live client objects, in creation order.
std::vector<ClientSnapshot> clients();
// Advised sinks over all live clients.
int advisedSinkCount();
// Waits until exactly `count` sinks are advised over all live clients; false after timeoutMs.
bool waitForAdvisedSinks(int count, unsigned timeoutMs = 5000);

// Calls OnClientStateChanged(state) on every advised sink of every live client (clients in creation
// order, sinks in the order they were advised), from a new simulator thread that joins the MTA. Returns
// true once every call has returned; false when they have not after timeoutMs, in which case the thread
// finishes on its own later (the DLL stays loaded until it has).
bool raiseClientStateChanged(long state, unsigned timeoutMs = 5000);

}  // namespace sim
