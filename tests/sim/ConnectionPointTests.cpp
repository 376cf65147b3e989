// The connection point: advising and unadvising sinks, and delivery of OnClientStateChanged.
#include "SimTestSupport.h"

#include <ocidl.h>
#include <olectl.h>

#include <set>

namespace {

ComPtr<IConnectionPoint> eventsPoint(IComClient* client) {
    ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(S_OK, client->QueryInterface(IID_PPV_ARGS(&container)));
    ComPtr<IConnectionPoint> point;
    if (container) {
        EXPECT_EQ(S_OK, container->FindConnectionPoint(__uuidof(_ICOMClientEvents), &point));
    }
    return point;
}

}  // namespace

TEST_F(SimTest, FindConnectionPointAnswersOnlyTheEventInterface) {
    ComPtr<IComClient> client = createClient();
    ASSERT_TRUE(client);
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, client.As(&container));

    IConnectionPoint* other = reinterpret_cast<IConnectionPoint*>(0x1);
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IDispatch, &other));
    EXPECT_EQ(nullptr, other);

    ComPtr<IConnectionPoint> point = eventsPoint(client.Get());
    ASSERT_TRUE(point);
    IID iid{};
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(__uuidof(_ICOMClientEvents), iid));
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(S_OK, point->GetConnectionPointContainer(&back));
    EXPECT_EQ(container.Get(), back.Get());

    // The connection point keeps its client alive on its own.
    container.Reset();
    back.Reset();
    client.Reset();
    EXPECT_EQ(1u, sim::clients().size());
    DWORD cookie = 0;
    RecordingSink sink;
    EXPECT_EQ(S_OK, point->Advise(&sink, &cookie));
    point.Reset();
    EXPECT_TRUE(sim::clients().empty());
    EXPECT_EQ(0, sink.references()) << "a released client must release its sinks";
}

TEST_F(SimTest, AdviseAndUnadviseKeepTrackOfEverySink) {
    ComPtr<IComClient> first = createClient();
    ComPtr<IComClient> second = createClient();
    ASSERT_TRUE(first && second);
    ComPtr<IConnectionPoint> firstPoint = eventsPoint(first.Get());
    ComPtr<IConnectionPoint> secondPoint = eventsPoint(second.Get());
    ASSERT_TRUE(firstPoint && secondPoint);

    RecordingSink a, b, c;
    DWORD cookieA = 0, cookieB = 0, cookieC = 0;
    ASSERT_EQ(S_OK, firstPoint->Advise(&a, &cookieA));
    ASSERT_EQ(S_OK, firstPoint->Advise(&b, &cookieB));
    ASSERT_EQ(S_OK, secondPoint->Advise(&c, &cookieC));
    EXPECT_EQ(3u, std::set<DWORD>({cookieA, cookieB, cookieC}).size());
    EXPECT_EQ(0u, std::set<DWORD>({cookieA, cookieB, cookieC}).count(0));
    EXPECT_EQ(3, sim::advisedSinkCount());
    EXPECT_EQ(2, sim::clients().at(0).advisedSinks);
    EXPECT_EQ(1, sim::clients().at(1).advisedSinks);
    EXPECT_EQ(1, a.references());

    // A cookie belongs to the connection point that issued it.
    EXPECT_EQ(CONNECT_E_NOCONNECTION, firstPoint->Unadvise(cookieC));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, firstPoint->Unadvise(0));
    EXPECT_EQ(S_OK, firstPoint->Unadvise(cookieA));
    EXPECT_EQ(0, a.references());
    EXPECT_EQ(CONNECT_E_NOCONNECTION, firstPoint->Unadvise(cookieA));
    EXPECT_EQ(1, b.references());
    EXPECT_EQ(2, sim::advisedSinkCount());

    // Only sinks that answer _ICOMClientEvents can connect, and a failed Advise keeps no reference.
    RecordingSink mute(false);
    DWORD cookie = 123;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, firstPoint->Advise(&mute, &cookie));
    EXPECT_EQ(0u, cookie);
    EXPECT_EQ(0, mute.references());
    EXPECT_EQ(E_POINTER, firstPoint->Advise(nullptr, &cookie));

    EXPECT_EQ(S_OK, firstPoint->Unadvise(cookieB));
    EXPECT_EQ(S_OK, secondPoint->Unadvise(cookieC));
    EXPECT_EQ(0, sim::advisedSinkCount());
}

TEST_F(SimTest, ClientStateChangedReachesEverySinkOnASimulatorThread) {
    ComPtr<IComClient> first = connectedClient();
    ComPtr<IComClient> second = connectedClient();
    ASSERT_TRUE(first && second);
    ComPtr<IConnectionPoint> firstPoint = eventsPoint(first.Get());
    ComPtr<IConnectionPoint> secondPoint = eventsPoint(second.Get());
    RecordingSink a, b, gone;
    DWORD cookieA = 0, cookieB = 0, cookieGone = 0;
    ASSERT_EQ(S_OK, firstPoint->Advise(&a, &cookieA));
    ASSERT_EQ(S_OK, firstPoint->Advise(&gone, &cookieGone));
    ASSERT_EQ(S_OK, secondPoint->Advise(&b, &cookieB));
    ASSERT_EQ(S_OK, firstPoint->Unadvise(cookieGone));

    // A sink that calls back into its client from the event proves the simulator holds no lock then.
    long stateSeenInCallback = -1;
    a.onCall([&] { first->get_ConnectionState(&stateSeenInCallback); });

    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    for (RecordingSink* sink : {&a, &b}) {
        const auto calls = sink->calls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(0, calls[0].state);
        EXPECT_NE(GetCurrentThreadId(), calls[0].threadId);
        EXPECT_EQ(APTTYPE_MTA, calls[0].apartment);
    }
    EXPECT_TRUE(gone.calls().empty());
    EXPECT_EQ(0, stateSeenInCallback) << "the client reports the state its sinks were told";

    EXPECT_EQ(S_OK, firstPoint->Unadvise(cookieA));
    EXPECT_EQ(S_OK, secondPoint->Unadvise(cookieB));
}

TEST_F(SimTest, RaiseClientStateChangedTimesOutOnABlockedSinkAndFinishesLater) {
    ComPtr<IComClient> client = connectedClient();
    ASSERT_TRUE(client);
    ComPtr<IConnectionPoint> point = eventsPoint(client.Get());
    RecordingSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));

    sink.block();
    EXPECT_FALSE(sim::raiseClientStateChanged(1, 200));
    // The sink can be unadvised while its event is still running; the event thread then lets it go.
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    EXPECT_EQ(1, sink.references());
    sink.unblock();
    EXPECT_TRUE(sink.waitUntilReleased());
    EXPECT_EQ(1u, sink.calls().size());
}
