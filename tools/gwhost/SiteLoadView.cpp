#include "SiteLoadView.h"

#include <windows.h>

#include <cstdio>

#include "Output.h"
#include "Text.h"

namespace {

constexpr unsigned long long kShownFrom = 4ull << 20;

std::string megabytes(unsigned long long bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

SiteLoadView::SiteLoadView(const SimulatedClient& simulator, const std::wstring& path) : m_simulator(simulator) {
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (path.empty() || !::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
        return;
    }
    m_size = (static_cast<unsigned long long>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
    if (m_size < kShownFrom) {
        return;
    }
    m_name = utf8(path);
    m_console = isConsole(stderr);
    m_start = std::chrono::steady_clock::now();
    writeText(stderr, "gwhost: loading the site file " + m_name + " (" + megabytes(m_size) + ")" +
                          (m_console ? ": " + count() : "\n"));
    try {
        m_thread = std::thread([this] { show(); });
    } catch (const std::system_error&) {
        // Without the count the load goes on all the same; the first and the last line still show.
    }
}

SiteLoadView::~SiteLoadView() {
    finish(false);
}

std::string SiteLoadView::count() const {
    unsigned long long done = 0;
    unsigned long long total = 0;
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_start).count();
    if (!m_simulator.siteProgress(done, total) || total == 0) {
        return "opening, " + std::to_string(seconds) + " s";
    }
    return megabytes(done) + " of " + megabytes(total) + (done == total ? " read, checking" : " read") + ", " +
           std::to_string(seconds) + " s";
}

void SiteLoadView::show() {
    const auto period = m_console ? std::chrono::milliseconds(250) : std::chrono::milliseconds(5000);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, period, [this] { return m_finished; })) {
        // At a console the line is written anew, padded so that a shorter count leaves nothing behind.
        writeText(stderr, m_console ? "\rgwhost: loading the site file " + m_name + ": " + count() + "    "
                                    : "gwhost: " + count() + "\n");
    }
}

void SiteLoadView::finish(bool loaded) {
    if (m_name.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished) {
            return;
        }
        m_finished = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    char took[32];
    std::snprintf(took, sizeof took, "%.1f s", seconds);
    if (!loaded) {
        writeText(stderr, m_console ? "\n" : "");
    } else if (m_console) {
        writeText(stderr, "\rgwhost: loaded the site file " + m_name + " (" + megabytes(m_size) + ") in " + took +
                              "                    \n");
    } else {
        writeText(stderr, "gwhost: loaded the site file " + m_name + " in " + std::string(took) + "\n");
    }
}
