// gwhost: a command-line host for the gateway. It loads SiPassVormekGateway.dll as a video-management
// system does (LoadLibraryW, GetProcAddress), logs in and lists doors, reads points, sends commands and
// shows events. Run "gwhost --help" for the commands and options.
//
// Exit codes: 0 done, 1 the gateway refused (login failed, an export returned false) or a line of the
// shell failed, 2 bad arguments, 3 the gateway DLL or the simulated client cannot be loaded.
#include <windows.h>

#include <io.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "CommandRefusal.h"
#include "Commands.h"
#include "DoorTable.h"
#include "EventView.h"
#include "ExitCodes.h"
#include "names/EnumNames.h"
#include "GatewayApi.h"
#include "Options.h"
#include "Output.h"
#include "Diagnostics.h"
#include "Password.h"
#include "SessionCommands.h"
#include "ShellInput.h"
#include "SimControl.h"
#include "SimulatedClient.h"
#include "Text.h"

namespace {

const char kShellHelp[] =
    "commands, one a line; blank lines and lines starting with # are skipped\n"
    "  doors                     list every device, its doors and their five points\n"
    "  point ID                  show the state of one point\n"
    "  command TYPE ID CODE      send a manual command and show the state events it causes (--seconds)\n"
    "  watch SECONDS             show events for SECONDS seconds (--kind, --events)\n"
    "  subscribe TYPE ID STATE   register for the events of one object (watch shows them)\n"
    "  stats                     show the gateway's statistics\n"
    "  help                      show this list\n"
    "  quit                      log out and end (so does the end of input)\n"
    "events are shown only while a line waits for them; a failed line is reported on standard error\n"
    "(with its line number when the lines come from a pipe or a file), the next line runs all the same,\n"
    "and the exit code is 1 instead of 0\n";

Options g_options;

// ---- Arguments ---------------------------------------------------------------------------------------

// An argument that checkCommand has accepted.
int32_t numberArgument(const std::vector<std::wstring>& arguments, size_t index) {
    long value = 0;
    parseNumber(arguments[index], value);
    return static_cast<int32_t>(value);
}

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

// ---- Shell -------------------------------------------------------------------------------------------

constexpr int kQuit = -1;  // runShellLine: the session ends here

// One line of the shell, already split into words; the result as a command's exit code, or kQuit.
int runShellLine(const GatewayApi& api, const std::vector<std::string>& words) {
    const std::string& command = words[0];
    std::vector<std::wstring> arguments;
    for (size_t i = 1; i < words.size(); ++i) {
        arguments.push_back(wide(words[i]));
    }
    const std::string problem = checkCommand(command, arguments, true);
    if (!problem.empty()) {
        return fail(kBadArguments, problem + (command == "help" ? "" : " (help lists the commands)"));
    }
    if (command == "quit") {
        return kQuit;
    }
    if (command == "help") {
        std::string help = kShellHelp;
        help.pop_back();
        printLine(help);
        return kDone;
    }
    if (command == "doors") {
        return runDoors(api, g_options);
    }
    if (command == "point") {
        return runPoint(api, g_options, numberArgument(arguments, 0));
    }
    if (command == "command") {
        return runCommand(api, g_options, numberArgument(arguments, 0), numberArgument(arguments, 1),
                          numberArgument(arguments, 2));
    }
    if (command == "watch") {
        return runWatch(api, numberArgument(arguments, 0));
    }
    if (command == "subscribe") {
        return runSubscribe(api, g_options, numberArgument(arguments, 0), numberArgument(arguments, 1),
                            numberArgument(arguments, 2));
    }
    return runStats(api, g_options);  // the one command left
}

// Runs the lines of standard input in the session that is logged in. `linesBefore`: lines of the input
// the password took. The result: kDone when every line succeeded, else kRefused.
int runShell(const GatewayApi& api, int linesBefore) {
    ShellInput input(linesBefore);
    if (input.interactive()) {
        printLine("logged in as " + utf8(g_options.user) + "; help lists the commands, quit ends");
    }
    bool allSucceeded = true;
    std::vector<std::string> words;
    for (;;) {
        if (input.interactive()) {
            printPrompt("gwhost> ");
        }
        std::string refused;  // why the line is refused before it runs (too long, a NUL byte)
        if (!input.next(words, refused)) {
            break;
        }
        // A re-login while the shell waited for this line: the door states first, as watch shows them.
        resynchroniseIfAsked(api);
        // Each line starts afresh: its own --events count, and a Ctrl+C that ended the line before
        // does not end this one.
        resetEventWait();
        if (!input.interactive()) {
            setFailContext("line " + std::to_string(input.lineNumber()) + ": ");
        }
        const unsigned reportedBefore = failuresReported();
        const int result = refused.empty() ? runShellLine(api, words) : fail(kBadArguments, refused);
        if (result != kDone && result != kQuit) {
            allSucceeded = false;
            if (failuresReported() == reportedBefore) {
                std::string line;
                for (const std::string& word : words) {
                    line += (line.empty() ? "" : " ") + word;
                }
                fail(result, "'" + line + "' failed (--log-level info shows why)");
            }
        }
        setFailContext("");
        if (result == kQuit) {
            break;
        }
    }
    return allSucceeded ? kDone : kRefused;
}

int runLoggedIn(const GatewayApi& api) {
    const std::string& command = g_options.command;
    const bool shell = command == "shell";
    // Events are shown by the commands that wait for them; a door list or a point stays one document.
    const bool watching = command == "watch" || command == "subscribe";
    if (watching || shell) {
        // Both are the host's: the policy outlives the gateway object, so it is set (or cleared) each time.
        api.setReconnectPolicy(g_options.reconnect ? g_options.firstDelayMs : 0,
                               g_options.reconnect ? g_options.maxDelayMs : 0);
        api.registerConnectionStateCallback(&onConnection);
    }
    if (watching || shell || command == "command") {
        api.registerDisconnectCallback(&onDisconnect);
        api.registerStateCallback(&onStateEvent);
        api.registerAccessCallback(&onAccessEvent);
        api.registerGenericCallback(&onGenericEvent);
    }
    // A single watch or subscribe shows every event from the login on.
    EventWindow session(watching);

    std::wstring password;
    bool passwordLine = false;
    std::string problem;
    if (!readPassword(g_options.user, password, problem, &passwordLine)) {
        return fail(kBadArguments, problem);
    }
    const bool loggedIn = api.init(g_options.user.c_str(), password.c_str());
    wipe(password);
    if (!loggedIn) {
        api.close();
        return fail(kRefused,
                    "login as " + utf8(g_options.user) +
                        " failed (wrong user or password, or no client; --log-level info shows why)");
    }
    if ((watching || shell) && g_options.reconnect) {
        readKnownStates(api);
    }
    int result = kDone;
    const std::vector<std::wstring>& arguments = g_options.arguments;
    if (command == "doors") {
        result = runDoors(api, g_options);
    } else if (command == "point") {
        result = runPoint(api, g_options, numberArgument(arguments, 0));
    } else if (command == "command") {
        result = runCommand(api, g_options, numberArgument(arguments, 0), numberArgument(arguments, 1),
                            numberArgument(arguments, 2));
    } else if (command == "subscribe") {
        result = runSubscribe(api, g_options, numberArgument(arguments, 0), numberArgument(arguments, 1),
                              numberArgument(arguments, 2));
        result = result == kDone ? runWatch(api, g_options.seconds) : result;
    } else if (command == "watch") {
        result = runWatch(api, g_options.seconds);
    } else if (shell) {
        result = runShell(api, passwordLine ? 1 : 0);
    }
    api.close();
    if (watching || shell) {
        api.setReconnectPolicy(0, 0);
    }
    if (g_options.stats) {
        runStats(api, g_options);
    }
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    ::SetConsoleOutputCP(CP_UTF8);
    readStandardInputAsBytes();
    const std::string problem = parseArguments(argc, argv, g_options);
    if (!problem.empty()) {
        std::fprintf(stderr, "gwhost: %s\n\n%s", problem.c_str(), kUsage);
        return kBadArguments;
    }
    if (g_options.command == "help") {
        std::fputs(kUsage, stdout);
        return kDone;
    }
    startEventView(g_options.json, g_options.kinds, g_options.events);

    const std::wstring directory = programDirectory();
    SimulatedClient simulator;
    const bool needsClient = g_options.command != "ping" && g_options.command != "version" &&
                             g_options.command != "selftest" && g_options.command != "stats";
    if (needsClient && !g_options.real) {
        if (g_options.site) {
            const std::wstring site = absolutePath(*g_options.site);
            if (::GetFileAttributesW(site.c_str()) == INVALID_FILE_ATTRIBUTES) {
                return fail(kBadArguments, "site file " + utf8(site) + " not found");
            }
            ::SetEnvironmentVariableW(L"SIPASS_SIM_SITE", site.c_str());
            _wputenv_s(L"SIPASS_SIM_SITE", site.c_str());
        }
        std::string error;
        if (!simulator.start(directory + L"SiPassSim.dll", error)) {
            return fail(kCannotLoad, error);
        }
        if (!simulator.acceptsSettings()) {
            return fail(kBadArguments,
                        g_options.site ? "the simulated client rejects the site file " + utf8(*g_options.site)
                                       : std::string("the simulated client rejects its settings"));
        }
    }

    GatewayApi api;
    std::string error;
    if (!loadGateway(g_options.dll ? *g_options.dll : directory + L"SiPassVormekGateway.dll", api, error)) {
        return fail(kCannotLoad, error);
    }
    setLogLevel(g_options.logLevel);
    api.registerLogCallback(&onLogLine);
    // Options belong to the process; a host that does not ask for them gets the contract's defaults.
    const uint32_t options = (g_options.utc ? GATEWAY_OPTION_UTC_TIMES : 0u) |
                             (g_options.unchangedTexts ? GATEWAY_OPTION_UNCHANGED_TEXTS : 0u);
    if (options != 0 && !api.setOptions(options)) {
        return fail(kRefused, "gateway_setOptions refused the options");
    }
    setTimeBase(g_options.utc ? TimeBase::Utc : TimeBase::Local);
    int result = kDone;
    if (g_options.command == "ping") {
        result = runPing(api, g_options);
    } else if (g_options.command == "version") {
        result = runVersion(api, g_options);
    } else if (g_options.command == "selftest") {
        result = runSelfTest(api, g_options);
    } else if (g_options.command == "stats") {
        result = runStats(api, g_options);
    } else {
        result = runLoggedIn(api);
    }
    api.registerLogCallback(nullptr);
    ::FreeLibrary(api.module);
    return result;
}
