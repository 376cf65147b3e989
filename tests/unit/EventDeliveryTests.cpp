// Event delivery in-process: host callbacks defined in the same module as the gateway's code, so that a
// C++ exception can be thrown into the translators on x86 as well.
#include <algorithm>
#include <stdexcept>

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

}  // namespace

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
