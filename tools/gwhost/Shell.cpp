#include "Shell.h"

#include <cstddef>
#include <string>
#include <vector>

#include "Commands.h"
#include "EventView.h"
#include "ExitCodes.h"
#include "Output.h"
#include "ShellInput.h"
#include "Text.h"

namespace {

const char kShellHelp[] =
    "commands, one a line; blank lines and lines starting with # are skipped\n"
    "  doors                     list every device, its doors and their five points\n"
    "  point ID                  show the state of one point\n"
    "  command TYPE ID CODE      send a manual command and show the state events it causes (--seconds)\n"
    "  watch SECONDS             show events for SECONDS seconds (--kind, --events)\n"
    "  subscribe TYPE ID STATE   register with the server for one object (filters nothing: watch\n"
    "                            shows every event)\n"
    "  stats                     show the gateway's statistics\n"
    "  help                      show this list\n"
    "  quit                      log out and end (so does the end of input; at a console Ctrl+D, or\n"
    "                            Ctrl+C at the prompt)\n"
    "events are shown only while a line waits for them; a failed line is reported on standard error\n"
    "(with its line number when the lines come from a pipe or a file), the next line runs all the same,\n"
    "and the exit code is 1 instead of 0\n";

// One line of the shell, already split into words; the result as a command's exit code, or kQuit.
int runShellLine(const GatewayApi& api, const Options& options, const std::vector<std::string>& words) {
    const std::string& command = words[0];
    std::vector<std::wstring> arguments;
    for (size_t i = 1; i < words.size(); ++i) {
        arguments.push_back(wide(words[i]));
    }
    const std::string problem = checkCommand(command, arguments, true);
    if (!problem.empty()) {
        return fail(kBadArguments, problem + (command == "help" ? "" : " (help lists the commands)"));
    }
    return runShellCommand(api, options, command, arguments);
}

}  // namespace

int runShell(const GatewayApi& api, const Options& options, int linesBefore) {
    ShellInput input(linesBefore);
    if (input.interactive()) {
        printLine("logged in as " + utf8(options.user) + "; help lists the commands, quit ends");
    }
    bool allSucceeded = true;
    std::vector<std::string> words;
    for (;;) {
        if (input.interactive()) {
            printPrompt("gwhost> ");
        }
        std::string refused;  // why the line is refused before it runs (too long, a NUL byte)
        if (!input.next(words, refused)) {
            if (input.interactive()) {
                printLine("");  // the shell's prompt does not stay in front of what follows
            }
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
        const int result = refused.empty() ? runShellLine(api, options, words) : fail(kBadArguments, refused);
        if (result != kDone && result != kQuit) {
            allSucceeded = false;
            if (failuresReported() == reportedBefore) {
                std::string line;
                for (const std::string& word : words) {
                    line += (line.empty() ? "" : " ") + word;
                }
                fail(result, echoed(line) + " failed (--log-level info shows why)");
            }
        }
        setFailContext("");
        if (result == kQuit) {
            break;
        }
    }
    return allSucceeded ? kDone : kRefused;
}

void printShellHelp() {
    std::string help = kShellHelp;
    help.pop_back();
    printLine(help);
}
