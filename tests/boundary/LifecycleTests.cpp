// The lifecycle and registration exports, driven through GetProcAddress as a host drives them, against
// the simulated client.
#include <thread>

#include "BoundaryTest.h"

namespace {

const wchar_t kUser[] = L"operator";
const wchar_t kPassword[] = L"sipass";

const std::wstring kNoClientHint =
    L"\nCheck if the SiPass Client is installed and the COMClient.dll is registered on the machine.";
const std::wstring kConnectHint =
    L"\nCheck Username and Password, Network and RPC Rights connection to the sipass server. check if the "
    L"SiPass Client on this machine is able to connect to the SiPass server first.";

// The lines of a login that succeeds on a thread already in the multithreaded apartment.
std::vector<std::wstring> successfulInitLines() {
    return {L"SIPASSVORMEKGATEWAY_API: init",
            L"Constructor called",
            L"CoInitialize S_FALSE",
            L"Init() called.",
            L"DOMAIN: *",
            L"CoCreateInstance CLSID_ComClient succeeded.",
            L"Successfully log into SiPass Server",
            L"QueryInterface IID_IConnectPointContainer succeeded.",
            L"Advise ConnectionPoint succeeded.",
            L"createConnectionPoints succeeded."};
}

int g_disconnects = 0;
void SIPASSVORMEKGATEWAY_CALL countDisconnect() {
    ++g_disconnects;
}

}  // namespace

using Ping = BoundaryTest;

TEST_F(Ping, ReturnsValuePlusOneWithoutCreatingTheGateway) {
    EXPECT_EQ(42, library.Ping(41));
    EXPECT_EQ(-2147483647 - 1, library.Ping(2147483647));
    EXPECT_EQ(0, library.Ping(-1));
    EXPECT_TRUE(linesMatch(log.texts(),
                           {L"SIPASSVORMEKGATEWAY_API: Ping called", L"SIPASSVORMEKGATEWAY_API: Ping called",
                            L"SIPASSVORMEKGATEWAY_API: Ping called"}));
    EXPECT_EQ(0, log.lines()[0].level);
}

using Close = BoundaryTest;

TEST_F(Close, OnAFreshLibraryCreatesAndDestroysTheGatewayEachTime) {
    // A thread that has not joined COM yet shows the constructor's own CoInitializeEx result.
    std::thread host([&] {
        EXPECT_TRUE(library.Close());
        EXPECT_TRUE(library.Close());
    });
    host.join();
    EXPECT_TRUE(linesMatch(
        log.texts(), {L"SIPASSVORMEKGATEWAY_API: close called", L"Constructor called", L"CoInitializeEx S_OK",
                      L"Destructor called", L"SIPASSVORMEKGATEWAY_API: close called", L"Constructor called",
                      L"CoInitialize S_FALSE", L"Destructor called"}));
    for (const LogLine& line : log.lines()) {
        EXPECT_EQ(0, line.level);
    }
}

TEST_F(Close, DisconnectsALoggedInClientAndReleasesIt) {
    ASSERT_TRUE(library.Init(kUser, kPassword));
    ASSERT_EQ(1u, sim::clients().size());
    log.clear();

    EXPECT_TRUE(library.Close());

    EXPECT_TRUE(linesMatch(log.texts(), {L"SIPASSVORMEKGATEWAY_API: close called", L"Destructor called",
                                         L"Connected. disconnect from SiPass Server"}));
    EXPECT_EQ(0u, sim::clients().size()) << "the client object was not released";
    EXPECT_EQ(0, sim::advisedSinkCount());
    EXPECT_EQ(1, sim::callCount("IComClient::Disconnect"));
}

TEST_F(Close, ReportsAFailedDisconnect) {
    ASSERT_TRUE(library.Init(kUser, kPassword));
    sim::failMethod("IComClient::Disconnect", E_FAIL);
    log.clear();

    EXPECT_TRUE(library.Close());

    EXPECT_TRUE(linesMatch(log.texts(), {L"SIPASSVORMEKGATEWAY_API: close called", L"Destructor called",
                                         L"Connected. disconnect from SiPass Server",
                                         L"Failed to disconnect from SiPass Server"}));
    EXPECT_EQ(0u, sim::clients().size());
}

using Init = BoundaryTest;

TEST_F(Init, LogsTheWholeLoginSequenceAndAdvisesOneSink) {
    EXPECT_TRUE(library.Init(kUser, kPassword));

    EXPECT_TRUE(linesMatch(log.texts(), successfulInitLines()));
    auto clients = sim::clients();
    ASSERT_EQ(1u, clients.size());
    EXPECT_EQ(1, clients[0].connectionState);
    EXPECT_EQ(1, clients[0].advisedSinks);
    EXPECT_EQ(L"operator", clients[0].user);
}

TEST_F(Init, WithoutARegisteredClientNamesTheClassNotRegisteredCode) {
    sim::revokeClassObjects();

    EXPECT_FALSE(library.Init(kUser, kPassword));

    EXPECT_TRUE(linesMatch(
        log.texts(),
        {L"SIPASSVORMEKGATEWAY_API: init", L"Constructor called", L"CoInitialize S_FALSE", L"Init() called.",
         L"DOMAIN: *", L"CoCreateInstance CLSID_ComClient failed: -2147221164" + kNoClientHint}));
}

TEST_F(Init, SetsTheRequiredEventMaskBitsAndKeepsTheOthers) {
    sim::setInitialEventMask(0x41);
    ASSERT_TRUE(library.Init(kUser, kPassword));
    EXPECT_EQ(0x7F, sim::clients().at(0).eventMask);
}

TEST_F(Init, ARejectedLoginLogsTheSignedHresultAndCloseDoesNotDisconnect) {
    EXPECT_FALSE(library.Init(kUser, L"wrong password"));

    auto texts = log.texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(L"Connect to SiPass Server failed: " +
                  std::to_wstring(static_cast<long>(sim::E_SIM_LOGIN_REJECTED)) + kConnectHint,
              texts.back());
    EXPECT_TRUE(texts.back().find(L"failed: -2147220991\n") != std::wstring::npos);

    log.clear();
    library.Close();
    EXPECT_TRUE(linesMatch(log.texts(), {L"SIPASSVORMEKGATEWAY_API: close called", L"Destructor called"}));
}

TEST_F(Init, AnAccessViolationInsideConnectIsCaught) {
    sim::raiseInMethod("IComClient::Connect", sim::Raise::AccessViolation);

    EXPECT_FALSE(library.Init(kUser, kPassword));

    EXPECT_EQ(1, sim::callCount("IComClient::Connect"));
    EXPECT_EQ(L"Exception connect", log.texts().back());
}

TEST_F(Init, AnMsvcExceptionInsideConnectIsCaught) {
    sim::raiseInMethod("IComClient::Connect", sim::Raise::MsvcCppException);
    EXPECT_FALSE(library.Init(kUser, kPassword));
    EXPECT_EQ(L"Exception connect", log.texts().back());
    // The gateway still works afterwards.
    sim::clearFaults();
    EXPECT_TRUE(library.Init(kUser, kPassword));
}

struct FailingStep {
    const char* method;
    const wchar_t* lastLines[2];
};

class InitStepFailure : public BoundaryTest, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(InitStepFailure, EndsTheLoginWithItsOwnLine) {
    const FailingStep& step = GetParam();
    sim::failMethod(step.method, E_FAIL);

    EXPECT_FALSE(library.Init(kUser, kPassword));

    auto texts = log.texts();
    size_t expected = step.lastLines[1] != nullptr ? 2 : 1;
    ASSERT_GE(texts.size(), expected);
    EXPECT_EQ(step.lastLines[0], texts[texts.size() - expected]);
    if (expected == 2) {
        EXPECT_EQ(step.lastLines[1], texts.back());
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, InitStepFailure,
    ::testing::Values(FailingStep{"IComClient::get_EventMask", {L"get_EventMask failed", nullptr}},
                      FailingStep{"IComClient::put_EventMask", {L"put_EventMask failed.", nullptr}},
                      FailingStep{"IUnknown::QueryInterface(IConnectionPointContainer)",
                                  {L"QueryInterface IID_IConnectPointContainer failed.",
                                   L"createConnection Point failed. Init failed."}},
                      FailingStep{"IConnectionPointContainer::FindConnectionPoint",
                                  {L"QueryInterface IID_IConnectPointContainer succeeded.",
                                   L"createConnection Point failed. Init failed."}},
                      FailingStep{"IConnectionPoint::Advise",
                                  {L"Advise ConnectionPoint failed.",
                                   L"createConnection Point failed. Init failed."}}));

TEST_F(Init, RefusesANullUserNameOrPassword) {
    EXPECT_FALSE(library.Init(nullptr, kPassword));
    EXPECT_FALSE(library.Init(kUser, nullptr));
    EXPECT_TRUE(sim::clients().empty());
    EXPECT_TRUE(log.contains(L"gateway_Init: the user name and the password must not be NULL. Init failed."));
}

TEST_F(Init, ASecondLoginReplacesTheFirstClientAndLeavesOneSink) {
    ASSERT_TRUE(library.Init(kUser, kPassword));
    log.clear();

    ASSERT_TRUE(library.Init(L"Administrator", L"secret"));

    auto clients = sim::clients();
    ASSERT_EQ(1u, clients.size()) << "the first client was not released";
    EXPECT_EQ(L"Administrator", clients[0].user);
    EXPECT_EQ(1, sim::advisedSinkCount());
    EXPECT_EQ(1, sim::callCount("IConnectionPoint::Unadvise"));
    EXPECT_EQ(1, sim::callCount("IComClient::Disconnect"));
    EXPECT_TRUE(log.contains(L"Connected. disconnect from SiPass Server"));

    // A state change reaches the gateway once, not once per login.
    log.clear();
    ASSERT_TRUE(sim::raiseClientStateChanged(1));
    EXPECT_EQ(1u, log.texts().size());
}

using Callbacks = BoundaryTest;

TEST_F(Callbacks, DisconnectCallbackRunsForStateZeroOnly) {
    g_disconnects = 0;
    library.RegisterDisconnectCallback(&countDisconnect);
    ASSERT_TRUE(library.Init(kUser, kPassword));
    log.clear();

    ASSERT_TRUE(sim::raiseClientStateChanged(1));
    EXPECT_EQ(0, g_disconnects);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    EXPECT_EQ(1, g_disconnects);
    EXPECT_TRUE(linesMatch(log.texts(), {L"Client State Changed", L"Client State Changed"}));

    library.RegisterDisconnectCallback(nullptr);
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    EXPECT_EQ(1, g_disconnects);
}

TEST_F(Callbacks, AreForgottenByCloseAndKeptAcrossAFailedInit) {
    g_disconnects = 0;
    library.RegisterDisconnectCallback(&countDisconnect);
    EXPECT_FALSE(library.Init(kUser, L"wrong"));
    ASSERT_TRUE(library.Init(kUser, kPassword));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    EXPECT_EQ(1, g_disconnects) << "a failed Init dropped the callback";

    library.Close();
    ASSERT_TRUE(library.Init(kUser, kPassword));
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    EXPECT_EQ(1, g_disconnects) << "the callback survived gateway_Close";
}

TEST_F(Callbacks, LogCallbackSurvivesCloseAndSeesTheNextGateway) {
    ASSERT_TRUE(library.Init(kUser, kPassword));
    library.Close();
    log.clear();

    ASSERT_TRUE(library.Init(kUser, kPassword));
    EXPECT_TRUE(linesMatch(log.texts(), successfulInitLines()));
}

TEST_F(Callbacks, ReplacingTheLogCallbackStopsTheFirst) {
    library.RegisterLogCallback(nullptr);
    library.Ping(1);
    EXPECT_TRUE(log.texts().empty());
    library.RegisterLogCallback(&LogCapture::callback);
    library.Ping(1);
    EXPECT_EQ(1u, log.texts().size());
}

void SIPASSVORMEKGATEWAY_CALL crashingDisconnect() {
    static int* volatile nowhere = nullptr;
    *nowhere = 1;
}

TEST_F(Callbacks, AnAccessViolationInTheDisconnectCallbackIsContained) {
    library.RegisterDisconnectCallback(&crashingDisconnect);
    ASSERT_TRUE(library.Init(kUser, kPassword));
    log.clear();

    ASSERT_TRUE(sim::raiseClientStateChanged(0));

    EXPECT_TRUE(linesMatch(
        log.texts(),
        {L"Client State Changed", L"Exception m_DisconnectCallback: structured exception 0xC0000005"}));
    EXPECT_EQ(1, log.lines().back().level);
    // The gateway mutex was released: registration still works.
    library.RegisterDisconnectCallback(nullptr);
}

void SIPASSVORMEKGATEWAY_CALL crashingConnectionReport(int32_t, int32_t, int32_t) {
    static int* volatile nowhere = nullptr;
    *nowhere = 1;
}

// The connection-state callback's fault is contained like the others' and named by the same rule, at the
// login's report and at a loss's.
TEST_F(Callbacks, AnAccessViolationInTheConnectionStateCallbackIsContained) {
    library.RegisterConnectionStateCallback(&crashingConnectionReport);
    log.clear();
    ASSERT_TRUE(library.Init(kUser, kPassword));
    EXPECT_TRUE(log.contains(L"Exception m_ConnectionStateCallback: structured exception 0xC0000005"));
    log.clear();
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    EXPECT_TRUE(log.contains(L"Exception m_ConnectionStateCallback: structured exception 0xC0000005"));
    library.RegisterConnectionStateCallback(nullptr);
    EXPECT_TRUE(library.Close());
}

#if defined(_WIN64)
// On x86 a C++ exception cannot cross from a separately linked module into the DLL's handlers.
void SIPASSVORMEKGATEWAY_CALL throwingDisconnect() {
    throw std::runtime_error("host failure");
}

TEST_F(Callbacks, AStdExceptionFromTheDisconnectCallbackIsLogged) {
    library.RegisterDisconnectCallback(&throwingDisconnect);
    ASSERT_TRUE(library.Init(kUser, kPassword));
    log.clear();
    ASSERT_TRUE(sim::raiseClientStateChanged(0));
    EXPECT_EQ(L"Exception m_DisconnectCallback: host failure", log.texts().back());
}
#endif
