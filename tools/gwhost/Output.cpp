#include "Output.h"

#include <windows.h>

#include <io.h>

#include <cstdio>
#include <mutex>

#include "Text.h"

namespace {

struct Output {
    std::mutex mutex;         // held while a line is written; guards the members below
    int logLevel = 1;         // set before the log callback is registered, then only read
    std::string failContext;  // before every message of fail()
    unsigned failuresReported = 0;
};

Output g_output;

bool logLevelShown(LogLevel level) {
    const int shown = g_output.logLevel;
    switch (level) {
        case Error:
            return shown >= 1;
        case Info:
            return shown >= 2;
        case Debug:
            return shown >= 3;
    }
    return shown >= 1;
}

// The console behind `stream`, or null when it is a pipe or a file.
HANDLE consoleOf(std::FILE* stream) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) ? handle : nullptr;
}

}  // namespace

void writeText(std::FILE* stream, const std::string& text) {
    const HANDLE console = consoleOf(stream);
    if (console == nullptr) {
        std::fwrite(text.data(), 1, text.size(), stream);
        std::fflush(stream);
        return;
    }
    std::fflush(stream);  // what the C library holds comes first
    const std::wstring characters = wide(text);
    // In pieces: older consoles refuse a single write much larger than this.
    constexpr size_t kPiece = 8192;
    for (size_t at = 0; at < characters.size(); at += kPiece) {
        const size_t count = characters.size() - at < kPiece ? characters.size() - at : kPiece;
        DWORD written = 0;
        if (!::WriteConsoleW(console, characters.data() + at, static_cast<DWORD>(count), &written, nullptr)) {
            return;
        }
    }
}

bool isConsole(std::FILE* stream) {
    return consoleOf(stream) != nullptr;
}

void setLogLevel(int level) {
    g_output.logLevel = level;
}

void printLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_output.mutex);
    writeText(stdout, line + "\n");
}

void printJson(const nlohmann::ordered_json& value) {
    printLine(value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

void printPrompt(const char* prompt) {
    std::lock_guard<std::mutex> lock(g_output.mutex);
    writeText(stdout, prompt);
}

int fail(int code, const std::string& message) {
    std::lock_guard<std::mutex> lock(g_output.mutex);
    writeText(stderr, "gwhost: " + g_output.failContext + message + "\n");
    ++g_output.failuresReported;
    return code;
}

void note(const std::string& message) {
    std::lock_guard<std::mutex> lock(g_output.mutex);
    writeText(stderr, "gwhost: " + message + "\n");
}

void setFailContext(const std::string& context) {
    std::lock_guard<std::mutex> lock(g_output.mutex);
    g_output.failContext = context;
}

unsigned failuresReported() {
    std::lock_guard<std::mutex> lock(g_output.mutex);
    return g_output.failuresReported;
}

void SIPASSVORMEKGATEWAY_CALL onLogLine(LogLevel level, const wchar_t* text) {
    if (!logLevelShown(level)) {
        return;
    }
    const char* name = level == Error ? "error" : level == Debug ? "debug" : "info";
    char head[24];
    std::snprintf(head, sizeof head, "gateway %-5s | ", name);
    std::lock_guard<std::mutex> lock(g_output.mutex);
    writeText(stderr, head + utf8(text) + "\n");
}
