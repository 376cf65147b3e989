// While the simulated client loads a big site file, standard error says which file and how far it is, so
// that nobody waits many seconds without a word. At a console one line counts the megabytes read, in
// place; to a pipe or a file a line says what loads, another every 5 s how far, and one when it is done.
// A file under 4 MB loads in about a second and is not mentioned.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "SimulatedClient.h"

class SiteLoadView {
public:
    // `path` as the user named it; nothing is shown when it is empty or the file is small.
    SiteLoadView(const SimulatedClient& simulator, const std::wstring& path);
    ~SiteLoadView();
    SiteLoadView(const SiteLoadView&) = delete;
    SiteLoadView& operator=(const SiteLoadView&) = delete;

    // The load has ended: the last line says so (or, when it failed, only ends the line of the count: the
    // simulator has said what is wrong).
    void finish(bool loaded);

private:
    void show();
    std::string count() const;

    const SimulatedClient& m_simulator;
    std::string m_name;
    unsigned long long m_size = 0;
    bool m_console = false;
    std::chrono::steady_clock::time_point m_start;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_finished = false;
    std::thread m_thread;
};
