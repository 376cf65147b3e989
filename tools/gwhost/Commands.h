// gwhost's commands: one table of them, which both the command line and the shell check and run through.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "GatewayApi.h"
#include "Options.h"

// A command's result that ends the shell (quit); every other result is an exit code.
constexpr int kQuit = -1;

// Checks a command and its arguments, given on the command line or as a line of the shell: that it is a
// command there, the number of its arguments and that each is a 32-bit number (watch's a number of
// seconds). An empty result means they are good.
std::string checkCommand(const std::string& command, const std::vector<std::wstring>& arguments,
                         bool inShell);

// A text of the user's as a message shows it, between `quote` marks: whole when it holds at most
// kEchoedCharacters characters, else its first kEchoedCharacters characters, "..." and its length in bytes
// ("'frobfrob...' (65000 bytes)"), so that a long line or argument does not flood the message. A UTF-8
// sequence is never cut in two.
constexpr size_t kEchoedCharacters = 80;
std::string echoed(const std::string& text, const char* quote = "'");

// Checks that every option given applies to the command of the command line: --seconds and --events to
// those that show or record events, --kind to those that show them, --reconnect, --no-reconnect and
// --check to those that log in again after a lost connection, --stats to those that log in, --out, --force
// and --keep-names to record. An empty result means they do, otherwise which option does not apply to the
// command, and to which commands it does.
std::string checkOptions(const Options& options);

// Whether the command on the command line needs a login, and so the access-control client.
bool commandNeedsLogin(const std::string& command);

// Runs the command of the command line, which parseArguments has checked: with a login, the event
// callbacks and reconnection its events need, and --stats after it, when it needs a login.
int runCommandLine(const GatewayApi& api, const Options& options);

// Runs a line of the shell, which checkCommand has checked, in the session logged in.
int runShellCommand(const GatewayApi& api, const Options& options, const std::string& command,
                    const std::vector<std::wstring>& arguments);
