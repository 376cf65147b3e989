/*
 * SiPassVormekGateway: the C interface of the access-control gateway DLL.
 *
 * The contract, before any declaration:
 *
 *  - Calling convention. Every export and every callback uses the C calling convention (__cdecl: the
 *    caller removes the arguments). The exports have undecorated names; link with the import library or
 *    load them with GetProcAddress by the names below.
 *  - Booleans. Every bool result is one byte: 1 for true, 0 for false. Read only the lowest byte of the
 *    return register (a .NET host declares it [return: MarshalAs(UnmanagedType.I1)]).
 *  - Texts. Every text is a NUL-terminated UTF-16 string (wchar_t, 16 bits on Windows).
 *  - Callbacks and the gateway lock. The event callbacks and the disconnect callback run on threads of
 *    the access-control client (or, for a client that delivers synchronously, on the thread of the
 *    export that caused the event; the disconnect callback of a loss the connection check found, on the
 *    check's thread; with gateway_setDeliveryQueue, all of them on the gateway's delivery thread), one at
 *    a time and never nested, while the gateway holds its lock.
 *    From inside one of them (and from the log function while it runs for one of them)
 *    gateway_Register*Callback, gateway_RegisterEvent, gateway_Init and gateway_Close are refused: they
 *    log the error line "<operation> refused: called from inside a gateway callback, which runs while the
 *    gateway delivers an event. Call it from another thread.", change nothing and return false where
 *    they return a result (gateway_Close too). The door and point exports may be called from a callback.
 *    An event that such a call makes the client deliver on the same thread is kept and delivered right
 *    after the current callback returns, in order (with the delivery queue it is queued like any other). A callback must copy any text it wants to keep.
 *  - The log function may be called from several threads at once and holds no lock of the gateway.
 *    Whatever it raises (a C++ exception of an MSVC-built host, an access violation, a .NET exception)
 *    loses that one line and nothing else. gateway_RegisterLogCallback returns only when no other thread
 *    is inside the previous function any more (a function that replaces itself is not waited for by its
 *    own thread), so the host may free what the old function used.
 *  - Host threads. Every export may be called from any thread at any time. gateway_Init and gateway_Close
 *    run one at a time. An export that runs while another thread closes the gateway finishes against the
 *    old gateway object (with its result, or false and a log line), never with freed memory; Close does
 *    not wait for it. Two concurrent gateway_Init calls end with one client logged in and advised, and
 *    every event reaches the host once; of two concurrent gateway_Close calls one closes and both return
 *    true. Nothing the client or a callback raises leaves an export or the gateway's event sink.
 *  - Ownership of records. The records of gateway_getAllDoors and gateway_getPointState, and every text
 *    and array inside them, are allocated by the gateway with malloc. The host reads them and gives them
 *    back to gateway_cleanupDoorArray / gateway_cleanupPointDefinition; it never frees them itself. Each
 *    pointer inside a record is either null or a block that no other record shares.
 *  - Null pointers. gateway_Init with a null user name or password returns false and logs the reason.
 *    The cleanup exports accept null pointers and counts of 0. Every callback may be null (not set).
 *  - Lifetime. The first export that needs it creates the gateway object; gateway_Close ends it. When
 *    gateway_Close returns, no callback of the old object runs or will run, its event connection is
 *    withdrawn (it waits for a delivery in progress) and its client is disconnected and released; the
 *    next export gets a fresh object. The log callback is not part of the gateway object and survives
 *    gateway_Close. Once a client has been advised, the DLL pins itself in memory until the process ends:
 *    the client may call or release the gateway's event sink after Close, so FreeLibrary then leaves the
 *    DLL mapped. Close the gateway before unloading the DLL.
 *  - Time values passed as 64-bit integers are milliseconds since 1970-01-01 00:00:00 in the local time
 *    of the computer the gateway runs on (not UTC), always a whole number of seconds times 1000; with
 *    GATEWAY_OPTION_UTC_TIMES they are milliseconds since 1970-01-01 00:00:00 UTC (see gateway_setOptions).
 *    A date the client sends as NaN gives 0; one too far out for 64-bit milliseconds (an infinity
 *    included) gives +-9223372036854775000; its text in the log is "Invalid DateTime".
 *  - The age limit of gateway_setDropDuration counts the real time elapsed since an event's timestamp,
 *    read with the computer's time-zone rules: the hours the clocks jump neither age nor rejuvenate an
 *    event.
 */
#ifndef SIPASSVORMEKGATEWAY_H
#define SIPASSVORMEKGATEWAY_H

/* Only headers every C compiler brings with it (no C runtime's headers): <stddef.h> gives wchar_t and
 * offsetof, so a host built without a C runtime, or with a compiler's own headers only, includes this
 * header as it is. */
#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#define SIPASSVORMEKGATEWAY_CALL __cdecl

/* The version: SIPASSVORMEKGATEWAY_VERSION_MAJOR, _MINOR, _PATCH (integers), _STRING ("1.2.3") and
 * _WSTRING (L"1.2.3"), the numbers this header was released with. gateway_GetVersion tells the version
 * of the DLL actually loaded; the DLL's version resource carries the same numbers. */
#include "SiPassVormekGatewayVersion.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Logging ---------------------------------------------------------------------------------------- */

/* The kind of a log line. No other value is ever sent. */
typedef enum LogLevel {
    Info = 0,  /* general messages: export entry, login steps and their failures */
    Error = 1, /* failures in event translation and in the door and point services */
    Debug = 2  /* detail: event notifications and contents, dropped events, door lists */
} LogLevel;

/* The host's log function. text is valid only for the call. */
typedef void(SIPASSVORMEKGATEWAY_CALL* LogCallback)(LogLevel level, const wchar_t* text);

/* ---- Event callbacks -------------------------------------------------------------------------------- */
/* Enumeration values (object type, sub-type, state, state type) are the access-control system's own
 * 32-bit values, passed unchanged. The wide texts are never null and live only for the call. */

/* One object-state event (a point in alarm, a door forced or held, a reader offline). */
typedef void(SIPASSVORMEKGATEWAY_CALL* AlarmStateCallback)(int32_t eventId, int32_t objectId,
                                                           int32_t objectType, int32_t type, int32_t subType,
                                                           int32_t state, int32_t stateType,
                                                           int64_t timestampMs, int64_t serverTimeMs,
                                                           const wchar_t* location,
                                                           const wchar_t* description);

/* One access event (a badge at a reader), with the cardholder's data. */
typedef void(SIPASSVORMEKGATEWAY_CALL* AlarmAccessCallback)(
    int32_t eventId, int32_t objectId, int32_t objectType, int32_t type, int32_t subType, int32_t state,
    int32_t stateType, int64_t timestampMs, int64_t serverTimeMs, const wchar_t* firstName,
    const wchar_t* lastName, const wchar_t* cardNumber, const wchar_t* location, const wchar_t* description);

/* One generic event (database changes and the like). */
typedef void(SIPASSVORMEKGATEWAY_CALL* GenericEventCallback)(int32_t eventId, int32_t type, int32_t subType,
                                                             int64_t timestampMs, int64_t serverTimeMs,
                                                             const wchar_t* location,
                                                             const wchar_t* description);

/* The client library reported a lost connection to the access-control server. */
typedef void(SIPASSVORMEKGATEWAY_CALL* DisconnectCallback)(void);

/* The states of the connection to the access-control server reported to a ConnectionStateCallback. */
#define GATEWAY_CONNECTION_LOST 0
#define GATEWAY_CONNECTION_CONNECTED 1
#define GATEWAY_CONNECTION_RETRYING 2

/* A change of the connection (gateway_RegisterConnectionStateCallback): state is one of the three values
 * above, attempt the number of the automatic re-login attempt (0 when none is concerned), hresult the
 * client's result of a failed attempt, or of a failed gateway_Init after a connected report (0 otherwise).
 * Called on the thread that made the change (with the delivery queue, on the delivery thread), never while
 * another thread holds the gateway lock (so it may call the door and point exports); the exports refused
 * inside an event callback are refused inside it too. Reports never overlap one another, but one may run
 * while an event callback runs on another thread (never with the delivery queue). */
typedef void(SIPASSVORMEKGATEWAY_CALL* ConnectionStateCallback)(int32_t state, int32_t attempt,
                                                                int32_t hresult);

/* Self-test callback of testRegisterCallback / testFireCallback. */
typedef void(SIPASSVORMEKGATEWAY_CALL* TestCallback)(int value);

/* ---- Door and point records ------------------------------------------------------------------------- */
/* Natural alignment; the 64-bit integer aligns every record that holds one to 8. Sizes and offsets are
 * pinned below for x86 (the host contract) and x64 (same field order, 8-byte pointers). */

/* The state of one point. */
typedef struct PointState {
    int32_t state;        /* state code (EObjState values) */
    int32_t stateType;    /* 0 normal, 1 alarm (EStateType values) */
    int64_t serverTimeMs; /* server time of the state */
    wchar_t* location;
    wchar_t* description;
} PointState;

/* One point, resolved from its id; id 0 means "no such point" and the record is all zero. */
typedef struct PointDefinition {
    int32_t id;
    wchar_t* name;
    PointState state;
} PointDefinition;

/* One door set of a device with its five points. */
typedef struct Doorset {
    int32_t doorNumber;
    PointDefinition reader1;
    PointDefinition reader2;
    PointDefinition doorFrame;
    PointDefinition passback;
    PointDefinition latch;
} Doorset;

/* One device; doorsets is null when doorsetCount is 0. */
typedef struct Device {
    int32_t id;
    wchar_t* name;
    int32_t doorsetCount;
    Doorset* doorsets;
} Device;

/* The gateway's health (gateway_GetStatistics): counters since the DLL was loaded (they survive
 * gateway_Close). The caller sets size to sizeof(GatewayStatistics) first; the gateway fills the versions
 * that fit, sets size to what it filled and version to the last version filled: version 1 is the first
 * 160 bytes, version 2 (224 bytes) adds the delivery queue and the connection check. A host built with
 * the first version's record (size 160) gets exactly that record. Every field after the first two is 64
 * bits. */
typedef struct GatewayStatistics {
    uint32_t size;
    uint32_t version;
    uint64_t accessEventsReceived;      /* events the client delivered, by kind */
    uint64_t objectStateEventsReceived;
    uint64_t genericEventsReceived;
    uint64_t accessEventsDelivered;     /* events handed to the host's callback, by kind */
    uint64_t objectStateEventsDelivered;
    uint64_t genericEventsDelivered;
    uint64_t eventsDroppedTooOld;       /* older than the drop duration */
    uint64_t eventsWithoutCallback;     /* read, but no callback of their kind was registered */
    uint64_t eventsAbandonedAtGetter;   /* a getter of the client failed or raised */
    uint64_t malformedArrays;           /* OnEvent arrays that were missing, malformed or held a non-object */
    uint64_t hostCallbacksRaised;       /* event, disconnect and connection-state callbacks that raised */
    uint64_t logCallsRaised;            /* calls of the log function that raised (the line was lost) */
    uint64_t connectionLosses;          /* state-0 reports of the client */
    uint64_t reloginAttempts;           /* automatic re-login attempts made */
    uint64_t reloginSuccesses;
    uint64_t lastEventReceivedMs;       /* when the last event arrived, in the time base of the event times;
                                           0 when none */
    uint64_t lastLoginMs;               /* when the last login (gateway_Init or re-login) succeeded; 0: none */
    uint64_t loggedIn;                  /* 1 while a client is logged in, else 0 */
    uint64_t longestHostCallbackUs;     /* the longest event, disconnect or connection-state callback */
    /* Version 2. */
    uint64_t eventsQueued;              /* events and reports waiting in the delivery queue now */
    uint64_t queueHighWater;            /* the most that ever waited in it at once */
    uint64_t queueFullWaits;            /* deliveries of the client held because the queue was full ... */
    uint64_t queueFullWaitUs;           /* ... and how long they were held in total */
    uint64_t eventsDiscardedAtClose;    /* events still queued when gateway_Close stopped the queue */
    uint64_t longestQueueWaitUs;        /* the longest an event waited in the queue for its callback */
    uint64_t connectionCheckLosses;     /* losses the connection check found that the client never reported */
    uint64_t connectionCheckFailures;   /* connection checks whose client call failed or raised */
} GatewayStatistics;

#ifdef __cplusplus
#define SIPASSVORMEKGATEWAY_LAYOUT(cond, what) static_assert(cond, what)
#else
#define SIPASSVORMEKGATEWAY_LAYOUT(cond, what) _Static_assert(cond, what)
#endif

#if defined(_WIN64)
SIPASSVORMEKGATEWAY_LAYOUT(sizeof(PointState) == 32 && offsetof(PointState, serverTimeMs) == 8 &&
                               offsetof(PointState, location) == 16 &&
                               offsetof(PointState, description) == 24,
                           "PointState layout (x64)");
SIPASSVORMEKGATEWAY_LAYOUT(sizeof(PointDefinition) == 48 && offsetof(PointDefinition, name) == 8 &&
                               offsetof(PointDefinition, state) == 16,
                           "PointDefinition layout (x64)");
SIPASSVORMEKGATEWAY_LAYOUT(sizeof(Doorset) == 248 && offsetof(Doorset, reader1) == 8 &&
                               offsetof(Doorset, reader2) == 56 && offsetof(Doorset, doorFrame) == 104 &&
                               offsetof(Doorset, passback) == 152 && offsetof(Doorset, latch) == 200,
                           "Doorset layout (x64)");
SIPASSVORMEKGATEWAY_LAYOUT(sizeof(Device) == 32 && offsetof(Device, name) == 8 &&
                               offsetof(Device, doorsetCount) == 16 && offsetof(Device, doorsets) == 24,
                           "Device layout (x64)");
#else
SIPASSVORMEKGATEWAY_LAYOUT(sizeof(PointState) == 24 && offsetof(PointState, state) == 0 &&
                               offsetof(PointState, stateType) == 4 &&
                               offsetof(PointState, serverTimeMs) == 8 &&
                               offsetof(PointState, location) == 16 &&
                               offsetof(PointState, description) == 20,
                           "PointState layout (x86)");
SIPASSVORMEKGATEWAY_LAYOUT(sizeof(PointDefinition) == 32 && offsetof(PointDefinition, id) == 0 &&
                               offsetof(PointDefinition, name) == 4 && offsetof(PointDefinition, state) == 8,
                           "PointDefinition layout (x86)");
SIPASSVORMEKGATEWAY_LAYOUT(sizeof(Doorset) == 168 && offsetof(Doorset, doorNumber) == 0 &&
                               offsetof(Doorset, reader1) == 8 && offsetof(Doorset, reader2) == 40 &&
                               offsetof(Doorset, doorFrame) == 72 && offsetof(Doorset, passback) == 104 &&
                               offsetof(Doorset, latch) == 136,
                           "Doorset layout (x86)");
SIPASSVORMEKGATEWAY_LAYOUT(sizeof(Device) == 16 && offsetof(Device, id) == 0 && offsetof(Device, name) == 4 &&
                               offsetof(Device, doorsetCount) == 8 && offsetof(Device, doorsets) == 12,
                           "Device layout (x86)");
#endif
SIPASSVORMEKGATEWAY_LAYOUT(sizeof(bool) == 1, "bool results are one byte");
/* The same on both architectures. */
SIPASSVORMEKGATEWAY_LAYOUT(sizeof(GatewayStatistics) == 224 && offsetof(GatewayStatistics, version) == 4 &&
                               offsetof(GatewayStatistics, accessEventsReceived) == 8 &&
                               offsetof(GatewayStatistics, malformedArrays) == 80 &&
                               offsetof(GatewayStatistics, longestHostCallbackUs) == 152 &&
                               offsetof(GatewayStatistics, eventsQueued) == 160 &&
                               offsetof(GatewayStatistics, connectionCheckFailures) == 216,
                           "GatewayStatistics layout");
/* The size of the first version of the record. */
#define GATEWAY_STATISTICS_V1_SIZE 160u

/* ---- Lifecycle and registration --------------------------------------------------------------------- */

/* Logs in to the access-control server and advises the gateway for its events. False on every failure;
 * the reason is written to the log. Callbacks, subscriptions and the drop duration are kept. A second
 * Init replaces the first client (withdrawn, disconnected and released first). Refused (false) inside a
 * callback. */
bool SIPASSVORMEKGATEWAY_CALL gateway_Init(const wchar_t* user, const wchar_t* password);

/* Ends the gateway object: withdraws the event connection (waiting for a delivery in progress),
 * disconnects a connected client and forgets the event callbacks, the subscriptions and the drop
 * duration. True, except when refused from inside a callback (false, with the "refused" line). */
bool SIPASSVORMEKGATEWAY_CALL gateway_Close(void);

/* Returns value + 1 (wrapping at 32 bits); touches no gateway object. */
int SIPASSVORMEKGATEWAY_CALL gateway_Ping(int value);

/* Set or replace (null clears) the event callbacks; used from the next event on. Refused (nothing
 * changes) inside an event or disconnect callback. */
void SIPASSVORMEKGATEWAY_CALL gateway_RegisterAlarmStateCallback(AlarmStateCallback callback);
void SIPASSVORMEKGATEWAY_CALL gateway_RegisterAlarmAccessCallback(AlarmAccessCallback callback);
void SIPASSVORMEKGATEWAY_CALL gateway_RegisterGenericEventCallback(GenericEventCallback callback);
void SIPASSVORMEKGATEWAY_CALL gateway_RegisterDisconnectCallback(DisconnectCallback callback);

/* Registers for the events of one object (type, id, state); the object must exist on the server and an
 * AlarmStateCallback or AlarmAccessCallback must be set. */
bool SIPASSVORMEKGATEWAY_CALL gateway_RegisterEvent(long objectType, long objectId, long state);

/* Sets (null clears) the host's log function. Works at any time and survives gateway_Close. Returns once
 * no other thread is inside the previous function. */
void SIPASSVORMEKGATEWAY_CALL gateway_RegisterLogCallback(LogCallback callback);

/* Events older than this many seconds are dropped (default 180). */
void SIPASSVORMEKGATEWAY_CALL gateway_setDropDuration(int seconds);

/* ---- Staying connected (opt-in) ---------------------------------------------------------------------
 * Automatic re-login after the client reports a lost connection. 0, 0 turns it off: the default, with
 * which the gateway only calls the disconnect callback, as it always has. Otherwise the first attempt
 * comes firstDelayMs after the loss and each later one after twice the previous delay, capped at
 * maxDelayMs, each plus a random jitter of up to a fifth of the delay. An attempt does what a host would:
 * with the credentials of the last successful gateway_Init it withdraws the old event connection,
 * releases the old client (disconnecting it if it still says connected), creates a new one, logs in and
 * advises. Callbacks, subscriptions and the drop duration are kept. If the client reports the connection
 * back by itself before an attempt starts, the attempt is cancelled. Whatever the client raises during an
 * attempt is contained: logged ("Exception in re-login attempt <n>: ..."), reported as a failed attempt
 * with the HRESULT of the exception (HRESULT_FROM_NT of its code), and the next attempt follows.
 * Out-of-range values (negative, first above max, max above 3,600,000, first 0 with max not 0): false, a
 * log line, nothing changes. The policy belongs to the host like the log callback and survives
 * gateway_Close. The credentials are kept only while the policy is on and a login has succeeded, in
 * memory protected with CryptProtectMemory, and wiped at gateway_Close, at a failed gateway_Init and when
 * the policy is turned off; they are never logged. A gateway_Close whose object another gateway_Close
 * has closed already does nothing (it never ends a newer login). The attempts run on the gateway's one thread of its
 * own (in the multithreaded apartment), serialised with gateway_Init and gateway_Close; gateway_Close
 * cancels a pending attempt at once, waits for one in progress, and leaves no thread behind. */
bool SIPASSVORMEKGATEWAY_CALL gateway_setReconnectPolicy(int32_t firstDelayMs, int32_t maxDelayMs);

/* Copies the statistics into the caller's record; read without blocking event delivery. Null, or a size
 * below the first version's (160): false and a log line. Any thread may call it at any time. */
bool SIPASSVORMEKGATEWAY_CALL gateway_GetStatistics(GatewayStatistics* statistics);

/* Options (bits; 0, the default, keeps every value as described above):
 *  - GATEWAY_OPTION_UTC_TIMES: every time handed to the host (the event callbacks' timestamp and server
 *    time, PointState.serverTimeMs, the statistics' times) is milliseconds since 1970-01-01 00:00:00 UTC,
 *    converted from the client's local dates with the computer's time-zone rules. A local time that
 *    occurs twice (the hour the clocks go back) is read as its first occurrence; one in the hour skipped
 *    when they go forward with the offset in force before the change. Log lines keep local times.
 *  - GATEWAY_OPTION_UNCHANGED_TEXTS: the event callbacks receive the client's texts exactly as it gave
 *    them (UTF-16 up to the first NUL, unpaired surrogates included), instead of after the round trip
 *    through the computer's narrow code page that turns every letter outside it into '?'. The door and
 *    point records always carry the client's texts unchanged. Log lines are not affected. */
#define GATEWAY_OPTION_UTC_TIMES 0x1u
#define GATEWAY_OPTION_UNCHANGED_TEXTS 0x2u

/* Replaces the options (any combination of the bits above; 0 turns them all off). Unknown bits: false,
 * a log line, nothing changes. The options belong to the host like the log callback and survive
 * gateway_Close; they apply from the next event or query on. Any thread may call it at any time. */
bool SIPASSVORMEKGATEWAY_CALL gateway_setOptions(uint32_t options);

/* Sets (null clears) the connection-state callback of the gateway object; forgotten by gateway_Close.
 * It runs on the thread that made the change (the client's, gateway_Init's, the re-login thread or the
 * connection check's; with gateway_setDeliveryQueue, the delivery thread, after the events queued before
 * the change), never while another thread holds the gateway lock, so it may call the door and point
 * exports; reports never overlap and arrive in order. The last report always tells the truth: when
 * the connection is up the last report was 1, ...; while it is down with the policy on and credentials
 * kept, an attempt is pending or running; a late report of a replaced client changes nothing. It is
 * called with
 *   1, 0, 0   when gateway_Init succeeds (followed by 0, 0, 0 when the connection was lost before Init
 *             returned);
 *   0, 0, 0   when the client reports the loss, or the connection check finds it (right after the
 *             disconnect callback);
 *   2, n, 0   before automatic attempt n;
 *   0, n, hr  when attempt n fails with hr;
 *   1, n, 0   when attempt n succeeds: events may have been missed during the outage, so read the door
 *             states again (resynchronise);
 *   1, 0, 0   also when the client reports the connection back by itself, whatever the policy;
 *   0, 0, hr  when a gateway_Init fails after an earlier one was reported connected.
 * Refused (nothing changes) inside a callback. */
void SIPASSVORMEKGATEWAY_CALL gateway_RegisterConnectionStateCallback(ConnectionStateCallback callback);

/* ---- Decoupled delivery (opt-in) ------------------------------------------------------------------
 * With a capacity of 0 (the default) every callback runs on the client's thread as described above. With
 * a capacity of 1 to 1,000,000, from the next gateway_Init on, the gateway's event sink translates each
 * event, copies everything the host will receive, queues it and returns to the client at once; one
 * delivery thread of the gateway's own then calls the event, disconnect and connection-state callbacks
 * one at a time, in the order the client delivered them, the connection-state reports of gateway_Init and
 * of the re-login in the same queue. Nothing is lost while the gateway is open: a full queue holds the
 * client's delivery until the callbacks have made room (counted in the statistics), except while a
 * callback calls a door or point export, which therefore never waits for a client delivery. The same
 * exports are refused inside a callback as without the queue. gateway_Close stops the delivery thread
 * after the callback in progress and discards what is still queued (counted, and named in one Info line);
 * no callback runs after it returns. A capacity outside 0 to 1,000,000: false, a log line, nothing
 * changes. The capacity belongs to the host like the options and survives gateway_Close. */
bool SIPASSVORMEKGATEWAY_CALL gateway_setDeliveryQueue(int32_t capacity);

/* ---- The connection check (opt-in) -----------------------------------------------------------------
 * A network path that dies without a reset may leave the client believing, or at least never reporting,
 * that it is still connected. With an interval of 1000 to 3,600,000 ms the gateway asks the client for its
 * connection state every interval, on a thread of its own and without the gateway lock. A client that
 * answers "not connected" although it never reported the loss is treated as if it had: the disconnect
 * callback, 0, 0, 0 to the connection-state callback, the re-login policy, an Info line that says the
 * check found it, and the statistics' connectionCheckLosses (connectionLosses counts it too). A check
 * whose call fails or raises counts as "not connected" only at the second failure in a row (each failure
 * is logged and counted in connectionCheckFailures). 0 (the default) turns it off; other values: false,
 * a log line, nothing changes. The interval belongs to the host like the re-login policy and survives
 * gateway_Close; it applies from the next check on.
 * The check runs only while the host was last told the connection is up and no login or re-login attempt
 * is under way. A loss it finds is handled like the client's own report: the disconnect callback and the
 * 0, 0, 0 run on the check's thread (under the gateway lock, as on a client thread; with the delivery
 * queue on, in the queue), and a finding about a connection that was replaced meanwhile, or whose state
 * the client reported (lost or connected) after the check asked, changes nothing. When the client later
 * reports the same loss itself, the host is not told a second time. The thread starts with the first
 * successful gateway_Init while the check is on (or when it is turned on after one) and ends with
 * gateway_Close, which waits for a check in progress (a client call that hangs holds it up) and leaves no
 * thread behind. gateway_Init or gateway_Close called from the log function during a line of the check
 * while another thread's gateway_Close waits for that check is refused (INSIDE_LOG) instead of waiting for
 * it. */
bool SIPASSVORMEKGATEWAY_CALL gateway_setConnectionCheck(int32_t intervalMs);

/* ---- The last error (opt-in) ------------------------------------------------------------------------
 * Why the last export of this thread that can fail returned false. Thread-local like Windows'
 * GetLastError: another thread's calls never change it. Every export that returns bool sets it (0 and an
 * empty text when it returns true); the others (the Register*Callback, gateway_setDropDuration and cleanup
 * exports, gateway_Ping, gateway_GetVersion, gateway_GetLastError itself) leave it as it is.
 *
 * The code is an HRESULT: the client's own, passed on unchanged, when a client call failed; otherwise one
 * of the gateway's own below (severity error, the customer bit set, facility 0x547, so that none equals a
 * Windows HRESULT or a COM interface's FACILITY_ITF code). The text is the line the failure logged (its
 * last Error line, or its last Info line when it logged none), exactly as the log function received it
 * (also when no log function is registered), up to its first 1023 characters.
 *
 * Which export gives which of the gateway's codes (any export may also give GATEWAY_E_RAISED or
 * GATEWAY_E_OUT_OF_MEMORY):
 *   gateway_Init                 INVALID_ARGUMENT (null user or password), INSIDE_CALLBACK, INSIDE_LOG,
 *                                PROCESS_TOKEN, CLIENT_RAISED, or the client's HRESULT of the step that
 *                                failed (creating the client, the event mask, Connect, the event connection)
 *   gateway_Close                INSIDE_CALLBACK, INSIDE_LOG
 *   gateway_RegisterEvent        INSIDE_CALLBACK, NO_CALLBACK, NOT_LOGGED_IN, NOT_FOUND (the client found
 *                                no such object but reported success), CLIENT_RAISED, the client's HRESULT
 *   gateway_getAllDoors          INVALID_ARGUMENT (a null pointer), NOT_LOGGED_IN, MALFORMED (the client's
 *                                array is not a one-dimensional array of VARIANTs), the client's HRESULT
 *   gateway_getPointState        INVALID_ARGUMENT, NOT_LOGGED_IN, NOT_FOUND, MALFORMED, the client's HRESULT
 *   gateway_controlDoor          NOT_LOGGED_IN, MALFORMED, the client's HRESULT (creating the command
 *                                object, or the server's refusal of the command)
 *   gateway_setReconnectPolicy, gateway_setOptions, gateway_GetStatistics,
 *   gateway_setConnectionCheck   INVALID_ARGUMENT
 * A client that raises inside a door or point export gives GATEWAY_E_RAISED. */
#define GATEWAY_E_NOT_LOGGED_IN ((int32_t)0xA5470001)     /* no client: gateway_Init first */
#define GATEWAY_E_INSIDE_CALLBACK ((int32_t)0xA5470002)   /* refused inside a gateway callback */
#define GATEWAY_E_INSIDE_LOG ((int32_t)0xA5470003)        /* refused in the log function during this thread's
                                                              Init, Close or creation of the gateway, or on
                                                              the connection check's thread while another
                                                              thread closes the gateway */
#define GATEWAY_E_INVALID_ARGUMENT ((int32_t)0xA5470004)  /* a null pointer or a value out of range */
#define GATEWAY_E_OUT_OF_MEMORY ((int32_t)0xA5470005)     /* the gateway found no memory for its work */
#define GATEWAY_E_CLIENT_RAISED ((int32_t)0xA5470006)     /* a client call raised an exception (the text
                                                              names it) */
#define GATEWAY_E_RAISED ((int32_t)0xA5470007)            /* the export raised an exception, contained at
                                                              its boundary (the text names it) */
#define GATEWAY_E_NO_CALLBACK ((int32_t)0xA5470008)       /* RegisterEvent without an AlarmState or
                                                              AlarmAccess callback */
#define GATEWAY_E_NOT_FOUND ((int32_t)0xA5470009)         /* the client reported success without the object */
#define GATEWAY_E_MALFORMED ((int32_t)0xA547000A)         /* the client's answer has a shape the gateway
                                                              cannot read */
#define GATEWAY_E_PROCESS_TOKEN ((int32_t)0xA547000B)     /* this process's token could not be read */
#define GATEWAY_E_FAILED ((int32_t)0xA54700FF)            /* a failure without a code of its own: see the
                                                              text */

/* Returns this thread's last error code (0 after a success, or before any export that can fail) and copies
 * its text into `message`: NUL-terminated, cut to capacity - 1 characters. A null message or a capacity
 * below 1 copies nothing. Needs no gateway object and no lock; any thread may call it at any time, also
 * inside a callback. */
int32_t SIPASSVORMEKGATEWAY_CALL gateway_GetLastError(wchar_t* message, int32_t capacity);

/* The DLL's version as "MAJOR.MINOR.PATCH" (the SIPASSVORMEKGATEWAY_VERSION_WSTRING it was built with).
 * The text is static: never null, valid while the DLL is loaded, never freed by the host. Needs no
 * gateway object, no login and no lock; any thread may call it at any time. */
const wchar_t* SIPASSVORMEKGATEWAY_CALL gateway_GetVersion(void);

/* ---- Doors and points ------------------------------------------------------------------------------- */

/* Lists every device with its door sets. Release the array with gateway_cleanupDoorArray(devices,
 * deviceCount), also when deviceCount is 0 and after a false result: every false result writes null, 0
 * and 0 into each output pointer that is not null. */
bool SIPASSVORMEKGATEWAY_CALL gateway_getAllDoors(Device** ppDevices, int32_t* pDeviceCount,
                                                  int32_t* pDoorCount);

/* Reads the current state of one point into the caller's record; its two texts belong to the host
 * afterwards (release them with gateway_cleanupPointDefinition on a definition embedding the state). */
bool SIPASSVORMEKGATEWAY_CALL gateway_getPointState(int32_t pointId, PointState* pointState);

/* Sends one manual command (codes of the access-control system, passed unchanged) to an object. */
bool SIPASSVORMEKGATEWAY_CALL gateway_controlDoor(int32_t objectType, int32_t objectId, int32_t command);

/* Frees the texts of count door sets (not the array itself). */
void SIPASSVORMEKGATEWAY_CALL gateway_cleanupDoorset(Doorset* doorsets, int32_t count);

/* Frees the name and the two state texts of a definition passed by value; the host's copy still holds
 * the freed pointers and must not use them again. */
void SIPASSVORMEKGATEWAY_CALL gateway_cleanupPointDefinition(PointDefinition definition);

/* Frees everything gateway_getAllDoors returned, the array included. */
void SIPASSVORMEKGATEWAY_CALL gateway_cleanupDoorArray(Device* devices, int32_t count);

/* ---- Interop self-tests (write a fixed text to standard output) ------------------------------------- */

int SIPASSVORMEKGATEWAY_CALL testCalculateSum(int a, int b);
void SIPASSVORMEKGATEWAY_CALL testFireCallback(void);
void SIPASSVORMEKGATEWAY_CALL testRegisterCallback(TestCallback callback);
int SIPASSVORMEKGATEWAY_CALL testSetIntArray(const int* values, int count);
int SIPASSVORMEKGATEWAY_CALL testCountChars(const char* text);

#ifdef __cplusplus
}
#endif

#endif /* SIPASSVORMEKGATEWAY_H */
