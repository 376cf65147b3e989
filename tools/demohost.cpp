// A small host program: loads the gateway DLL as a video-management system does, logs in to the
// access-control server (the simulated one in the demo), prints every log line of the gateway and
// closes again.
//
//   demohost [user [password]]     the password may also come from SIPASS_PASSWORD
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

void SIPASSVORMEKGATEWAY_CALL printLogLine(LogLevel level, const wchar_t* text) {
    std::printf("  gateway %s | %s\n", levelName(level), utf8(text).c_str());
    std::fflush(stdout);
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
    std::wstring user = argc > 1 ? argv[1] : L"operator";
    std::wstring password = argc > 2 ? argv[2] : L"";
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

    registerLog(&printLogLine);
    std::printf("host: gateway_Ping(41) = %d\n", ping(41));
    std::printf("host: registering the disconnect callback (creates the gateway object)\n");
    registerDisconnect(&onDisconnect);

    std::printf("host: gateway_Init(\"%s\", <password>)\n", utf8(user.c_str()).c_str());
    bool loggedIn = init(user.c_str(), password.c_str());
    std::printf("host: gateway_Init returned %s\n", loggedIn ? "true" : "false");

    std::printf("host: gateway_Close()\n");
    close();
    registerLog(nullptr);
    ::FreeLibrary(gateway);
    return loggedIn ? 0 : 1;
}
