// The health counters: each moved by the event that should move it and by no other, read while events
// are being delivered, and refused for a record too small or null.
#include <array>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>
#include <thread>

#include "EventFixture.h"
#include "HostFaults.h"

namespace {

// The counters as an array, without size, version and the three that are not counts.
constexpr size_t kCounters = 14;
using Counts = std::array<uint64_t, kCounters>;

Counts countsOf(const GatewayStatistics& s) {
    return {s.accessEventsReceived,       s.objectStateEventsReceived,
            s.genericEventsReceived,      s.accessEventsDelivered,
            s.objectStateEventsDelivered, s.genericEventsDelivered,
            s.eventsDroppedTooOld,        s.eventsWithoutCallback,
            s.eventsAbandonedAtGetter,    s.malformedArrays,
            s.hostCallbacksRaised,        s.logCallsRaised,
            s.connectionLosses,           s.reloginAttempts};
}

enum Counter {
    AccessReceived,
    StateReceived,
    GenericReceived,
    AccessDelivered,
    StateDelivered,
    GenericDelivered,
    DroppedTooOld,
    WithoutCallback,
    AbandonedAtGetter,
    MalformedArrays,
    CallbacksRaised,
    LogCallsRaised,
    ConnectionLosses,
    ReloginAttempts,
};

void SIPASSVORMEKGATEWAY_CALL raisingState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                           int64_t, int64_t, const wchar_t*, const wchar_t*) {
    raiseHostFault(HostFault::AccessViolation);
}

void SIPASSVORMEKGATEWAY_CALL slowGeneric(int32_t, int32_t, int32_t, int64_t, int64_t, const wchar_t*,
                                          const wchar_t*) {
    ::Sleep(60);
}

void SIPASSVORMEKGATEWAY_CALL raisingLog(LogLevel, const wchar_t*) {
    raiseHostFault(HostFault::MsvcThrow);
}

class Statistics : public EventTest {
protected:
    GatewayStatistics read() {
        GatewayStatistics statistics{};
        statistics.size = sizeof statistics;
        EXPECT_TRUE(library.GetStatistics(&statistics));
        EXPECT_EQ(sizeof statistics, statistics.size);
        EXPECT_EQ(2u, statistics.version);
        return statistics;
    }

    // Runs `action` and checks that exactly the named counters moved, each by its amount.
    template <class Action>
    void expectMoves(const char* what, Action&& action,
                     std::initializer_list<std::pair<Counter, uint64_t>> moves) {
        const Counts before = countsOf(read());
        action();
        const Counts after = countsOf(read());
        Counts expected = before;
        for (const auto& move : moves) {
            expected[move.first] += move.second;
        }
        EXPECT_EQ(expected, after) << what;
    }

    DATE stamp() const { return oleDate(2024, 2, 29, 13, 45, 30); }
};

}  // namespace

TEST_F(Statistics, EachCounterMovesForItsCaseAndNoOther) {
    expectMoves("a good event of each kind",
                [&] {
                    ASSERT_TRUE(sim::deliverEvent(accessEvent(stamp())));
                    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(stamp())));
                    ASSERT_TRUE(sim::deliverEvent(genericEvent(stamp())));
                },
                {{AccessReceived, 1},
                 {StateReceived, 1},
                 {GenericReceived, 1},
                 {AccessDelivered, 1},
                 {StateDelivered, 1},
                 {GenericDelivered, 1}});

    library.setDropDuration(180);
    expectMoves("an old event", [&] { ASSERT_TRUE(sim::deliverEvent(objectStateEvent(stamp()))); },
                {{StateReceived, 1}, {DroppedTooOld, 1}});
    library.setDropDuration(INT_MAX);

    library.RegisterGenericEventCallback(nullptr);
    expectMoves("an event without its callback",
                [&] { ASSERT_TRUE(sim::deliverEvent(genericEvent(stamp()))); },
                {{GenericReceived, 1}, {WithoutCallback, 1}});

    expectMoves("a failing getter",
                [&] {
                    sim::EventObject event = accessEvent(stamp());
                    event.failingGetters["get_State"] = E_FAIL;
                    ASSERT_TRUE(sim::deliverEvent(event));
                },
                {{AccessReceived, 1}, {AbandonedAtGetter, 1}});

    expectMoves("a malformed array",
                [&] {
                    sim::EventBatch batch;
                    batch.elements.push_back(sim::EventElement{sim::EventElement::Kind::Bstr, {}});
                    ASSERT_TRUE(sim::deliverEvents(batch));
                },
                {{MalformedArrays, 1}});

    library.RegisterAlarmStateCallback(&raisingState);
    expectMoves("a raising callback", [&] { ASSERT_TRUE(sim::deliverEvent(objectStateEvent(stamp()))); },
                {{StateReceived, 1}, {StateDelivered, 1}, {CallbacksRaised, 1}});
    library.RegisterAlarmStateCallback(&recordState);

    expectMoves("a raising log function",
                [&] {
                    library.RegisterLogCallback(&raisingLog);
                    library.Ping(1);
                    library.RegisterLogCallback(&LogCapture::callback);
                },
                {{LogCallsRaised, 1}});

    const GatewayStatistics loggedIn = read();
    EXPECT_EQ(1u, loggedIn.loggedIn);
    EXPECT_GT(loggedIn.lastLoginMs, 0u);
    EXPECT_GE(loggedIn.lastEventReceivedMs, loggedIn.lastLoginMs);
    expectMoves("a lost connection", [&] { ASSERT_TRUE(sim::raiseClientStateChanged(0)); },
                {{ConnectionLosses, 1}});
    EXPECT_EQ(0u, read().loggedIn);

    // The longest callback: one that sleeps 60 ms is at least 50 ms long, whatever else ran.
    library.RegisterGenericEventCallback(&slowGeneric);
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(sim::deliverEvent(genericEvent(stamp())));
    EXPECT_GE(read().longestHostCallbackUs, 50000u);

    // They survive Close.
    const Counts beforeClose = countsOf(read());
    ASSERT_TRUE(library.Close());
    EXPECT_EQ(beforeClose, countsOf(read()));
}

TEST_F(Statistics, AreReadWhileEventsAreDeliveredWithoutBlockingThem) {
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        uint64_t last = 0;
        while (!done) {
            GatewayStatistics statistics{};
            statistics.size = sizeof statistics;
            ASSERT_TRUE(library.GetStatistics(&statistics));
            EXPECT_GE(statistics.objectStateEventsReceived, last) << "a counter went back";
            last = statistics.objectStateEventsReceived;
            ++reads;
        }
    });
    const uint64_t before = read().objectStateEventsReceived;
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(sim::deliverEvent(objectStateEvent(stamp())));
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(before + 50, read().objectStateEventsReceived);
}

TEST_F(Statistics, ANullRecordOrOneSmallerThanTheFirstVersionIsRefused) {
    EXPECT_FALSE(library.GetStatistics(nullptr));
    GatewayStatistics small{};
    small.size = offsetof(GatewayStatistics, longestHostCallbackUs);
    EXPECT_FALSE(library.GetStatistics(&small));
    EXPECT_EQ(0u, small.version) << "a refused record is left as it was";
    EXPECT_TRUE(
        log.contains(L"gateway_GetStatistics: the record is null or its size (152) is below 160; set size "
                     L"to sizeof(GatewayStatistics) first."));
    // A newer host's larger record: the first version's fields are filled, the rest stays.
    struct Larger {
        GatewayStatistics known;
        uint64_t future;
    } larger{};
    larger.known.size = sizeof larger;
    larger.future = 77;
    EXPECT_TRUE(library.GetStatistics(&larger.known));
    EXPECT_EQ(sizeof(GatewayStatistics), larger.known.size);
    EXPECT_EQ(2u, larger.known.version);
    EXPECT_EQ(77u, larger.future);
    // A host built with the first version's record gets that version, and nothing beyond it is written.
    GatewayStatistics first;
    std::memset(&first, 0xAB, sizeof first);
    first.size = GATEWAY_STATISTICS_V1_SIZE;
    EXPECT_TRUE(library.GetStatistics(&first));
    EXPECT_EQ(160u, first.size);
    EXPECT_EQ(1u, first.version);
    EXPECT_EQ(0xABABABABABABABABull, first.eventsQueued);
    EXPECT_EQ(0xABABABABABABABABull, first.connectionCheckFailures);
    EXPECT_NE(0xABABABABABABABABull, first.longestHostCallbackUs);
}

// Regression: each read counted back from its own reading of the clock, in whole seconds, so the time of
// one and the same event or login stepped back by a second in every second of reads.
TEST_F(Statistics, TheTimesOfAnEventAndALoginStayTheSameFromReadToRead) {
    ASSERT_TRUE(sim::deliverEvent(genericEvent(stamp())));
    for (uint32_t options : {0u, GATEWAY_OPTION_UTC_TIMES}) {
        ASSERT_TRUE(library.setOptions(options));
        const GatewayStatistics first = read();
        ASSERT_NE(0u, first.lastEventReceivedMs);
        ASSERT_NE(0u, first.lastLoginMs);
        // Read until the system clock has passed two second boundaries, so that every part of a second
        // is seen; bounded in case the clock stands still.
        SYSTEMTIME now{};
        ::GetSystemTime(&now);
        WORD second = now.wSecond;
        int boundaries = 0;
        int reads = 0;
        const ULONGLONG giveUp = ::GetTickCount64() + 10000;
        while (boundaries < 2 && ::GetTickCount64() < giveUp) {
            const GatewayStatistics again = read();
            ++reads;
            ASSERT_EQ(first.lastEventReceivedMs, again.lastEventReceivedMs) << "read " << reads;
            ASSERT_EQ(first.lastLoginMs, again.lastLoginMs) << "read " << reads;
            ::GetSystemTime(&now);
            if (now.wSecond != second) {
                second = now.wSecond;
                ++boundaries;
            }
            ::Sleep(1);
        }
        EXPECT_EQ(2, boundaries) << "the reads did not span a whole second";
    }
    ASSERT_TRUE(library.setOptions(0));
}

// The statistics' times are in the base of the event times: the local wall-clock time by the computer's
// time-zone rules (which the simulator stamps its events with), or UTC, never the C runtime's idea of the
// zone from TZ. Runs once more under TZ=Europe/Berlin (its own CTest entry), where Wine's zone rules give
// Central European time and the C runtime reads TZ differently.
TEST_F(Statistics, TimesAreInTheBaseOfTheEventTimesInEitherOption) {
    constexpr int64_t kMargin = 5000;  // an event's stamp and its arrival, whole seconds each
    for (uint32_t options : {0u, GATEWAY_OPTION_UTC_TIMES}) {
        ASSERT_TRUE(library.setOptions(options));
        ASSERT_TRUE(library.Init(L"operator", L"sipass"));
        g_received.clear();
        sim::EventObject event = genericEvent(sim::localNow());
        event.serverTime = event.timestamp;
        ASSERT_TRUE(sim::deliverEvent(event));
        const GatewayStatistics statistics = read();
        std::lock_guard<std::mutex> lock(g_received.mutex);
        ASSERT_EQ(1u, g_received.generics.size());
        const int64_t stamped = g_received.generics[0].timestampMs;
        const int64_t received = static_cast<int64_t>(statistics.lastEventReceivedMs);
        const int64_t login = static_cast<int64_t>(statistics.lastLoginMs);
        EXPECT_NEAR(static_cast<double>(stamped), static_cast<double>(received), kMargin) << options;
        EXPECT_LE(login, received) << options;
        EXPECT_NEAR(static_cast<double>(received), static_cast<double>(login), kMargin) << options;
        EXPECT_EQ(0, received % 1000) << options;
        EXPECT_EQ(0, login % 1000) << options;
    }
    ASSERT_TRUE(library.setOptions(0));
}
