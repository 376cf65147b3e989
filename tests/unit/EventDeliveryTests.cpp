// Event delivery in-process: host callbacks defined in the same module as the gateway's code, so that a
// C++ exception can be thrown into the translators on x86 as well.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "ComTest.h"
#include "gateway/ProcessGateway.h"
#include "LogCapture.h"
#include "gateway/SiPassGateWay.h"
#include "support/SimpleLogger.h"

namespace {

class InModuleDelivery : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        SimpleLogger::GetInstance()->setLogger(&LogCapture::callback);
        gateway = processGateway::obtain();
        ASSERT_TRUE(gateway->Init(L"operator", L"sipass"));
        capture.clear();
    }
    void releaseEverything() override {
        processGateway::closeCurrent();
        SimpleLogger::GetInstance()->setLogger(nullptr);
    }

    sim::EventObject stateEvent() {
        sim::EventObject event;
        event.objectState = true;
        event.timestamp = sim::localNow();
        return event;
    }

    LogCapture capture;
    processGateway::Pin gateway;
};

int g_calls = 0;

void SIPASSVORMEKGATEWAY_CALL throwingState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                            int64_t, int64_t, const wchar_t*, const wchar_t*) {
    ++g_calls;
    throw std::runtime_error("x");
}

void SIPASSVORMEKGATEWAY_CALL throwingNonStandard(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                                  int32_t, int64_t, int64_t, const wchar_t*, const wchar_t*) {
    ++g_calls;
    throw 42;
}

std::vector<int32_t> g_eventIds;

void SIPASSVORMEKGATEWAY_CALL recordingState(int32_t eventId, int32_t, int32_t, int32_t, int32_t, int32_t,
                                             int32_t, int64_t, int64_t, const wchar_t*, const wchar_t*) {
    g_eventIds.push_back(eventId);
}

}  // namespace

// Regression: an event object whose QueryInterface or Release raised ended the handling of its whole
// array. The events after it in the same OnEvent call were lost, the client was told E_UNEXPECTED, and
// the gateway's copy of the array stayed behind.
TEST_F(InModuleDelivery, AnEventObjectThatRaisesCostsOnlyItself) {
    gateway->RegisterAlarmStateCallback(&recordingState);
    const struct {
        const char* method;
        std::vector<int32_t> delivered;
        const wchar_t* line;
        long lines;  // each object once, or twice for Release: the gateway's question and its copy
    } cases[] = {
        {"IUnknown::QueryInterface(IAccessEvent)", {},
         L"Exception in IUnknown::QueryInterface for OnEvent: structured exception 0xC0000005", 3},
        {"IUnknown::Release", {1, 2, 3}, L"Exception in IUnknown::Release: structured exception 0xC0000005", 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        const long objectsBefore = sim::liveObjects();
        SAFEARRAY* array = ::SafeArrayCreateVector(VT_VARIANT, 0, 3);
        ASSERT_NE(nullptr, array);
        for (LONG i = 0; i < 3; ++i) {
            sim::EventObject fields = stateEvent();
            fields.eventId = i + 1;
            VARIANT element;
            element.vt = VT_UNKNOWN;
            ASSERT_EQ(S_OK, sim::createEvent(fields, &element.punkVal));
            ASSERT_EQ(S_OK, ::SafeArrayPutElement(array, &i, &element));
            element.punkVal->Release();
        }
        g_eventIds.clear();
        capture.clear();
        sim::raiseInMethod(c.method, sim::Raise::AccessViolation);
        EXPECT_EQ(S_OK, gateway->OnEvent(array));
        sim::clearFaults();
        EXPECT_EQ(c.delivered, g_eventIds);
        const std::vector<std::wstring> texts = capture.texts();
        EXPECT_EQ(c.lines, std::count(texts.begin(), texts.end(), c.line));
        ::SafeArrayDestroy(array);
        // What stays is what the client's own raising Release kept: each object, nothing of the gateway's.
        const long kept = c.delivered.empty() ? 0 : 3;
        EXPECT_EQ(objectsBefore + kept, sim::liveObjects());
        allowObjectsKeptByTheClient(kept);
    }
}

TEST_F(InModuleDelivery, AStdExceptionFromTheCallbackIsLoggedAndTheNextEventArrives) {
    g_calls = 0;
    gateway->RegisterAlarmStateCallback(&throwingState);
    ASSERT_TRUE(sim::deliverEvent(stateEvent()));
    ASSERT_TRUE(sim::deliverEvent(stateEvent()));
    EXPECT_EQ(2, g_calls);
    auto texts = capture.texts();
    EXPECT_EQ(2, std::count(texts.begin(), texts.end(), L"Exception m_AlarmStateCallback: x"));
}

TEST_F(InModuleDelivery, AnyOtherExceptionIsContainedToo) {
    g_calls = 0;
    gateway->RegisterAlarmStateCallback(&throwingNonStandard);
    ASSERT_TRUE(sim::deliverEvent(stateEvent()));
    EXPECT_EQ(1, g_calls);
    EXPECT_EQ(L"Exception m_AlarmStateCallback: unknown exception", capture.texts().back());
}

TEST_F(InModuleDelivery, SubscriptionsAreForgottenWithTheGatewayObject) {
    gateway->RegisterAlarmStateCallback(&throwingState);
    ASSERT_TRUE(gateway->RegisterAlarmEvent(6, 1, 3006));
    EXPECT_TRUE(gateway->isSubscribed(6, 1, 3006));
    EXPECT_FALSE(gateway->isSubscribed(6, 1, 3005));

    processGateway::closeCurrent();
    gateway.reset();
    gateway = processGateway::obtain();
    ASSERT_TRUE(gateway->Init(L"operator", L"sipass"));
    EXPECT_FALSE(gateway->isSubscribed(6, 1, 3006));
}
