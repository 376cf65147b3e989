/* A host built as an MSVC integrator builds one: compiled by clang-cl in MSVC mode and linked by lld-link
 * against the package's header and MSVC import library, with the universal C runtime. It calls every
 * export and checks what comes back field by field against the site it plays (msvc-site.json, handed to
 * the simulated client through SIPASS_SIM_SITE): results and one-byte bools, the records as MSVC lays
 * them out, each callback's arguments (two 64-bit times among eleven and fourteen arguments), the log
 * lines, the statistics. Any mismatch prints what was expected and what came, and the exit code is 1.
 *
 *   msvc_host.exe          run from the directory that holds the DLL and SiPassSim.dll
 *
 * One check step per export or group of exports: a new export gets a function and a line in `steps`. */
#include <windows.h>

#include <objbase.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "SiPassVormekGateway.h"

#define USER L"msvc"
#define PASSWORD L"clang-cl"
#define WAIT_MS 30000 /* a bound on every wait, never an expectation about how long anything takes */

/* ---- Reporting ------------------------------------------------------------------------------------- */

static const char* g_step = "start";
static const char* g_about; /* when set, what the checks are about: "<g_about> <g_aboutId>" */
static long g_aboutId;
static int g_checks;
static int g_failures;

static void print_failure_start(void) {
    ++g_failures;
    printf("FAILED [%s] ", g_step);
    if (g_about != NULL) {
        printf("%s %ld: ", g_about, g_aboutId);
    }
}

/* Writes a text of the gateway as ASCII, anything else as \uXXXX, whatever the console's code page. */
static void print_text(const wchar_t* text) {
    if (text == NULL) {
        printf("(null)");
        return;
    }
    printf("\"");
    for (; *text != L'\0'; ++text) {
        if (*text >= 0x20 && *text < 0x7F) {
            printf("%c", (char)*text);
        } else {
            printf("\\u%04X", (unsigned)*text);
        }
    }
    printf("\"");
}

static bool check(bool ok, const char* format, ...) {
    ++g_checks;
    if (!ok) {
        va_list args;
        print_failure_start();
        va_start(args, format);
        vprintf(format, args);
        va_end(args);
        printf("\n");
        fflush(stdout);
    }
    return ok;
}

static bool check_int(const char* what, int64_t expected, int64_t actual) {
    return check(expected == actual, "%s: expected %lld, got %lld", what, (long long)expected,
                 (long long)actual);
}

static bool same_text(const wchar_t* a, const wchar_t* b) {
    return a == NULL || b == NULL ? a == b : wcscmp(a, b) == 0;
}

static bool check_text(const char* what, const wchar_t* expected, const wchar_t* actual) {
    ++g_checks;
    if (same_text(expected, actual)) {
        return true;
    }
    print_failure_start();
    printf("%s: expected ", what);
    print_text(expected);
    printf(", got ");
    print_text(actual);
    printf("\n");
    fflush(stdout);
    return false;
}

/* Local wall-clock time in the gateway's time base (milliseconds since 1970 in local time) would need a
 * 64-bit division, which needs the static runtime's helpers on x86; times are compared in the FILETIME
 * base (100 ns since 1601) instead. */
static int64_t local_now_100ns(void) {
    SYSTEMTIME now;
    FILETIME asFileTime;
    GetLocalTime(&now);
    SystemTimeToFileTime(&now, &asFileTime);
    return (int64_t)(((uint64_t)asFileTime.dwHighDateTime << 32) | asFileTime.dwLowDateTime);
}

static int64_t gateway_ms_to_100ns(int64_t ms) {
    return (ms + 11644473600000LL) * 10000;
}

static int64_t g_start_100ns;

/* A time stamped by the simulator (whole seconds of local time) between the start and now. */
static void check_recent(const char* what, int64_t ms) {
    const int64_t at = gateway_ms_to_100ns(ms);
    check(at >= g_start_100ns - 10000000 && at <= local_now_100ns() + 10000000,
          "%s: %lld ms is not local time between the start of this host and now", what, (long long)ms);
}

/* ---- What the callbacks and the log function receive ----------------------------------------------- */

typedef enum CallKind { ACCESS_EVENT, STATE_EVENT, GENERIC_EVENT, DISCONNECT, CONNECTION_STATE } CallKind;

typedef struct Call {
    CallKind kind;
    int32_t eventId, objectId, objectType, type, subType, state, stateType;
    int64_t timestampMs, serverTimeMs;
    int32_t attempt, hresult; /* a connection change: its state is in `state` */
    wchar_t firstName[48], lastName[48], cardNumber[48], location[48], description[48];
    bool nullText;
} Call;

#define MAX_CALLS 1024
static CRITICAL_SECTION g_callLock;
static Call g_calls[MAX_CALLS]; /* entries below g_callCount are complete and never change */
static LONG g_callCount;        /* guarded by g_callLock */
static bool g_callsLost;        /* guarded by g_callLock */
static HANDLE g_callArrived;    /* set after each call is recorded */
static volatile LONG g_insideCallback;
static volatile LONG g_nestedCallbacks;

static void copy_text(wchar_t* to, size_t capacity, const wchar_t* from, bool* wasNull) {
    size_t i = 0;
    if (from == NULL) {
        *wasNull = true;
        from = L"";
    }
    for (; from[i] != L'\0' && i + 1 < capacity; ++i) {
        to[i] = from[i];
    }
    to[i] = L'\0';
}

/* Callbacks run one at a time on the client's threads: entering one while another runs is a fault. */
static void enter_callback(void) {
    if (InterlockedIncrement(&g_insideCallback) != 1) {
        InterlockedIncrement(&g_nestedCallbacks);
    }
}

static void record(const Call* call) {
    EnterCriticalSection(&g_callLock);
    if (g_callCount < MAX_CALLS) {
        g_calls[g_callCount++] = *call;
    } else {
        g_callsLost = true;
    }
    LeaveCriticalSection(&g_callLock);
    InterlockedDecrement(&g_insideCallback);
    SetEvent(g_callArrived);
}

static LONG call_count(void) {
    LONG count;
    EnterCriticalSection(&g_callLock);
    count = g_callCount;
    LeaveCriticalSection(&g_callLock);
    return count;
}

/* The fields every event callback has. */
static void begin_event(Call* call, CallKind kind, int32_t eventId, int32_t type, int32_t subType,
                        int64_t timestampMs, int64_t serverTimeMs) {
    enter_callback();
    memset(call, 0, sizeof *call);
    call->kind = kind;
    call->eventId = eventId;
    call->type = type;
    call->subType = subType;
    call->timestampMs = timestampMs;
    call->serverTimeMs = serverTimeMs;
}

static void SIPASSVORMEKGATEWAY_CALL on_state(int32_t eventId, int32_t objectId, int32_t objectType,
                                              int32_t type, int32_t subType, int32_t state, int32_t stateType,
                                              int64_t timestampMs, int64_t serverTimeMs,
                                              const wchar_t* location, const wchar_t* description) {
    Call call;
    begin_event(&call, STATE_EVENT, eventId, type, subType, timestampMs, serverTimeMs);
    call.objectId = objectId;
    call.objectType = objectType;
    call.state = state;
    call.stateType = stateType;
    copy_text(call.location, 48, location, &call.nullText);
    copy_text(call.description, 48, description, &call.nullText);
    record(&call);
}

static void SIPASSVORMEKGATEWAY_CALL on_access(int32_t eventId, int32_t objectId, int32_t objectType,
                                               int32_t type, int32_t subType, int32_t state,
                                               int32_t stateType, int64_t timestampMs, int64_t serverTimeMs,
                                               const wchar_t* firstName, const wchar_t* lastName,
                                               const wchar_t* cardNumber, const wchar_t* location,
                                               const wchar_t* description) {
    Call call;
    begin_event(&call, ACCESS_EVENT, eventId, type, subType, timestampMs, serverTimeMs);
    call.objectId = objectId;
    call.objectType = objectType;
    call.state = state;
    call.stateType = stateType;
    copy_text(call.firstName, 48, firstName, &call.nullText);
    copy_text(call.lastName, 48, lastName, &call.nullText);
    copy_text(call.cardNumber, 48, cardNumber, &call.nullText);
    copy_text(call.location, 48, location, &call.nullText);
    copy_text(call.description, 48, description, &call.nullText);
    record(&call);
}

static void SIPASSVORMEKGATEWAY_CALL on_generic(int32_t eventId, int32_t type, int32_t subType,
                                                int64_t timestampMs, int64_t serverTimeMs,
                                                const wchar_t* location, const wchar_t* description) {
    Call call;
    begin_event(&call, GENERIC_EVENT, eventId, type, subType, timestampMs, serverTimeMs);
    copy_text(call.location, 48, location, &call.nullText);
    copy_text(call.description, 48, description, &call.nullText);
    record(&call);
}

static void SIPASSVORMEKGATEWAY_CALL on_disconnect(void) {
    Call call;
    begin_event(&call, DISCONNECT, 0, 0, 0, 0, 0);
    record(&call);
}

static void SIPASSVORMEKGATEWAY_CALL on_connection(int32_t state, int32_t attempt, int32_t hresult) {
    Call call;
    begin_event(&call, CONNECTION_STATE, 0, 0, 0, 0, 0);
    call.state = state;
    call.attempt = attempt;
    call.hresult = hresult;
    record(&call);
}

typedef struct LogLine {
    LogLevel level;
    wchar_t text[160];
} LogLine;

#define MAX_LOG_LINES 4096
static CRITICAL_SECTION g_logLock;
static LogLine g_log[MAX_LOG_LINES]; /* guarded by g_logLock */
static LONG g_logCount;              /* guarded by g_logLock; lines beyond MAX_LOG_LINES are counted only */
static LONG g_badLevels;             /* guarded by g_logLock */

/* May run on several threads at once. */
static void SIPASSVORMEKGATEWAY_CALL on_log(LogLevel level, const wchar_t* text) {
    bool wasNull = false;
    EnterCriticalSection(&g_logLock);
    if (level != Info && level != Error && level != Debug) {
        ++g_badLevels;
    }
    if (g_logCount < MAX_LOG_LINES) {
        g_log[g_logCount].level = level;
        copy_text(g_log[g_logCount].text, 160, text, &wasNull);
    }
    ++g_logCount;
    LeaveCriticalSection(&g_logLock);
}

static LONG log_mark(void) {
    LONG count;
    EnterCriticalSection(&g_logLock);
    count = g_logCount;
    LeaveCriticalSection(&g_logLock);
    return count;
}

/* A line of this level beginning with `prefix` logged since `mark`. */
static bool check_logged(LONG mark, LogLevel level, const wchar_t* prefix) {
    const size_t length = wcslen(prefix);
    bool found = false;
    LONG i;
    EnterCriticalSection(&g_logLock);
    for (i = mark; i < g_logCount && i < MAX_LOG_LINES && !found; ++i) {
        found = g_log[i].level == level && wcsncmp(g_log[i].text, prefix, length) == 0;
    }
    LeaveCriticalSection(&g_logLock);
    ++g_checks;
    if (!found) {
        print_failure_start();
        printf("no log line of level %d beginning with ", (int)level);
        print_text(prefix);
        printf("\n");
    }
    return found;
}

static volatile LONG g_testCallbackValue;

static void SIPASSVORMEKGATEWAY_CALL on_test(int value) {
    InterlockedExchange(&g_testCallbackValue, value);
}

/* ---- The site ---------------------------------------------------------------------------------------- */

typedef struct ExpectedPoint {
    int32_t id;
    const wchar_t* name;
    int32_t state, stateType;
    int64_t serverTimeMs;
    const wchar_t *location, *description;
} ExpectedPoint;

/* The points of msvc-site.json. Their server times are local wall-clock times, passed on as they stand:
 * 2025-01-06 08:00:00, 2038-01-19 03:14:08 (seconds beyond 32 bits), 1999-12-31 12:34:56 and
 * 2024-02-29 23:59:59. Point 325 has no texts in the site. */
static const ExpectedPoint kReader311 = {
    311, L"Nord T\u00fcr 1 Leser au\u00dfen", 2030, 0, 1736150400000LL, L"Nordeingang", L"Leser au\u00dfen",
};
static const ExpectedPoint kFrame313 = {
    313, L"Nord T\u00fcr 1 T\u00fcrkontakt", 3004, 1, 2147483648000LL, L"Nordeingang", L"T\u00fcr offen",
};
static const ExpectedPoint kLatch315 = {
    315, L"Nord T\u00fcr 1 Riegel", 4000, 0, 946643696000LL, L"Nordeingang", L"Riegel",
};
static const ExpectedPoint kLatch325 = {
    325, L"Nord T\u00fcr 2 Riegel", 4001, 1, 1709251199000LL, L"", L"",
};
static const ExpectedPoint kNoPoint = {0};

typedef struct ExpectedEvent {
    CallKind kind;
    int32_t eventId, objectId, objectType, type, subType, state, stateType;
    const wchar_t *firstName, *lastName, *cardNumber, *location, *description;
} ExpectedEvent;

/* The timeline of msvc-site.json: three events at its start, an outage, one more at 3 s. */
static const ExpectedEvent kTimeline[] = {
    {ACCESS_EVENT, 1001, 311, 7, 10, 5003, 2030, 0, L"Zo\u00eb", L"M\u00fcller", L"000400001", L"Nordeingang",
     L"Zutritt gew\u00e4hrt"},
    {STATE_EVENT, 1002, 313, 7, 11, 7005, 3004, 1, L"", L"", L"", L"Nordeingang", L"T\u00fcr aufgebrochen"},
    {GENERIC_EVENT, 1003, 0, 0, 8, 9001, 0, 0, L"", L"", L"", L"Datenbank", L"Karteninhaber ge\u00e4ndert"},
    {GENERIC_EVENT, 1004, 0, 0, 9, 9002, 0, 0, L"", L"", L"", L"Datenbank", L"Nach der Wiederanmeldung"},
};
#define TIMELINE_EVENTS (sizeof kTimeline / sizeof kTimeline[0])

/* The two events of a door command on latch 315: the simulator numbers them from 1. */
static bool is_command_event(const Call* call) {
    return call->kind == STATE_EVENT && call->objectId == kLatch315.id && call->eventId < 1000;
}

static const ExpectedEvent* expected_event(const Call* call) {
    size_t i;
    for (i = 0; i < TIMELINE_EVENTS; ++i) {
        if (kTimeline[i].eventId == call->eventId && kTimeline[i].kind == call->kind) {
            return &kTimeline[i];
        }
    }
    return NULL;
}

static void check_point(const char* what, const PointDefinition* point, const ExpectedPoint* expected) {
    g_about = what;
    g_aboutId = point->id;
    check_int("id", expected->id, point->id);
    check_text("name", expected->name, point->name);
    check_int("state", expected->state, point->state.state);
    check_int("stateType", expected->stateType, point->state.stateType);
    check_int("serverTimeMs", expected->serverTimeMs, point->state.serverTimeMs);
    check_text("location", expected->location, point->state.location);
    check_text("description", expected->description, point->state.description);
    g_about = NULL;
}

/* ---- The steps -------------------------------------------------------------------------------------- */

static bool step_self_tests(void) {
    const int values[] = {1, -2, 3, 40000};
    check_int("testCalculateSum(40, 2)", 42, testCalculateSum(40, 2));
    check_int("testCalculateSum(INT_MAX, 1) wraps", -2147483647 - 1, testCalculateSum(2147483647, 1));
    check_int("testSetIntArray", 40002, testSetIntArray(values, 4));
    check_int("testSetIntArray(NULL, 3)", 0, testSetIntArray(NULL, 3));
    check_int("testCountChars(\"sechs!\")", 6, testCountChars("sechs!"));
    check_int("testCountChars(NULL)", 0, testCountChars(NULL));
    testRegisterCallback(on_test);
    testFireCallback();
    check_int("value of the test callback", 22, g_testCallbackValue);
    testRegisterCallback(NULL);
    InterlockedExchange(&g_testCallbackValue, 0);
    testFireCallback();
    check_int("a cleared test callback is not called", 0, g_testCallbackValue);
    printf("\n");
    return true;
}

static bool step_version_and_ping(void) {
    LONG mark = log_mark();
    check_text("gateway_GetVersion", SIPASSVORMEKGATEWAY_VERSION_WSTRING, gateway_GetVersion());
    check_int("gateway_Ping(41)", 42, gateway_Ping(41));
    check_int("gateway_Ping(INT_MAX) wraps", -2147483647 - 1, gateway_Ping(2147483647));
    check_logged(mark, Info, L"SIPASSVORMEKGATEWAY_API: Ping called");
    return true;
}

static bool step_statistics_record(void) {
    struct {
        GatewayStatistics statistics;
        unsigned char tail[16];
    } larger;
    GatewayStatistics statistics;
    LONG mark = log_mark();
    size_t i;

    memset(&statistics, 0xAB, sizeof statistics);
    statistics.size = sizeof statistics;
    check(gateway_GetStatistics(&statistics), "gateway_GetStatistics failed");
    check_int("size", sizeof statistics, statistics.size);
    check(statistics.version >= 1, "version %u", (unsigned)statistics.version);
    check_int("accessEventsReceived before any login", 0, (int64_t)statistics.accessEventsReceived);
    check_int("genericEventsDelivered before any login", 0, (int64_t)statistics.genericEventsDelivered);
    check_int("connectionLosses before any login", 0, (int64_t)statistics.connectionLosses);
    check_int("lastLoginMs before any login", 0, (int64_t)statistics.lastLoginMs);
    check_int("loggedIn before any login", 0, (int64_t)statistics.loggedIn);
    check(statistics.longestHostCallbackUs != 0xABABABABABABABABull, "longestHostCallbackUs left unwritten");
    check(statistics.connectionCheckFailures != 0xABABABABABABABABull, "the second version left unwritten");

    /* A newer header's larger record: the gateway fills what it knows and leaves the rest alone. */
    memset(&larger, 0xAB, sizeof larger);
    larger.statistics.size = sizeof larger;
    check(gateway_GetStatistics(&larger.statistics), "gateway_GetStatistics of a larger record failed");
    check_int("size of a larger record", sizeof(GatewayStatistics), larger.statistics.size);
    for (i = 0; i < sizeof larger.tail; ++i) {
        check(larger.tail[i] == 0xAB, "byte %u after the record was written", (unsigned)i);
    }

    statistics.size = 159;
    check(!gateway_GetStatistics(&statistics), "a record of 159 bytes was accepted");
    check(!gateway_GetStatistics(NULL), "a null record was accepted");
    check_logged(mark, Error, L"gateway_GetStatistics: the record is null or its size (159) is below 160");
    return true;
}

static bool step_reconnect_policy(void) {
    LONG mark = log_mark();
    check(!gateway_setReconnectPolicy(-1, 0), "gateway_setReconnectPolicy(-1, 0) accepted");
    check_logged(mark, Error, L"gateway_setReconnectPolicy(-1, 0) refused:");
    /* The site's outage lasts 200 ms: the first attempt, a second after the loss, finds the server back. */
    check(gateway_setReconnectPolicy(1000, 4000), "gateway_setReconnectPolicy(1000, 4000) refused");
    check_logged(
        mark, Info,
        L"Automatic re-login on: first attempt 1000 ms after a lost connection, at most 4000 ms apart.");
    /* The connection check: a value out of range is refused; an hour's interval starts its thread at the
     * login without asking the client during this run, and Close ends it. */
    check(!gateway_setConnectionCheck(999), "gateway_setConnectionCheck(999) accepted");
    check_int("last error of an interval out of range", GATEWAY_E_INVALID_ARGUMENT,
              gateway_GetLastError(NULL, 0));
    check_logged(mark, Error, L"gateway_setConnectionCheck(999) refused:");
    check(gateway_setConnectionCheck(3600000), "gateway_setConnectionCheck(3600000) refused");
    check_logged(mark, Info, L"Connection check on: every 3600000 ms.");
    return true;
}

static bool step_login(void) {
    LONG mark = log_mark();
    gateway_RegisterAlarmAccessCallback(on_access);
    gateway_RegisterAlarmStateCallback(on_state);
    gateway_RegisterGenericEventCallback(on_generic);
    gateway_RegisterDisconnectCallback(on_disconnect);
    gateway_RegisterConnectionStateCallback(on_connection);
    gateway_setDropDuration(600);

    check(!gateway_Init(NULL, PASSWORD), "gateway_Init with a null user name succeeded");
    check_logged(mark, Info, L"gateway_Init: the user name and the password must not be NULL. Init failed.");
    check(!gateway_Init(USER, L"wrong"), "gateway_Init with a wrong password succeeded");
    check_int("callbacks after failed logins", 0, call_count());
    return check(gateway_Init(USER, PASSWORD), "gateway_Init(\"msvc\", \"clang-cl\") failed");
}

static bool step_subscriptions(void) {
    LONG mark = log_mark();
    check(gateway_RegisterEvent(7, 901, 0), "gateway_RegisterEvent(7, 901, 0) (a named object) failed");
    check(gateway_RegisterEvent(7, kFrame313.id, 3004), "gateway_RegisterEvent(7, 313, 3004) failed");
    check(!gateway_RegisterEvent(7, 999999, 0), "gateway_RegisterEvent for an unknown object succeeded");
    check_logged(mark, Info, L"Find no object with this id and type. Please check ObjectID and Type");
    return true;
}

static void check_site_doors(const Device* devices, int32_t deviceCount, int32_t doorCount) {
    check_int("device count", 2, deviceCount);
    check_int("door count", 2, doorCount);
    if (devices == NULL || deviceCount != 2) {
        check(false, "no device array to check");
        return;
    }
    check_int("device 0 id", 3, devices[0].id);
    check_text("device 0 name", L"Controller Nord", devices[0].name);
    check_int("device 0 doorsetCount", 2, devices[0].doorsetCount);
    if (check(devices[0].doorsets != NULL && devices[0].doorsetCount == 2, "device 0 has no two door sets")) {
        const Doorset* door = devices[0].doorsets;
        check_int("door set 0 doorNumber", 1, door[0].doorNumber);
        check_point("door 1 reader1", &door[0].reader1, &kReader311);
        check_point("door 1 reader2", &door[0].reader2, &kNoPoint);
        check_point("door 1 doorFrame", &door[0].doorFrame, &kFrame313);
        check_point("door 1 passback", &door[0].passback, &kNoPoint);
        check_point("door 1 latch", &door[0].latch, &kLatch315);
        check_int("door set 1 doorNumber", 2, door[1].doorNumber);
        check_point("door 2 reader1", &door[1].reader1, &kNoPoint);
        check_point("door 2 reader2", &door[1].reader2, &kNoPoint);
        check_point("door 2 doorFrame", &door[1].doorFrame, &kNoPoint);
        check_point("door 2 passback", &door[1].passback, &kNoPoint);
        check_point("door 2 latch", &door[1].latch, &kLatch325);
    }
    check_int("device 1 id", 4, devices[1].id);
    check_text("device 1 name", L"Leer", devices[1].name);
    check_int("device 1 doorsetCount", 0, devices[1].doorsetCount);
    check(devices[1].doorsets == NULL, "a device without doors has a door-set array");
}

static bool step_door_list(void) {
    Device* devices = (Device*)(intptr_t)-1;
    int32_t deviceCount = 77, doorCount = 77;
    LONG mark = log_mark();

    /* A null out pointer: false, and the other outputs are still written. */
    check(!gateway_getAllDoors(NULL, &deviceCount, &doorCount), "gateway_getAllDoors(NULL, ...) succeeded");
    check_int("device count after a null array pointer", 0, deviceCount);
    check_int("door count after a null array pointer", 0, doorCount);
    check_logged(mark, Error, L"Pointer to ppDevices is NULL.");

    if (check(gateway_getAllDoors(&devices, &deviceCount, &doorCount), "gateway_getAllDoors failed")) {
        check_site_doors(devices, deviceCount, doorCount);
    }
    gateway_cleanupDoorArray(devices, deviceCount);
    return true;
}

/* The texts freed door set by door set with gateway_cleanupDoorset, the arrays then with
 * gateway_cleanupDoorArray once the host has cleared the freed pointers. */
static bool step_doorset_cleanup(void) {
    Device* devices = NULL;
    int32_t deviceCount = 0, doorCount = 0, d, n;
    if (!check(gateway_getAllDoors(&devices, &deviceCount, &doorCount), "gateway_getAllDoors failed")) {
        return true;
    }
    check_site_doors(devices, deviceCount, doorCount);
    for (d = 0; d < deviceCount; ++d) {
        gateway_cleanupDoorset(devices[d].doorsets, devices[d].doorsetCount);
        for (n = 0; n < devices[d].doorsetCount; ++n) {
            PointDefinition* points[5];
            int p;
            points[0] = &devices[d].doorsets[n].reader1;
            points[1] = &devices[d].doorsets[n].reader2;
            points[2] = &devices[d].doorsets[n].doorFrame;
            points[3] = &devices[d].doorsets[n].passback;
            points[4] = &devices[d].doorsets[n].latch;
            for (p = 0; p < 5; ++p) {
                points[p]->name = NULL;
                points[p]->state.location = NULL;
                points[p]->state.description = NULL;
            }
        }
    }
    gateway_cleanupDoorArray(devices, deviceCount);
    gateway_cleanupDoorset(NULL, 0);
    gateway_cleanupDoorArray(NULL, 0);
    return true;
}

static bool step_point_state(void) {
    PointDefinition point;
    LONG mark = log_mark();
    memset(&point, 0, sizeof point);
    if (check(gateway_getPointState(kFrame313.id, &point.state), "gateway_getPointState(313) failed")) {
        point.id = kFrame313.id;
        point.name = (wchar_t*)kFrame313.name; /* not the gateway's: set back to null before the cleanup */
        check_point("gateway_getPointState", &point, &kFrame313);
        point.name = NULL;
        gateway_cleanupPointDefinition(point);
    }
    check(!gateway_getPointState(999999, &point.state),
          "gateway_getPointState for an unknown point succeeded");
    check(!gateway_getPointState(kFrame313.id, NULL), "gateway_getPointState with a null record succeeded");
    check_logged(mark, Error, L"Pointer to pointState is NULL.");
    return true;
}

/* Gives a point state's two texts back, as a host does: through a definition that embeds it. */
static void release_state(const PointState* state) {
    PointDefinition owner;
    memset(&owner, 0, sizeof owner);
    owner.state = *state;
    gateway_cleanupPointDefinition(owner);
}

/* The options: unknown bits refused; UTC times move the point's server time by the zone's offset (the
 * test runner's zone has no daylight saving); turned off again, the local time is back. */
static bool step_options(void) {
    TIME_ZONE_INFORMATION zone;
    PointState local, utc, again;
    LONG mark = log_mark();
    wchar_t why[128];
    check(!gateway_setOptions(0x80000000u), "gateway_setOptions accepted an unknown bit");
    check_logged(mark, Error, L"gateway_setOptions: unknown option bits 0x80000000;");
    /* The last error as an MSVC host reads it: the code, and the logged line cut to the buffer. */
    check_int("last error of the refusal", GATEWAY_E_INVALID_ARGUMENT, gateway_GetLastError(why, 128));
    check(wcsncmp(why, L"gateway_setOptions: unknown option bits 0x80000000;", 51) == 0,
          "the last error's text is not the refusal's line");
    memset(&local, 0, sizeof local);
    memset(&utc, 0, sizeof utc);
    memset(&again, 0, sizeof again);
    check(gateway_getPointState(kFrame313.id, &local), "gateway_getPointState(313) failed");
    check(gateway_setOptions(GATEWAY_OPTION_UTC_TIMES | GATEWAY_OPTION_UNCHANGED_TEXTS),
          "gateway_setOptions refused both options");
    check_logged(mark, Info, L"gateway_setOptions: UTC times, unchanged texts.");
    check(gateway_getPointState(kFrame313.id, &utc), "gateway_getPointState(313) with UTC times failed");
    check(gateway_setOptions(0), "gateway_setOptions(0) refused");
    check(!gateway_setDeliveryQueue(-5), "gateway_setDeliveryQueue accepted -5");
    check_int("last error of a capacity out of range", GATEWAY_E_INVALID_ARGUMENT, gateway_GetLastError(NULL, 0));
    check_logged(mark, Error, L"gateway_setDeliveryQueue: the capacity -5 is outside 0 to 1000000;");
    check(gateway_setDeliveryQueue(0), "gateway_setDeliveryQueue(0) refused");
    check_int("last error after a success", 0, gateway_GetLastError(why, 128));
    check(why[0] == L'\0', "the last error keeps a text after a success");
    check(gateway_getPointState(kFrame313.id, &again), "gateway_getPointState(313) failed");
    if (check(GetTimeZoneInformation(&zone) == TIME_ZONE_ID_UNKNOWN, "the zone has daylight saving")) {
        check_int("UTC server time", kFrame313.serverTimeMs + (int64_t)zone.Bias * 60000, utc.serverTimeMs);
    }
    check_int("local server time", kFrame313.serverTimeMs, local.serverTimeMs);
    check_int("server time with the options off again", kFrame313.serverTimeMs, again.serverTimeMs);
    release_state(&local);
    release_state(&utc);
    release_state(&again);
    return true;
}

/* Waits until `done` holds over the calls recorded so far; false after WAIT_MS. */
static bool wait_for_calls(bool (*done)(const Call* calls, LONG count)) {
    const ULONGLONG deadline = GetTickCount64() + WAIT_MS;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (done(g_calls, call_count())) {
            return true;
        }
        if (now >= deadline || WaitForSingleObject(g_callArrived, (DWORD)(deadline - now)) == WAIT_TIMEOUT) {
            return done(g_calls, call_count());
        }
    }
}

static int32_t g_latchStateWanted;

static bool latch_event_arrived(const Call* calls, LONG count) {
    LONG i;
    for (i = 0; i < count; ++i) {
        if (is_command_event(&calls[i]) && calls[i].state == g_latchStateWanted) {
            return true;
        }
    }
    return false;
}

/* A door command on latch 315: the state event it causes and the point's new state. */
static void command_latch(int32_t command, int32_t state) {
    PointDefinition point;
    g_latchStateWanted = state;
    check(gateway_controlDoor(7, kLatch315.id, command), "gateway_controlDoor(7, 315, %d) failed",
          (int)command);
    check(wait_for_calls(latch_event_arrived), "no state event %d of point 315 after command %d", (int)state,
          (int)command);
    memset(&point, 0, sizeof point);
    if (check(gateway_getPointState(kLatch315.id, &point.state), "gateway_getPointState(315) failed")) {
        check_int("latch state after the command", state, point.state.state);
        check_int("latch state type after the command", 0, point.state.stateType);
        check_recent("latch server time after the command", point.state.serverTimeMs);
        check_text("latch location", kLatch315.location, point.state.location);
        gateway_cleanupPointDefinition(point);
    }
}

static bool step_door_command(void) {
    command_latch(2, 4001); /* unlock */
    command_latch(1, 4000); /* lock */
    return true;
}

static LONG first_relogin(const Call* calls, LONG count) {
    LONG i;
    for (i = 0; i < count; ++i) {
        if (calls[i].kind == CONNECTION_STATE && calls[i].state == GATEWAY_CONNECTION_CONNECTED &&
            calls[i].attempt > 0) {
            return i;
        }
    }
    return -1;
}

/* The last scripted event, and an event through the client of the re-login (the last one, or the first
 * of the timeline replayed when the re-login came after its end). */
static bool timeline_done(const Call* calls, LONG count) {
    LONG relogin = first_relogin(calls, count), i;
    bool last = false, afterRelogin = false;
    for (i = 0; i < count; ++i) {
        const bool event =
            calls[i].kind == ACCESS_EVENT || calls[i].kind == GENERIC_EVENT || calls[i].kind == STATE_EVENT;
        last = last || (calls[i].kind == GENERIC_EVENT && calls[i].eventId == 1004);
        afterRelogin = afterRelogin || (event && relogin >= 0 && i > relogin);
    }
    return last && afterRelogin;
}

static void check_event(LONG index, const Call* call) {
    const ExpectedEvent* expected = expected_event(call);
    g_about = is_command_event(call) ? "command event" : "event";
    g_aboutId = call->eventId;
    if (is_command_event(call)) {
        check_int("type", 11, call->type);
        check_int("subType", 7006, call->subType);
        check_int("objectType", 7, call->objectType);
        check_int("stateType", 0, call->stateType);
        check(call->state == 4000 || call->state == 4001, "state %d", (int)call->state);
        check_text("location", kLatch315.location, call->location);
        check_text("description", kLatch315.description, call->description);
    } else if (check(expected != NULL, "call %ld: no one sent it (kind %d)", (long)index, (int)call->kind)) {
        check_int("objectId", expected->objectId, call->objectId);
        check_int("objectType", expected->objectType, call->objectType);
        check_int("type", expected->type, call->type);
        check_int("subType", expected->subType, call->subType);
        check_int("state", expected->state, call->state);
        check_int("stateType", expected->stateType, call->stateType);
        check_text("firstName", expected->firstName, call->firstName);
        check_text("lastName", expected->lastName, call->lastName);
        check_text("cardNumber", expected->cardNumber, call->cardNumber);
        check_text("location", expected->location, call->location);
        check_text("description", expected->description, call->description);
    }
    check(!call->nullText, "call %ld: a null text", (long)index);
    check_int("serverTimeMs equals timestampMs", call->timestampMs, call->serverTimeMs);
    check_recent("timestampMs", call->timestampMs);
    g_about = NULL;
}

/* The connection changes: 1,0,0 at the login, then for each loss the disconnect callback, 0,0,0 and the
 * attempts 2,n,0 each followed by 0,n,hr (failed) or 1,n,0 (succeeded), n counting from 1. */
static void check_connection_changes(const Call* calls, LONG count) {
    LONG i, changes = 0;
    int32_t attempt = 0;
    bool lost = false, announced = false;
    for (i = 0; i < count; ++i) {
        const Call* c = &calls[i];
        if (c->kind == DISCONNECT) {
            check(i + 1 < count && calls[i + 1].kind == CONNECTION_STATE && calls[i + 1].state == 0 &&
                      calls[i + 1].attempt == 0,
                  "call %ld: the disconnect callback without 0, 0, 0 right after it", (long)i);
            continue;
        }
        if (c->kind != CONNECTION_STATE) {
            continue;
        }
        printf("  connection %d, %d, 0x%08lX\n", (int)c->state, (int)c->attempt, (unsigned long)c->hresult);
        if (changes++ == 0) {
            check(c->state == 1 && c->attempt == 0 && c->hresult == 0, "the first change is not 1, 0, 0");
        } else if (c->state == 0 && c->attempt == 0) {
            check(!lost && c->hresult == 0 && i > 0 && calls[i - 1].kind == DISCONNECT,
                  "call %ld: 0, 0, %ld out of order", (long)i, (long)c->hresult);
            lost = true;
            attempt = 0;
        } else if (c->state == 2) {
            check(lost && !announced && c->attempt == attempt + 1 && c->hresult == 0,
                  "call %ld: 2, %d, %ld out of order", (long)i, (int)c->attempt, (long)c->hresult);
            announced = true;
            attempt = c->attempt;
        } else {
            check(announced && c->attempt == attempt && (c->state == 1 ? c->hresult == 0 : c->hresult != 0),
                  "call %ld: %d, %d, %ld out of order", (long)i, (int)c->state, (int)c->attempt,
                  (long)c->hresult);
            announced = false;
            lost = c->state == 0;
        }
    }
    check(changes >= 4, "%ld connection changes: no login, loss and re-login", (long)changes);
    check(!lost, "the connection was not back at the end");
}

static bool step_timeline(void) {
    LONG count, i;
    size_t e;
    check(wait_for_calls(timeline_done), "the scripted events and a re-login did not all come");
    count = call_count();
    for (e = 0; e < TIMELINE_EVENTS; ++e) {
        bool seen = false;
        for (i = 0; i < count && !seen; ++i) {
            seen = g_calls[i].eventId == kTimeline[e].eventId && g_calls[i].kind == kTimeline[e].kind;
        }
        check(seen, "scripted event %d never came", (int)kTimeline[e].eventId);
    }
    for (i = 0; i < count; ++i) {
        if (g_calls[i].kind == ACCESS_EVENT || g_calls[i].kind == STATE_EVENT ||
            g_calls[i].kind == GENERIC_EVENT) {
            check_event(i, &g_calls[i]);
        }
    }
    check_connection_changes(g_calls, count);
    return true;
}

static bool step_close(void) {
    LONG mark = log_mark();
    check(gateway_Close(), "gateway_Close failed");
    check_logged(mark, Info, L"SIPASSVORMEKGATEWAY_API: close called");
    check(gateway_Close(), "a second gateway_Close failed");
    return true;
}

static bool step_statistics_after_close(void) {
    GatewayStatistics statistics;
    LONG count = call_count(), i, access = 0, state = 0, generic = 0, losses = 0, attempts = 0, relogins = 0;
    for (i = 0; i < count; ++i) {
        const Call* c = &g_calls[i];
        access += c->kind == ACCESS_EVENT;
        state += c->kind == STATE_EVENT;
        generic += c->kind == GENERIC_EVENT;
        losses += c->kind == DISCONNECT;
        attempts += c->kind == CONNECTION_STATE && c->state == 2;
        relogins += c->kind == CONNECTION_STATE && c->state == 1 && c->attempt > 0;
    }
    memset(&statistics, 0, sizeof statistics);
    statistics.size = sizeof statistics;
    if (!check(gateway_GetStatistics(&statistics), "gateway_GetStatistics failed")) {
        return true;
    }
    check_int("accessEventsDelivered", access, (int64_t)statistics.accessEventsDelivered);
    check_int("objectStateEventsDelivered", state, (int64_t)statistics.objectStateEventsDelivered);
    check_int("genericEventsDelivered", generic, (int64_t)statistics.genericEventsDelivered);
    check(statistics.accessEventsReceived >= statistics.accessEventsDelivered,
          "fewer access events received");
    check_int("eventsDroppedTooOld", 0, (int64_t)statistics.eventsDroppedTooOld);
    check_int("eventsWithoutCallback", 0, (int64_t)statistics.eventsWithoutCallback);
    check_int("eventsAbandonedAtGetter", 0, (int64_t)statistics.eventsAbandonedAtGetter);
    check_int("malformedArrays", 0, (int64_t)statistics.malformedArrays);
    check_int("hostCallbacksRaised", 0, (int64_t)statistics.hostCallbacksRaised);
    check_int("logCallsRaised", 0, (int64_t)statistics.logCallsRaised);
    check_int("connectionLosses", losses, (int64_t)statistics.connectionLosses);
    check_int("reloginAttempts", attempts, (int64_t)statistics.reloginAttempts);
    check_int("reloginSuccesses", relogins, (int64_t)statistics.reloginSuccesses);
    check_int("loggedIn after gateway_Close", 0, (int64_t)statistics.loggedIn);
    check_recent("lastLoginMs", (int64_t)statistics.lastLoginMs);
    check_recent("lastEventReceivedMs", (int64_t)statistics.lastEventReceivedMs);
    return true;
}

static bool step_after_close(void) {
    Device* devices = (Device*)(intptr_t)-1;
    int32_t deviceCount = 77, doorCount = 77;
    LONG mark, count = call_count();
    check(!gateway_getAllDoors(&devices, &deviceCount, &doorCount), "gateway_getAllDoors without a login");
    check(devices == NULL && deviceCount == 0 && doorCount == 0,
          "the outputs of a failed gateway_getAllDoors");
    gateway_cleanupDoorArray(devices, deviceCount);
    check_int("callbacks after gateway_Close", count, call_count());
    check_int("nested callbacks", 0, g_nestedCallbacks);
    check_int("log lines of an unknown level", 0, g_badLevels);
    check(!g_callsLost, "more than %d callbacks", MAX_CALLS);

    gateway_RegisterLogCallback(NULL);
    mark = log_mark();
    gateway_Ping(1);
    check_int("log lines after the log function was cleared", mark, log_mark());
    return true;
}

typedef struct Step {
    const char* name;
    bool (*run)(void); /* false: the steps after it cannot run */
} Step;

static const Step steps[] = {
    {"self-test exports", step_self_tests},
    {"version and ping", step_version_and_ping},
    {"statistics record", step_statistics_record},
    {"reconnect policy", step_reconnect_policy},
    {"login", step_login},
    {"subscriptions", step_subscriptions},
    {"door list", step_door_list},
    {"door sets freed one by one", step_doorset_cleanup},
    {"point state", step_point_state},
    {"options", step_options},
    {"door commands", step_door_command},
    {"scripted events, outage and re-login", step_timeline},
    {"close", step_close},
    {"statistics after close", step_statistics_after_close},
    {"after close", step_after_close},
};

/* ---- The simulated client, registered for this process only -------------------------------------- */

static bool register_simulator(void) {
    static const CLSID classes[] = {
        {0x6155c0a7, 0xcd1c, 0x4ad1, {0x8c, 0x0a, 0x9b, 0xc7, 0xc3, 0x49, 0x8e, 0x6e}},  /* client */
        {0xe0f9bdb5, 0x5ea3, 0x41f7, {0x93, 0x15, 0xad, 0xa2, 0x6b, 0x6d, 0x9b, 0x65}}}; /* command */
    typedef HRESULT(STDAPICALLTYPE * GetClassObject)(REFCLSID, REFIID, void**);
    HMODULE simulator = LoadLibraryW(L"SiPassSim.dll");
    GetClassObject get =
        simulator ? (GetClassObject)(void*)GetProcAddress(simulator, "DllGetClassObject") : NULL;
    size_t i;
    if (get == NULL || FAILED(CoInitializeEx(NULL, COINIT_MULTITHREADED))) {
        return false;
    }
    for (i = 0; i < 2; ++i) {
        IUnknown* factory = NULL;
        DWORD cookie = 0;
        if (FAILED(get(&classes[i], &IID_IUnknown, (void**)&factory)) ||
            FAILED(CoRegisterClassObject(&classes[i], factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                         &cookie))) {
            return false;
        }
        factory->lpVtbl->Release(factory);
    }
    return true;
}

int wmain(int argc, wchar_t** argv) {
    size_t i;
    (void)argc, (void)argv;
    g_start_100ns = local_now_100ns();
    InitializeCriticalSection(&g_callLock);
    InitializeCriticalSection(&g_logLock);
    g_callArrived = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (!register_simulator()) {
        printf("cannot register SiPassSim.dll\n");
        return 3;
    }
    gateway_RegisterLogCallback(on_log);
    for (i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        const int failuresBefore = g_failures;
        bool goOn;
        g_step = steps[i].name;
        goOn = steps[i].run();
        printf("%s: %s\n", g_failures == failuresBefore ? "ok" : "FAILED", g_step);
        fflush(stdout);
        if (!goOn) {
            gateway_Close();
            break;
        }
    }
    printf("MSVC host: %d checks, %d failed\n", g_checks, g_failures);
    return g_failures == 0 ? 0 : 1;
}
