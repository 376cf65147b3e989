// What a host with several threads does to the gateway: Close and Init while other exports run, Init and
// Close on two threads at once, a log function that raises or is replaced while other threads are inside
// it, and unloading the library right after Close. Each test names the fault it guards against.
#include <atomic>
#include <climits>
#include <cwchar>
#include <thread>

#include "EventFixture.h"

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

enum class Fault { AccessViolation, MsvcThrow };
std::atomic<Fault> g_fault{Fault::AccessViolation};

void raise(Fault fault) {
    if (fault == Fault::AccessViolation) {
        // A page without access rights: a write faults wherever the process maps its low pages.
        static void* const guarded = ::VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
        *static_cast<volatile int*>(guarded) = 1;
    } else {
        ULONG_PTR parameters[3] = {0x19930520, 0, 0};
        ::RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 3, parameters);
    }
}

// Raises on the lines that are written while the gateway holds its lock: the state report, the event
// debug lines, and the subscription's line.
void SIPASSVORMEKGATEWAY_CALL raisingLog(LogLevel level, const wchar_t* text) {
    for (const wchar_t* prefix : {L"Client State Changed", L"OnEvent", L"ObjectState:", L"Fire an registered",
                                  L"Register for event of device"}) {
        if (startsWith(text, prefix)) {
            raise(g_fault.load());
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
class RaisingLogFunction : public EventTest, public ::testing::WithParamInterface<Fault> {};

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
                         ::testing::Values(Fault::AccessViolation, Fault::MsvcThrow));

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
