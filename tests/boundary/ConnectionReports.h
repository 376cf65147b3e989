// Automatic re-login tests: every connection-state report the host receives, in order, and a fixture
// with a logged-in gateway whose callbacks record them.
#pragma once

#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <vector>

#include "EventFixture.h"
#include "Threads.h"

struct Report {
    int32_t state, attempt, hresult;
    std::chrono::steady_clock::time_point at;
    bool operator==(const Report& other) const {
        return state == other.state && attempt == other.attempt && hresult == other.hresult;
    }
};

void PrintTo(const Report& report, std::ostream* os);

struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Report> all;
    int disconnects = 0;

    void clear();
    bool waitFor(size_t count, unsigned timeoutMs = 20000);
    std::vector<Report> snapshot();
};
extern Reports g_reports;

void SIPASSVORMEKGATEWAY_CALL recordConnection(int32_t state, int32_t attempt, int32_t hresult);
void SIPASSVORMEKGATEWAY_CALL countDisconnect();

inline Report r(int32_t state, int32_t attempt = 0, int32_t hresult = 0) {
    return Report{state, attempt, hresult, {}};
}


class Reconnect : public BoundaryTest {
protected:
    void SetUp() override {
        BoundaryTest::SetUp();
        g_received.clear();
        g_reports.clear();
        library.RegisterAlarmStateCallback(&recordState);
        library.RegisterDisconnectCallback(&countDisconnect);
        library.RegisterConnectionStateCallback(&recordConnection);
        library.setDropDuration(INT_MAX);
    }
    void releaseEverything() override {
        BoundaryTest::releaseEverything();
        library.setReconnectPolicy(0, 0);
    }

    void loginWithPolicy(int32_t first, int32_t max) {
        ASSERT_TRUE(library.setReconnectPolicy(first, max));
        ASSERT_TRUE(library.Init(L"operator", L"sipass"));
        ASSERT_TRUE(g_reports.waitFor(1));
    }

    void deliverOneEvent(int32_t eventId) {
        sim::EventObject event = objectStateEvent(oleDate(2024, 2, 29, 13, 45, 30));
        event.eventId = eventId;
        ASSERT_TRUE(sim::deliverEvent(event));
    }
};
