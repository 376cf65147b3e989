// The gateway object in-process: state that the exports cannot show.
#include <string>
#include <thread>
#include <vector>

#include "ComTest.h"
#include "gateway/EventSinkForwarder.h"
#include "gateway/ProcessGateway.h"
#include "gateway/Reconnect.h"
#include "LogCapture.h"
#include "gateway/SiPassGateWay.h"
#include "support/SimpleLogger.h"

namespace {

class GatewayObject : public ComTest {
protected:
    void releaseEverything() override { processGateway::closeCurrent(); }
};

}  // namespace

TEST_F(GatewayObject, DropDurationDefaultsTo180AndSurvivesAFailedInit) {
    processGateway::Pin gateway = processGateway::obtain();
    EXPECT_EQ(180, gateway->dropDuration());
    gateway->setDropDuration(30);
    EXPECT_FALSE(gateway->Init(L"operator", L"wrong"));
    EXPECT_EQ(30, gateway->dropDuration());
    EXPECT_TRUE(gateway->Init(L"operator", L"sipass"));
    EXPECT_EQ(30, gateway->dropDuration());

    processGateway::closeCurrent();
    EXPECT_EQ(nullptr, processGateway::current());
    EXPECT_EQ(180, processGateway::obtain()->dropDuration());
}

// Every login advises a new sink forwarder; the client's release of it at Unadvise (or when the client
// goes) must free it, whichever login made it: Init, a repeated Init or an automatic attempt.
TEST_F(GatewayObject, NoLoginLeavesASinkForwarderBehind) {
    const long before = EventSinkForwarder::live();
    ASSERT_TRUE(reconnect::setPolicy(5, 20));
    for (int round = 0; round < 10; ++round) {
        processGateway::Pin gateway = processGateway::obtain();
        ASSERT_TRUE(gateway->Init(L"operator", L"sipass"));
        ASSERT_TRUE(gateway->Init(L"operator", L"sipass"));
        const int connects = sim::callCount("IComClient::Connect");
        ASSERT_TRUE(sim::raiseClientStateChanged(0));
        for (int i = 0; i < 2000 && !(sim::callCount("IComClient::Connect") > connects &&
                                      sim::advisedSinkCount() == 1);
             ++i) {
            ::Sleep(1);
        }
        ASSERT_EQ(1, sim::advisedSinkCount());
        EXPECT_EQ(before + 1, EventSinkForwarder::live()) << "round " << round;
        processGateway::closeCurrent();
    }
    reconnect::setPolicy(0, 0);
    EXPECT_EQ(before, EventSinkForwarder::live());
}

TEST_F(GatewayObject, AnswersOnlyTheEventInterfaceAndIUnknownWithItself) {
    processGateway::Pin gateway = processGateway::obtain();
    _ICOMClientEvents* const self = gateway.get();
    for (const IID& iid : {__uuidof(_ICOMClientEvents), __uuidof(IUnknown)}) {
        void* sink = nullptr;
        ASSERT_EQ(S_OK, gateway->QueryInterface(iid, &sink));
        EXPECT_EQ(static_cast<void*>(self), sink);
    }
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, gateway->QueryInterface(IID_IDispatch, &other));
    EXPECT_EQ(nullptr, other);
}

TEST_F(GatewayObject, TwoThreadsObtainingAtOnceGetOneObject) {
    processGateway::Pin seen[2];
    std::thread first([&] { seen[0] = processGateway::obtain(); });
    std::thread second([&] { seen[1] = processGateway::obtain(); });
    first.join();
    second.join();
    EXPECT_NE(nullptr, seen[0]);
    EXPECT_EQ(seen[0], seen[1]);
}

// Arrays whose elements are not VARIANTs of a VARIANT's size are refused whole with their HRESULT, before
// any element is read.
TEST_F(GatewayObject, OnEventRefusesArraysOfOtherElementsWithInvalidArg) {
    processGateway::Pin gateway = processGateway::obtain();
    LogCapture capture;
    SimpleLogger::GetInstance()->setLogger(&LogCapture::callback);

    SAFEARRAYBOUND bound{2, 0};
    SAFEARRAY* integers = ::SafeArrayCreate(VT_I4, 1, &bound);
    EXPECT_EQ(E_INVALIDARG, gateway->OnEvent(integers));
    ::SafeArrayDestroy(integers);

    // A VARIANT array that claims half a VARIANT per element: reading one would run past its slot.
    SAFEARRAY* shrunk = nullptr;
    ASSERT_EQ(S_OK, ::SafeArrayAllocDescriptorEx(VT_VARIANT, 1, &shrunk));
    shrunk->rgsabound[0] = bound;
    shrunk->cbElements = sizeof(VARIANT) / 2;
    ASSERT_EQ(S_OK, ::SafeArrayAllocData(shrunk));
    EXPECT_EQ(E_INVALIDARG, gateway->OnEvent(shrunk));
    ::SafeArrayDestroyData(shrunk);
    ::SafeArrayDestroyDescriptor(shrunk);

    SimpleLogger::GetInstance()->setLogger(nullptr);
    const std::wstring refused = L"SafeArrayGetVartype() == VT_VARIANT for OnEvent failed: hr=-2147024809";
    EXPECT_EQ((std::vector<std::wstring>{L"OnEvent", refused, L"OnEvent", refused}), capture.texts());
}
