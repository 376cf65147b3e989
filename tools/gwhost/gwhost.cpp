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
#include "DoorTable.h"
#include "EventView.h"
#include "ExitCodes.h"
#include "names/EnumNames.h"
#include "GatewayApi.h"
#include "Output.h"
#include "Password.h"
#include "ShellInput.h"
#include "SimControl.h"
#include "SimulatedClient.h"
#include "Text.h"

namespace {

const char kUsage[] =
    "usage: gwhost [options] COMMAND [arguments]\n"
    "\n"
    "commands\n"
    "  doors                     list every device, its doors and their five points\n"
    "  point ID                  show the state of one point\n"
    "  command TYPE ID CODE      send a manual command and show the state events it causes\n"
    "  watch                     show events as they arrive (--kind, --seconds)\n"
    "  subscribe TYPE ID STATE   register for the events of one object, then watch\n"
    "  ping                      call gateway_Ping (no login)\n"
    "  version                   show the gateway's version (no login)\n"
    "  stats                     show the gateway's statistics (no login; all 0 in a fresh process)\n"
    "  selftest                  run the five interop self-test exports (no login)\n"
    "  shell                     log in once, then run commands read from standard input, one a line\n"
    "                            (\"help\" lists them); a line of more than 65536 bytes or with a NUL\n"
    "                            byte fails unread; exit code 0 when every line succeeded, else 1\n"
    "\n"
    "options\n"
    "  --user NAME               account to log in with (default: operator)\n"
    "                            the password comes from SIPASS_PASSWORD or is asked for without echo\n"
    "  --site FILE               the simulated client plays this site file instead of its built-in site\n"
    "  --real                    use the registered access-control client instead of the simulator\n"
    "  --dll PATH                the gateway DLL (default: SiPassVormekGateway.dll beside gwhost)\n"
    "  --events N                stop after N events shown (with --seconds as the limit)\n"
    "  --seconds N               how long watch, subscribe and command show events (default: watch\n"
    "                            until Ctrl+C, command 2)\n"
    "  --kind KIND[,KIND]        watch only these kinds: state, access, generic, disconnect, connection\n"
    "  --reconnect FIRST,MAX     watch, subscribe and shell log in again by themselves after a lost\n"
    "                            connection, first after FIRST ms, then doubling up to MAX ms\n"
    "                            (default: 1000,30000)\n"
    "  --no-reconnect            watch, subscribe and shell only report a lost connection\n"
    "  --stats                   after watch, subscribe, command or shell, show the gateway's statistics\n"
    "  --utc                     every time in UTC (the gateway's option); without it local wall-clock\n"
    "                            time. Each time shown says which (\"... UTC\" or \"... local\")\n"
    "  --unchanged-texts         event texts exactly as the client gave them (the gateway's option);\n"
    "                            without it letters outside the machine's code page arrive as '?'\n"
    "  --log-level LEVEL         gateway log lines on standard error: none, error (default), info, debug\n"
    "  --json                    machine-readable output: one JSON document, or one per line for events\n";

static_assert(kMaxInputLine == 65536, "the usage text states the longest line of the shell");

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

struct Options {
    std::wstring user = L"operator";
    std::optional<std::wstring> site;
    bool real = false;
    std::optional<std::wstring> dll;
    std::optional<int> seconds;
    std::optional<long> events;   // stop after this many events shown
    std::set<std::string> kinds;  // empty: every kind
    int logLevel = 1;             // 0 none, 1 error, 2 info, 3 debug
    bool json = false;
    bool reconnect = true;
    bool stats = false;
    bool utc = false;             // times in UTC instead of local wall-clock time
    bool unchangedTexts = false;  // event texts as the client gave them
    int32_t firstDelayMs = 1000;
    int32_t maxDelayMs = 30000;
    std::string command;
    std::vector<std::wstring> arguments;
};

Options g_options;
// ---- Arguments ---------------------------------------------------------------------------------------

// Checks a command and its arguments, given on the command line or as a line of the shell: the number
// of arguments and that each is a 32-bit number. An empty result means they are good.
std::string checkCommand(const std::string& command, const std::vector<std::wstring>& arguments,
                         bool inShell) {
    // How many arguments each command takes on the command line and in the shell; -1: not there.
    static const struct {
        const char* name;
        int arguments;
        int shellArguments;
    } kCommands[] = {{"doors", 0, 0},     {"point", 1, 1},  {"command", 3, 3}, {"watch", 0, 1},
                     {"subscribe", 3, 3}, {"stats", 0, 0},  {"ping", 0, -1},   {"version", 0, -1},
                     {"selftest", 0, -1}, {"shell", 0, -1}, {"help", -1, 0},   {"quit", -1, 0}};
    for (const auto& known : kCommands) {
        const int expected = inShell ? known.shellArguments : known.arguments;
        if (command != known.name || expected < 0) {
            continue;
        }
        if (arguments.size() != static_cast<size_t>(expected)) {
            return command + " takes " + std::to_string(expected) + " argument(s)";
        }
        for (const std::wstring& number : arguments) {
            long parsed = 0;
            if (!parseNumber(number, parsed)) {
                return command + ": '" + utf8(number) + "' is not a 32-bit number";
            }
            if (command == "watch" && (parsed < 0 || parsed > 24 * 3600)) {
                return "watch needs a number of seconds from 0 to 86400";
            }
        }
        return {};
    }
    return "unknown command '" + command + "'";
}

// Fills g_options; an empty result means success, otherwise the message for the user.
std::string parseArguments(int argc, wchar_t** argv) {
    Options& o = g_options;
    std::vector<std::wstring> positional;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        auto value = [&](std::wstring& out) {
            if (i + 1 >= argc) {
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::wstring text;
        if (argument == L"--help" || argument == L"-h") {
            o.command = "help";
        } else if (argument == L"--json") {
            o.json = true;
        } else if (argument == L"--real") {
            o.real = true;
        } else if (argument == L"--stats") {
            o.stats = true;
        } else if (argument == L"--utc") {
            o.utc = true;
        } else if (argument == L"--unchanged-texts") {
            o.unchangedTexts = true;
        } else if (argument == L"--no-reconnect") {
            o.reconnect = false;
        } else if (argument == L"--reconnect") {
            long first = 0, max = 0;
            const size_t comma = value(text) ? text.find(L',') : std::wstring::npos;
            if (comma == std::wstring::npos || !parseNumber(text.substr(0, comma), first) ||
                !parseNumber(text.substr(comma + 1), max) || first <= 0 || max < first || max > 3600000) {
                return "--reconnect needs FIRST,MAX in milliseconds, 0 < FIRST <= MAX <= 3600000";
            }
            o.reconnect = true;
            o.firstDelayMs = first;
            o.maxDelayMs = max;
        } else if (argument == L"--user") {
            if (!value(o.user) || o.user.empty()) {
                return "--user needs a user name";
            }
        } else if (argument == L"--site") {
            if (!value(text)) {
                return "--site needs a file";
            }
            o.site = text;
        } else if (argument == L"--dll") {
            if (!value(text)) {
                return "--dll needs a path";
            }
            o.dll = text;
        } else if (argument == L"--seconds") {
            long seconds = 0;
            if (!value(text) || !parseNumber(text, seconds) || seconds < 0 || seconds > 24 * 3600) {
                return "--seconds needs a number of seconds from 0 to 86400";
            }
            o.seconds = static_cast<int>(seconds);
        } else if (argument == L"--events") {
            long events = 0;
            if (!value(text) || !parseNumber(text, events) || events < 1) {
                return "--events needs a number of events from 1 up";
            }
            o.events = events;
        } else if (argument == L"--kind") {
            if (!value(text)) {
                return "--kind needs state, access, generic, disconnect or connection";
            }
            std::string kinds = utf8(text) + ",";
            for (size_t start = 0, comma; (comma = kinds.find(',', start)) != std::string::npos;
                 start = comma + 1) {
                const std::string kind = kinds.substr(start, comma - start);
                if (kind != "state" && kind != "access" && kind != "generic" && kind != "disconnect" &&
                    kind != "connection") {
                    return "unknown event kind '" + kind +
                           "' (state, access, generic, disconnect, connection)";
                }
                o.kinds.insert(kind);
            }
        } else if (argument == L"--log-level") {
            static const wchar_t* const kLevels[] = {L"none", L"error", L"info", L"debug"};
            if (!value(text)) {
                return "--log-level needs none, error, info or debug";
            }
            o.logLevel = -1;
            for (int level = 0; level < 4; ++level) {
                if (text == kLevels[level]) {
                    o.logLevel = level;
                }
            }
            if (o.logLevel < 0) {
                return "unknown log level '" + utf8(text) + "' (none, error, info, debug)";
            }
        } else if (argument.size() > 1 && argument[0] == L'-' &&
                   !(argument[1] >= L'0' && argument[1] <= L'9')) {
            return "unknown option " + utf8(argument);
        } else {
            positional.push_back(argument);
        }
    }
    if (o.command == "help") {
        return {};
    }
    if (positional.empty()) {
        return "no command given";
    }
    o.command = utf8(positional[0]);
    o.arguments.assign(positional.begin() + 1, positional.end());
    const std::string problem = checkCommand(o.command, o.arguments, false);
    if (problem.empty() && o.real && o.site) {
        return "--site applies to the simulated client, not with --real";
    }
    return problem;
}

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
    const std::string problem = parseArguments(argc, argv);
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
