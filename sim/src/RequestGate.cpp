// Serialised requests: a client that shares one connection to its server between requests and events
// answers no request while it is handing an event to a sink. The gate counts the sink calls in progress
// over all threads, and on each thread the ones that thread is making, so that a sink calling back into
// its client on the delivering thread goes on instead of waiting for itself.
#include "SimRuntime.h"

#include <stdexcept>

namespace sim::detail {
namespace {

struct RequestGate {
    std::mutex mutex;
    std::condition_variable idle;  // notified when a sink call ends and when the mode changes
    bool serialised = false;       // guarded by mutex
    int sinkCalls = 0;             // guarded by mutex: sink calls in progress over all threads
    // Per thread, the sink calls in progress on that thread (nested ones included). A Windows TLS slot
    // rather than thread_local, which takes a heap block per thread on this toolchain.
    const DWORD depthSlot = ::TlsAlloc();
};

// Never destroyed: a simulator thread may still be ending when static objects go at process exit.
RequestGate& gate() {
    static auto* const instance = new RequestGate;
    return *instance;
}

// Sink calls in progress on the calling thread. TLS_OUT_OF_INDEXES reads as 0.
uintptr_t depthOnThisThread(const RequestGate& g) {
    return g.depthSlot == TLS_OUT_OF_INDEXES ? 0 : reinterpret_cast<uintptr_t>(::TlsGetValue(g.depthSlot));
}

void setDepthOnThisThread(const RequestGate& g, uintptr_t depth) {
    if (g.depthSlot != TLS_OUT_OF_INDEXES) {
        ::TlsSetValue(g.depthSlot, reinterpret_cast<void*>(depth));
    }
}

}  // namespace

SinkCall::SinkCall() {
    RequestGate& g = gate();
    setDepthOnThisThread(g, depthOnThisThread(g) + 1);
    std::lock_guard<std::mutex> lock(g.mutex);
    ++g.sinkCalls;
}

SinkCall::~SinkCall() {
    RequestGate& g = gate();
    setDepthOnThisThread(g, depthOnThisThread(g) - 1);
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        --g.sinkCalls;
    }
    g.idle.notify_all();
}

void awaitRequestTurn() {
    RequestGate& g = gate();
    if (depthOnThisThread(g) > 0) {
        return;  // a sink calling back in: waiting for its own delivery would never end
    }
    std::unique_lock<std::mutex> lock(g.mutex);
    g.idle.wait(lock, [&] { return !g.serialised || g.sinkCalls == 0; });
}

}  // namespace sim::detail

namespace sim {

void setSerialisedRequests(bool on) {
    detail::RequestGate& g = detail::gate();
    if (on && g.depthSlot == TLS_OUT_OF_INDEXES) {
        // Without the slot a sink calling back in could not be told apart, and would wait for itself.
        throw std::runtime_error("serialised requests need a thread-local slot, and none was left");
    }
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.serialised = on;
    }
    g.idle.notify_all();
}

int deliveriesInProgress() {
    detail::RequestGate& g = detail::gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    return g.sinkCalls;
}

}  // namespace sim
