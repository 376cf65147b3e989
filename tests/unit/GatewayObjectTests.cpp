// The gateway object in-process: state that the exports cannot show.
#include <thread>

#include "ComTest.h"
#include "Gateway.h"
#include "SiPassGateWay.h"

namespace {

class GatewayObject : public ComTest {
protected:
    void releaseEverything() override { delete gateway::current(); }
};

}  // namespace

TEST_F(GatewayObject, DropDurationDefaultsTo180AndSurvivesAFailedInit) {
    SiPassGateWay* gateway = gateway::obtain();
    EXPECT_EQ(180, gateway->dropDuration());
    gateway->setDropDuration(30);
    EXPECT_FALSE(gateway->Init(L"operator", L"wrong"));
    EXPECT_EQ(30, gateway->dropDuration());
    EXPECT_TRUE(gateway->Init(L"operator", L"sipass"));
    EXPECT_EQ(30, gateway->dropDuration());

    delete gateway;
    EXPECT_EQ(nullptr, gateway::current());
    EXPECT_EQ(180, gateway::obtain()->dropDuration());
}

TEST_F(GatewayObject, IsItsOwnSinkWithConstantReferenceCounts) {
    SiPassGateWay* gateway = gateway::obtain();
    _ICOMClientEvents* sink = nullptr;
    ASSERT_EQ(S_OK, gateway->QueryInterface(__uuidof(_ICOMClientEvents), reinterpret_cast<void**>(&sink)));
    EXPECT_EQ(static_cast<_ICOMClientEvents*>(gateway), sink);
    EXPECT_EQ(1u, sink->AddRef());
    EXPECT_EQ(1u, sink->Release());
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, gateway->QueryInterface(IID_IDispatch, &other));
    EXPECT_EQ(nullptr, other);
}

TEST_F(GatewayObject, TwoThreadsObtainingAtOnceGetOneObject) {
    SiPassGateWay* seen[2] = {};
    std::thread first([&] { seen[0] = gateway::obtain(); });
    std::thread second([&] { seen[1] = gateway::obtain(); });
    first.join();
    second.join();
    EXPECT_NE(nullptr, seen[0]);
    EXPECT_EQ(seen[0], seen[1]);
}
