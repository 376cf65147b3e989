// gwhost's exit codes, which a command's result is as well.
#pragma once

constexpr int kDone = 0;
constexpr int kRefused = 1;       // the gateway refused (a failed login, an export returned false)
constexpr int kBadArguments = 2;  // bad arguments, or a line of the shell that cannot run
constexpr int kCannotLoad = 3;    // the gateway DLL or the simulated client cannot be loaded
constexpr int kCannotWrite = 4;   // a file the command writes cannot be written (gwhost record)
