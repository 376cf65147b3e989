// A small host program: loads the gateway DLL as a video-management system does, logs in to the
// access-control server (the simulated one in the demo), prints every event it receives for a few
// seconds, lists the doors, sends one door command, and closes again. The gateway's own log lines are
// printed too (debug lines only with --debug).
//
//   demohost [--seconds N] [--debug] [user [password]]   the password may also come from SIPASS_PASSWORD
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <ctime>
#include <mutex>

#include "DemoDoors.h"
#include "EnumNames.h"
#include "SiPassVormekGateway.h"

namespace {

std::string utf8(const wchar_t* text) {
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) {
        ::WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    }
    return result;
}

const char* levelName(LogLevel level) {
    switch (level) {
        case Info:
            return "info ";
        case Error:
            return "error";
        case Debug:
            return "debug";
    }
    return "?    ";
}

bool g_showDebug = false;
// Event callbacks arrive on the client's threads; one line at a time. Recursive, because the door table
// is printed under it and the gateway logs on the same thread meanwhile.
std::recursive_mutex g_printMutex;

void SIPASSVORMEKGATEWAY_CALL printLogLine(LogLevel level, const wchar_t* text) {
    if (level == Debug && !g_showDebug) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(g_printMutex);
    std::printf("  gateway %s | %s\n", levelName(level), utf8(text).c_str());
}

// The gateway's times count milliseconds since 1970 in local wall-clock time: read them back as such.
std::string dateText(int64_t milliseconds) {
    __time64_t seconds = milliseconds / 1000;
    struct tm fields {};
    if (_gmtime64_s(&fields, &seconds) != 0) {
        return "?";
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
    return text;
}

void SIPASSVORMEKGATEWAY_CALL printStateEvent(int32_t eventId, int32_t objectId, int32_t objectType, int32_t,
                                              int32_t subType, int32_t state, int32_t stateType,
                                              int64_t timestampMs, int64_t, const wchar_t* location,
                                              const wchar_t* description) {
    std::lock_guard<std::recursive_mutex> lock(g_printMutex);
    std::printf("  event #%d  %s  state   %s (%s) at %s (%s %d, %s): %s\n", eventId,
                dateText(timestampMs).c_str(), enumNameText(EObjState(state)),
                enumNameText(EStateType(stateType)), utf8(location).c_str(),
                enumNameText(EObjType(objectType)), objectId, enumNameText(ESubType(subType)),
                utf8(description).c_str());
}

void SIPASSVORMEKGATEWAY_CALL printAccessEvent(int32_t eventId, int32_t objectId, int32_t objectType, int32_t,
                                               int32_t, int32_t state, int32_t stateType, int64_t timestampMs,
                                               int64_t, const wchar_t* firstName, const wchar_t* lastName,
                                               const wchar_t* cardNumber, const wchar_t* location,
                                               const wchar_t* description) {
    std::lock_guard<std::recursive_mutex> lock(g_printMutex);
    std::printf("  event #%d  %s  access  %s (%s) at %s (%s %d): %s %s, card %s - %s\n", eventId,
                dateText(timestampMs).c_str(), enumNameText(EObjState(state)),
                enumNameText(EStateType(stateType)), utf8(location).c_str(),
                enumNameText(EObjType(objectType)), objectId, utf8(firstName).c_str(), utf8(lastName).c_str(),
                utf8(cardNumber).c_str(), utf8(description).c_str());
}

void SIPASSVORMEKGATEWAY_CALL printGenericEvent(int32_t eventId, int32_t type, int32_t subType,
                                                int64_t timestampMs, int64_t, const wchar_t* location,
                                                const wchar_t* description) {
    std::lock_guard<std::recursive_mutex> lock(g_printMutex);
    std::printf("  event #%d  %s  generic %s / %s at %s: %s\n", eventId, dateText(timestampMs).c_str(),
                enumNameText(EObjType(type)), enumNameText(ESubType(subType)), utf8(location).c_str(),
                utf8(description).c_str());
}

void SIPASSVORMEKGATEWAY_CALL onDisconnect() {
    std::printf("  host: the gateway reports a lost connection\n");
}

template <class F>
F find(HMODULE module, const char* name) {
    auto function = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    if (function == nullptr) {
        std::fprintf(stderr, "demohost: the DLL has no export %s\n", name);
        std::exit(2);
    }
    return function;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int seconds = 4;
    std::vector<std::wstring> positional;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (argument == L"--seconds" && i + 1 < argc) {
            seconds = _wtoi(argv[++i]);
        } else if (argument == L"--debug") {
            g_showDebug = true;
        } else {
            positional.push_back(argument);
        }
    }
    std::wstring user = positional.size() > 0 ? positional[0] : L"operator";
    std::wstring password = positional.size() > 1 ? positional[1] : L"";
    if (password.empty()) {
        const wchar_t* fromEnvironment = _wgetenv(L"SIPASS_PASSWORD");
        password = fromEnvironment != nullptr ? fromEnvironment : L"sipass";
    }

    std::setvbuf(stdout, nullptr, _IONBF, 0);
    HMODULE gateway = ::LoadLibraryW(L"SiPassVormekGateway.dll");
    if (gateway == nullptr) {
        std::fprintf(stderr, "demohost: cannot load SiPassVormekGateway.dll (error %lu)\n", ::GetLastError());
        return 2;
    }
    auto registerLog = find<decltype(&gateway_RegisterLogCallback)>(gateway, "gateway_RegisterLogCallback");
    auto registerDisconnect =
        find<decltype(&gateway_RegisterDisconnectCallback)>(gateway, "gateway_RegisterDisconnectCallback");
    auto init = find<decltype(&gateway_Init)>(gateway, "gateway_Init");
    auto close = find<decltype(&gateway_Close)>(gateway, "gateway_Close");
    auto ping = find<decltype(&gateway_Ping)>(gateway, "gateway_Ping");
    auto registerState =
        find<decltype(&gateway_RegisterAlarmStateCallback)>(gateway, "gateway_RegisterAlarmStateCallback");
    auto registerAccess =
        find<decltype(&gateway_RegisterAlarmAccessCallback)>(gateway, "gateway_RegisterAlarmAccessCallback");
    auto registerGeneric = find<decltype(&gateway_RegisterGenericEventCallback)>(
        gateway, "gateway_RegisterGenericEventCallback");

    registerLog(&printLogLine);
    std::printf("host: gateway_Ping(41) = %d\n", ping(41));
    std::printf("host: registering the event and disconnect callbacks (creates the gateway object)\n");
    registerDisconnect(&onDisconnect);
    registerState(&printStateEvent);
    registerAccess(&printAccessEvent);
    registerGeneric(&printGenericEvent);

    std::printf("host: gateway_Init(\"%s\", <password>)\n", utf8(user.c_str()).c_str());
    bool loggedIn = init(user.c_str(), password.c_str());
    std::printf("host: gateway_Init returned %s\n", loggedIn ? "true" : "false");
    if (loggedIn) {
        std::printf("host: receiving events for %d seconds\n", seconds);
        ::Sleep(static_cast<DWORD>(seconds) * 1000);
        {
            // The table stays in one piece: events wait until it is printed.
            std::lock_guard<std::recursive_mutex> lock(g_printMutex);
            std::printf("host: listing the doors\n");
            showDoorsAndSendACommand(gateway);
            std::printf("host: the command's state events follow\n");
        }
        ::Sleep(2000);
    }

    std::printf("host: gateway_Close()\n");
    close();
    registerLog(nullptr);
    ::FreeLibrary(gateway);
    return loggedIn ? 0 : 1;
}
