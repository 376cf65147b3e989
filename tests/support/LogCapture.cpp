#include "LogCapture.h"

#include <algorithm>
#include <atomic>
#include <ostream>

namespace {

std::atomic<LogCapture*> g_current{nullptr};

std::string narrowForDisplay(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c == L'\n') {
            out += "\\n";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

}  // namespace

void LogCapture::callback(LogLevel level, const wchar_t* text) {
    LogCapture* capture = g_current.load();
    if (capture != nullptr) {
        std::lock_guard<std::mutex> lock(capture->m_mutex);
        capture->m_lines.push_back({static_cast<int>(level), text});
    }
}

LogCapture::LogCapture() {
    g_current.store(this);
}
LogCapture::~LogCapture() {
    g_current.store(nullptr);
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::vector<std::wstring> LogCapture::texts() const {
    std::vector<std::wstring> result;
    for (const LogLine& line : lines()) {
        result.push_back(line.text);
    }
    return result;
}

bool LogCapture::contains(const std::wstring& text) const {
    auto all = texts();
    return std::find(all.begin(), all.end(), text) != all.end();
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

void PrintTo(const LogLine& line, std::ostream* os) {
    *os << "{" << line.level << ", \"" << narrowForDisplay(line.text) << "\"}";
}
