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
#include "Password.h"
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

// ---- Commands ----------------------------------------------------------------------------------------

int runPing(const GatewayApi& api) {
    const int answer = api.ping(41);
    if (g_options.json) {
        printJson({{"ping", 41}, {"answer", answer}, {"ok", answer == 42}});
    } else {
        printLine("gateway_Ping(41) = " + std::to_string(answer));
    }
    return answer == 42 ? kDone : kRefused;
}

int runVersion(const GatewayApi& api) {
    const std::string version = utf8(api.getVersion());
    if (g_options.json) {
        printJson({{"version", version}});
    } else {
        printLine("SiPassVormekGateway " + version);
    }
    return kDone;
}

// The statistics as a table (name, value) and as one JSON document.
int runStats(const GatewayApi& api) {
    GatewayStatistics s{};
    s.size = sizeof s;
    if (!api.getStatistics(&s)) {
        return fail(kRefused, "gateway_GetStatistics failed");
    }
    const std::pair<const char*, uint64_t> fields[] = {
        {"accessEventsReceived", s.accessEventsReceived},
        {"objectStateEventsReceived", s.objectStateEventsReceived},
        {"genericEventsReceived", s.genericEventsReceived},
        {"accessEventsDelivered", s.accessEventsDelivered},
        {"objectStateEventsDelivered", s.objectStateEventsDelivered},
        {"genericEventsDelivered", s.genericEventsDelivered},
        {"eventsDroppedTooOld", s.eventsDroppedTooOld},
        {"eventsWithoutCallback", s.eventsWithoutCallback},
        {"eventsAbandonedAtGetter", s.eventsAbandonedAtGetter},
        {"malformedArrays", s.malformedArrays},
        {"hostCallbacksRaised", s.hostCallbacksRaised},
        {"logCallsRaised", s.logCallsRaised},
        {"connectionLosses", s.connectionLosses},
        {"reloginAttempts", s.reloginAttempts},
        {"reloginSuccesses", s.reloginSuccesses},
        {"lastEventReceivedMs", s.lastEventReceivedMs},
        {"lastLoginMs", s.lastLoginMs},
        {"loggedIn", s.loggedIn},
        {"longestHostCallbackUs", s.longestHostCallbackUs}};
    if (g_options.json) {
        nlohmann::ordered_json document = {{"version", s.version}};
        for (const auto& [name, value] : fields) {
            document[name] = value;
        }
        printJson({{"statistics", document}});
        return kDone;
    }
    std::string table = "gateway statistics (record version " + std::to_string(s.version) + ")";
    for (const auto& [name, value] : fields) {
        std::string line = "\n  " + std::string(name);
        line.append(line.size() < 30 ? 30 - line.size() : 1, ' ');
        line += std::to_string(value);
        const std::string field = name;
        if ((field == "lastEventReceivedMs" || field == "lastLoginMs") && value != 0) {
            line += "  (" + dateText(static_cast<int64_t>(value)) + ")";
        }
        table += line;
    }
    printLine(table);
    return kDone;
}

int g_selfTestValue = 0;
void SIPASSVORMEKGATEWAY_CALL onSelfTest(int value) {
    g_selfTestValue = value;
}

int runSelfTest(const GatewayApi& api) {
    // The self-test exports print fixed texts of their own on standard output; each result follows.
    // What the exports write to standard output is caught in a file and shown as one field, so that it
    // cannot break the lines (or the JSON) of the results.
    std::fflush(stdout);
    FILE* caught = std::tmpfile();
    const int savedOutput = _dup(_fileno(stdout));
    if (caught != nullptr) {
        _dup2(_fileno(caught), _fileno(stdout));
    }
    const int values[] = {1, 2, 3, 4};
    api.testRegisterCallback(&onSelfTest);
    g_selfTestValue = 0;
    api.testFireCallback();
    api.testRegisterCallback(nullptr);
    const struct {
        const char* name;
        long long result;
        long long expected;
    } results[] = {{"testCalculateSum(2, 3)", api.testCalculateSum(2, 3), 5},
                   {"testRegisterCallback + testFireCallback", g_selfTestValue, 22},
                   {"testSetIntArray({1, 2, 3, 4}, 4)", api.testSetIntArray(values, 4), 10},
                   {"testCountChars(\"gateway\")", api.testCountChars("gateway"), 7}};
    std::fflush(stdout);
    std::string exportOutput;
    if (caught != nullptr) {
        _dup2(savedOutput, _fileno(stdout));
        std::rewind(caught);
        for (int c = std::fgetc(caught); c != EOF; c = std::fgetc(caught)) {
            exportOutput.push_back(c == '\n' || c == '\r' ? ' ' : static_cast<char>(c));
        }
        std::fclose(caught);
    }
    if (savedOutput >= 0) {
        _close(savedOutput);
    }
    bool allPassed = true;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& result : results) {
        const bool passed = result.result == result.expected;
        allPassed = allPassed && passed;
        if (g_options.json) {
            list.push_back({{"test", result.name},
                            {"result", result.result},
                            {"expected", result.expected},
                            {"passed", passed}});
        } else {
            printLine(std::string(passed ? "pass  " : "FAIL  ") + result.name + " = " +
                      std::to_string(result.result) + " (expected " + std::to_string(result.expected) + ")");
        }
    }
    if (g_options.json) {
        printJson({{"selftest", list}, {"passed", allPassed}, {"exportOutput", exportOutput}});
    } else {
        printLine("output of the exports: " + exportOutput);
    }
    return allPassed ? kDone : kRefused;
}

int runDoors(const GatewayApi& api) {
    Device* devices = nullptr;
    int32_t deviceCount = 0;
    int32_t doorCount = 0;
    if (!api.getAllDoors(&devices, &deviceCount, &doorCount)) {
        api.cleanupDoorArray(devices, deviceCount);
        return fail(kRefused, "gateway_getAllDoors failed (--log-level info shows why)");
    }
    if (g_options.json) {
        printJson(doorTableJson(devices, deviceCount, doorCount));
    } else {
        std::string table = doorTableText(devices, deviceCount, doorCount);
        table.pop_back();
        printLine(table);
    }
    api.cleanupDoorArray(devices, deviceCount);
    return kDone;
}

int runPoint(const GatewayApi& api, const std::vector<std::wstring>& arguments) {
    const int32_t id = numberArgument(arguments, 0);
    PointDefinition point{};
    point.id = id;
    if (!api.getPointState(id, &point.state)) {
        return fail(kRefused, "gateway_getPointState(" + std::to_string(id) + ") failed (no such point?)");
    }
    if (g_options.json) {
        printJson(pointStateJson(id, point.state));
    } else {
        printLine("point " + std::to_string(id) + "  " + stateName(point.state.state) + " (" +
                  stateTypeName(point.state.stateType) + ")  since " + dateText(point.state.serverTimeMs) +
                  "  at " + utf8(point.state.location) + ": " + utf8(point.state.description));
    }
    api.cleanupPointDefinition(point);  // frees the two state texts; the name is null
    return kDone;
}

int runCommand(const GatewayApi& api, const std::vector<std::wstring>& arguments) {
    const int32_t type = numberArgument(arguments, 0);
    const int32_t id = numberArgument(arguments, 1);
    const int32_t code = numberArgument(arguments, 2);
    forgetCommandFailure();  // a shell's earlier refusal is not this command's
    // Only this object's events are shown, from before the command is sent (they may arrive before
    // controlDoor returns) to the end of the wait.
    showOnlyObject(id);
    bool sent = false;
    std::string reason;
    {
        EventWindow window;
        sent = api.controlDoor(type, id, code);
        if (!sent) {
            reason = refusalReason(g_options.real);
        }
        if (g_options.json) {
            nlohmann::ordered_json line = {
                {"command", code}, {"objectType", type}, {"objectId", id}, {"sent", sent}};
            if (!sent) {
                line["reason"] = reason;
            }
            printJson(line);
        } else {
            printLine(std::string("gateway_controlDoor(") + std::to_string(type) + ", " + std::to_string(id) +
                      ", " + std::to_string(code) + ") " + (sent ? "sent" : "failed"));
        }
        if (sent) {
            waitForEvents(g_options.seconds ? g_options.seconds : 2);
        }
    }
    showOnlyObject(0);  // after the window has closed, so that no other object's event slips through
    if (!sent) {
        return fail(kRefused, "the command was refused: " + reason);
    }
    return kDone;
}

int subscribe(const GatewayApi& api, const std::vector<std::wstring>& arguments) {
    const long type = numberArgument(arguments, 0);
    const long id = numberArgument(arguments, 1);
    const long state = numberArgument(arguments, 2);
    const bool registered = api.registerEvent(type, id, state);
    if (g_options.json) {
        printJson({{"subscribe", {{"objectType", type}, {"objectId", id}, {"state", state}}},
                   {"registered", registered}});
    } else {
        printLine("gateway_RegisterEvent(" + std::to_string(type) + ", " + std::to_string(id) + ", " +
                  std::to_string(state) + ") " + (registered ? "registered" : "failed"));
    }
    return registered ? kDone : kRefused;
}

int runWatch(const GatewayApi& api, std::optional<int> seconds) {
    EventWindow window;
    waitForEvents(seconds, &api);
    return kDone;
}

int runSubscribe(const GatewayApi& api, const std::vector<std::wstring>& arguments) {
    const int result = subscribe(api, arguments);
    return result == kDone ? runWatch(api, g_options.seconds) : result;
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
        return runDoors(api);
    }
    if (command == "point") {
        return runPoint(api, arguments);
    }
    if (command == "command") {
        return runCommand(api, arguments);
    }
    if (command == "watch") {
        return runWatch(api, numberArgument(arguments, 0));
    }
    if (command == "subscribe") {
        return subscribe(api, arguments);
    }
    return runStats(api);  // the one command left
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
    if (command == "doors") {
        result = runDoors(api);
    } else if (command == "point") {
        result = runPoint(api, g_options.arguments);
    } else if (command == "command") {
        result = runCommand(api, g_options.arguments);
    } else if (command == "subscribe") {
        result = runSubscribe(api, g_options.arguments);
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
        runStats(api);
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
        result = runPing(api);
    } else if (g_options.command == "version") {
        result = runVersion(api);
    } else if (g_options.command == "selftest") {
        result = runSelfTest(api);
    } else if (g_options.command == "stats") {
        result = runStats(api);
    } else {
        result = runLoggedIn(api);
    }
    api.registerLogCallback(nullptr);
    ::FreeLibrary(api.module);
    return result;
}
