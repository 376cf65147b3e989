/* A minimal host in plain C: links the gateway's import library, logs in, lists the doors, reads the
 * first latch, unlocks it for a moment and waits for the two state events that causes, then closes. An
 * export that returns false is reported with the code and the text of gateway_GetLastError.
 *
 *   host [--simulator] USER          the password comes from SIPASS_PASSWORD
 *
 * --simulator registers SiPassSim.dll (beside this program) for this process only, so that the example
 * runs without the real client being registered; a production host leaves that out. */
#include <windows.h>

#include <io.h>
#include <objbase.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "SiPassSimulator.h" /* only for --simulator */
#include "SiPassVormekGateway.h"

static HANDLE g_stateEvents; /* a semaphore: one count per state event of the latch */
static volatile LONG g_latch;

/* One line of text made of UTF-16 strings (the gateway's texts are): at a console through WriteConsoleW, so
 * that every character shows whatever the console's code page is; to a pipe or a file as UTF-8. printf's
 * %ls would turn "T\u00fcr" into the C locale's narrow characters, which a UTF-8 terminal cannot show. */
static void print_line(FILE* stream, const wchar_t* format, ...) {
    wchar_t text[1024];
    char bytes[3 * 1024];
    HANDLE handle = (HANDLE)_get_osfhandle(_fileno(stream));
    DWORD mode, written;
    int length;
    va_list arguments;

    va_start(arguments, format);
    length = vswprintf(text, sizeof text / sizeof text[0], format, arguments);
    va_end(arguments);
    if (length < 0) { /* too long: what fits */
        length = (int)wcslen(text);
    }
    fflush(stream);
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text, (DWORD)length, &written, NULL);
        return;
    }
    length = WideCharToMultiByte(CP_UTF8, 0, text, length, bytes, (int)sizeof bytes, NULL, NULL);
    fwrite(bytes, 1, (size_t)length, stream);
    fflush(stream);
}

static void SIPASSVORMEKGATEWAY_CALL on_log(LogLevel level, const wchar_t* text) {
    if (level == Error) {
        print_line(stderr, L"gateway error: %ls\n", text);
    }
}

/* Says why the export just called on this thread returned false: the client's HRESULT or one of the
 * gateway's GATEWAY_E_* codes, and the line the failure logged. */
static void print_failure(const wchar_t* what) {
    wchar_t text[512];
    const int32_t code = gateway_GetLastError(text, (int32_t)(sizeof text / sizeof text[0]));
    print_line(stderr, L"%ls failed: 0x%08lX %ls\n", what, (unsigned long)(uint32_t)code, text);
}

/* Runs on a thread of the access-control client with the gateway's lock held: copy, signal, return. */
static void SIPASSVORMEKGATEWAY_CALL on_state(int32_t eventId, int32_t objectId, int32_t objectType,
                                              int32_t type, int32_t subType, int32_t state, int32_t stateType,
                                              int64_t timestampMs, int64_t serverTimeMs,
                                              const wchar_t* location, const wchar_t* description) {
    (void)eventId, (void)objectType, (void)type, (void)subType, (void)stateType;
    (void)serverTimeMs, (void)location, (void)description;
    if (objectId == g_latch) {
        printf("state event: point %d now in state %d (stamped %lld ms after 1970 UTC)\n", (int)objectId,
               (int)state, (long long)timestampMs);
        ReleaseSemaphore(g_stateEvents, 1, NULL);
    }
}

/* Called like the event callbacks. After a re-login (1, n, 0 with n > 0) events may have been missed:
 * a real host reads its door states again here (from another thread: this one holds the gateway's lock). */
static void SIPASSVORMEKGATEWAY_CALL on_connection(int32_t state, int32_t attempt, int32_t hresult) {
    static const char* const names[] = {"lost", "connected", "retrying"};
    printf("connection %s (attempt %d, hr 0x%08lX)\n", state >= 0 && state <= 2 ? names[state] : "?",
           (int)attempt, (unsigned long)hresult);
}

int wmain(int argc, wchar_t** argv) {
    const wchar_t* password = _wgetenv(L"SIPASS_PASSWORD");
    const wchar_t* user = argc > 1 ? argv[argc - 1] : L"operator";
    Device* devices = NULL;
    int32_t deviceCount = 0, doorCount = 0, d, n;
    PointDefinition latch;
    int result = 1;

    if (argc > 2 && wcscmp(argv[1], L"--simulator") == 0) {
        const HRESULT hr = sipass_sim_register(L"SiPassSim.dll");
        if (FAILED(hr)) {
            fprintf(stderr, "cannot register SiPassSim.dll (0x%08lX)\n", (unsigned long)hr);
            return 3;
        }
    }
    if (password == NULL) {
        fprintf(stderr, "set SIPASS_PASSWORD\n");
        return 2;
    }
    printf("gateway %ls (header %s)\n", gateway_GetVersion(), SIPASSVORMEKGATEWAY_VERSION_STRING);
    g_stateEvents = CreateSemaphoreW(NULL, 0, 16, NULL);
    gateway_RegisterLogCallback(on_log);
    /* Log in again by itself after a lost connection: first after 1 s, then 2 s, 4 s ... at most 30 s. */
    gateway_setReconnectPolicy(1000, 30000);
    /* Ask the client every 10 s whether it is still connected: a network path that dies without a reset
     * may leave it silent about the loss, which the check then reports as a lost connection. */
    gateway_setConnectionCheck(10000);
    /* Times in UTC and event texts as the client gave them; without this, local times and texts through
     * the machine's narrow code page. */
    gateway_setOptions(GATEWAY_OPTION_UTC_TIMES | GATEWAY_OPTION_UNCHANGED_TEXTS);
    /* Callbacks on a thread of the gateway's own, so that a slow callback never holds the client; up to
     * 10,000 events wait for it. */
    if (!gateway_setDeliveryQueue(10000)) {
        print_failure(L"delivery queue");
    }
    gateway_RegisterConnectionStateCallback(on_connection);
    gateway_RegisterAlarmStateCallback(on_state);
    if (!gateway_Init(user, password)) {
        print_failure(L"login");
        gateway_Close();
        return 1;
    }
    if (gateway_getAllDoors(&devices, &deviceCount, &doorCount)) {
        printf("%d devices, %d doors\n", (int)deviceCount, (int)doorCount);
        for (d = 0; d < deviceCount && g_latch == 0; ++d) {
            for (n = 0; n < devices[d].doorsetCount && g_latch == 0; ++n) {
                g_latch = devices[d].doorsets[n].latch.id;
            }
        }
    } else {
        print_failure(L"gateway_getAllDoors");
    }
    gateway_cleanupDoorArray(devices, deviceCount);

    ZeroMemory(&latch, sizeof latch);
    if (g_latch == 0) {
        fprintf(stderr, "no door has a latch\n");
    } else if (!gateway_getPointState(g_latch, &latch.state)) {
        print_failure(L"gateway_getPointState");
    } else {
        print_line(stdout, L"latch %d: state %d, at %ls\n", (int)g_latch, (int)latch.state.state,
                   latch.state.location);
        gateway_cleanupPointDefinition(latch); /* frees the two texts; name is null */
        /* Momentary unlock (code 3): unlocked, then locked again, two state events. */
        if (!gateway_controlDoor(7, g_latch, 3)) {
            print_failure(L"gateway_controlDoor");
        } else if (WaitForSingleObject(g_stateEvents, 5000) == WAIT_OBJECT_0 &&
                   WaitForSingleObject(g_stateEvents, 5000) == WAIT_OBJECT_0) {
            result = 0;
        }
    }
    gateway_Close();
    gateway_RegisterLogCallback(NULL);
    printf(result == 0 ? "done\n" : "failed\n");
    return result;
}
