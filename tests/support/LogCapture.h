// Collects the lines the gateway sends to the host's log function, from any thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "SiPassVormekGateway.h"

struct LogLine {
    int level;
    std::wstring text;
    bool operator==(const LogLine& other) const { return level == other.level && text == other.text; }
};

class LogCapture {
public:
    // The callback to register; it appends to the capture that is current.
    static void SIPASSVORMEKGATEWAY_CALL callback(LogLevel level, const wchar_t* text);

    LogCapture();
    ~LogCapture();

    std::vector<LogLine> lines() const;
    std::vector<std::wstring> texts() const;
    bool contains(const std::wstring& text) const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<LogLine> m_lines;
};

// Makes gtest print wide log lines readably.
void PrintTo(const LogLine& line, std::ostream* os);
