// A long run of events through the gateway with a log function registered: the process's private memory
// after the run is within a small bound of what it was after a warm-up, and nothing leaks. CI runs 20,000
// events; GATEWAY_SOAK_EVENTS=1000000 runs the full soak.
#define PSAPI_VERSION 2
#include <windows.h>

#include <psapi.h>

#include <atomic>
#include <climits>
#include <cstdlib>

#include "EventFixture.h"

namespace {

std::atomic<long> g_logLines{0};
std::atomic<long> g_events{0};

// Counts and reads the text, keeping nothing, so the run itself does not grow the process.
void SIPASSVORMEKGATEWAY_CALL countLine(LogLevel, const wchar_t* text) {
    if (text != nullptr && text[0] != L'\0') {
        ++g_logLines;
    }
}
void SIPASSVORMEKGATEWAY_CALL countState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                         int64_t, int64_t, const wchar_t*, const wchar_t*) {
    ++g_events;
}
void SIPASSVORMEKGATEWAY_CALL countAccess(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                          int64_t, int64_t, const wchar_t*, const wchar_t*, const wchar_t*,
                                          const wchar_t*, const wchar_t*) {
    ++g_events;
}
void SIPASSVORMEKGATEWAY_CALL countGeneric(int32_t, int32_t, int32_t, int64_t, int64_t, const wchar_t*,
                                           const wchar_t*) {
    ++g_events;
}

SIZE_T privateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof counters);
    // Wine leaves PrivateUsage at 0 and reports the same quantity as PagefileUsage, which Windows keeps
    // equal to it.
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

long soakEvents() {
    const char* value = std::getenv("GATEWAY_SOAK_EVENTS");
    const long events = value != nullptr ? std::atol(value) : 0;
    return events > 0 ? events : 20000;
}

}  // namespace

class Soak : public EventTest {
protected:
    void SetUp() override {
        EventTest::SetUp();
        library.RegisterLogCallback(&countLine);
        library.RegisterAlarmStateCallback(&countState);
        library.RegisterAlarmAccessCallback(&countAccess);
        library.RegisterGenericEventCallback(&countGeneric);
        g_logLines = 0;
        g_events = 0;
    }
    void TearDown() override {
        library.RegisterLogCallback(&LogCapture::callback);
        EventTest::TearDown();
    }

    // Delivers `count` events of the three kinds in arrays of up to 50.
    void deliver(long count) {
        const DATE stamp = oleDate(2024, 2, 29, 13, 45, 30);
        const sim::EventObject kinds[] = {accessEvent(stamp), objectStateEvent(stamp), genericEvent(stamp)};
        sim::EventBatch batch;
        for (long sent = 0; sent < count;) {
            batch.elements.clear();
            for (; sent < count && batch.elements.size() < 50; ++sent) {
                batch.elements.push_back({sim::EventElement::Kind::Object, kinds[sent % 3]});
            }
            ASSERT_TRUE(sim::deliverEvents(batch, 30000));
        }
    }
};

TEST_F(Soak, ALongRunOfLoggedEventsLeavesPrivateMemoryWhereItWas) {
    deliver(3000);  // warm-up: caches, heaps and the thread of the client reach their size
    const SIZE_T before = privateBytes();
    ASSERT_GT(before, 0u);
    const long events = soakEvents();
    deliver(events);
    const SIZE_T after = privateBytes();

    EXPECT_EQ(3000 + events, g_events.load());
    EXPECT_GE(g_logLines.load(), 2 * g_events.load()) << "every event logs its line and the firing line";
    const SIZE_T bound = 2 * 1024 * 1024;
    EXPECT_LE(after, before + bound) << "private bytes grew from " << before << " to " << after;
}
