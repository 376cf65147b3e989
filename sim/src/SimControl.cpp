// The parts of the control API that reach live clients: snapshots and event delivery.
#include "ComClient.h"

#include <condition_variable>
#include <thread>

namespace sim {

using detail::AdvisedSink;
using detail::ComClient;

std::vector<ClientSnapshot> clients() {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    std::vector<ClientSnapshot> snapshots;
    snapshots.reserve(st.clients.size());
    for (const ComClient* client : st.clients) {
        snapshots.push_back(client->snapshotLocked());
    }
    return snapshots;
}

int advisedSinkCount() {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    int count = 0;
    for (const ComClient* client : st.clients) {
        count += client->sinkCountLocked();
    }
    return count;
}

bool raiseClientStateChanged(long newState, unsigned timeoutMs) {
    // Shared with the event thread, which may outlive this call when a sink blocks.
    struct Completion {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;  // guarded by mutex
    };
    auto completion = std::make_shared<Completion>();

    std::vector<std::shared_ptr<const AdvisedSink>> sinks;
    {
        auto& st = detail::state();
        std::lock_guard<std::mutex> lock(st.mutex);
        for (ComClient* client : st.clients) {
            client->setConnectionStateLocked(newState);
            client->appendSinksLocked(sinks);
        }
    }

    // Counted before the thread starts, so the module cannot be unloaded under it.
    ++detail::g_runningThreads;
    std::thread worker;
    try {
        worker = std::thread([sinks = std::move(sinks), completion, newState]() mutable {
            const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (const auto& sink : sinks) {
                sink->events->OnClientStateChanged(newState);
            }
            sinks.clear();  // a sink unadvised meanwhile is released here, before leaving the apartment
            if (SUCCEEDED(init)) {
                CoUninitialize();
            }
            {
                std::lock_guard<std::mutex> lock(completion->mutex);
                completion->finished = true;
            }
            completion->done.notify_all();
            --detail::g_runningThreads;
        });
    } catch (...) {
        --detail::g_runningThreads;
        throw;
    }

    std::unique_lock<std::mutex> lock(completion->mutex);
    const bool finished = completion->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                    [&] { return completion->finished; });
    lock.unlock();
    if (finished) {
        worker.join();
    } else {
        worker.detach();
    }
    return finished;
}

}  // namespace sim
