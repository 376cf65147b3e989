#include "SiPassGateWay.h"

#include <atomic>

#include <boost/thread/lock_guard.hpp>

#include "FailureText.h"
#include "Boundary.h"
#include "Gateway.h"
#include "Reconnect.h"
#include "SehGuard.h"
#include "Owners.h"
#include "SimpleLogger.h"
#include "Statistics.h"
#include "Win32Helper.h"
#include "Wiping.h"

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
    logger().log("Destructor called");
    releaseClient();
}

ComPtr<IComClient> SiPassGateWay::client() const {
    ComPtr<IComClient> snapshot;
    ::AcquireSRWLockShared(&m_ClientLock);
    // The copy's AddRef is the client's code: guarded, so that nothing unwinds past the held lock.
    seh::runGuarded([&] { snapshot = m_ComClient; });
    ::ReleaseSRWLockShared(&m_ClientLock);
    return snapshot;
}

void SiPassGateWay::setClient(ComPtr<IComClient> client) {
    ::AcquireSRWLockExclusive(&m_ClientLock);
    m_ComClient.Swap(client);
    ::ReleaseSRWLockExclusive(&m_ClientLock);
    // `client` now holds the previous reference and releases it here, with no lock held.
}

void SiPassGateWay::releaseClient() {
    if (m_ConnectionPoint) {
        m_ConnectionPoint->Unadvise(m_AdviseCookie);
        m_ConnectionPoint.Reset();
        m_AdviseCookie = 0;
    }
    if (m_SinkForwarder) {
        // A delivery that began before the Unadvise may still run on a client thread: wait for it, so
        // that no callback runs once this returns, and cut the forwarder off from this object, which the
        // client may keep (and release) after the object is gone.
        m_SinkForwarder->detach();
        m_SinkForwarder.Reset();
    }
    // Taken out first: a door service that starts from now on finds no client, one that is running keeps
    // its own reference and sees the disconnected client fail.
    ComPtr<IComClient> client;
    ::AcquireSRWLockExclusive(&m_ClientLock);
    client.Swap(m_ComClient);
    ::ReleaseSRWLockExclusive(&m_ClientLock);
    if (client) {
        long state = 0;
        if (SUCCEEDED(client->get_ConnectionState(&state)) && state == kClientConnected) {
            logger().log("Connected. disconnect from SiPass Server");
            if (FAILED(client->Disconnect())) {
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
    return SUCCEEDED(login(user, password));
}

HRESULT SiPassGateWay::login(const std::wstring& user, const std::wstring& password) {
    // A repeated login replaces the earlier client: its event connection is withdrawn first, so that
    // events are never delivered twice.
    releaseClient();

    ComPtr<IComClient> created;
    HRESULT hr = ::CoCreateInstance(CLSID_ComClient, nullptr, kClientClassContext, __uuidof(IComClient),
                                    reinterpret_cast<void**>(created.GetAddressOf()));
    if (FAILED(hr)) {
        logger().log("CoCreateInstance CLSID_ComClient failed: " + hrText(hr) +
                     "\nCheck if the SiPass Client is installed and the COMClient.dll is registered on the "
                     "machine.");
        return hr;
    }
    logger().log("CoCreateInstance CLSID_ComClient succeeded.");
    // Kept from here on, also when a later step fails (a later Init or Close releases it).
    setClient(created);

    CComBSTR userName = Win32Helper::wstr2bstr(user);
    wiping::WipedBSTR userPassword(password);

    long mask = 0;
    if (FAILED(hr = created->get_EventMask(&mask))) {
        logger().log("get_EventMask failed");
        return hr;
    }
    if (FAILED(hr = created->put_EventMask(mask | kRequiredEventMask))) {
        logger().log("put_EventMask failed.");
        return hr;
    }

    IComClient* client = created.Get();
    auto connect = seh::runGuarded([&] { hr = client->Connect(userName, userPassword.get()); });
    if (connect.raised || connect.cpp) {
        logger().log("Exception connect");
        return E_UNEXPECTED;
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
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = client->QueryInterface(IID_PPV_ARGS(container.GetAddressOf()));
    if (FAILED(hr)) {
        logger().log("QueryInterface IID_IConnectPointContainer failed.");
        return hr;
    }
    logger().log("QueryInterface IID_IConnectPointContainer succeeded.");

    if (FAILED(hr = container->FindConnectionPoint(__uuidof(_ICOMClientEvents),
                                                   m_ConnectionPoint.ReleaseAndGetAddressOf()))) {
        return hr;
    }
    m_SinkForwarder.Attach(new EventSinkForwarder(this));
    // From here on the client holds code of this module, and may call it after gateway_Close.
    pinModule();
    if (FAILED(hr = m_ConnectionPoint->Advise(m_SinkForwarder.Get(), &m_AdviseCookie))) {
        logger().log("Advise ConnectionPoint failed.");
        return hr;
    }
    logger().log("Advise ConnectionPoint succeeded.");
    logger().log("createConnectionPoints succeeded.");
    return S_OK;
}

HRESULT SiPassGateWay::relogin(int attempt) {
    const std::string number = std::to_string(attempt);
    reportConnectionState(GATEWAY_CONNECTION_RETRYING, attempt, 0);
    logger().log("Re-login attempt " + number + ".");
    std::wstring user, password;
    wiping::WipeOnExit wipeUser(user);
    wiping::WipeOnExit wipePassword(password);
    HRESULT hr = E_ABORT;
    statistics::add(statistics::counters().reloginAttempts);
    if (reconnect::readCredentials(user, password)) {
        hr = login(user, password);
    }
    if (SUCCEEDED(hr)) {
        statistics::add(statistics::counters().reloginSuccesses);
        statistics::loggedInNow();
        logger().log("Re-login attempt " + number + " succeeded.");
        reportConnectionState(GATEWAY_CONNECTION_CONNECTED, attempt, 0);
    } else {
        logger().log("Re-login attempt " + number + " failed: hr=" + hrText(hr));
        reportConnectionState(GATEWAY_CONNECTION_LOST, attempt, hr);
    }
    return hr;
}

void SiPassGateWay::RegisterConnectionStateCallback(ConnectionStateCallback callback) {
    if (gateway::refusedInsideCallback("RegisterConnectionStateCallback")) {
        return;
    }
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
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
