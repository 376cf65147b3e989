// Server outages: the simulated server going offline and coming back, and the connect delay.
#pragma once

namespace sim {

// The simulated server can go away and come back, so that a host's handling of a lost connection and its
// own re-login can be tested. There is one server for every client of the process; a site file's timeline
// can also take it away for a while (docs/site-format.md). resetSite brings it back (see below).
//
// Going offline: every client that is connected loses its connection (get_ConnectionState gives 0, its
// user stays as clients() shows it) and OnClientStateChanged(0) is called on each sink advised to it;
// clients that were not connected hear nothing. While the server is offline, Connect answers
// E_SIM_SERVER_OFFLINE and leaves the client's connection as it was, and every request that needs a
// connection (SendManualCommand, GetByID, GetByType, GetRelatives) answers E_SIM_NOT_CONNECTED, even for a
// client that raiseClientStateChanged(1) has called connected (both codes in SimErrors.h). The events of the
// event generator and of a site file's timeline that fall into an outage are not delivered; deliverEvents
// still delivers.
//
// Coming back online: the clients that lost their connection to the outage, and have neither connected nor
// disconnected since, either stay disconnected until their next Connect (the default), or, with
// setClientsReconnectByThemselves(true), log in again by themselves: their connection state becomes 1 and
// OnClientStateChanged(1) is called on each sink advised to them. A client whose account no longer has the
// password of its last Connect stays disconnected and hears nothing. The option in force when the server
// comes back decides. Coming back starts no timeline (only Connect does).
//
// The reports are called from a simulator thread that joins the MTA, never from the thread that changed
// the server, with no simulator lock held. They go out in the order the server changed, one report after
// the other: a sink hears the "1" of an outage's end only after the "0" of its start has returned, even when
// setServerOnline gave up waiting for that one. A report goes to the sinks advised to the client when the
// server changed.

// Takes the server offline (false) or brings it online (true); the connection states change before it
// returns. Returns true once the reports of this change, and of every change before it, have been delivered
// (every sink call has returned); false when they have not after timeoutMs, in which case they are
// delivered later (the DLL stays loaded until they are). Setting the state the server is in already changes
// nothing and reports nothing. A sink that calls it during a report waits for its own report to end, which
// cannot happen: it gets false after timeoutMs.
bool setServerOnline(bool online, unsigned timeoutMs = 5000);
// Takes the server offline without a word to anyone: every connected client loses its connection as with
// setServerOnline(false) (get_ConnectionState gives 0, requests answer E_SIM_NOT_CONNECTED), but no sink
// hears OnClientStateChanged(0), as when a network path dies without a reset and the client never notices.
// Coming back is as after any outage (setServerOnline(true), the end of a site file's outage entry): with
// setClientsReconnectByThemselves(true) the clients log in again and their sinks hear
// OnClientStateChanged(1). The states have changed when it returns; a server that is offline already stays
// as it is.
void setServerOfflineSilently();
// Whether the server is online.
bool serverOnline();
// Waits until the server is online (true) or offline (false) and every report of a change so far has been
// delivered; false after timeoutMs. For the outages of a site file's timeline, which change the server on
// their own schedule.
bool waitForServerState(bool online, unsigned timeoutMs = 5000);
// Whether clients log in again by themselves when the server comes back (false: they stay disconnected
// until their next Connect). resetSite sets it back to false; a site file sets it from "clientsReconnect".
void setClientsReconnectByThemselves(bool reconnect);
// Connect waits this long before it answers: after its call is counted, its fault check and its turn (for
// serialised requests), before it asks the server, so a Connect that waits while the server goes offline is
// refused and one that waits while it comes back succeeds. A Connect measures its wait against the delay in
// force while it waits: shortening the delay lets a waiting Connect answer sooner (0 at once). 0 by default;
// resetSite sets it back to 0.
void setConnectDelay(unsigned milliseconds);
// Connect calls waiting out the connect delay now, over all clients.
int waitingConnects();
// Waits until exactly `count` Connect calls are waiting out the connect delay; false after timeoutMs. With
// a long delay, lets a test act while a Connect is known to be in progress.
bool waitForWaitingConnects(int count, unsigned timeoutMs = 5000);

}  // namespace sim
