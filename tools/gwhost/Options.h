// gwhost's command line: the options, the command and its arguments, and the usage text that states them.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

// What the command line asks for. Filled by parseArguments, then only read.
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
    bool reconnectGiven = false;  // --reconnect or --no-reconnect is on the command line
    bool stats = false;
    bool utc = false;             // times in UTC instead of local wall-clock time
    bool unchangedTexts = false;  // event texts as the client gave them
    int32_t firstDelayMs = 1000;
    int32_t maxDelayMs = 30000;
    std::optional<int32_t> checkMs;   // the gateway's connection check, every this many ms
    std::optional<std::wstring> out;  // the site file gwhost record writes
    bool force = false;               // record replaces an existing file
    bool keepNames = false;           // record keeps the cardholders' names and card numbers
    std::string command;
    std::vector<std::wstring> arguments;
};

// The usage text: the commands and the options.
extern const char kUsage[];
// The line that follows a message about the command line instead of the whole usage text.
extern const char kUsageHint[];

// Fills `options` from the command line, the command and its arguments checked as checkCommand checks
// them, and the options as checkOptions checks them (contradicting options are refused as well); an empty
// result means success, otherwise the message for the user. "--help" anywhere makes the command "help"
// and leaves the rest unchecked.
std::string parseArguments(int argc, wchar_t** argv, Options& options);
