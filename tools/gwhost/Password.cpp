#include "Password.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "Text.h"

void wipe(std::wstring& secret) {
    ::SecureZeroMemory(secret.data(), secret.size() * sizeof(wchar_t));
    secret.clear();
}

namespace {

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
    std::fputs("\n", stderr);
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

// One line from a pipe or a file, UTF-8.
bool readFromPipe(std::wstring& password) {
    std::string line;
    for (int c = std::fgetc(stdin); c != EOF && c != '\n'; c = std::fgetc(stdin)) {
        line.push_back(static_cast<char>(c));
    }
    if (line.empty() && std::feof(stdin)) {
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

bool readPassword(const std::wstring& user, std::wstring& password, bool* fromInputLine) {
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
        std::fprintf(stderr, "Password for %s: ", utf8(user).c_str());
        std::fflush(stderr);
        return readFromConsole(input, mode, password);
    }
    if (fromInputLine != nullptr) {
        *fromInputLine = true;
    }
    return readFromPipe(password);
}
