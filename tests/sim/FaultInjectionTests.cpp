// Fault injection and call counting, which the gateway's tests rely on to simulate a failing or crashing
// client.
#include "SimTestSupport.h"

#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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

// A test waits for the calls another thread makes: the wait ends at the call that reaches the count, from
// whichever thread, and a count not reached ends it at its time.
TEST_F(SimTest, WaitForCallCountEndsAtTheCallThatReachesTheCount) {
    ComPtr<IComClient> client = createClient();
    ASSERT_TRUE(client);
    const char kMethod[] = "IComClient::get_ConnectionState";
    long state = -1;
    ASSERT_EQ(S_OK, client->get_ConnectionState(&state));
    EXPECT_TRUE(sim::waitForCallCount(kMethod, 1, 0)) << "a count reached already";

    std::atomic<bool> secondMade{false};
    std::thread caller([&] {
        ::Sleep(200);
        long seen = -1;
        client->get_ConnectionState(&seen);
        secondMade = true;
    });
    EXPECT_TRUE(sim::waitForCallCount(kMethod, 2, 5000));
    caller.join();
    EXPECT_TRUE(secondMade.load());
    // A failing call counts too.
    sim::failMethodNext(kMethod, E_FAIL, 1);
    EXPECT_EQ(E_FAIL, client->get_ConnectionState(&state));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sim::waitForCallCount(kMethod, 4, 300));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_TRUE(sim::waitForCallCount(kMethod, 3, 0));
    EXPECT_THROW(sim::waitForCallCount("IComClient::get_connectionState", 1, 0), std::invalid_argument);
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

namespace {

// A sink that calls back into its client from the simulator's delivery threads, as a gateway's sink does:
// OnEvent reads the client's event mask and queries every event object, OnClientStateChanged reads the
// connection state. Records what the calls back returned.
class CallingBackSink final : public CountedSink {
public:
    explicit CallingBackSink(ComPtr<IComClient> client) : m_client(std::move(client)) {}
    ~CallingBackSink() override {
        EXPECT_TRUE(waitUntilReleased()) << "the simulator still holds a sink being destroyed";
    }

    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY* events) override {
        long mask = -1;
        record(m_client->get_EventMask(&mask));
        forEachEventObject(events, [](IUnknown* object) {
            ComPtr<IObjectState> state;
            object->QueryInterface(IID_PPV_ARGS(&state));
        });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnClientStateChanged(long) override {
        long connection = -1;
        record(m_client->get_ConnectionState(&connection));
        return S_OK;
    }

    // What each call back returned, in order.
    std::vector<HRESULT> results() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_results;
    }

private:
    void record(HRESULT hr) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results.push_back(hr);
    }

    const ComPtr<IComClient> m_client;
    mutable std::mutex m_mutex;
    std::vector<HRESULT> m_results;  // guarded by m_mutex
};

sim::EventObject doorClosedEvent() {
    sim::EventObject event;
    event.objectState = true;
    event.eventId = 1;
    event.type = 11;
    event.subType = 7006;
    event.objectId = 1;
    event.objectType = 7;
    event.state = 3004;
    return event;
}

long eventMask(IComClient* client) {
    long mask = -1;
    EXPECT_EQ(S_OK, client->get_EventMask(&mask));
    return mask;
}

}  // namespace

// The trace and the positions of armed faults count the calls of the host's threads only: calls a sink
// makes on a delivery thread neither appear nor take a position, so a sweep's positions stay put however
// events interleave. Fail and Raise hit exactly their position, once.
TEST_F(SimTest, CallFaultsHitTheirPositionAmongTheHostThreadsCallsOnce) {
    ComPtr<IComClient> client = connectedClient();
    ASSERT_TRUE(client);
    CallingBackSink sink(client);
    {
        Advised advised(client.Get(), sink);

        sim::startCallTrace();
        long state = -1;
        EXPECT_EQ(S_OK, client->get_ConnectionState(&state));
        ASSERT_TRUE(sim::deliverEvent(doorClosedEvent()));
        ASSERT_TRUE(sim::raiseClientStateChanged(1));
        EXPECT_EQ(S_OK, client->put_EventMask(5));
        {
            ComPtr<IConnectionPointContainer> container;
            EXPECT_EQ(S_OK, client.As(&container));
        }
        const std::vector<std::string> traced = sim::stopCallTrace();
        EXPECT_EQ((std::vector<std::string>{"IComClient::get_ConnectionState", "IComClient::put_EventMask",
                                            "IUnknown::QueryInterface(IConnectionPointContainer)",
                                            "IUnknown::Release"}),
                  traced);
        // The sink did call back meanwhile, on the simulator's threads.
        EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK}), sink.results());
        EXPECT_EQ(1, sim::callCount("IComClient::get_EventMask"));
        EXPECT_EQ(1, sim::callCount("IUnknown::QueryInterface(IObjectState)"));
        // Nothing is recorded once the trace has stopped.
        EXPECT_EQ(S_OK, client->get_ConnectionState(&state));
        EXPECT_TRUE(sim::stopCallTrace().empty());

        // Fail at position 1. A delivery before it, whose sink calls the client, takes no position.
        sim::armCallFault(1, sim::CallFault::Fail, kInjected);
        EXPECT_FALSE(sim::waitForCallFault(0));
        ASSERT_TRUE(sim::deliverEvent(doorClosedEvent()));
        EXPECT_EQ((std::vector<HRESULT>{S_OK, S_OK, S_OK}), sink.results());
        EXPECT_EQ(S_OK, client->get_ConnectionState(&state));
        EXPECT_FALSE(sim::appliedCallFault());
        EXPECT_EQ(kInjected, client->put_EventMask(6));
        EXPECT_EQ(5, eventMask(client.Get())) << "a failed call has no effect";
        EXPECT_EQ(std::optional<std::string>("IComClient::put_EventMask"), sim::appliedCallFault());
        EXPECT_TRUE(sim::waitForCallFault(0));
        // One shot: the same calls again all succeed.
        EXPECT_EQ(S_OK, client->get_ConnectionState(&state));
        EXPECT_EQ(S_OK, client->put_EventMask(6));
        EXPECT_EQ(6, eventMask(client.Get()));

        // A Fail whose position is an AddRef applies nowhere and does not move on to the next call.
        sim::armCallFault(0, sim::CallFault::Fail, kInjected);
        client.Get()->AddRef();
        EXPECT_FALSE(sim::appliedCallFault());
        EXPECT_FALSE(sim::waitForCallFault(0));
        client.Get()->Release();
        EXPECT_EQ(S_OK, client->put_EventMask(7));

        // Raise at position 2: the two calls before it did their work, the third raised, and it raises
        // once, with nothing left locked.
        sim::armCallFault(2, sim::CallFault::Raise);
        const int readsBefore = sim::callCount("IComClient::get_EventMask");
        StructuredOutcome outcome = runCatchingStructured([&] {
            long ignored = 0;
            client->put_EventMask(8);
            client->get_ConnectionState(&ignored);
            client->get_EventMask(&ignored);
            client->put_EventMask(9);  // not reached
        });
        EXPECT_TRUE(outcome.raised);
        EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), outcome.code);
        EXPECT_EQ(std::optional<std::string>("IComClient::get_EventMask"), sim::appliedCallFault());
        EXPECT_EQ(readsBefore + 1, sim::callCount("IComClient::get_EventMask"));
        EXPECT_EQ(8, eventMask(client.Get()));
        outcome = runCatchingStructured([&] {
            long ignored = 0;
            client->put_EventMask(8);
            client->get_ConnectionState(&ignored);
            client->get_EventMask(&ignored);
        });
        EXPECT_FALSE(outcome.raised);

        // clearFaults disarms a fault not reached yet.
        sim::armCallFault(0, sim::CallFault::Fail, kInjected);
        sim::clearFaults();
        EXPECT_EQ(S_OK, client->put_EventMask(1));
        EXPECT_FALSE(sim::waitForCallFault(0));
    }
}

// ReportLoss reports the lost connection to the sinks before its call goes on, and the call then does its
// work on a client that is disconnected, or connects it; a sink that does not return holds the call back
// no longer than the fault's delay. Delay holds its call where a test can see it.
TEST_F(SimTest, ReportLossAndDelayActBeforeTheirCallDoesItsWork) {
    ComPtr<IComClient> client = connectedClient();
    ASSERT_TRUE(client);
    RecordingSink sink;
    {
        Advised advised(client.Get(), sink);

        // At put_EventMask: the sink hears 0 before the call returns, and the call still does its work.
        std::atomic<bool> callReturned{false};
        std::atomic<bool> heardBeforeReturn{false};
        sink.onCall([&] { heardBeforeReturn = !callReturned; });
        sim::armCallFault(0, sim::CallFault::ReportLoss, S_OK, 5000);
        EXPECT_EQ(S_OK, client->put_EventMask(3));
        callReturned = true;
        ASSERT_TRUE(sink.waitForCalls(1));
        EXPECT_TRUE(heardBeforeReturn);
        EXPECT_EQ(0, sink.calls().at(0).state);
        EXPECT_NE(GetCurrentThreadId(), sink.calls().at(0).threadId);
        EXPECT_TRUE(sim::waitForCallFault(0));
        EXPECT_EQ(std::optional<std::string>("IComClient::put_EventMask"), sim::appliedCallFault());
        EXPECT_EQ(0, connectionState(client.Get()));
        EXPECT_EQ(3, sim::clients().at(0).eventMask);

        // At Connect: the report comes first, then Connect connects as usual.
        callReturned = false;
        heardBeforeReturn = false;
        sim::armCallFault(0, sim::CallFault::ReportLoss, S_OK, 5000);
        EXPECT_EQ(S_OK, connect(client.Get(), L"operator", L"sipass"));
        callReturned = true;
        ASSERT_TRUE(sink.waitForCalls(2));
        EXPECT_TRUE(heardBeforeReturn);
        EXPECT_EQ(0, sink.calls().at(1).state);
        EXPECT_EQ(1, connectionState(client.Get()));
        sink.onCall(nullptr);

        // A sink that does not return: the call goes on after the fault's delay, while the sink is still
        // inside its report.
        sink.block();
        // The call's own reference is taken before the fault is armed: copying it would be an AddRef of the
        // test's thread, and take position 0.
        ComPtr<IComClient> forHeld = client;
        sim::armCallFault(0, sim::CallFault::ReportLoss, S_OK, 100);
        BackgroundCall held([c = std::move(forHeld)] { return c->put_EventMask(4); });
        EXPECT_TRUE(sim::waitForCallFault());
        EXPECT_EQ(std::optional<std::string>("IComClient::put_EventMask"), sim::appliedCallFault());
        EXPECT_TRUE(held.waitFor(5000)) << "a blocked sink held the call back beyond the fault's delay";
        EXPECT_EQ(S_OK, held.result());
        ASSERT_TRUE(sink.waitForCalls(3));
        EXPECT_EQ(1, sim::deliveriesInProgress()) << "the sink is still inside its report";
        sink.unblock();

        // Delay: the call is seen waiting before it does its work; clearFaults ends the wait.
        ComPtr<IComClient> forDelayed = client;
        sim::armCallFault(0, sim::CallFault::Delay, S_OK, 60000);
        BackgroundCall delayed([c = std::move(forDelayed)] { return c->put_EventMask(5); });
        ASSERT_TRUE(sim::waitForCallFault());
        EXPECT_EQ(std::optional<std::string>("IComClient::put_EventMask"), sim::appliedCallFault());
        EXPECT_FALSE(delayed.waitFor(0));
        EXPECT_EQ(4, sim::clients().at(0).eventMask) << "the delayed call did its work before its wait";
        sim::clearFaults();
        ASSERT_TRUE(delayed.waitFor(5000));
        EXPECT_EQ(S_OK, delayed.result());
        EXPECT_EQ(5, sim::clients().at(0).eventMask);
    }
    client.Reset();
    EXPECT_TRUE(sink.waitUntilReleased());
}
