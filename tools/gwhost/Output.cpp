#include "Output.h"

#include <cstdio>
#include <mutex>

#include "CommandRefusal.h"
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

}  // namespace

void setLogLevel(int level) {
    g_output.logLevel = level;
}

void printLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_output.mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printJson(const nlohmann::ordered_json& value) {
    printLine(value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

void printPrompt(const char* prompt) {
    std::lock_guard<std::mutex> lock(g_output.mutex);
    std::fputs(prompt, stdout);
    std::fflush(stdout);
}

int fail(int code, const std::string& message) {
    std::lock_guard<std::mutex> lock(g_output.mutex);
    std::fprintf(stderr, "gwhost: %s%s\n", g_output.failContext.c_str(), message.c_str());
    ++g_output.failuresReported;
    return code;
}

void note(const std::string& message) {
    std::lock_guard<std::mutex> lock(g_output.mutex);
    std::fprintf(stderr, "gwhost: %s\n", message.c_str());
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
    noteCommandFailure(text);
    if (!logLevelShown(level)) {
        return;
    }
    const char* name = level == Error ? "error" : level == Debug ? "debug" : "info";
    std::lock_guard<std::mutex> lock(g_output.mutex);
    std::fprintf(stderr, "gateway %-5s | %s\n", name, utf8(text).c_str());
}
