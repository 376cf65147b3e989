// Automatic re-login after a lost connection: the host's policy, the credentials kept for it, and the
// supervisor thread that makes the attempts. All three belong to the host, not to a gateway object: they
// survive gateway_Close (the credentials and a pending attempt do not).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class SiPassGateWay;

namespace reconnect {

// How an attempt ended, for the supervisor's next step.
enum class AttemptResult {
    LoggedIn,       // logged in again (or the client was back by itself): no further attempt
    Failed,         // the next attempt follows after the next delay
    LostAgain,      // logged in, but the new connection was lost before the attempt ended: attempt 1 follows
    NoCredentials,  // nothing to log in with (a failed Init or Close wiped them): the attempts end
};

struct Policy {
    int32_t firstDelayMs = 0;
    int32_t maxDelayMs = 0;
    bool on() const { return maxDelayMs > 0; }
};

// Sets the policy; 0, 0 turns it off, which wipes the credentials and cancels a pending attempt. Values
// out of range: false and an error line, nothing changes.
bool setPolicy(int32_t firstDelayMs, int32_t maxDelayMs);
Policy policy();

// The credentials of the last successful login, kept only while the policy is on, in pages of their own
// protected with CryptProtectMemory. storeCredentials replaces them when the policy is on (and does
// nothing when it is off); wipeCredentials overwrites and frees them.
void storeCredentials(const wchar_t* user, const wchar_t* password);
void wipeCredentials();
// Copies them out (the caller wipes its copies); false when none are kept.
bool readCredentials(std::wstring& user, std::wstring& password);

// The client reported the loss of `gateway`'s connection: schedules attempt 1 after the first delay,
// unless the policy is off, no credentials are kept, or an attempt is already pending or running (a
// running attempt answers for the connection it makes itself). The supervisor thread is started when
// first needed. Returns the delay, or -1 when nothing was scheduled.
int scheduleAfterLoss(const std::shared_ptr<SiPassGateWay>& gateway);

// Cancels an attempt that has not started yet; true when one was pending. Called when the client reports
// the connection back by itself and when the host logs in itself.
bool cancelPending();

// Cancels a pending attempt and ends the supervisor thread (joined). REQUIRES: the lifecycle lock, so no
// attempt is running. Called by gateway_Close: afterwards no thread of the gateway's is left.
void stop();

}  // namespace reconnect
