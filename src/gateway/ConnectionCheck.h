// The connection check: asks the client for its connection state at the host's interval, on a thread of
// the gateway's own and without the gateway lock, and treats a loss the client never reported as if it had
// reported it. The interval belongs to the host, like the re-login policy: it survives gateway_Close.
//
// The checker thread is started by the first successful gateway_Init with the check on (or by turning the
// check on after one) and joined by gateway_Close. Each turn it pins the current gateway object, takes the
// client and the connection the host was last told is up (SiPassGateWay::checkTarget), calls
// get_ConnectionState under the structured-exception guard, and on "not connected", or on the second
// failed call in a row, hands the gateway the loss as a state report of that connection marked as the
// check's (kFoundByCheck). The report takes the path of the client's own reports, so a finding about a
// connection that has since been replaced, or whose state the client reported (lost or connected) after
// the check asked, counts for nothing when it arrives.
#pragma once

#include <cstdint>

namespace connectionCheck {

// Marks a state report as the connection check's finding, in the connection number it carries. Event
// connections are numbered from 1 by a counter that never comes near this bit, and the client's own
// reports carry the number of the connection they came through, so the mark cannot be forged by a client.
constexpr unsigned kFoundByCheck = 0x80000000u;

// Sets the interval: 0 turns the check off, 1000 to 3,600,000 ms turns it on (and starts the checker
// thread when a login has succeeded since the last gateway_Close). It applies from the next check on.
// Other values: false and an error line, nothing changes.
bool setInterval(int32_t intervalMs);

// A gateway_Init succeeded: from now on until gateway_Close the checker thread runs while the check is
// on. REQUIRES: the lifecycle lock.
void loginSucceeded();

// Takes the lifecycle lock for gateway_Init or gateway_Close (`operation`). On the checker thread (the
// host's log function called it during a line of a check) it gives up instead of waiting for good when a
// gateway_Close on another thread, which holds the lock while it waits for this thread to end, ends the
// thread's run meanwhile: then false, with an error line and GATEWAY_E_INSIDE_LOG as the last error.
// Elsewhere it waits for the lock and gives true. The caller unlocks processGateway::lifecycleMutex().
bool lockLifecycle(const char* operation);

// Ends the checker thread: waits for a check in progress (at most one client call and the delivery of its
// finding). Called by gateway_Close before the gateway object is shut down, so that no finding of the
// closed object is delivered after Close returns. On the checker thread itself (the host's log function
// closed the gateway during a check's log line) it does not wait for itself: the thread ends after that
// line, without delivering anything. REQUIRES: the lifecycle lock.
void stop();

}  // namespace connectionCheck
