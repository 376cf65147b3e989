#include "Commands.h"

#include "Text.h"

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

