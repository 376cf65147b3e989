// Decoupled delivery: the client's thread translates and queues, the gateway's delivery thread calls the
// host. A slow host must not hold the client, nothing may be lost while the gateway is open, and Close
// must leave no callback running.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionReports.h"
#include "Threads.h"

namespace {

// Every callback the host received, in one order, and a gate the event callbacks wait at.
struct Host {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;
    std::vector<DWORD> threads;
    bool gateOpen = true;
    int atGate = 0;
    std::function<void(int32_t eventId)> onEvent;  // runs inside the state callback, before it records

    void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
        threads.clear();
        gateOpen = true;
        atGate = 0;
        onEvent = nullptr;
    }
    void record(std::string call) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(std::move(call));
        threads.push_back(::GetCurrentThreadId());
        changed.notify_all();
    }
    void close() {
        std::lock_guard<std::mutex> lock(mutex);
        gateOpen = false;
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex);
        gateOpen = true;
        changed.notify_all();
    }
    // Waits until `count` callbacks wait at the closed gate.
    bool waitAtGate(int count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return atGate >= count; });
    }
    bool waitForCalls(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return calls.size() >= count; });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
};
Host g_host;

void SIPASSVORMEKGATEWAY_CALL onState(int32_t eventId, int32_t objectId, int32_t, int32_t, int32_t,
                                      int32_t state, int32_t, int64_t, int64_t, const wchar_t* location,
                                      const wchar_t*) {
    {
        std::unique_lock<std::mutex> lock(g_host.mutex);
        ++g_host.atGate;
        g_host.changed.notify_all();
        g_host.changed.wait_for(lock, std::chrono::seconds(10), [] { return g_host.gateOpen; });
        --g_host.atGate;
    }
    if (g_host.onEvent) {
        g_host.onEvent(eventId);
    }
    g_host.record("state " + std::to_string(eventId) + " " + std::to_string(objectId) + " " +
                  std::to_string(state) + (std::wstring(location) == L"Halle 1 T\u00FCr S\u00FCd" ? "" : " ?"));
}

void SIPASSVORMEKGATEWAY_CALL onAccess(int32_t eventId, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                       int64_t, int64_t, const wchar_t* firstName, const wchar_t*,
                                       const wchar_t* cardNumber, const wchar_t*, const wchar_t*) {
    g_host.record("access " + std::to_string(eventId) + " " + std::to_string(std::wstring(firstName).size()) +
                  (std::wstring(cardNumber) == L"000123456" ? " card" : " ?"));
}

void SIPASSVORMEKGATEWAY_CALL onDisconnect() {
    g_host.record("disconnect");
}

void SIPASSVORMEKGATEWAY_CALL onConnection(int32_t state, int32_t attempt, int32_t hresult) {
    g_host.record("report " + std::to_string(state) + "," + std::to_string(attempt) + "," +
                  std::to_string(hresult));
}

sim::EventObject stateEvent(int32_t eventId) {
    sim::EventObject event = objectStateEvent(sim::localNow());
    event.eventId = eventId;
    return event;
}

sim::EventBatch batchOf(int32_t firstId, int count) {
    sim::EventBatch batch;
    for (int i = 0; i < count; ++i) {
        sim::EventElement element;
        element.event = stateEvent(firstId + i);
        batch.elements.push_back(element);
    }
    return batch;
}

std::vector<std::string> statesFrom(int32_t firstId, int count) {
    std::vector<std::string> expected;
    for (int i = 0; i < count; ++i) {
        expected.push_back("state " + std::to_string(firstId + i) + " 1203 3006");
    }
    return expected;
}

class DeliveryQueue : public BoundaryTest {
protected:
    void SetUp() override {
        BoundaryTest::SetUp();
        g_host.reset();
        library.RegisterAlarmStateCallback(&onState);
        library.RegisterAlarmAccessCallback(&onAccess);
        library.RegisterDisconnectCallback(&onDisconnect);
        library.RegisterConnectionStateCallback(&onConnection);
    }
    void releaseEverything() override {
        g_host.open();
        BoundaryTest::releaseEverything();
        library.setDeliveryQueue(0);
        library.setReconnectPolicy(0, 0);
    }

    GatewayStatistics statistics() {
        GatewayStatistics s{};
        s.size = sizeof s;
        EXPECT_TRUE(library.GetStatistics(&s));
        return s;
    }
};

}  // namespace

// The setting: checked, read at the next Init, kept across Close, and turned off again by an Init that
// first delivers what the queue still holds.
TEST_F(DeliveryQueue, TheCapacityIsCheckedAndTakesEffectAtTheNextInit) {
    for (int32_t wrong : {-1, 1000001, INT32_MIN}) {
        EXPECT_FALSE(library.setDeliveryQueue(wrong));
        wchar_t text[200];
        EXPECT_EQ(GATEWAY_E_INVALID_ARGUMENT, library.GetLastError(text, 200));
        EXPECT_EQ(L"gateway_setDeliveryQueue: the capacity " + std::to_wstring(wrong) +
                      L" is outside 0 to 1000000; the setting stays as it was.",
                  std::wstring(text));
    }
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(sim::deliverEvent(stateEvent(1)));
    // Set while logged in: nothing changes until the next Init.
    ASSERT_TRUE(library.setDeliveryQueue(1000000));
    EXPECT_TRUE(log.contains(L"gateway_setDeliveryQueue: events are delivered through a queue of 1000000 from "
                             L"the next gateway_Init."));
    g_host.close();
    std::thread direct([] { sim::deliverEvent(stateEvent(2), 20000); });
    ASSERT_TRUE(g_host.waitAtGate(1));
    EXPECT_EQ(1, sim::deliveriesInProgress()) << "without the queue the client waits for the callback";
    g_host.open();
    direct.join();

    ASSERT_TRUE(library.Close());
    library.RegisterAlarmStateCallback(&onState);
    library.RegisterConnectionStateCallback(&onConnection);
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    g_host.close();
    ASSERT_TRUE(sim::deliverEvent(stateEvent(3), 5000)) << "the client is not held by the callback";
    ASSERT_TRUE(sim::deliverEvent(stateEvent(4), 5000));
    ASSERT_TRUE(g_host.waitAtGate(1));
    // Turned off while two events wait: the next Init delivers them first, then delivers directly.
    ASSERT_TRUE(library.setDeliveryQueue(0));
    std::thread reinit([this] { EXPECT_TRUE(library.Init(L"operator", L"sipass")); });
    g_host.open();
    reinit.join();
    ASSERT_TRUE(sim::deliverEvent(stateEvent(5)));
    const std::vector<std::string> calls = g_host.snapshot();
    const std::vector<std::string> expected = {"report 1,0,0", "state 1 1203 3006", "state 2 1203 3006",
                                               "report 1,0,0", "state 3 1203 3006", "state 4 1203 3006",
                                               "report 1,0,0", "state 5 1203 3006"};
    ASSERT_EQ(expected, calls);
    const std::vector<DWORD> threads = g_host.threads;
    EXPECT_EQ(::GetCurrentThreadId(), threads[0]) << "without the queue Init reports on its own thread";
    EXPECT_NE(::GetCurrentThreadId(), threads[3]) << "with it, the delivery thread reports";
    EXPECT_EQ(threads[3], threads[4]);
    EXPECT_EQ(threads[3], threads[5]);
    EXPECT_NE(threads[3], threads[7]) << "turned off again, events come on the client's thread";
    EXPECT_EQ(0u, statistics().eventsQueued);
}

// A slow host with a small queue: the client's thread is held back while the queue is full, not longer,
// and every event arrives once, in order, with its texts.
TEST_F(DeliveryQueue, ABurstLargerThanTheCapacityIsHeldBackNotLost) {
    ASSERT_TRUE(library.setDeliveryQueue(3));
    library.setDropDuration(INT_MAX);
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(g_host.waitForCalls(1));
    const GatewayStatistics before = statistics();
    g_host.close();
    sim::EventBatch burst = batchOf(100, 10);
    sim::EventElement access;
    access.event = accessEvent(sim::localNow());
    access.event.eventId = 110;
    burst.elements.push_back(access);
    std::atomic<bool> delivered{false};
    std::thread client([&] { delivered = sim::deliverEvents(burst, 30000); });
    ASSERT_TRUE(g_host.waitAtGate(1));
    // One event at the gate, three in the queue: the client's thread waits for room.
    for (int i = 0; i < 500 && statistics().eventsQueued < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(3u, statistics().eventsQueued);
    EXPECT_FALSE(delivered.load());
    EXPECT_EQ(1, sim::deliveriesInProgress());
    g_host.open();
    client.join();
    EXPECT_TRUE(delivered.load());
    ASSERT_TRUE(g_host.waitForCalls(12));
    std::vector<std::string> expected = {"report 1,0,0"};
    for (const std::string& state : statesFrom(100, 10)) {
        expected.push_back(state);
    }
    expected.push_back("access 110 6 card");
    EXPECT_EQ(expected, g_host.snapshot());

    const GatewayStatistics after = statistics();
    EXPECT_EQ(0u, after.eventsQueued);
    EXPECT_GE(after.queueHighWater, 3u);
    EXPECT_GT(after.queueFullWaits, before.queueFullWaits);
    EXPECT_GT(after.queueFullWaitUs, before.queueFullWaitUs);
    EXPECT_GT(after.longestQueueWaitUs, 0u);
    EXPECT_EQ(before.objectStateEventsDelivered + 10, after.objectStateEventsDelivered);
    EXPECT_EQ(before.accessEventsDelivered + 1, after.accessEventsDelivered);
}

// Close with events queued: the callback in progress ends, the rest is discarded, counted and named, and
// no callback runs afterwards; the client's thread waiting for room is let go.
TEST_F(DeliveryQueue, CloseStopsAfterTheCallbackInProgressAndDiscardsTheRest) {
    ASSERT_TRUE(library.setDeliveryQueue(2));
    library.setDropDuration(INT_MAX);
    const int threadsBefore = threadCount();
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(g_host.waitForCalls(1));
    const uint64_t discardedBefore = statistics().eventsDiscardedAtClose;
    g_host.close();
    std::atomic<bool> delivered{false};
    std::thread client([&] { delivered = sim::deliverEvents(batchOf(200, 5), 30000); });
    ASSERT_TRUE(g_host.waitAtGate(1));
    for (int i = 0; i < 500 && statistics().eventsQueued < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::atomic<bool> closed{false};
    std::thread closing([&] { closed = library.Close(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(closed.load()) << "Close waits for the callback in progress";
    g_host.open();
    closing.join();
    client.join();
    EXPECT_TRUE(closed.load());
    EXPECT_TRUE(delivered.load()) << "the client's waiting delivery returned";
    const std::vector<std::string> calls = g_host.snapshot();
    EXPECT_EQ((std::vector<std::string>{"report 1,0,0", "state 200 1203 3006"}), calls);
    EXPECT_EQ(discardedBefore + 4, statistics().eventsDiscardedAtClose);
    EXPECT_TRUE(log.contains(L"gateway_Close discarded 2 queued events: object state 201, object state 202."))
        << "the two in the queue when Close began are named; the two the client still held are counted";
    EXPECT_EQ(0u, statistics().eventsQueued);
    EXPECT_TRUE(waitForThreadsAtMost(threadsBefore)) << "the delivery thread has ended";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(calls, g_host.snapshot());
}

// Inside a callback on the delivery thread the same exports are refused as on the client's thread, and a
// point read against a client that serialises its requests with its deliveries answers, although the
// client's delivery is waiting for room in the full queue at that moment.
TEST_F(DeliveryQueue, CallbacksAreRefusedWhatTheyAreRefusedAndDoorReadsNeverWaitForTheClient) {
    ASSERT_TRUE(library.setDeliveryQueue(1));
    library.setDropDuration(INT_MAX);
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(g_host.waitForCalls(1));
    sim::setSerialisedRequests(true);
    std::atomic<int> refused{0};
    std::atomic<int> pointReads{0};
    {
        std::lock_guard<std::mutex> lock(g_host.mutex);
        g_host.onEvent = [&](int32_t eventId) {
            if (eventId == 300) {
                refused += library.Close() ? 0 : 1;
                refused += library.Init(L"operator", L"sipass") ? 0 : 1;
                refused += library.RegisterEvent(7, 2025, 4000) ? 0 : 1;
                library.RegisterAlarmStateCallback(nullptr);
            }
            PointState state{};
            if (library.getPointState(2025, &state)) {
                ++pointReads;
                library.cleanupPointDefinition(PointDefinition{0, nullptr, state});
            }
        };
    }
    ASSERT_TRUE(sim::deliverEvents(batchOf(300, 6), 20000)) << "a point read waited for the client";
    ASSERT_TRUE(g_host.waitForCalls(7));
    EXPECT_EQ(3, refused.load());
    EXPECT_EQ(6, pointReads.load());
    for (const wchar_t* operation : {L"RegisterAlarmStateCallback", L"gateway_Close", L"Init"}) {
        EXPECT_TRUE(log.contains(std::wstring(operation) +
                                 L" refused: called from inside a gateway callback, which runs while the gateway "
                                 L"delivers an event. Call it from another thread."))
            << operation;
    }
    const std::vector<std::string> calls = g_host.snapshot();
    EXPECT_EQ(statesFrom(300, 6), std::vector<std::string>(calls.begin() + 1, calls.end()));
}

// The disconnect callback and the connection-state reports travel in the same queue as the events, so
// the host hears of a loss after the events that came before it and of the re-login before those after.
TEST_F(DeliveryQueue, ReportsAndTheDisconnectCallbackKeepTheirPlaceAmongTheEvents) {
    ASSERT_TRUE(library.setDeliveryQueue(100));
    ASSERT_TRUE(library.setReconnectPolicy(20, 200));
    library.setDropDuration(INT_MAX);
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    g_host.close();
    ASSERT_TRUE(sim::deliverEvents(batchOf(400, 3)));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    g_host.open();
    ASSERT_TRUE(g_host.waitForCalls(8));
    ASSERT_TRUE(sim::deliverEvent(stateEvent(403)));
    ASSERT_TRUE(g_host.waitForCalls(9));
    const std::vector<std::string> expected = {
        "report 1,0,0",      "state 400 1203 3006", "state 401 1203 3006", "state 402 1203 3006",
        "disconnect",        "report 0,0,0",        "report 2,1,0",        "report 1,1,0",
        "state 403 1203 3006"};
    EXPECT_EQ(expected, g_host.snapshot());
    for (size_t i = 1; i < g_host.threads.size(); ++i) {
        EXPECT_EQ(g_host.threads[0], g_host.threads[i]) << "call " << i << " on another thread";
    }
}

namespace {

// Callbacks of the torture test: count, and count any call that comes while the host holds no gateway.
std::atomic<bool> g_closed{true};
std::atomic<long> g_afterClose{0};
std::atomic<long> g_tortureCalls{0};

void SIPASSVORMEKGATEWAY_CALL tortureState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                           int64_t, int64_t, const wchar_t*, const wchar_t*) {
    g_afterClose += g_closed.load() ? 1 : 0;
    ++g_tortureCalls;
}
void SIPASSVORMEKGATEWAY_CALL tortureAccess(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                            int64_t, int64_t, const wchar_t*, const wchar_t*, const wchar_t*,
                                            const wchar_t*, const wchar_t*) {
    g_afterClose += g_closed.load() ? 1 : 0;
    ++g_tortureCalls;
}
void SIPASSVORMEKGATEWAY_CALL tortureReport(int32_t, int32_t, int32_t) {
    g_afterClose += g_closed.load() ? 1 : 0;
}

}  // namespace

// Close and Init in a loop, the capacity changing between them (off now and then), while the event
// generator runs, the server goes away and comes back and the re-login policy answers: nothing deadlocks,
// no callback runs while the host holds no gateway, and every event the client delivered is accounted for
// exactly once (delivered, without a callback, or discarded at Close).
TEST_F(DeliveryQueue, CloseAndInitLoopsWithOutagesAndEventsAccountForEveryEvent) {
    ASSERT_TRUE(library.setReconnectPolicy(5, 20));
    library.RegisterAlarmStateCallback(nullptr);
    library.RegisterAlarmAccessCallback(nullptr);
    library.RegisterDisconnectCallback(nullptr);
    library.RegisterConnectionStateCallback(nullptr);
    const GatewayStatistics before = statistics();
    g_afterClose = 0;
    g_tortureCalls = 0;
    sim::startEventGenerator(3000, 7);
    std::atomic<bool> done{false};
    std::thread outages([&] {
        for (int i = 0; !done; ++i) {
            sim::setServerOnline(i % 2 == 1, 2000);
            std::this_thread::sleep_for(std::chrono::milliseconds(i % 2 == 1 ? 25 : 5));
        }
        sim::setServerOnline(true, 2000);
    });
    for (int round = 0; round < 40; ++round) {
        ASSERT_TRUE(library.setDeliveryQueue(round % 5 == 4 ? 0 : 1 + (round % 4) * 20));
        library.RegisterAlarmStateCallback(&tortureState);
        library.RegisterAlarmAccessCallback(&tortureAccess);
        library.RegisterConnectionStateCallback(&tortureReport);
        g_closed = false;
        library.Init(L"operator", L"sipass");
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 3 * 10));
        ASSERT_TRUE(library.Close());
        g_closed = true;
    }
    done = true;
    outages.join();
    sim::stopEventGenerator();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, g_afterClose.load());
    const GatewayStatistics after = statistics();
    EXPECT_EQ(0u, after.eventsQueued);
    auto delta = [&](uint64_t GatewayStatistics::*field) { return after.*field - before.*field; };
    const uint64_t received = delta(&GatewayStatistics::accessEventsReceived) +
                              delta(&GatewayStatistics::objectStateEventsReceived) +
                              delta(&GatewayStatistics::genericEventsReceived);
    const uint64_t delivered = delta(&GatewayStatistics::accessEventsDelivered) +
                               delta(&GatewayStatistics::objectStateEventsDelivered) +
                               delta(&GatewayStatistics::genericEventsDelivered);
    EXPECT_GT(received, 0u);
    EXPECT_GT(delivered, 0u);
    EXPECT_EQ(static_cast<uint64_t>(g_tortureCalls.load()),
              delta(&GatewayStatistics::accessEventsDelivered) +
                  delta(&GatewayStatistics::objectStateEventsDelivered));
    EXPECT_EQ(received, delivered + delta(&GatewayStatistics::eventsWithoutCallback) +
                            delta(&GatewayStatistics::eventsDroppedTooOld) +
                            delta(&GatewayStatistics::eventsAbandonedAtGetter) +
                            delta(&GatewayStatistics::eventsDiscardedAtClose));
}

// A callback that reads a point and then takes its time: the client's deliveries pass the full queue
// only while the read runs, after it the capacity holds again (it used to stay lifted until the callback
// returned, so a slow callback let the queue grow without bound).
TEST_F(DeliveryQueue, ACallbackThatReadAPointLeftTheQueueUnboundedUntilItReturned) {
    ASSERT_TRUE(library.setDeliveryQueue(1));
    library.setDropDuration(INT_MAX);
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(g_host.waitForCalls(1));
    std::mutex mutex;
    std::condition_variable changed;
    bool read = false;
    bool release = false;
    {
        std::lock_guard<std::mutex> lock(g_host.mutex);
        g_host.onEvent = [&](int32_t eventId) {
            if (eventId != 500) {
                return;
            }
            PointState state{};
            if (library.getPointState(2025, &state)) {
                library.cleanupPointDefinition(PointDefinition{0, nullptr, state});
            }
            std::unique_lock<std::mutex> lock(mutex);
            read = true;
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
        };
    }
    ASSERT_TRUE(sim::deliverEvent(stateEvent(500)));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return read; }));
    }
    EXPECT_FALSE(sim::deliverEvents(batchOf(501, 20), 500)) << "the client passed the full queue";
    EXPECT_EQ(1u, statistics().eventsQueued);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
        changed.notify_all();
    }
    ASSERT_TRUE(g_host.waitForCalls(22));
    std::vector<std::string> expected = statesFrom(500, 21);
    const std::vector<std::string> calls = g_host.snapshot();
    EXPECT_EQ(expected, std::vector<std::string>(calls.begin() + 1, calls.end()));
}
