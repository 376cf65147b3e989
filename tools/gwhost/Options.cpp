#include "Options.h"

#include "Commands.h"
#include "ShellInput.h"
#include "Text.h"

extern const char kUsage[] =
    "usage: gwhost [options] COMMAND [arguments]\n"
    "\n"
    "commands\n"
    "  doors                     list every device, its doors and their five points\n"
    "  point ID                  show the state of one point\n"
    "  command TYPE ID CODE      send a manual command and show the state events it causes\n"
    "  watch                     show events as they arrive (--kind, --seconds)\n"
    "  subscribe TYPE ID STATE   register with the server for the events of one object, then watch;\n"
    "                            this filters nothing: every event of the site is shown\n"
    "  ping                      call gateway_Ping (no login)\n"
    "  version                   show the gateway's version (no login)\n"
    "  stats                     show the gateway's statistics (no login; all 0 in a fresh process)\n"
    "  selftest                  run the five interop self-test exports (no login)\n"
    "  record                    log in, read every door and point, record every event (with its delay)\n"
    "                            and every connection loss into --out, a site file that --site plays;\n"
    "                            for --seconds, up to --events events or until Ctrl+C; cardholders'\n"
    "                            names and card numbers become pseudonyms\n"
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
    "  --events N                stop after N events shown or recorded (with --seconds as the limit)\n"
    "  --seconds N               how long watch, subscribe, record and command show or record events\n"
    "                            (default: watch and record until Ctrl+C, command 2)\n"
    "  --kind KIND[,KIND]        watch only these kinds: state, access, generic, disconnect, connection\n"
    "  --reconnect FIRST,MAX     watch, subscribe, shell and record log in again by themselves after a\n"
    "                            lost connection, first after FIRST ms, then doubling up to MAX ms\n"
    "                            (default: 1000,30000)\n"
    "  --no-reconnect            watch, subscribe and shell only report a lost connection; record\n"
    "                            waits for the client to come back by itself\n"
    "  --check MS                watch, subscribe, shell and record ask the client every MS milliseconds\n"
    "                            (1000 to 3600000) whether it is still connected, and treat a loss it\n"
    "                            never reported as a reported one (the gateway's connection check)\n"
    "  --stats                   after a command that logs in, show the gateway's statistics\n"
    "  --utc                     every time in UTC (the gateway's option); without it local wall-clock\n"
    "                            time. Each time shown says which (\"... UTC\" or \"... local\")\n"
    "  --unchanged-texts         event texts exactly as the client gave them (the gateway's option);\n"
    "                            without it letters outside the machine's code page arrive as '?'\n"
    "  --out FILE                the site file record writes (renamed into place once complete)\n"
    "  --force                   record replaces an existing --out\n"
    "  --keep-names              record keeps the cardholders' real names and card numbers\n"
    "  --log-level LEVEL         gateway log lines on standard error: none, error (default), info, debug\n"
    "  --json                    machine-readable output: one JSON document, or one per line for events\n";

extern const char kUsageHint[] = "Run \"gwhost --help\" for the commands and options.\n";

static_assert(kMaxInputLine == 65536, "the usage text states the longest line of the shell");

namespace {

const char kReconnectConflict[] = "--reconnect and --no-reconnect contradict each other: give one of them";

}  // namespace

std::string parseArguments(int argc, wchar_t** argv, Options& o) {
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
        } else if (argument == L"--force") {
            o.force = true;
        } else if (argument == L"--keep-names") {
            o.keepNames = true;
        } else if (argument == L"--out") {
            if (!value(text) || text.empty()) {
                return "--out needs a file";
            }
            o.out = text;
        } else if (argument == L"--stats") {
            o.stats = true;
        } else if (argument == L"--utc") {
            o.utc = true;
        } else if (argument == L"--unchanged-texts") {
            o.unchangedTexts = true;
        } else if (argument == L"--no-reconnect") {
            if (o.reconnectGiven && o.reconnect) {
                return kReconnectConflict;
            }
            o.reconnect = false;
            o.reconnectGiven = true;
        } else if (argument == L"--reconnect") {
            if (o.reconnectGiven && !o.reconnect) {
                return kReconnectConflict;
            }
            long first = 0, max = 0;
            const size_t comma = value(text) ? text.find(L',') : std::wstring::npos;
            if (comma == std::wstring::npos || !parseNumber(text.substr(0, comma), first) ||
                !parseNumber(text.substr(comma + 1), max) || first <= 0 || max < first || max > 3600000) {
                return "--reconnect needs FIRST,MAX in milliseconds, 0 < FIRST <= MAX <= 3600000";
            }
            o.reconnect = true;
            o.reconnectGiven = true;
            o.firstDelayMs = first;
            o.maxDelayMs = max;
        } else if (argument == L"--check") {
            long interval = 0;
            if (!value(text) || !parseNumber(text, interval) || interval < 1000 || interval > 3600000) {
                return "--check needs an interval in milliseconds from 1000 to 3600000";
            }
            o.checkMs = static_cast<int32_t>(interval);
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
                    return "unknown event kind " + echoed(kind) +
                           " (state, access, generic, disconnect, connection)";
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
                return "unknown log level " + echoed(utf8(text)) + " (none, error, info, debug)";
            }
        } else if (argument.size() > 1 && argument[0] == L'-' &&
                   !(argument[1] >= L'0' && argument[1] <= L'9')) {
            return "unknown option " + echoed(utf8(argument), "");
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
    if (!problem.empty()) {
        return problem;
    }
    if (o.real && o.site) {
        return "--site applies to the simulated client, not with --real";
    }
    const std::string inapplicable = checkOptions(o);
    if (!inapplicable.empty()) {
        return inapplicable;
    }
    if (o.command == "record" && !o.out) {
        return "record needs --out FILE, the site file it writes";
    }
    return {};
}
