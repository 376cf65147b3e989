#include "Commands.h"

#include <cstddef>
#include <cstdint>
#include <optional>

#include "CommandRefusal.h"
#include "Diagnostics.h"
#include "EventView.h"
#include "ExitCodes.h"
#include "Output.h"
#include "Password.h"
#include "SessionCommands.h"
#include "Shell.h"
#include "SiteRecorder.h"
#include "Text.h"

namespace {

// What a command runs with.
struct Run {
    const GatewayApi& api;
    const Options& options;
    const std::vector<std::wstring>& arguments;  // as checkCommand has accepted them
    bool inShell;                                // a line of the shell, not the command line
    int linesRead;  // lines of standard input the password took, which the shell's line numbers count

    int32_t number(size_t index) const {
        long value = 0;
        parseNumber(arguments[index], value);
        return static_cast<int32_t>(value);
    }
};

// What each argument of a command is: a 32-bit number, or one that also counts seconds (0 to 86400).
enum class Shape { Numbers, Seconds };

// Which events a command of the command line shows, and so which callbacks it registers.
enum class Events {
    None,          // none: a door list or a point stays one document
    WhileWaiting,  // the events its wait shows
    FromLogin,     // every event from the login on; logs in again after a lost connection
    ForEachLine,   // logs in again after a lost connection; each line that waits shows events
    Records,       // records every event from the login on, logs in again after a lost connection, and
                   // makes its own login
};

struct Command {
    const char* name;
    int arguments;       // on the command line; -1: not a command there
    int shellArguments;  // as a line of the shell; -1: not a command there
    Shape shape;
    bool login;     // on the command line it logs in first; a line of the shell runs logged in
    Events events;  // on the command line
    int (*run)(const Run&);
};

const Command kCommands[] = {
    {"doors", 0, 0, Shape::Numbers, true, Events::None,
     [](const Run& r) { return runDoors(r.api, r.options); }},
    {"point", 1, 1, Shape::Numbers, true, Events::None,
     [](const Run& r) { return runPoint(r.api, r.options, r.number(0)); }},
    {"command", 3, 3, Shape::Numbers, true, Events::WhileWaiting,
     [](const Run& r) { return runCommand(r.api, r.options, r.number(0), r.number(1), r.number(2)); }},
    // On the command line for --seconds (or until Ctrl+C), in the shell for the seconds of the line.
    {"watch", 0, 1, Shape::Seconds, true, Events::FromLogin,
     [](const Run& r) { return runWatch(r.api, r.inShell ? r.number(0) : r.options.seconds); }},
    // On the command line the registration is followed by a watch; in the shell a watch line shows them.
    {"subscribe", 3, 3, Shape::Numbers, true, Events::FromLogin,
     [](const Run& r) {
         const int result = runSubscribe(r.api, r.options, r.number(0), r.number(1), r.number(2));
         return r.inShell || result != kDone ? result : runWatch(r.api, r.options.seconds);
     }},
    {"stats", 0, 0, Shape::Numbers, false, Events::None,
     [](const Run& r) { return runStats(r.api, r.options); }},
    {"ping", 0, -1, Shape::Numbers, false, Events::None,
     [](const Run& r) { return runPing(r.api, r.options); }},
    {"version", 0, -1, Shape::Numbers, false, Events::None,
     [](const Run& r) { return runVersion(r.api, r.options); }},
    {"selftest", 0, -1, Shape::Numbers, false, Events::None,
     [](const Run& r) { return runSelfTest(r.api, r.options); }},
    {"shell", 0, -1, Shape::Numbers, true, Events::ForEachLine,
     [](const Run& r) { return runShell(r.api, r.options, r.linesRead); }},
    // Records the site into --out for --seconds, up to --events events or until Ctrl+C.
    {"record", 0, -1, Shape::Numbers, true, Events::Records,
     [](const Run& r) { return runRecord(r.api, r.options); }},
    {"help", -1, 0, Shape::Numbers, false, Events::None,
     [](const Run&) {
         printShellHelp();
         return kDone;
     }},
    {"quit", -1, 0, Shape::Numbers, false, Events::None, [](const Run&) { return kQuit; }},
};

// The command of that name on the command line or in the shell; null when there is none there.
const Command* findCommand(const std::string& name, bool inShell) {
    for (const Command& command : kCommands) {
        if (name == command.name && (inShell ? command.shellArguments : command.arguments) >= 0) {
            return &command;
        }
    }
    return nullptr;
}

// A command of the command line that needs a login: the callbacks its events need, the login, the
// command, the logout, and --stats after it.
int runLoggedIn(const Command& command, const GatewayApi& api, const Options& options) {
    const bool reconnecting = command.events == Events::FromLogin || command.events == Events::ForEachLine;
    if (reconnecting) {
        // Both are the host's: the policy outlives the gateway object, so it is set (or cleared) each time.
        api.setReconnectPolicy(options.reconnect ? options.firstDelayMs : 0,
                               options.reconnect ? options.maxDelayMs : 0);
        api.registerConnectionStateCallback(&onConnection);
        setConnectionReports(options.reconnect);
        // The connection check only with --check (runCommandLine has refused it for a DLL without the
        // export), so that a run without it makes no call and no log line of the check.
        if (options.checkMs) {
            api.setConnectionCheck(*options.checkMs);
            showLossesFoundByTheCheck(api);
        }
    }
    if (command.events != Events::None) {
        api.registerDisconnectCallback(&onDisconnect);
        api.registerStateCallback(&onStateEvent);
        api.registerAccessCallback(&onAccessEvent);
        api.registerGenericCallback(&onGenericEvent);
    }
    // A single watch or subscribe shows every event from the login on.
    EventWindow session(command.events == Events::FromLogin);

    std::wstring password;
    bool passwordLine = false;
    std::string problem;
    if (!readPassword(options.user, password, problem, &passwordLine)) {
        return fail(kBadArguments, problem);
    }
    const bool loggedIn = api.init(options.user.c_str(), password.c_str());
    wipe(password);
    if (!loggedIn) {
        const std::string reason = failureReason(api, options.real);  // before Close, which succeeds
        api.close();
        return fail(kRefused, "login as " + utf8(options.user) + " failed: " + reason);
    }
    if (reconnecting && options.reconnect) {
        readKnownStates(api);
    }
    const int result = command.run({api, options, options.arguments, false, passwordLine ? 1 : 0});
    api.close();
    if (reconnecting) {
        api.setReconnectPolicy(0, 0);
        if (options.checkMs) {
            api.setConnectionCheck(0);
        }
    }
    if (options.stats) {
        runStats(api, options);
    }
    return result;
}

}  // namespace

std::string checkCommand(const std::string& name, const std::vector<std::wstring>& arguments, bool inShell) {
    const Command* command = findCommand(name, inShell);
    if (command == nullptr) {
        return "unknown command " + echoed(name);
    }
    const int expected = inShell ? command->shellArguments : command->arguments;
    if (arguments.size() != static_cast<size_t>(expected)) {
        return name + " takes " + std::to_string(expected) + " argument(s)";
    }
    for (const std::wstring& number : arguments) {
        long parsed = 0;
        if (!parseNumber(number, parsed)) {
            return name + ": " + echoed(utf8(number)) + " is not a 32-bit number";
        }
        if (command->shape == Shape::Seconds && (parsed < 0 || parsed > 24 * 3600)) {
            return name + " needs a number of seconds from 0 to 86400";
        }
    }
    return {};
}

std::string echoed(const std::string& text, const char* quote) {
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        // A byte 10xxxxxx continues the character before it; every other byte starts one.
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && ++characters > kEchoedCharacters) {
            return quote + text.substr(0, i) + "..." + quote + " (" + std::to_string(text.size()) + " bytes)";
        }
    }
    return quote + text + quote;
}

std::string checkOptions(const Options& options) {
    const Command& given = *findCommand(options.command, false);
    const auto showsEvents = [](const Command& c) { return c.events != Events::None; };
    // A recording takes every kind: a file without some of them would not be the site.
    const auto filtersKinds = [](const Command& c) {
        return c.events != Events::None && c.events != Events::Records;
    };
    const auto reconnects = [](const Command& c) {
        return c.events == Events::FromLogin || c.events == Events::ForEachLine ||
               c.events == Events::Records;
    };
    const auto logsIn = [](const Command& c) { return c.login; };
    const auto records = [](const Command& c) { return c.events == Events::Records; };
    const struct {
        const char* option;
        bool present;
        bool (*applies)(const Command&);
    } kChecks[] = {
        {"--seconds", options.seconds.has_value(), showsEvents},
        {"--events", options.events.has_value(), showsEvents},
        {"--kind", !options.kinds.empty(), filtersKinds},
        {options.reconnect ? "--reconnect" : "--no-reconnect", options.reconnectGiven, reconnects},
        {"--check", options.checkMs.has_value(), reconnects},
        {"--stats", options.stats, logsIn},
        {"--out", options.out.has_value(), records},
        {"--force", options.force, records},
        {"--keep-names", options.keepNames, records},
    };
    for (const auto& check : kChecks) {
        if (!check.present || check.applies(given)) {
            continue;
        }
        std::vector<const char*> names;
        for (const Command& command : kCommands) {
            if (command.arguments >= 0 && check.applies(command)) {
                names.push_back(command.name);
            }
        }
        std::string list;
        for (size_t i = 0; i < names.size(); ++i) {
            list += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + std::string(names[i]);
        }
        return std::string(check.option) + " does not apply to " + given.name + " (only to " + list + ")";
    }
    return {};
}

bool commandNeedsLogin(const std::string& name) {
    const Command* command = findCommand(name, false);
    return command != nullptr && command->login;
}

int runCommandLine(const GatewayApi& api, const Options& options) {
    const Command& command = *findCommand(options.command, false);
    if (options.checkMs && api.setConnectionCheck == nullptr) {
        return fail(kBadArguments, "--check needs a gateway DLL with gateway_setConnectionCheck");
    }
    if (!command.login || command.events == Events::Records) {
        return command.run({api, options, options.arguments, false, 0});
    }
    return runLoggedIn(command, api, options);
}

int runShellCommand(const GatewayApi& api, const Options& options, const std::string& name,
                    const std::vector<std::wstring>& arguments) {
    return findCommand(name, true)->run({api, options, arguments, true, 0});
}
