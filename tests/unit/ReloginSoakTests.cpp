// The re-login soak: server outages, automatic re-logins, Close/Init pairs and a stream of events at once,
// with everything that could leak counted after a warm-up and again at the end: the gateway's sink
// forwarders, the simulator's live objects, the process's handles, threads and heap blocks. CI runs a few
// seconds; GATEWAY_SOAK_SECONDS=300 runs it for minutes.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <boost/thread/lock_guard.hpp>

#include "ComTest.h"
#include "gateway/EventSinkForwarder.h"
#include "gateway/ProcessGateway.h"
#include "gateway/Reconnect.h"
#include "gateway/SiPassGateWay.h"
#include "support/SimpleLogger.h"
#include "Threads.h"

namespace {

std::atomic<long> g_events{0};

void SIPASSVORMEKGATEWAY_CALL quietLog(LogLevel, const wchar_t*) {}
void SIPASSVORMEKGATEWAY_CALL countState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                         int64_t, int64_t, const wchar_t*, const wchar_t*) {
    ++g_events;
}
void SIPASSVORMEKGATEWAY_CALL countAccess(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                          int64_t, int64_t, const wchar_t*, const wchar_t*, const wchar_t*,
                                          const wchar_t*, const wchar_t*) {
    ++g_events;
}

std::chrono::milliseconds soakDuration() {
    const char* value = std::getenv("GATEWAY_SOAK_SECONDS");
    const long seconds = value != nullptr ? std::strtol(value, nullptr, 10) : 0;
    return std::chrono::milliseconds(seconds > 0 ? seconds * 1000 : 3000);
}

// Allocated blocks over every heap of the process (the C runtime's included).
long busyHeapBlocks() {
    HANDLE heaps[64];
    const DWORD count = ::GetProcessHeaps(64, heaps);
    long busy = 0;
    for (DWORD i = 0; i < count && i < 64; ++i) {
        if (!::HeapLock(heaps[i])) {
            continue;
        }
        PROCESS_HEAP_ENTRY entry{};
        while (::HeapWalk(heaps[i], &entry)) {
            busy += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0 ? 1 : 0;
        }
        ::HeapUnlock(heaps[i]);
    }
    return busy;
}

struct Census {
    long forwarders, simulatorObjects, heapBlocks;
    DWORD handles;
    int threads;
};

// Taken once nothing of the gateway's or the simulator's is running: their threads end a moment after
// their work, so the thread count is waited for (bounded).
Census census(int threadsAtMost) {
    for (int i = 0; i < 3000 && threadCount() > threadsAtMost; ++i) {
        ::Sleep(1);
    }
    Census taken{};
    taken.forwarders = EventSinkForwarder::live();
    taken.simulatorObjects = sim::liveObjects();
    ::GetProcessHandleCount(::GetCurrentProcess(), &taken.handles);
    taken.threads = threadCount();
    taken.heapBlocks = busyHeapBlocks();
    return taken;
}

bool logIn() {
    boost::lock_guard<OwnedMutex> lifecycle(processGateway::lifecycleMutex());
    reconnect::cancelPending();
    const processGateway::Pin gateway = processGateway::obtain();
    gateway->RegisterAlarmStateCallback(&countState);
    gateway->RegisterAlarmAccessCallback(&countAccess);
    gateway->setDropDuration(INT_MAX);
    return gateway->Init(L"operator", L"sipass");
}

class ReloginSoak : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        SimpleLogger::GetInstance()->setLogger(&quietLog);
        ASSERT_TRUE(reconnect::setPolicy(2, 10));
    }
    void releaseEverything() override {
        sim::stopEventGenerator();
        processGateway::closeCurrent();
        reconnect::setPolicy(0, 0);
        SimpleLogger::GetInstance()->setLogger(nullptr);
    }

    struct Counts {
        int logins = 0, outages = 0;
    };

    // Everything at once for `duration`: events from the generator, an outage every few milliseconds
    // (the re-login brings the connection back), and the host's Close/Init pairs; ends closed.
    static Counts run(std::chrono::milliseconds duration) {
        const auto deadline = std::chrono::steady_clock::now() + duration;
        auto running = [&] { return std::chrono::steady_clock::now() < deadline; };
        std::atomic<int> logins{0}, outages{0};
        logins += logIn() ? 1 : 0;
        sim::startEventGenerator(400, 4711);
        std::thread host([&] {
            while (running()) {
                ::Sleep(150);
                processGateway::closeCurrent();
                logins += logIn() ? 1 : 0;
            }
        });
        std::thread server([&] {
            while (running()) {
                sim::setServerOnline(false, 2000);
                ::Sleep(3);
                sim::setServerOnline(true, 2000);
                ++outages;
                ::Sleep(20);
            }
        });
        host.join();
        server.join();
        sim::stopEventGenerator();
        processGateway::closeCurrent();
        return Counts{logins.load(), outages.load()};
    }
};

}  // namespace

TEST_F(ReloginSoak, OutagesReLoginsAndCloseInitPairsLeaveNothingBehind) {
    // A first, shorter run creates what is created once (COM's, the C runtime's and the simulator's
    // caches, the supervisor's first start); the census after it is the one the end must match.
    const int threadsBefore = threadCount();
    run(std::chrono::milliseconds(1000));
    const Census before = census(threadsBefore);
    const Counts counts = run(soakDuration());
    const Census after = census(threadsBefore);

    EXPECT_GT(counts.logins, 5);
    EXPECT_GT(counts.outages, 20);
    EXPECT_GT(g_events.load(), 100);
    EXPECT_EQ(before.forwarders, after.forwarders) << "sink forwarders left";
    EXPECT_EQ(before.simulatorObjects, after.simulatorObjects) << "client objects left";
    EXPECT_EQ(before.threads, after.threads);
    EXPECT_LE(after.handles, before.handles + 4) << before.handles << " handles before";
    // A block each login or re-login left would add up to far more than this margin for the allocators'
    // own bookkeeping.
    EXPECT_LE(after.heapBlocks, before.heapBlocks + 16)
        << before.heapBlocks << " blocks before, " << counts.logins << " logins, " << counts.outages
        << " outages";
}
