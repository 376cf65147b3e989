#include "Password.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "Output.h"
#include "ShellInput.h"
#include "Text.h"

void wipe(std::wstring& secret) {
    ::SecureZeroMemory(secret.data(), secret.size() * sizeof(wchar_t));
    secret.clear();
}

namespace {

const char kNoPassword[] = "no password (set SIPASS_PASSWORD or type it)";

void wipeNarrow(std::string& secret) {
    ::SecureZeroMemory(secret.data(), secret.size());
    secret.clear();
}

void stripLineEnd(std::wstring& line) {
    while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) {
        line.pop_back();
    }
}

// Typed at the console: echo off for the one line, then the console mode as it was.
bool readFromConsole(HANDLE input, DWORD mode, std::wstring& password) {
    ::SetConsoleMode(input, (mode | ENABLE_LINE_INPUT) & ~ENABLE_ECHO_INPUT);
    std::wstring line(256, L'\0');
    DWORD read = 0;
    const BOOL ok = ::ReadConsoleW(input, line.data(), static_cast<DWORD>(line.size()), &read, nullptr);
    ::SetConsoleMode(input, mode);
    writeText(stderr, "\n");  // the Enter typed is not echoed
    if (!ok) {
        wipe(line);
        return false;
    }
    line.resize(read);
    stripLineEnd(line);
    password = line;
    wipe(line);
    return true;
}

// One line from a pipe or a file, UTF-8. A line that would be cut short (a NUL byte) or is too long is
// refused rather than taken in part.
bool readFromPipe(std::wstring& password, std::string& problem) {
    std::string line;
    const InputLine read = readInputLine(stdin, line);
    if (read != InputLine::Read) {
        wipeNarrow(line);
        problem = read == InputLine::End      ? kNoPassword
                  : read == InputLine::HasNul ? "line 1: the password holds a NUL byte"
                                              : "line 1: the password line is longer than " +
                                                    std::to_string(kMaxInputLine) + " bytes";
        return false;
    }
    std::wstring text = wide(line);
    wipeNarrow(line);
    stripLineEnd(text);
    password = text;
    wipe(text);
    return true;
}

}  // namespace

bool readPassword(const std::wstring& user, std::wstring& password, std::string& problem,
                  bool* fromInputLine) {
    if (fromInputLine != nullptr) {
        *fromInputLine = false;
    }
    if (const wchar_t* fromEnvironment = _wgetenv(L"SIPASS_PASSWORD")) {
        password = fromEnvironment;
        return true;
    }
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input != INVALID_HANDLE_VALUE && ::GetConsoleMode(input, &mode)) {
        writeText(stderr, "Password for " + utf8(user) + ": ");
        if (!readFromConsole(input, mode, password)) {
            problem = kNoPassword;
            return false;
        }
        return true;
    }
    if (fromInputLine != nullptr) {
        *fromInputLine = true;
    }
    return readFromPipe(password, problem);
}
