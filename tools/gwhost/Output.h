// gwhost's output: result lines on standard output, failures and the gateway's log lines on standard
// error. Event and log callbacks arrive on the access-control client's threads, so every line is written
// whole, under one lock.
//
// The text is UTF-8. A pipe or a file gets those bytes unchanged. A console gets the same characters
// through WriteConsoleW: the C library would pass the bytes on as characters of the C locale's code page
// whatever the console's code page is (under Wine "Tür" shows as "TÃ¼r", and the 0x9F of "ß" as a
// control character), and a console's code page, shared with the shell that started gwhost, stays as it
// was.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

#include "SiPassVormekGateway.h"

// Which of the gateway's log lines onLogLine shows: 0 none, 1 errors (the default), 2 info, 3 debug.
// Set before the log callback is registered.
void setLogLevel(int level);

// One line (or several joined by '\n') on standard output, a line end added.
void printLine(const std::string& line);
// One JSON document on standard output, on one line.
void printJson(const nlohmann::ordered_json& value);
// The shell's prompt: standard output without a line end.
void printPrompt(const char* prompt);

// "gwhost: <context><message>" on standard error; returns `code`, so that a command can end with it.
int fail(int code, const std::string& message);
// "gwhost: <message>" on standard error, a remark that is no failure.
void note(const std::string& message);
// Put before every message of fail(): the shell names the line of a script that fails ("line 7: ");
// empty again after that line.
void setFailContext(const std::string& context);
// How many failures fail() has reported: the shell reports a failed line itself when none was.
unsigned failuresReported();

// `text` on `stream` (stdout or stderr) as described above, without taking the output's lock: for the
// main thread before any callback is registered (the usage, the password prompt).
void writeText(std::FILE* stream, const std::string& text);

// Whether `stream` (stdout or stderr) is a console, not a pipe or a file.
bool isConsole(std::FILE* stream);

// The gateway's log callback: lines of the level asked for on standard error. Runs on any thread.
void SIPASSVORMEKGATEWAY_CALL onLogLine(LogLevel level, const wchar_t* text);
