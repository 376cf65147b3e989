// Fault injection and call counting, which the gateway's tests rely on to simulate a failing or crashing
// client.
#include "SimTestSupport.h"

#include <ocidl.h>
#include <olectl.h>

#include <stdexcept>

namespace {

constexpr HRESULT kInjected = static_cast<HRESULT>(0x80070005);  // E_ACCESSDENIED, nothing the sim returns

HRESULT connectOperator(IComClient* client) {
    return client->Connect(TestBstr(L"operator").get(), TestBstr(L"sipass").get());
}

}  // namespace

TEST_F(SimTest, FailMethodReturnsTheChosenResultWithoutEffect) {
    ComPtr<IComClient> client = createClient();
    ASSERT_TRUE(client);

    sim::failMethod("IComClient::Connect", kInjected);
    EXPECT_EQ(kInjected, connectOperator(client.Get()));
    EXPECT_EQ(kInjected, connectOperator(client.Get()));
    EXPECT_EQ(0, sim::clients().at(0).connectionState);
    EXPECT_EQ(2, sim::callCount("IComClient::Connect"));
    sim::clearFaults();
    EXPECT_EQ(S_OK, connectOperator(client.Get()));
    EXPECT_EQ(3, sim::callCount("IComClient::Connect"));

    // Failures of methods with [out] interface pointers leave them null.
    sim::failMethod("IConnectionPointContainer::FindConnectionPoint", kInjected);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, client.As(&container));
    IConnectionPoint* point = reinterpret_cast<IConnectionPoint*>(0x1);
    EXPECT_EQ(kInjected, container->FindConnectionPoint(__uuidof(_ICOMClientEvents), &point));
    EXPECT_EQ(nullptr, point);

    // QueryInterface is failed per requested interface.
    sim::failMethod("IUnknown::QueryInterface(IConnectionPointContainer)", E_NOINTERFACE);
    EXPECT_EQ(E_NOINTERFACE, client.As(&container));
    ComPtr<IComClient> same;
    EXPECT_EQ(S_OK, client.As(&same));

    // A fault for the next calls only, as for a login that fails once and then succeeds.
    sim::failMethodNext("IComClient::Disconnect", kInjected, 2);
    EXPECT_EQ(kInjected, client->Disconnect());
    EXPECT_EQ(kInjected, client->Disconnect());
    EXPECT_EQ(S_OK, client->Disconnect());

    // A success code lets the method work and replaces its S_OK.
    sim::failMethod("IComClient::Connect", S_FALSE);
    EXPECT_EQ(S_FALSE, connectOperator(client.Get()));
    EXPECT_EQ(1, sim::clients().at(0).connectionState);

    // resetSite clears faults and counts.
    sim::resetSite();
    EXPECT_EQ(0, sim::callCount("IComClient::Connect"));
    EXPECT_EQ(S_OK, connectOperator(client.Get()));
}

TEST_F(SimTest, FaultsOnTheClassFactoryFailCreation) {
    sim::failMethod("IClassFactory::CreateInstance", E_OUTOFMEMORY);
    ComPtr<IComClient> client;
    EXPECT_EQ(E_OUTOFMEMORY,
              CoCreateInstance(CLSID_ComClient, nullptr, kClientClassContext, IID_PPV_ARGS(&client)));
    EXPECT_FALSE(client);
    EXPECT_TRUE(sim::clients().empty());
}

TEST_F(SimTest, MisspeltMethodNamesAreRejected) {
    EXPECT_THROW(sim::failMethod("IComClient::Conect", E_FAIL), std::invalid_argument);
    EXPECT_THROW(sim::raiseInMethod("Connect", sim::Raise::AccessViolation), std::invalid_argument);
    EXPECT_THROW(sim::callCount("IComClient::connect"), std::invalid_argument);
    EXPECT_THROW(sim::failMethod("IUnknown::Release", E_FAIL), std::invalid_argument);
    EXPECT_THROW(sim::failMethod("IComClient::QueryInterface(IUnknown)", E_FAIL), std::invalid_argument);
    EXPECT_THROW(sim::failMethodNext("IComClient::Connect", E_FAIL, 0), std::invalid_argument);
    EXPECT_NO_THROW(sim::callCount("IUnknown::QueryInterface({00000000-0000-0000-0000-000000000001})"));
}

TEST_F(SimTest, RaiseInMethodRaisesRealStructuredExceptionsAndLeavesTheSimulatorUsable) {
    ComPtr<IComClient> client = createClient();
    ASSERT_TRUE(client);

    sim::raiseInMethod("IComClient::Connect", sim::Raise::AccessViolation);
    StructuredOutcome outcome = runCatchingStructured([&] { connectOperator(client.Get()); });
    EXPECT_TRUE(outcome.raised);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), outcome.code);
    EXPECT_EQ(1, sim::callCount("IComClient::Connect"));

    sim::raiseInMethod("IComClient::get_ConnectionState", sim::Raise::MsvcCppException);
    outcome = runCatchingStructured([&] {
        long state = 0;
        client->get_ConnectionState(&state);
    });
    EXPECT_TRUE(outcome.raised);
    EXPECT_EQ(0xE06D7363u, outcome.code);
    EXPECT_EQ(0x19930520u, outcome.firstParameter);

    // Nothing stayed locked or half done: the client works once the faults are gone.
    sim::clearFaults();
    EXPECT_EQ(0, sim::clients().at(0).connectionState);
    EXPECT_EQ(S_OK, connectOperator(client.Get()));
    outcome = runCatchingStructured([&] { client->Disconnect(); });
    EXPECT_FALSE(outcome.raised);
    EXPECT_EQ(0, sim::clients().at(0).connectionState);

    // Release can raise too, and creating and querying objects meanwhile makes no Release call of its own.
    sim::raiseInMethod("IUnknown::Release", sim::Raise::AccessViolation);
    ComPtr<IComClient> another = createClient();
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, another.As(&container));
    EXPECT_EQ(0, sim::callCount("IUnknown::Release"));
    outcome = runCatchingStructured([&] { container.Get()->Release(); });
    EXPECT_TRUE(outcome.raised);
    EXPECT_EQ(1, sim::callCount("IUnknown::Release"));
    sim::clearFaults();
    container.Get()->Release();  // the raised Release kept its reference
    container.Detach();
}
