// What a host with several threads does to the gateway: Close and Init while other exports run, Init and
// Close on two threads at once, a log function that raises or is replaced while other threads are inside
// it, and unloading the library right after Close. Each test names the fault it guards against.
#include <atomic>
#include <climits>
#include <cwchar>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <wrl/client.h>

#include "client/ClientInterfaces.h"
#include "EventFixture.h"
#include "HostFaults.h"

namespace {

// A manual-reset event owned by a test.
class Signal {
public:
    Signal() : m_handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Signal() { ::CloseHandle(m_handle); }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    void set() { ::SetEvent(m_handle); }
    bool wait(DWORD timeoutMs = 10000) { return ::WaitForSingleObject(m_handle, timeoutMs) == WAIT_OBJECT_0; }

private:
    HANDLE m_handle;
};

bool startsWith(const wchar_t* text, const wchar_t* prefix) {
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// ---- A log function that holds one thread at one line -----------------------------------------------

struct HeldLine {
    std::atomic<DWORD> thread{0};
    const wchar_t* prefix = L"";
    Signal* reached = nullptr;
    Signal* release = nullptr;
};
HeldLine g_hold;

void SIPASSVORMEKGATEWAY_CALL holdingLog(LogLevel level, const wchar_t* text) {
    LogCapture::callback(level, text);
    if (::GetCurrentThreadId() == g_hold.thread.load() && startsWith(text, g_hold.prefix)) {
        g_hold.reached->set();
        g_hold.release->wait();
    }
}

// ---- A log function that raises on chosen lines --------------------------------------------------------

std::atomic<HostFault> g_fault{HostFault::AccessViolation};

// Raises on the lines that are written while the gateway holds its lock: the state report, the event
// debug lines, and the subscription's line.
void SIPASSVORMEKGATEWAY_CALL raisingLog(LogLevel level, const wchar_t* text) {
    for (const wchar_t* prefix : {L"Client State Changed", L"OnEvent", L"ObjectState:", L"Fire an registered",
                                  L"Register for event of device"}) {
        if (startsWith(text, prefix)) {
            raiseHostFault(g_fault.load());
        }
    }
    LogCapture::callback(level, text);
}

}  // namespace

using HostThreading = EventTest;

// Close freed the object (and released the client) under a door request that another thread was running.
TEST_F(HostThreading, CloseWhileADoorRequestRunsLetsItFinishAgainstTheOldObject) {
    Signal reached, release;
    g_hold.prefix = L"SiPass system has";
    g_hold.reached = &reached;
    g_hold.release = &release;
    library.RegisterLogCallback(&holdingLog);

    std::atomic<bool> finished{false};
    std::thread door([&] {
        g_hold.thread = ::GetCurrentThreadId();
        Device* devices = reinterpret_cast<Device*>(0x1234);
        int32_t deviceCount = -1, doorCount = -1;
        library.getAllDoors(&devices, &deviceCount, &doorCount);
        library.cleanupDoorArray(devices, deviceCount);
        finished = true;
    });
    ASSERT_TRUE(reached.wait());
    // Close does not wait for the request: the event connection and the client are gone when it returns.
    EXPECT_TRUE(library.Close());
    EXPECT_EQ(0, sim::advisedSinkCount());
    EXPECT_FALSE(finished.load());
    release.set();
    door.join();
    g_hold.thread = 0;
    library.RegisterLogCallback(&LogCapture::callback);

    // The next export gets a fresh object, which logs in and delivers as usual.
    library.RegisterAlarmStateCallback(&recordState);
    library.setDropDuration(INT_MAX);
    ASSERT_TRUE(library.Init(L"operator", L"sipass"));
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 30))));
    EXPECT_EQ(1u, g_received.states.size());
}

// Init on two threads left two advised clients (events delivered twice); Close on two threads deleted the
// object twice.
TEST_F(HostThreading, InitAndCloseOnTwoThreadsAtOnceEndWithOneClientOrNone) {
    for (int round = 0; round < 8; ++round) {
        std::atomic<int> loggedIn{0};
        std::thread first([&] { loggedIn += library.Init(L"operator", L"sipass") ? 1 : 0; });
        std::thread second([&] { loggedIn += library.Init(L"operator", L"sipass") ? 1 : 0; });
        first.join();
        second.join();
        EXPECT_EQ(2, loggedIn.load());
        ASSERT_EQ(1, sim::advisedSinkCount()) << "round " << round;
        ASSERT_EQ(1u, sim::clients().size()) << "round " << round;

        g_received.clear();
        sim::EventObject event = objectStateEvent(oleDate(2024, 2, 29, 13, 45, 30));
        event.eventId = 1000 + round;
        ASSERT_TRUE(sim::deliverEvent(event));
        ASSERT_EQ(1u, g_received.states.size()) << "round " << round;

        std::atomic<int> closed{0};
        std::thread third([&] { closed += library.Close() ? 1 : 0; });
        std::thread fourth([&] { closed += library.Close() ? 1 : 0; });
        third.join();
        fourth.join();
        EXPECT_EQ(2, closed.load());
        EXPECT_EQ(0, sim::advisedSinkCount());
        EXPECT_TRUE(sim::clients().empty());
        // Close forgot the callbacks and the drop duration.
        library.RegisterAlarmStateCallback(&recordState);
        library.setDropDuration(INT_MAX);
    }
}

// A log function that raised while the gateway held its lock left the lock taken: the next delivery
// hung, Close never returned, and on the state report the process died.
class RaisingLogFunction : public EventTest, public ::testing::WithParamInterface<HostFault> {};

TEST_P(RaisingLogFunction, LosesItsLineAndNothingElse) {
    g_fault = GetParam();
    library.RegisterLogCallback(&raisingLog);
    library.RegisterDisconnectCallback(nullptr);

    ASSERT_TRUE(sim::raiseClientStateChanged(1));
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 30))));
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 31))));
    EXPECT_EQ(2u, g_received.states.size());
    EXPECT_TRUE(library.RegisterEvent(6, 1, 3006));
    // Registering takes the lock: it is free.
    library.RegisterAlarmStateCallback(&recordState);

    // Only the raising lines are missing.
    EXPECT_FALSE(log.contains(L"Client State Changed"));
    for (const std::wstring& text : log.texts()) {
        EXPECT_FALSE(startsWith(text.c_str(), L"ObjectState:")) << text;
    }
    EXPECT_TRUE(library.Close());
    EXPECT_TRUE(log.contains(L"Destructor called"));
}

INSTANTIATE_TEST_SUITE_P(BothKinds, RaisingLogFunction,
                         ::testing::Values(HostFault::AccessViolation, HostFault::MsvcThrow));

namespace {

std::atomic<int> g_replacementsInside{0};
GatewayLibrary* g_library = nullptr;

// Replaces itself from inside: the replacement must not wait for its own thread.
void SIPASSVORMEKGATEWAY_CALL selfReplacingLog(LogLevel level, const wchar_t* text) {
    LogCapture::callback(level, text);
    if (startsWith(text, L"SIPASSVORMEKGATEWAY_API: Ping")) {
        g_library->RegisterLogCallback(&LogCapture::callback);
        ++g_replacementsInside;
    }
}

}  // namespace

// gateway_RegisterLogCallback returned while another thread was still running the old function, which a
// host (the .NET binding) then frees.
TEST_F(HostThreading, ReplacingTheLogFunctionWaitsForOtherThreadsInsideTheOldOne) {
    Signal reached, release, replaced;
    g_hold.prefix = L"SIPASSVORMEKGATEWAY_API: Ping";
    g_hold.reached = &reached;
    g_hold.release = &release;
    library.RegisterLogCallback(&holdingLog);

    std::thread logging([&] {
        g_hold.thread = ::GetCurrentThreadId();
        library.Ping(1);
    });
    ASSERT_TRUE(reached.wait());
    std::atomic<bool> returned{false};
    std::thread replacing([&] {
        library.RegisterLogCallback(&LogCapture::callback);
        returned = true;
        replaced.set();
    });
    // Still inside the old function: the replacement has not returned.
    EXPECT_FALSE(replaced.wait(300));
    EXPECT_FALSE(returned.load());
    release.set();
    EXPECT_TRUE(replaced.wait());
    logging.join();
    replacing.join();
    g_hold.thread = 0;

    // A function that replaces itself is not waited for by its own thread.
    g_library = &library;
    g_replacementsInside = 0;
    library.RegisterLogCallback(&selfReplacingLog);
    library.Ping(2);
    EXPECT_EQ(1, g_replacementsInside.load());
}

using ModuleLifetime = ComTest;

// The client may release (or call) the advised sink after Close; a host that unloaded the library right
// after Close left it calling unmapped code.
TEST_F(ModuleLifetime, TheLibraryStaysMappedAfterCloseOnceAClientWasAdvised) {
    {
        GatewayLibrary library;
        library.Ping(1);
        ASSERT_TRUE(library.Init(L"operator", L"sipass"));
        ASSERT_TRUE(library.Close());
    }
    EXPECT_NE(nullptr, ::GetModuleHandleW(GatewayLibrary::path().c_str()));
}

// A client getter that raised during OnEvent unwound through the gateway with its lock taken.
TEST_F(HostThreading, AnEventGetterThatRaisesSkipsItsEventAndReleasesTheLock) {
    sim::raiseInMethod("IObjectState::get_State", sim::Raise::AccessViolation);
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 30))));
    sim::clearFaults();
    sim::raiseInMethod("IAccessEvent::get_CardNumber", sim::Raise::MsvcCppException);
    ASSERT_TRUE(sim::deliverEvent(accessEvent(oleDate(2024, 2, 29, 13, 45, 30))));
    EXPECT_TRUE(log.contains(L"Exception in get_State for objectState: structured exception 0xC0000005"));
    EXPECT_TRUE(
        log.contains(L"Exception in get_CardNumber for accessEvent: structured exception 0xE06D7363"));
    EXPECT_TRUE(g_received.states.empty());
    EXPECT_TRUE(g_received.accesses.empty());

    sim::clearFaults();
    library.RegisterAlarmStateCallback(&recordState);
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 31))));
    EXPECT_EQ(1u, g_received.states.size());
    EXPECT_TRUE(library.Close());
}

namespace {

// A state callback that sends a momentary unlock from inside the first event it receives, and notes how
// deeply callbacks nest and in which order and on which thread the events arrive.
struct Nesting {
    GatewayLibrary* library = nullptr;
    std::atomic<int> depth{0};
    std::atomic<int> deepest{0};
    std::atomic<bool> commandAccepted{false};
    std::mutex mutex;
    std::vector<std::pair<int32_t, int32_t>> events;  // (object id, state), guarded by mutex
    std::vector<DWORD> threads;                       // guarded by mutex
};
Nesting g_nesting;

void SIPASSVORMEKGATEWAY_CALL commandingState(int32_t eventId, int32_t objectId, int32_t, int32_t, int32_t,
                                              int32_t state, int32_t, int64_t, int64_t, const wchar_t*,
                                              const wchar_t*) {
    const int depth = ++g_nesting.depth;
    if (depth > g_nesting.deepest) {
        g_nesting.deepest = depth;
    }
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(g_nesting.mutex);
        first = g_nesting.events.empty();
        g_nesting.events.emplace_back(objectId, state);
        g_nesting.threads.push_back(::GetCurrentThreadId());
    }
    if (first && eventId == 4711) {
        g_nesting.commandAccepted = g_nesting.library->controlDoor(7, 1015, sim::kCommandMomentaryUnlock);
    }
    --g_nesting.depth;
}

}  // namespace

// A client that delivers the state events of a command on the thread that sends it deadlocked the
// gateway when the command was sent from inside a callback.
TEST_F(HostThreading, ACommandSentFromACallbackDeliversItsEventsRightAfterTheCallback) {
    sim::setCommandEventDelivery(sim::CommandEventDelivery::CallingThread);
    g_nesting.library = &library;
    library.RegisterAlarmStateCallback(&commandingState);

    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 30)), 10000));
    EXPECT_TRUE(g_nesting.commandAccepted.load());
    EXPECT_EQ(1, g_nesting.deepest.load()) << "callbacks nested";
    std::lock_guard<std::mutex> lock(g_nesting.mutex);
    // The event that sent the command, then the unlock and the lock it caused, on the one thread.
    EXPECT_EQ((std::vector<std::pair<int32_t, int32_t>>{{1203, 3006}, {1015, 4001}, {1015, 4000}}),
              g_nesting.events);
    ASSERT_EQ(3u, g_nesting.threads.size());
    EXPECT_EQ(g_nesting.threads[0], g_nesting.threads[1]);
    EXPECT_EQ(g_nesting.threads[0], g_nesting.threads[2]);
}

namespace {

// A sink of the test's own, advised on a second client, that holds the first delivery it gets.
class HoldingSink final : public _ICOMClientEvents {
public:
    Signal entered, release;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(_ICOMClientEvents)) {
            *object = this;
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnClientStateChanged(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY*) override {
        if (!m_held.exchange(true)) {
            entered.set();
            release.wait();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnAlarm(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSubscriptionEvent(long) override { return S_OK; }

private:
    std::atomic<bool> m_held{false};
};

// Waits (bounded) until `method` has been called `count` times.
bool waitForCalls(const char* method, int count) {
    for (int i = 0; i < 10000 && sim::callCount(method) < count; ++i) {
        ::Sleep(1);
    }
    return sim::callCount(method) >= count;
}

}  // namespace

// With a client whose requests wait while an event is being delivered, RegisterEvent held the gateway's
// lock across GetByID: the next delivery waited for the lock, GetByID for that delivery.
TEST_F(HostThreading, RegisterEventAgainstAClientThatSerialisesRequestsWithDeliveries) {
    sim::setSerialisedRequests(true);
    // A second client of the test's own, created after the gateway's: a delivery reaches the gateway's
    // sink first, then this one, which holds it.
    Microsoft::WRL::ComPtr<IComClient> other;
    ASSERT_EQ(S_OK, ::CoCreateInstance(CLSID_ComClient, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IComClient),
                                       reinterpret_cast<void**>(other.GetAddressOf())));
    Microsoft::WRL::ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, other.As(&container));
    Microsoft::WRL::ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(__uuidof(_ICOMClientEvents), point.GetAddressOf()));
    HoldingSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));

    std::thread first([] { sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 30)), 20000); });
    ASSERT_TRUE(sink.entered.wait());
    // The gateway's lock is free; the client's request waits for the held delivery.
    Signal registered;
    std::atomic<bool> result{false};
    std::thread subscribing([&] {
        result = library.RegisterEvent(6, 1, 3006);
        registered.set();
    });
    ASSERT_TRUE(waitForCalls("IComClient::GetByID", 1));
    // A second delivery meanwhile: it needs the gateway's lock.
    Signal secondDelivered;
    std::thread second([&] {
        if (sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 31)), 20000)) {
            secondDelivered.set();
        }
    });
    ASSERT_TRUE(secondDelivered.wait());
    sink.release.set();
    EXPECT_TRUE(registered.wait());
    first.join();
    second.join();
    subscribing.join();
    EXPECT_TRUE(result.load());
    EXPECT_EQ(2u, g_received.states.size());
    point->Unadvise(cookie);
}
