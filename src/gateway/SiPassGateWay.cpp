#include "gateway/SiPassGateWay.h"

#include <atomic>

#include <boost/thread/lock_guard.hpp>

#include "support/FailureText.h"
#include "support/Boundary.h"
#include "support/ClientRef.h"
#include "gateway/Gateway.h"
#include "gateway/Reconnect.h"
#include "support/SehGuard.h"
#include "support/Owners.h"
#include "support/SimpleLogger.h"
#include "support/Statistics.h"
#include "support/Win32Helper.h"
#include "support/Wiping.h"

using Microsoft::WRL::ComPtr;

namespace {

SimpleLogger& logger() {
    return *SimpleLogger::GetInstance();
}

// The event-mask bits the gateway needs from the client (bits 1 to 5); the others stay as reported.
constexpr long kRequiredEventMask = 0x3E;

// Logs the account the process runs under. Only a failed account lookup other than "no mapping" stops
// the login.
bool logProcessAccount(HANDLE token) {
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, nullptr, 0, &size) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return true;
    }
    ProcessHeapBlock buffer(size);
    if (buffer.get() == nullptr) {
        return true;
    }
    if (!::GetTokenInformation(token, TokenUser, buffer.get(), size, &size)) {
        return true;
    }
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use;
    auto* user = static_cast<TOKEN_USER*>(buffer.get());
    if (::LookupAccountSidW(nullptr, user->User.Sid, name, &nameLength, domain, &domainLength, &use)) {
        logger().log("DOMAIN: " + Win32Helper::wstr2str(domain) + ", Name: " + Win32Helper::wstr2str(name));
        return true;
    }
    DWORD error = ::GetLastError();
    if (error == ERROR_NONE_MAPPED) {
        return true;
    }
    logger().log("LookupAccountSid Error: " + std::to_string(static_cast<unsigned long>(error)));
    return false;
}

// Process-token diagnostics that run before every login.
bool checkProcessToken() {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_READ, token.put())) {
        logger().log("Error: Couldn't open the process token\n");
        return false;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size)) {
        logger().log("Error: Couldn't retrieve the elevation right of the current process token\n");
        return false;
    }
    return logProcessAccount(token.get());
}

// Keeps the module mapped until the process ends: a client may release (or even call) the advised sink
// forwarder after gateway_Close has returned, and a host may unload the library right after Close.
void pinModule() {
    static std::atomic<bool> pinned{false};
    if (pinned.exchange(true)) {
        return;
    }
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&pinModule), &module);
}

}  // namespace

SiPassGateWay::SiPassGateWay() {
    m_Loader.load();
    logger().log("Constructor called");
    // The result is only reported: later COM calls report their own failures. COM is never left.
    HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (hr == S_OK) {
        logger().log("CoInitializeEx S_OK");
    } else if (hr == S_FALSE) {
        logger().log("CoInitialize S_FALSE");
    } else if (hr == RPC_E_CHANGED_MODE) {
        logger().log("CoInitialize RPC_E_CHANGED_MODE");
    } else {
        logger().log("CoInitialize unknown state. May work");
    }
}

SiPassGateWay::~SiPassGateWay() {
    if (!m_ShutDown) {
        shutdown();
    }
}

void SiPassGateWay::shutdown() {
    m_ShutDown = true;
    m_Operation = "gateway_Close";
    logger().log("Destructor called");
    releaseClient();
}

ComPtr<IComClient> SiPassGateWay::client() const {
    ::AcquireSRWLockShared(&m_ClientLock);
    // The copy's AddRef is the client's code: guarded, so that nothing unwinds past the held lock.
    ComPtr<IComClient> snapshot = m_ComClient.share();
    ::ReleaseSRWLockShared(&m_ClientLock);
    return snapshot;
}

void SiPassGateWay::setClient(ClientRef<IComClient> client) {
    ::AcquireSRWLockExclusive(&m_ClientLock);
    m_ComClient.swap(client);
    ::ReleaseSRWLockExclusive(&m_ClientLock);
    // `client` now holds the previous reference and releases it here, with no lock held.
}

template <class Call>
HRESULT SiPassGateWay::clientCall(Call&& call) {
    HRESULT hr = E_UNEXPECTED;
    const seh::Outcome outcome = seh::runGuarded([&] { hr = call(); });
    if (outcome.succeeded()) {
        return hr;
    }
    boundary::reportFailure("Exception in ", m_Operation.c_str(), outcome, "");
    return boundary::failureResult(outcome);
}

void SiPassGateWay::releaseClient() {
    {
        // From here on the old connection's reports are late ones.
        std::lock_guard<std::mutex> lock(m_StateLock);
        m_Connection = 0;
    }
    if (m_ConnectionPoint) {
        IConnectionPoint* point = m_ConnectionPoint.get();
        const DWORD cookie = m_AdviseCookie;
        clientCall([point, cookie] { return point->Unadvise(cookie); });
        m_ConnectionPoint.reset();
        m_AdviseCookie = 0;
    }
    if (m_SinkForwarder) {
        // A delivery that began before the Unadvise may still run on a client thread: wait for it, so
        // that no callback runs once this returns, and cut the forwarder off from this object, which the
        // client may keep (and release) after the object is gone.
        m_SinkForwarder->detach();
        m_SinkForwarder.reset();
    }
    // Taken out first: a door service that starts from now on finds no client, one that is running keeps
    // its own reference and sees the disconnected client fail.
    ClientRef<IComClient> client;
    ::AcquireSRWLockExclusive(&m_ClientLock);
    client.swap(m_ComClient);
    ::ReleaseSRWLockExclusive(&m_ClientLock);
    if (client) {
        IComClient* old = client.get();
        long state = 0;
        if (SUCCEEDED(clientCall([old, &state] { return old->get_ConnectionState(&state); })) &&
            state == kClientConnected) {
            logger().log("Connected. disconnect from SiPass Server");
            if (FAILED(clientCall([old] { return old->Disconnect(); }))) {
                logger().log("Failed to disconnect from SiPass Server");
            }
        }
    }
}

HRESULT STDMETHODCALLTYPE SiPassGateWay::QueryInterface(REFIID riid, void** object) {
    return answerEventSinkQuery(this, riid, object);
}

bool SiPassGateWay::Init(std::wstring user, std::wstring password) {
    wiping::WipeOnExit wipePassword(password);
    // Replacing the client waits for the delivery in progress, which is this thread's own.
    if (gateway::refusedInsideCallback("Init")) {
        return false;
    }
    logger().log("Init() called.");
    if (!checkProcessToken()) {
        return false;
    }
    beginLogin("gateway_Init");
    const HRESULT hr = login(user, password);
    if (SUCCEEDED(hr)) {
        statistics::loggedInNow();
        reconnect::storeCredentials(user.c_str(), password.c_str());
    }
    if (endLogin(0, hr)) {
        const int delay = reconnect::scheduleAfterLoss(shared_from_this());
        if (delay >= 0) {
            logger().log("Connection to SiPass Server lost. Re-login attempt 1 in " + std::to_string(delay) +
                         " ms.");
        }
    }
    return SUCCEEDED(hr);
}

HRESULT SiPassGateWay::login(const std::wstring& user, const std::wstring& password) {
    // A repeated login replaces the earlier client: its event connection is withdrawn first, so that
    // events are never delivered twice.
    releaseClient();

    ClientRef<IComClient> created;
    HRESULT hr = clientCall([&created] {
        return ::CoCreateInstance(CLSID_ComClient, nullptr, kClientClassContext, __uuidof(IComClient),
                                  created.putVoid());
    });
    if (FAILED(hr)) {
        logger().log("CoCreateInstance CLSID_ComClient failed: " + hrText(hr) +
                     "\nCheck if the SiPass Client is installed and the COMClient.dll is registered on the "
                     "machine.");
        return hr;
    }
    logger().log("CoCreateInstance CLSID_ComClient succeeded.");
    IComClient* client = created.get();
    // Kept from here on, also when a later step fails (a later Init or Close releases it).
    setClient(std::move(created));

    CComBSTR userName = Win32Helper::wstr2bstr(user);
    wiping::WipedBSTR userPassword(password);

    long mask = 0;
    if (FAILED(hr = clientCall([client, &mask] { return client->get_EventMask(&mask); }))) {
        logger().log("get_EventMask failed");
        return hr;
    }
    if (FAILED(hr = clientCall([client, mask] { return client->put_EventMask(mask | kRequiredEventMask); }))) {
        logger().log("put_EventMask failed.");
        return hr;
    }

    BSTR name = userName;
    BSTR secret = userPassword.get();
    const seh::Outcome connect = seh::runGuarded([&] { hr = client->Connect(name, secret); });
    if (!connect.succeeded()) {
        boundary::reportFailure("Exception in ", m_Operation.c_str(), connect, "");
        logger().log("Exception connect");
        return boundary::failureResult(connect);
    }
    if (FAILED(hr)) {
        logger().log("Connect to SiPass Server failed: " + hrText(hr) +
                     "\nCheck Username and Password, Network and RPC Rights connection to the sipass server. "
                     "check if the SiPass Client on this machine is able to connect to the SiPass server "
                     "first.");
        return hr;
    }
    logger().log("Successfully log into SiPass Server");

    if (FAILED(hr = createConnectionPoints(client))) {
        logger().log("createConnection Point failed. Init failed.");
        return hr;
    }
    return S_OK;
}

HRESULT SiPassGateWay::createConnectionPoints(IComClient* client) {
    ClientRef<IConnectionPointContainer> container;
    HRESULT hr = clientCall([client, &container] {
        return client->QueryInterface(__uuidof(IConnectionPointContainer), container.putVoid());
    });
    if (FAILED(hr)) {
        logger().log("QueryInterface IID_IConnectPointContainer failed.");
        return hr;
    }
    logger().log("QueryInterface IID_IConnectPointContainer succeeded.");

    IConnectionPointContainer* points = container.get();
    ClientRef<IConnectionPoint>& point = m_ConnectionPoint;
    if (FAILED(hr = clientCall([points, &point] {
            return points->FindConnectionPoint(__uuidof(_ICOMClientEvents), point.put());
        }))) {
        return hr;
    }
    unsigned connection = 0;
    {
        // Numbered before the Advise: a report the client sends during it counts for this login.
        std::lock_guard<std::mutex> lock(m_StateLock);
        connection = ++m_Connections;
        m_Connection = connection;
    }
    m_SinkForwarder = ClientRef<EventSinkForwarder>::adopt(new EventSinkForwarder(this, connection));
    // From here on the client holds code of this module, and may call it after gateway_Close.
    pinModule();
    IConnectionPoint* advising = m_ConnectionPoint.get();
    EventSinkForwarder* sink = m_SinkForwarder.get();
    DWORD* cookie = &m_AdviseCookie;
    if (FAILED(hr = clientCall([advising, sink, cookie] { return advising->Advise(sink, cookie); }))) {
        logger().log("Advise ConnectionPoint failed.");
        return hr;
    }
    logger().log("Advise ConnectionPoint succeeded.");
    // A loss the client reported before the sink was advised reached nobody: ask once the sink is there,
    // so that the login ends with the truth (every later loss comes through the sink).
    long state = kClientConnected;
    if (SUCCEEDED(clientCall([client, &state] { return client->get_ConnectionState(&state); })) &&
        state != kClientConnected) {
        std::lock_guard<std::mutex> lock(m_StateLock);
        m_LostDuringLogin = true;
    }
    logger().log("createConnectionPoints succeeded.");
    return S_OK;
}

reconnect::AttemptResult SiPassGateWay::relogin(int attempt) {
    {
        std::lock_guard<std::mutex> lock(m_StateLock);
        if (m_ReportedUp) {
            // The client reported the connection back by itself after this attempt was due.
            return reconnect::AttemptResult::LoggedIn;
        }
    }
    const std::string number = std::to_string(attempt);
    beginLogin("re-login attempt " + number);
    {
        std::lock_guard<std::mutex> lock(m_StateLock);
        queueReport(GATEWAY_CONNECTION_RETRYING, attempt, 0);
    }
    deliverReports();
    logger().log("Re-login attempt " + number + ".");
    std::wstring user, password;
    wiping::WipeOnExit wipeUser(user);
    wiping::WipeOnExit wipePassword(password);
    HRESULT hr = E_ABORT;
    statistics::add(statistics::counters().reloginAttempts);
    const bool haveCredentials = reconnect::readCredentials(user, password);
    if (haveCredentials) {
        hr = login(user, password);
    }
    if (SUCCEEDED(hr)) {
        statistics::add(statistics::counters().reloginSuccesses);
        statistics::loggedInNow();
        logger().log("Re-login attempt " + number + " succeeded.");
    } else {
        logger().log("Re-login attempt " + number + " failed: hr=" + hrText(hr));
    }
    const bool lost = endLogin(attempt, hr);
    if (FAILED(hr)) {
        return haveCredentials ? reconnect::AttemptResult::Failed : reconnect::AttemptResult::NoCredentials;
    }
    return lost ? reconnect::AttemptResult::LostAgain : reconnect::AttemptResult::LoggedIn;
}

void SiPassGateWay::abandonAttempt(int attempt, HRESULT hr) {
    endLogin(attempt, hr);
}

void SiPassGateWay::beginLogin(std::string operation) {
    m_Operation = std::move(operation);
    std::lock_guard<std::mutex> lock(m_StateLock);
    m_LoggingIn = true;
    m_LoginConnections = m_Connections;
    m_LostDuringLogin = false;
}

bool SiPassGateWay::endLogin(int attempt, HRESULT hr) {
    bool lost = false;
    {
        std::lock_guard<std::mutex> lock(m_StateLock);
        if (!m_LoggingIn) {
            return false;
        }
        m_LoggingIn = false;
        if (SUCCEEDED(hr)) {
            queueReport(GATEWAY_CONNECTION_CONNECTED, attempt, 0);
            if (m_LostDuringLogin) {
                // Lost right after the login: the host hears both, in their order.
                queueReport(GATEWAY_CONNECTION_LOST, 0, 0);
                lost = true;
            }
        } else if (attempt > 0 || m_ReportedUp) {
            // The earlier connection is gone with the failed login: the last report must not say connected.
            queueReport(GATEWAY_CONNECTION_LOST, attempt, hr);
        }
        m_LostDuringLogin = false;
    }
    deliverReports();
    return lost;
}

void SiPassGateWay::RegisterConnectionStateCallback(ConnectionStateCallback callback) {
    if (gateway::refusedInsideCallback("RegisterConnectionStateCallback")) {
        return;
    }
    boost::lock_guard<OwnedMutex> lock(m_ReportMutex);
    m_ConnectionStateCallback = callback;
}

void SiPassGateWay::RegisterAlarmStateCallback(AlarmStateCallback callback) {
    if (gateway::refusedInsideCallback("RegisterAlarmStateCallback")) {
        return;
    }
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
    m_AlarmStateCallback = callback;
}

void SiPassGateWay::RegisterAlarmAccessCallback(AlarmAccessCallback callback) {
    if (gateway::refusedInsideCallback("RegisterAlarmAccessCallback")) {
        return;
    }
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
    m_AlarmAccessCallback = callback;
}

void SiPassGateWay::RegisterGenericEventCallback(GenericEventCallback callback) {
    if (gateway::refusedInsideCallback("RegisterGenericEventCallback")) {
        return;
    }
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
    m_GenericEventCallback = callback;
}

void SiPassGateWay::RegisterDisconnectCallback(DisconnectCallback callback) {
    if (gateway::refusedInsideCallback("RegisterDisconnectCallback")) {
        return;
    }
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
    m_DisconnectCallback = callback;
}
