#include "SiPassGateWay.h"

#include <boost/thread/lock_guard.hpp>

#include "FailureText.h"
#include "Gateway.h"
#include "SehGuard.h"
#include "Owners.h"
#include "SimpleLogger.h"
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
    logger().log("Destructor called");
    releaseClient();
    gateway::clearIfCurrent(this);
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
    if (m_ComClient) {
        long state = 0;
        if (SUCCEEDED(m_ComClient->get_ConnectionState(&state)) && state == kClientConnected) {
            logger().log("Connected. disconnect from SiPass Server");
            if (FAILED(m_ComClient->Disconnect())) {
                logger().log("Failed to disconnect from SiPass Server");
            }
        }
        m_ComClient.Reset();
    }
}

bool SiPassGateWay::refusedInsideCallback(const char* operation) const {
    if (!insideCallback()) {
        return false;
    }
    logger().errLog(std::string(operation) +
                    " refused: called from inside a gateway callback, which runs while the gateway delivers "
                    "an event. Call it from another thread.");
    return true;
}

HRESULT STDMETHODCALLTYPE SiPassGateWay::QueryInterface(REFIID riid, void** object) {
    return answerEventSinkQuery(this, riid, object);
}

bool SiPassGateWay::Init(std::wstring user, std::wstring password) {
    wiping::WipeOnExit wipePassword(password);
    // Replacing the client waits for the delivery in progress, which is this thread's own.
    if (refusedInsideCallback("Init")) {
        return false;
    }
    logger().log("Init() called.");
    if (!checkProcessToken()) {
        return false;
    }

    // A repeated login replaces the earlier client: its event connection is withdrawn first, so that
    // events are never delivered twice.
    releaseClient();

    HRESULT hr = ::CoCreateInstance(CLSID_ComClient, nullptr, kClientClassContext, __uuidof(IComClient),
                                    reinterpret_cast<void**>(m_ComClient.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) {
        logger().log("CoCreateInstance CLSID_ComClient failed: " + hrText(hr) +
                     "\nCheck if the SiPass Client is installed and the COMClient.dll is registered on the "
                     "machine.");
        return false;
    }
    logger().log("CoCreateInstance CLSID_ComClient succeeded.");

    CComBSTR userName = Win32Helper::wstr2bstr(user);
    wiping::WipedBSTR userPassword(password);

    long mask = 0;
    if (FAILED(m_ComClient->get_EventMask(&mask))) {
        logger().log("get_EventMask failed");
        return false;
    }
    if (FAILED(m_ComClient->put_EventMask(mask | kRequiredEventMask))) {
        logger().log("put_EventMask failed.");
        return false;
    }

    IComClient* client = m_ComClient.Get();
    auto connect = seh::runGuarded([&] { hr = client->Connect(userName, userPassword.get()); });
    if (connect.raised || connect.cpp) {
        logger().log("Exception connect");
        return false;
    }
    if (FAILED(hr)) {
        logger().log("Connect to SiPass Server failed: " + hrText(hr) +
                     "\nCheck Username and Password, Network and RPC Rights connection to the sipass server. "
                     "check if the SiPass Client on this machine is able to connect to the SiPass server "
                     "first.");
        return false;
    }
    logger().log("Successfully log into SiPass Server");

    if (!createConnectionPoints()) {
        logger().log("createConnection Point failed. Init failed.");
        return false;
    }
    return true;
}

bool SiPassGateWay::createConnectionPoints() {
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(m_ComClient.As(&container))) {
        logger().log("QueryInterface IID_IConnectPointContainer failed.");
        return false;
    }
    logger().log("QueryInterface IID_IConnectPointContainer succeeded.");

    if (FAILED(container->FindConnectionPoint(__uuidof(_ICOMClientEvents),
                                              m_ConnectionPoint.ReleaseAndGetAddressOf()))) {
        return false;
    }
    m_SinkForwarder.Attach(new EventSinkForwarder(this));
    if (FAILED(m_ConnectionPoint->Advise(m_SinkForwarder.Get(), &m_AdviseCookie))) {
        logger().log("Advise ConnectionPoint failed.");
        return false;
    }
    logger().log("Advise ConnectionPoint succeeded.");
    logger().log("createConnectionPoints succeeded.");
    return true;
}

void SiPassGateWay::RegisterAlarmStateCallback(AlarmStateCallback callback) {
    if (refusedInsideCallback("RegisterAlarmStateCallback")) {
        return;
    }
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
    m_AlarmStateCallback = callback;
}

void SiPassGateWay::RegisterAlarmAccessCallback(AlarmAccessCallback callback) {
    if (refusedInsideCallback("RegisterAlarmAccessCallback")) {
        return;
    }
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
    m_AlarmAccessCallback = callback;
}

void SiPassGateWay::RegisterGenericEventCallback(GenericEventCallback callback) {
    if (refusedInsideCallback("RegisterGenericEventCallback")) {
        return;
    }
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
    m_GenericEventCallback = callback;
}

void SiPassGateWay::RegisterDisconnectCallback(DisconnectCallback callback) {
    if (refusedInsideCallback("RegisterDisconnectCallback")) {
        return;
    }
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
    m_DisconnectCallback = callback;
}
