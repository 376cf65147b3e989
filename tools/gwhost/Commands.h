// gwhost's commands, run from the command line or as lines of the shell.
#pragma once

#include <string>
#include <vector>

// Checks a command and its arguments, given on the command line or as a line of the shell: the number
// of arguments and that each is a 32-bit number. An empty result means they are good.
std::string checkCommand(const std::string& command, const std::vector<std::wstring>& arguments,
                         bool inShell);
