// Delivery and requests: how the events of manual commands reach their sinks, and serialised requests.
#pragma once

namespace sim {

// Real clients differ in how their events meet the calls their host makes. These settings make the
// simulator behave like the less forgiving ones, so that a host's locking can be tested against them.
// They hold for every client of the process; resetSite restores the defaults.

// How SendManualCommand delivers the object-state events of a command.
enum class CommandEventDelivery {
    Thread,         // from the command-event thread, one OnEvent per event, in order (the default)
    CallingThread,  // OnEvent on every advised sink, one event per call, in order, on the thread that called
                    // SendManualCommand and before it returns
};
// Sets how the events of commands sent from now on are delivered. Events already queued for the
// command-event thread are still delivered by it. With CallingThread nothing is queued (waitForCommandEvents
// returns true at once), and no simulator lock is held while a sink runs, so the sink may call its client.
void setCommandEventDelivery(CommandEventDelivery delivery);

// Serialised requests: the client answers as one does that shares a single connection to its server
// between requests and events. When on, each request of a client (Connect, Disconnect, put_EventMask,
// SendManualCommand, GetByID, GetByType, GetRelatives) waits, after its fault check and before it does
// anything, while any sink call is in progress on another thread: OnEvent or OnClientStateChanged from
// deliverEvents, raiseClientStateChanged, the command-event thread, the event generator, a site file's
// timeline or a SendManualCommand that delivers on its calling thread. Only the end of those calls ends
// the wait: it has no timeout. A request made on a thread that is inside a sink call itself (a sink calling
// back into its client) does not wait, since it would be waiting for its own delivery and the simulator
// would deadlock on itself. A host that makes a request while holding a lock its sink needs therefore
// deadlocks here, as it would with such a client. The getters of the client and the objects it handed out
// never wait, nor does a call failed by an injected fault. Off by default; resetSite turns it off, and
// turning it off lets every waiting request go on. Turning it on throws std::runtime_error when the
// process has no thread-local storage slot left, which the simulator needs to know a sink's own thread.
void setSerialisedRequests(bool on);
// Sink calls in progress over all threads, nested calls on one thread counted each.
int deliveriesInProgress();

}  // namespace sim
