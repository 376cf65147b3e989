// Showing the gateway's events and connection reports as they arrive, as text lines or JSON: the kinds
// asked for, while a command waits for them, until a time or a number of events ends the wait. The view
// also keeps the door states as last known, so that after a re-login it shows what changed unseen.
//
// The callbacks run on the access-control client's threads; everything else on the main thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "GatewayApi.h"

// Sets what the view shows: JSON or text lines, the kinds asked for (state, access, generic, disconnect,
// connection; empty: every kind), and after how many events shown a wait ends (none: only its time ends
// it). Makes the events a wait waits on, and lets Ctrl+C end a wait. Called once, before any callback is
// registered.
void startEventView(bool json, const std::set<std::string>& kinds, std::optional<long> eventLimit);

// Events are shown while at least one window is open: a single watch or subscribe opens one for its
// whole session, a command and the shell's lines that wait for events one each, so that the shell's
// other lines (a door table, a point) are not mixed with events.
class EventWindow {
public:
    explicit EventWindow(bool open = true);
    ~EventWindow();
    EventWindow(const EventWindow&) = delete;
    EventWindow& operator=(const EventWindow&) = delete;

private:
    bool m_open;
};

// Only the events of this object are shown while a command waits for its effect; 0 shows every object.
void showOnlyObject(int32_t objectId);

// The gateway's callbacks.
void SIPASSVORMEKGATEWAY_CALL onStateEvent(int32_t eventId, int32_t objectId, int32_t objectType, int32_t,
                                           int32_t subType, int32_t state, int32_t stateType,
                                           int64_t timestampMs, int64_t, const wchar_t* location,
                                           const wchar_t* description);
void SIPASSVORMEKGATEWAY_CALL onAccessEvent(int32_t eventId, int32_t objectId, int32_t objectType, int32_t,
                                            int32_t subType, int32_t state, int32_t stateType,
                                            int64_t timestampMs, int64_t, const wchar_t* firstName,
                                            const wchar_t* lastName, const wchar_t* cardNumber,
                                            const wchar_t* location, const wchar_t* description);
void SIPASSVORMEKGATEWAY_CALL onGenericEvent(int32_t eventId, int32_t type, int32_t subType,
                                             int64_t timestampMs, int64_t, const wchar_t* location,
                                             const wchar_t* description);
void SIPASSVORMEKGATEWAY_CALL onDisconnect();
void SIPASSVORMEKGATEWAY_CALL onConnection(int32_t state, int32_t attempt, int32_t hresult);

// Called when onConnection is registered, with whether the gateway logs in again after a lost connection:
// the line of a loss then says what follows, and the disconnect callback's line, which would say the same
// again, is left out. Called before the login.
void setConnectionReports(bool relogin);

// With the connection check on: the line of a loss the check found says so (the statistics tell). Called
// before the login.
void showLossesFoundByTheCheck(const GatewayApi& api);

// Reads the door states after the login, as those a re-login compares with.
void readKnownStates(const GatewayApi& api);

// When a re-login has asked for it and no wait has answered yet: reads the door states again and shows
// what changed (the shell, before each line).
void resynchroniseIfAsked(const GatewayApi& api);

// Starts a wait afresh: its own count of events shown, and a Ctrl+C that ended the wait before does not
// end this one.
void resetEventWait();

// Ends the wait under way as Ctrl+C does: for a command that counts its events itself. Any thread.
void endEventWait();

// Events shown since the wait started.
long eventsShownInWait();

// Waits the given seconds, or until Ctrl+C when none are given, or until the number of events shown
// that startEventView set; with `api`, reads the door states again whenever a re-login asks for it.
void waitForEvents(std::optional<int> seconds, const GatewayApi* api = nullptr);
