// The server going away and coming back: what connected clients and their sinks hear, what Connect and the
// requests answer meanwhile, the two ways clients come back, and a Connect held back by the connect delay.
#include "SimTestSupport.h"

#include <chrono>

namespace {

// The states a sink has been told, in order.
std::vector<long> statesHeard(const RecordingSink& sink) {
    std::vector<long> states;
    for (const auto& call : sink.calls()) {
        states.push_back(call.state);
    }
    return states;
}

// Whether a request that needs the server gets through.
HRESULT reachServer(IComClient* client) {
    ComPtr<IUnknown> device;
    return client->GetByID(6, 1, &device);
}

}  // namespace

using ServerOutage = SimTest;

TEST_F(ServerOutage, ConnectedClientsLoseTheirConnectionAndThoseThatReconnectComeBackByThemselves) {
    ASSERT_EQ(HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED), sim::E_SIM_SERVER_OFFLINE);
    sim::setClientsReconnectByThemselves(true);
    ComPtr<IComClient> kept = connectedClient();
    ComPtr<IComClient> admin = createClient();
    ComPtr<IComClient> gaveUp = connectedClient();
    ComPtr<IComClient> idle = createClient();
    ASSERT_TRUE(kept && admin && gaveUp && idle);
    ASSERT_EQ(S_OK, connect(admin.Get(), L"Administrator", L"secret"));
    RecordingSink keptSink, adminSink, gaveUpSink, idleSink;
    Advised keptAdvised(kept.Get(), keptSink), adminAdvised(admin.Get(), adminSink),
        gaveUpAdvised(gaveUp.Get(), gaveUpSink), idleAdvised(idle.Get(), idleSink);

    // The sink asks its client from inside the report: a lock held around the call would deadlock, and the
    // client must already show the state it reports.
    long stateSeenInReport = -1;
    IComClient* const keptClient = kept.Get();
    keptSink.onCall(
        [keptClient, &stateSeenInReport] { keptClient->get_ConnectionState(&stateSeenInReport); });

    ASSERT_TRUE(sim::setServerOnline(false));
    EXPECT_FALSE(sim::serverOnline());
    for (RecordingSink* sink : {&keptSink, &adminSink, &gaveUpSink}) {
        const auto calls = sink->calls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(0, calls[0].state);
        EXPECT_NE(GetCurrentThreadId(), calls[0].threadId) << "reports come from a simulator thread";
        EXPECT_EQ(APTTYPE_MTA, calls[0].apartment);
    }
    EXPECT_TRUE(idleSink.calls().empty()) << "a client without a connection has nothing to lose";
    EXPECT_EQ(0, stateSeenInReport);
    for (IComClient* client : {kept.Get(), admin.Get(), gaveUp.Get(), idle.Get()}) {
        EXPECT_EQ(0, connectionState(client));
    }

    // Nothing reaches the server: Connect is refused before any account is checked, requests fail.
    EXPECT_EQ(sim::E_SIM_SERVER_OFFLINE, connect(idle.Get(), L"operator", L"sipass"));
    EXPECT_EQ(sim::E_SIM_SERVER_OFFLINE, connect(kept.Get(), L"operator", L"wrong"));
    EXPECT_EQ(0, connectionState(idle.Get()));
    EXPECT_EQ(sim::E_SIM_NOT_CONNECTED, reachServer(kept.Get()));

    // During the outage one host gives its connection up, and another's password changes on the server.
    EXPECT_EQ(S_OK, gaveUp->Disconnect());
    sim::addAccount(L"Administrator", L"changed");

    ASSERT_TRUE(sim::setServerOnline(true));
    EXPECT_TRUE(sim::serverOnline());
    EXPECT_EQ((std::vector<long>{0, 1}), statesHeard(keptSink));
    EXPECT_NE(GetCurrentThreadId(), keptSink.calls().at(1).threadId);
    EXPECT_EQ(1, stateSeenInReport);
    EXPECT_EQ(1, connectionState(kept.Get()));
    EXPECT_EQ(S_OK, reachServer(kept.Get()));
    EXPECT_EQ(L"operator", sim::clients().at(0).user);

    EXPECT_EQ((std::vector<long>{0}), statesHeard(adminSink)) << "a login with the old password came back";
    EXPECT_EQ(0, connectionState(admin.Get()));
    EXPECT_EQ((std::vector<long>{0}), statesHeard(gaveUpSink)) << "a disconnected client came back";
    EXPECT_EQ(0, connectionState(gaveUp.Get()));
    EXPECT_TRUE(idleSink.calls().empty());

    // Setting the state the server is in changes and reports nothing.
    ASSERT_TRUE(sim::setServerOnline(true));
    EXPECT_EQ(2u, keptSink.calls().size());
}

TEST_F(ServerOutage, WithoutReconnectClientsStayDisconnectedUntilTheirNextConnect) {
    ComPtr<IComClient> client = connectedClient();
    ASSERT_TRUE(client);
    RecordingSink sink;
    Advised advised(client.Get(), sink);

    ASSERT_TRUE(sim::setServerOnline(false));
    ASSERT_TRUE(sim::setServerOnline(true));
    EXPECT_EQ((std::vector<long>{0}), statesHeard(sink));
    EXPECT_EQ(0, connectionState(client.Get()));
    EXPECT_EQ(sim::E_SIM_NOT_CONNECTED, reachServer(client.Get()));
    EXPECT_EQ(S_OK, connect(client.Get(), L"operator", L"sipass"));
    EXPECT_EQ(1, connectionState(client.Get()));
    EXPECT_EQ(S_OK, reachServer(client.Get()));

    // resetSite brings the server back without a report and forgets the reconnect option.
    sim::setClientsReconnectByThemselves(true);
    ASSERT_TRUE(sim::setServerOnline(false));
    sim::resetSite();
    EXPECT_TRUE(sim::serverOnline());
    ASSERT_TRUE(sim::waitForServerState(true));
    EXPECT_EQ((std::vector<long>{0, 0}), statesHeard(sink));
    EXPECT_EQ(0, connectionState(client.Get()));
    EXPECT_EQ(S_OK, connect(client.Get(), L"operator", L"sipass"));
    ASSERT_TRUE(sim::setServerOnline(false));
    ASSERT_TRUE(sim::setServerOnline(true));
    EXPECT_EQ((std::vector<long>{0, 0, 0}), statesHeard(sink));
    EXPECT_EQ(0, connectionState(client.Get()));

    // A client a test calls connected still reaches no server while it is offline.
    ASSERT_TRUE(sim::setServerOnline(false));
    ASSERT_TRUE(sim::raiseClientStateChanged(1));
    EXPECT_EQ(1, connectionState(client.Get()));
    EXPECT_EQ(sim::E_SIM_NOT_CONNECTED, reachServer(client.Get()));
    ASSERT_TRUE(sim::setServerOnline(true));
    EXPECT_EQ(S_OK, reachServer(client.Get()));
}

// A path that dies without a reset: the client loses the server and says nothing; only asking it tells. The
// end of such an outage is that of any outage.
TEST_F(ServerOutage, ASilentOutageLosesTheConnectionsWithoutAReportAndEndsAsAnyOutage) {
    sim::setClientsReconnectByThemselves(true);
    ComPtr<IComClient> client = connectedClient();
    ComPtr<IComClient> idle = createClient();
    ASSERT_TRUE(client && idle);
    RecordingSink sink, idleSink;
    Advised advised(client.Get(), sink), idleAdvised(idle.Get(), idleSink);

    sim::setServerOfflineSilently();
    EXPECT_FALSE(sim::serverOnline());
    EXPECT_EQ(0, connectionState(client.Get()));
    EXPECT_EQ(sim::E_SIM_NOT_CONNECTED, reachServer(client.Get()));
    EXPECT_EQ(sim::E_SIM_SERVER_OFFLINE, connect(idle.Get(), L"operator", L"sipass"));
    // Nothing is outstanding, and nothing arrives later either.
    ASSERT_TRUE(sim::waitForServerState(false, 0));
    ::Sleep(100);
    EXPECT_TRUE(sink.calls().empty()) << "a silent outage reported the loss";

    // Taking an offline server offline again, silently or not, changes and reports nothing.
    sim::setServerOfflineSilently();
    ASSERT_TRUE(sim::setServerOnline(false));
    EXPECT_TRUE(sink.calls().empty());

    ASSERT_TRUE(sim::setServerOnline(true));
    EXPECT_EQ((std::vector<long>{1}), statesHeard(sink));
    EXPECT_EQ(1, connectionState(client.Get()));
    EXPECT_EQ(S_OK, reachServer(client.Get()));
    EXPECT_TRUE(idleSink.calls().empty());

    // Without reconnecting clients the client stays down until its next Connect, as after any outage.
    sim::setClientsReconnectByThemselves(false);
    sim::setServerOfflineSilently();
    ASSERT_TRUE(sim::setServerOnline(true));
    EXPECT_EQ((std::vector<long>{1}), statesHeard(sink));
    EXPECT_EQ(0, connectionState(client.Get()));
    EXPECT_EQ(S_OK, connect(client.Get(), L"operator", L"sipass"));
    EXPECT_EQ(S_OK, reachServer(client.Get()));
}

// A slow sink delays the reports, never reorders them: the end of an outage is not reported while the
// sink is still hearing of its start.
TEST_F(ServerOutage, ReportsKeepTheirOrderBehindASinkThatHasNotReturned) {
    sim::setClientsReconnectByThemselves(true);
    ComPtr<IComClient> client = connectedClient();
    ASSERT_TRUE(client);
    RecordingSink sink;
    Advised advised(client.Get(), sink);

    sink.block();
    EXPECT_FALSE(sim::setServerOnline(false, 200));
    EXPECT_EQ(0, connectionState(client.Get())) << "the state changes before the report is heard";
    EXPECT_FALSE(sim::setServerOnline(true, 200));
    EXPECT_EQ(1, connectionState(client.Get()));
    EXPECT_EQ((std::vector<long>{0}), statesHeard(sink)) << "the end of the outage overtook its start";
    EXPECT_FALSE(sim::waitForServerState(true, 0)) << "a report is still outstanding";

    sink.unblock();
    EXPECT_TRUE(sim::waitForServerState(true));
    EXPECT_EQ((std::vector<long>{0, 1}), statesHeard(sink));
}

TEST_F(ServerOutage, ConnectDelayHoldsConnectBackAndTheServerIsAskedWhenItAnswers) {
    ComPtr<IComClient> client = createClient();
    ASSERT_TRUE(client);

    // A short delay passes before Connect answers.
    sim::setConnectDelay(300);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(S_OK, connect(client.Get(), L"operator", L"sipass"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(S_OK, client->Disconnect());

    // A long one holds Connect while the test acts: the call is counted on entry, the client is not yet
    // connected, and the server goes away before the answer comes.
    sim::setConnectDelay(600000);
    const int connectsBefore = sim::callCount("IComClient::Connect");
    BackgroundCall refused([client] { return connect(client.Get(), L"operator", L"sipass"); });
    ASSERT_TRUE(sim::waitForWaitingConnects(1));
    EXPECT_EQ(connectsBefore + 1, sim::callCount("IComClient::Connect"));
    EXPECT_FALSE(refused.waitFor(200)) << "Connect answered before its delay";
    EXPECT_EQ(0, connectionState(client.Get()));
    ASSERT_TRUE(sim::setServerOnline(false));
    sim::setConnectDelay(0);
    ASSERT_TRUE(refused.waitFor(5000)) << "shortening the delay did not let the waiting Connect answer";
    EXPECT_EQ(sim::E_SIM_SERVER_OFFLINE, refused.result());
    EXPECT_EQ(0, sim::waitingConnects());

    // One that waits while the server comes back gets in; resetSite ends the delay.
    sim::setConnectDelay(600000);
    BackgroundCall accepted([client] { return connect(client.Get(), L"operator", L"sipass"); });
    ASSERT_TRUE(sim::waitForWaitingConnects(1));
    ASSERT_TRUE(sim::setServerOnline(true));
    EXPECT_FALSE(accepted.waitFor(0));
    sim::resetSite();
    ASSERT_TRUE(accepted.waitFor(5000)) << "resetSite did not end the connect delay";
    EXPECT_EQ(S_OK, accepted.result());
    EXPECT_EQ(1, connectionState(client.Get()));
}
