// gateway_GetLastError: after each export with a bool result, this thread's code and the line the failure
// logged; 0 and no text after a success; other exports and other threads leave it alone.
#include <atomic>
#include <climits>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "DoorTestSupport.h"
#include "EventFixture.h"

namespace {

struct LastError {
    int32_t code;
    std::wstring text;
};

LastError lastErrorOf(const GatewayLibrary& library) {
    wchar_t text[1024];
    std::fill(std::begin(text), std::end(text), L'#');
    const int32_t code = library.GetLastError(text, 1024);
    return {code, text};
}

std::wstring lastErrorLine(const LogCapture& log) {
    const auto lines = log.lines();
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (line->level == Error) {
            return line->text;
        }
    }
    return L"<no Error line>";
}

using LastErrors = DoorTest;

}  // namespace

// Each kind of failure of each export: the gateway's own code or the client's HRESULT unchanged, with
// the Error line the failure logged; a success after it clears both.
TEST_F(LastErrors, EveryFailureTellsItsCauseAndEverySuccessClearsIt) {
    EXPECT_EQ(0, lastErrorOf(library).code) << "nothing has failed on this thread yet";
    EXPECT_EQ(L"", lastErrorOf(library).text);
    PointState state{};
    Device* devices = nullptr;
    int32_t deviceCount = 0;
    int32_t doorCount = 0;
    GatewayStatistics statistics{};
    statistics.size = 8;
    const struct {
        const char* what;
        bool loggedIn;
        std::function<bool()> call;
        int32_t code;
        const wchar_t* line;  // null: the last Error line logged; ending in '*': a line that starts so
    } failures[] = {
        {"doors before a login", false, [&] { return library.getAllDoors(&devices, &deviceCount, &doorCount); },
         GATEWAY_E_NOT_LOGGED_IN, nullptr},
        {"a point before a login", false, [&] { return library.getPointState(1015, &state); },
         GATEWAY_E_NOT_LOGGED_IN, nullptr},
        {"a command before a login", false, [&] { return library.controlDoor(7, 1015, 2); },
         GATEWAY_E_NOT_LOGGED_IN, nullptr},
        {"a subscription without a callback", false, [&] { return library.RegisterEvent(7, 1015, 0); },
         GATEWAY_E_NO_CALLBACK,
         L"RegisterAlarmEvent makes no sense without a AlarmStateCallback or AlarmAccessCallback. Set "
         L"AlarmStateCallback/AlarmAccessCallback first."},
        {"a null user", false, [&] { return library.Init(nullptr, L"sipass"); }, GATEWAY_E_INVALID_ARGUMENT,
         L"gateway_Init: the user name and the password must not be NULL. Init failed."},
        {"a wrong password", false, [&] { return library.Init(L"operator", L"wrong"); },
         sim::E_SIM_LOGIN_REJECTED, L"Connect to SiPass Server failed: -2147220991\nCheck Username*"},
        {"a policy out of range", false, [&] { return library.setReconnectPolicy(-1, 0); },
         GATEWAY_E_INVALID_ARGUMENT, nullptr},
        {"unknown option bits", false, [&] { return library.setOptions(0x80u); }, GATEWAY_E_INVALID_ARGUMENT,
         nullptr},
        {"a statistics record too small", false, [&] { return library.GetStatistics(&statistics); },
         GATEWAY_E_INVALID_ARGUMENT, nullptr},
        {"a point the server does not know", true, [&] { return library.getPointState(424242, &state); },
         sim::E_SIM_NO_OBJECT, nullptr},
        {"a null point record", true, [&] { return library.getPointState(1015, nullptr); },
         GATEWAY_E_INVALID_ARGUMENT, nullptr},
        {"a null device pointer", true, [&] { return library.getAllDoors(nullptr, &deviceCount, &doorCount); },
         GATEWAY_E_INVALID_ARGUMENT, nullptr},
        {"a command the server refuses", true, [&] { return library.controlDoor(7, 1015, -5); },
         sim::E_SIM_UNKNOWN_COMMAND, nullptr},
        {"a device list the client cannot give", true,
         [&] {
             sim::failMethodNext("IComClient::GetByType", E_ACCESSDENIED);
             return library.getAllDoors(&devices, &deviceCount, &doorCount);
         },
         E_ACCESSDENIED, nullptr},
        {"an object the server does not know", true,
         [&] {
             library.RegisterAlarmStateCallback(&recordState);
             return library.RegisterEvent(7, 424242, 0);
         },
         sim::E_SIM_NO_OBJECT, L"Find no object with this id and type. Please check ObjectID and Type"},
        {"a client that raises while the subscription looks the object up", true,
         [&] {
             library.RegisterAlarmStateCallback(&recordState);
             sim::raiseInMethod("IUnknown::QueryInterface(IGeneric)", sim::Raise::MsvcCppException);
             const bool registered = library.RegisterEvent(7, 1015, 0);
             sim::clearFaults();
             return registered;
         },
         GATEWAY_E_CLIENT_RAISED, L"QueryInterface Exception genericObject"},
    };
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.what);
        if (failure.loggedIn) {
            login();
        }
        log.clear();
        EXPECT_FALSE(failure.call());
        const LastError error = lastErrorOf(library);
        EXPECT_EQ(failure.code, error.code) << std::hex << error.code;
        const std::wstring line = failure.line != nullptr ? failure.line : lastErrorLine(log);
        if (!line.empty() && line.back() == L'*') {
            EXPECT_EQ(line.substr(0, line.size() - 1), error.text.substr(0, line.size() - 1));
        } else {
            EXPECT_EQ(line, error.text);
        }

        // Exports without a result, and the asking itself, leave it as it is.
        library.RegisterGenericEventCallback(nullptr);
        library.setDropDuration(180);
        library.cleanupDoorArray(nullptr, 0);
        EXPECT_EQ(2, library.Ping(1));
        EXPECT_EQ(failure.code, lastErrorOf(library).code);

        EXPECT_TRUE(library.setOptions(0));
        EXPECT_EQ(0, lastErrorOf(library).code) << "a success clears the code";
        EXPECT_EQ(L"", lastErrorOf(library).text) << "and the text";
        library.Close();
    }
}

// The text goes into the caller's buffer NUL-terminated and cut to fit; a null buffer or a capacity below
// 1 gets nothing, and the code comes back all the same.
TEST_F(LastErrors, TheTextIsCutToTheCapacityAndNothingIsWrittenWithoutOne) {
    EXPECT_FALSE(library.setOptions(0x80u));
    const std::wstring whole = lastErrorOf(library).text;
    ASSERT_GT(whole.size(), 8u);
    wchar_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(GATEWAY_E_INVALID_ARGUMENT, library.GetLastError(buffer, 5));
    EXPECT_EQ(whole.substr(0, 4), std::wstring(buffer));
    EXPECT_EQ(L'#', buffer[5]) << "nothing is written past the capacity";
    buffer[0] = L'#';
    EXPECT_EQ(GATEWAY_E_INVALID_ARGUMENT, library.GetLastError(buffer, 1));
    EXPECT_EQ(L'\0', buffer[0]);
    buffer[0] = L'#';
    EXPECT_EQ(GATEWAY_E_INVALID_ARGUMENT, library.GetLastError(buffer, 0));
    EXPECT_EQ(GATEWAY_E_INVALID_ARGUMENT, library.GetLastError(buffer, -3));
    EXPECT_EQ(L'#', buffer[0]);
    EXPECT_EQ(GATEWAY_E_INVALID_ARGUMENT, library.GetLastError(nullptr, 100));
}

// Two threads that fail differently at the same time each read their own failure; a third thread that
// called nothing reads 0.
TEST_F(LastErrors, EachThreadReadsOnlyItsOwn) {
    login();
    constexpr int kRounds = 300;
    std::atomic<int> wrong{0};
    std::atomic<bool> go{false};
    auto failing = [&](std::function<bool()> call, int32_t code) {
        while (!go) {
            std::this_thread::yield();
        }
        for (int i = 0; i < kRounds; ++i) {
            if (call() || lastErrorOf(library).code != code) {
                ++wrong;
            }
        }
    };
    PointState state{};
    std::thread points(failing, [&] { return library.getPointState(424242, &state); }, sim::E_SIM_NO_OBJECT);
    std::thread options(failing, [&] { return library.setOptions(0x80u); }, GATEWAY_E_INVALID_ARGUMENT);
    go = true;
    points.join();
    options.join();
    EXPECT_EQ(0, wrong.load());
    int32_t untouched = -1;
    std::thread([&] { untouched = lastErrorOf(library).code; }).join();
    EXPECT_EQ(0, untouched);
}

// A failure the export gets over on its way (the previous client's teardown in a second login, a device
// whose door-set list is skipped) is no outcome of it: a later failure of the same export reports its own
// code and line.
TEST_F(LastErrors, AFailureTheExportGotOverDoesNotNameTheOneThatEndedIt) {
    login();
    sim::raiseInMethod("IComClient::get_ConnectionState", sim::Raise::AccessViolation);
    log.clear();
    EXPECT_FALSE(library.Init(L"operator", L"wrong"));
    sim::clearFaults();
    const LastError login = lastErrorOf(library);
    EXPECT_EQ(sim::E_SIM_LOGIN_REJECTED, login.code) << std::hex << login.code;
    const std::wstring connectLine = L"Connect to SiPass Server failed: -2147220991\nCheck Username";
    EXPECT_EQ(connectLine, login.text.substr(0, connectLine.size()));
}

TEST_F(LastErrors, ASkippedDoorSetListDoesNotNameTheRaiseThatEndedTheEnumeration) {
    sim::clearSite();
    sim::SiteDevice skipped = testsite::device(1, L"Eins", 1, 101);
    skipped.doorSetArray = sim::ArrayForm::TwoDimensions;
    sim::addDevice(skipped);
    sim::addDevice(testsite::device(2, L"Zwei", 1, 201));
    const long objects = sim::liveObjects();
    const long allocations = leaks::outstandingAllocations();
    login();
    sim::raiseInMethod("IDoorSet::get_DoorNumber", sim::Raise::AccessViolation);
    EXPECT_FALSE(getAllDoors());
    sim::clearFaults();
    const LastError doors = lastErrorOf(library);
    EXPECT_EQ(GATEWAY_E_RAISED, doors.code) << std::hex << doors.code;
    EXPECT_EQ(lastErrorLine(log), doors.text);
    EXPECT_EQ(L"Exception in gateway_getAllDoors: structured exception 0xC0000005", doors.text);
    // Nothing the enumeration held stays behind: not the client's device list, not a reference to the
    // client, which goes with Close.
    library.Close();
    EXPECT_EQ(objects, sim::liveObjects());
    EXPECT_EQ(allocations, leaks::outstandingAllocations());
}

// A point whose state the enumeration cannot read is no outcome of it: the raise that ends it later is.
TEST_F(LastErrors, AnUnreadablePointStateDoesNotNameTheRaiseThatEndedTheEnumeration) {
    sim::clearSite();
    sim::addDevice(testsite::device(1, L"Eins", 1, 101));
    login();
    // Reader 1 gets no state object, so the first state whose description is read is reader 2's.
    sim::failMethodNext("IComClient::GetRelatives", E_ACCESSDENIED);
    sim::raiseInMethod("IEventFields::get_Description", sim::Raise::MsvcCppException);
    EXPECT_FALSE(getAllDoors());
    sim::clearFaults();
    const LastError doors = lastErrorOf(library);
    EXPECT_EQ(GATEWAY_E_RAISED, doors.code) << std::hex << doors.code;
    EXPECT_EQ(L"Exception in gateway_getAllDoors: structured exception 0xE06D7363", doors.text);
}

// A message pointer the caller cannot write to costs the text, not the code.
TEST_F(LastErrors, AnUnwritableBufferStillGetsTheCode) {
    EXPECT_FALSE(library.setOptions(0x80u));
    void* page = ::VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);
    ASSERT_NE(nullptr, page);
    EXPECT_EQ(GATEWAY_E_INVALID_ARGUMENT, library.GetLastError(static_cast<wchar_t*>(page), 100));
    ::VirtualFree(page, 0, MEM_RELEASE);
    EXPECT_EQ(GATEWAY_E_INVALID_ARGUMENT, lastErrorOf(library).code) << "the record is kept";
}

namespace {

GatewayLibrary* g_library = nullptr;
std::atomic<int32_t> g_nestedCode{0};
std::atomic<int32_t> g_insideCallbackCode{0};

// On the first line of a login, a log function that calls an export which fails and reads its error.
void SIPASSVORMEKGATEWAY_CALL failingInTheLog(LogLevel level, const wchar_t* text) {
    LogCapture::callback(level, text);
    if (std::wstring(text) == L"Init() called.") {
        g_library->setOptions(0x80u);
        g_nestedCode = g_library->GetLastError(nullptr, 0);
    }
}

void SIPASSVORMEKGATEWAY_CALL subscribingState(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                                               int64_t, int64_t, const wchar_t*, const wchar_t*) {
    g_library->RegisterEvent(7, 1015, 0);
    g_insideCallbackCode = g_library->GetLastError(nullptr, 0);
}

using LastErrorsInCallbacks = EventTest;

}  // namespace

// An export called from the log function during another export keeps its own outcome, and the outer
// export's ends with its own; an export refused inside an event callback says so.
TEST_F(LastErrorsInCallbacks, NestedCallsKeepTheirOwnOutcome) {
    g_library = &library;
    library.Close();
    library.RegisterLogCallback(&failingInTheLog);
    EXPECT_TRUE(library.Init(L"operator", L"sipass"));
    library.RegisterLogCallback(&LogCapture::callback);
    EXPECT_EQ(GATEWAY_E_INVALID_ARGUMENT, g_nestedCode.load());
    EXPECT_EQ(0, lastErrorOf(library).code) << "Init succeeded after the log function's call failed";

    library.RegisterAlarmStateCallback(&subscribingState);
    library.setDropDuration(INT_MAX);
    ASSERT_TRUE(sim::deliverEvent(objectStateEvent(oleDate(2024, 2, 29, 13, 45, 30))));
    EXPECT_EQ(GATEWAY_E_INSIDE_CALLBACK, g_insideCallbackCode.load());
    EXPECT_EQ(0, lastErrorOf(library).code) << "the delivery's thread is not this one";
}
