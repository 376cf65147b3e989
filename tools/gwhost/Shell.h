// gwhost's shell: one login, then commands read from standard input, one a line.
#pragma once

#include "GatewayApi.h"
#include "Options.h"

// Runs the lines of standard input in the session that is logged in. `linesBefore`: lines of the input
// the password took. The result: kDone when every line succeeded, else kRefused.
int runShell(const GatewayApi& api, const Options& options, int linesBefore);

// The shell's list of its commands (its help command).
void printShellHelp();
