// Event delivery in-process: host callbacks defined in the same module as the gateway's code, so that a
// C++ exception can be thrown into the translators on x86 as well.
#include <algorithm>
#include <functional>
#include <stdexcept>
#include <utility>
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
// Called once, from the callback of the first event, with the gateway's mutex held by this thread.
std::function<void()> g_onFirstEvent;

void SIPASSVORMEKGATEWAY_CALL recordingState(int32_t eventId, int32_t, int32_t, int32_t, int32_t, int32_t,
                                             int32_t, int64_t, int64_t, const wchar_t*, const wchar_t*) {
    g_eventIds.push_back(eventId);
    if (g_onFirstEvent) {
        std::exchange(g_onFirstEvent, nullptr)();
    }
}

}  // namespace

// Regression: an event object whose QueryInterface, AddRef or Release raised ended the handling of its
// whole array. The events after it in the same OnEvent call were lost, the client was told E_UNEXPECTED,
// and the gateway's copy of the array (partly made, when an AddRef raised) stayed behind. The same held for
// an array that arrives on the thread that is delivering, which is kept until the callback has returned.
TEST_F(InModuleDelivery, AnEventObjectThatRaisesCostsOnlyItself) {
    gateway->RegisterAlarmStateCallback(&recordingState);
    auto eventArray = [this](std::vector<int32_t> ids) {
        SAFEARRAY* array = ::SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(ids.size()));
        EXPECT_NE(nullptr, array);
        for (LONG i = 0; array != nullptr && i < static_cast<LONG>(ids.size()); ++i) {
            sim::EventObject fields = stateEvent();
            fields.eventId = ids[i];
            VARIANT element;
            element.vt = VT_UNKNOWN;
            EXPECT_EQ(S_OK, sim::createEvent(fields, &element.punkVal));
            EXPECT_EQ(S_OK, ::SafeArrayPutElement(array, &i, &element));
            element.punkVal->Release();
        }
        return array;
    };
    const struct {
        const char* method;
        std::vector<int32_t> delivered;
        const wchar_t* line;
        long lines;  // Release: once for each object the gateway asked; the array is read where it lies
    } cases[] = {
        {"IUnknown::QueryInterface(IAccessEvent)", {},
         L"Exception in IUnknown::QueryInterface for OnEvent: structured exception 0xC0000005", 3},
        {"IUnknown::Release", {1, 2, 3}, L"Exception in IUnknown::Release: structured exception 0xC0000005", 3},
        {"IUnknown::AddRef", {1, 2, 3}, L"Exception in IUnknown::AddRef: structured exception 0xC0000005", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        const long objectsBefore = sim::liveObjects();
        SAFEARRAY* array = eventArray({1, 2, 3});
        ASSERT_NE(nullptr, array);
        g_eventIds.clear();
        capture.clear();
        sim::raiseInMethod(c.method, sim::Raise::AccessViolation);
        EXPECT_EQ(S_OK, gateway->OnEvent(array));
        sim::clearFaults();
        EXPECT_EQ(c.delivered, g_eventIds);
        const std::vector<std::wstring> texts = capture.texts();
        EXPECT_EQ(c.lines, std::count(texts.begin(), texts.end(), c.line));
        EXPECT_EQ(S_OK, ::SafeArrayDestroy(array));
        // What stays is what the client's own raising Release kept: each object, nothing of the gateway's.
        const long kept = std::string(c.method) == "IUnknown::Release" ? 3 : 0;
        EXPECT_EQ(objectsBefore + kept, sim::liveObjects());
        allowObjectsKeptByTheClient(kept);
    }

    // An array delivered from inside the first event's callback is kept; the AddRef of its second object
    // raises. That event alone is lost, the kept ones follow the callback, and nothing is left over.
    const long objectsBefore = sim::liveObjects();
    SAFEARRAY* outer = eventArray({1, 2, 3});
    SAFEARRAY* nested = eventArray({11, 12, 13});
    ASSERT_NE(nullptr, outer);
    ASSERT_NE(nullptr, nested);
    g_eventIds.clear();
    capture.clear();
    HRESULT nestedResult = E_FAIL;
    g_onFirstEvent = [&] {
        sim::armCallFault(1, sim::CallFault::Raise);
        nestedResult = gateway->OnEvent(nested);
        sim::clearFaults();
    };
    EXPECT_EQ(S_OK, gateway->OnEvent(outer));
    EXPECT_EQ(S_OK, nestedResult);
    EXPECT_EQ(std::optional<std::string>("IUnknown::AddRef"), sim::appliedCallFault());
    EXPECT_EQ((std::vector<int32_t>{1, 11, 13, 2, 3}), g_eventIds);
    const std::vector<std::wstring> texts = capture.texts();
    EXPECT_EQ(1, std::count(texts.begin(), texts.end(),
                            L"Exception in IUnknown::AddRef: structured exception 0xC0000005"));
    EXPECT_EQ(S_OK, ::SafeArrayDestroy(nested));
    EXPECT_EQ(S_OK, ::SafeArrayDestroy(outer));
    EXPECT_EQ(objectsBefore, sim::liveObjects());
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
