// gwhost: a command-line host for the gateway. It loads SiPassVormekGateway.dll as a video-management
// system does (LoadLibraryW, GetProcAddress), logs in and lists doors, reads points, sends commands and
// shows events. Run "gwhost --help" for the commands and options.
//
// Exit codes: 0 done, 1 the gateway refused (login failed, an export returned false) or a line of the
// shell failed, 2 bad arguments, 3 the gateway DLL or the simulated client cannot be loaded, 4 the file
// gwhost record writes cannot be written.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Commands.h"
#include "EventView.h"
#include "ExitCodes.h"
#include "GatewayApi.h"
#include "Options.h"
#include "Output.h"
#include "ShellInput.h"
#include "SessionCommands.h"
#include "SimulatedClient.h"
#include "SiteLoadView.h"
#include "Text.h"

namespace {

// A path as the simulator's process sees it: absolute, so that a relative site file still names the
// same file when the simulator reads it.
std::wstring absolutePath(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length + 1);
        length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    full.resize(length);
    return length > 0 ? full : path;
}

}  // namespace

// Events per second of the built-in simulated site while gwhost watches it (SIPASS_SIM_EVENT_RATE).
constexpr const wchar_t* kDefaultSimulatedEventRate = L"3";

int wmain(int argc, wchar_t** argv) {
    readStandardInputAsBytes();
    Options options;
    const std::string problem = parseArguments(argc, argv, options);
    if (!problem.empty()) {
        writeText(stderr, "gwhost: " + problem + "\n" + kUsageHint);
        return kBadArguments;
    }
    if (options.command == "help") {
        writeText(stdout, kUsage);
        return kDone;
    }
    startEventView(options.json, options.kinds, options.events);

    const std::wstring directory = programDirectory();
    SimulatedClient simulator;
    if (commandNeedsLogin(options.command) && !options.real) {
        if (options.site) {
            const std::wstring site = absolutePath(*options.site);
            if (::GetFileAttributesW(site.c_str()) == INVALID_FILE_ATTRIBUTES) {
                return fail(kBadArguments, "site file " + utf8(site) + " not found");
            }
            ::SetEnvironmentVariableW(L"SIPASS_SIM_SITE", site.c_str());
            _wputenv_s(L"SIPASS_SIM_SITE", site.c_str());
        } else if (::GetEnvironmentVariableW(L"SIPASS_SIM_EVENT_RATE", nullptr, 0) == 0) {
            // The built-in site makes no events by itself: a watch of it shows them at the default rate.
            if (options.command == "watch" || options.command == "subscribe" || options.command == "record") {
                ::SetEnvironmentVariableW(L"SIPASS_SIM_EVENT_RATE", kDefaultSimulatedEventRate);
            } else {
                setNoEventsHint("; the built-in simulated site makes none unless SIPASS_SIM_EVENT_RATE is set");
            }
        }
        std::string error;
        if (!simulator.start(directory + L"SiPassSim.dll", error)) {
            return fail(kCannotLoad, error);
        }
        const DWORD length = ::GetEnvironmentVariableW(L"SIPASS_SIM_SITE", nullptr, 0);
        std::wstring siteFile(length, L'\0');
        if (length > 0) {
            siteFile.resize(::GetEnvironmentVariableW(L"SIPASS_SIM_SITE", siteFile.data(), length));
        }
        SiteLoadView loading(simulator, options.site ? *options.site : siteFile);
        const bool accepted = simulator.acceptsSettings();
        loading.finish(accepted);
        if (!accepted) {
            return fail(kBadArguments,
                        options.site ? "the simulated client rejects the site file " + utf8(*options.site)
                                     : std::string("the simulated client rejects its settings"));
        }
    }

    GatewayApi api;
    std::string error;
    if (!loadGateway(options.dll ? *options.dll : directory + L"SiPassVormekGateway.dll", api, error)) {
        return fail(kCannotLoad, error);
    }
    setLogLevel(options.logLevel);
    api.registerLogCallback(&onLogLine);
    // Options belong to the process; a host that does not ask for them gets the contract's defaults.
    // A recording keeps the texts as the client gave them: narrowed to the code page, a Greek name would
    // reach the file as question marks.
    const bool unchangedTexts = options.unchangedTexts || options.command == "record";
    const uint32_t gatewayOptions = (options.utc ? GATEWAY_OPTION_UTC_TIMES : 0u) |
                                    (unchangedTexts ? GATEWAY_OPTION_UNCHANGED_TEXTS : 0u);
    if (gatewayOptions != 0 && !api.setOptions(gatewayOptions)) {
        return fail(kRefused, "gateway_setOptions refused the options");
    }
    setTimeBase(options.utc ? TimeBase::Utc : TimeBase::Local);
    const int result = runCommandLine(api, options);
    api.registerLogCallback(nullptr);
    ::FreeLibrary(api.module);
    return result;
}
