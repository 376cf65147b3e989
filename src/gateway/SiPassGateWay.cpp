#include "gateway/SiPassGateWay.h"

#include <atomic>

#include <boost/thread/lock_guard.hpp>

#include "support/FailureText.h"
#include "support/LastError.h"
#include "support/Boundary.h"
#include "support/ClientRef.h"
#include "gateway/ProcessGateway.h"
#include "gateway/Reconnect.h"
#include "support/SehGuard.h"
#include "support/ModulePin.h"
#include "support/ProcessToken.h"
#include "support/SimpleLogger.h"
#include "support/Statistics.h"
#include "support/Win32Helper.h"
#include "support/Wiping.h"

namespace {

SimpleLogger& logger() {
    return *SimpleLogger::GetInstance();
}

// The event-mask bits the gateway needs from the client (bits 1 to 5); the others stay as reported.
constexpr long kRequiredEventMask = 0x3E;

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
    if (!m_shutDown) {
        shutdown();
    }
}

void SiPassGateWay::shutdown() {
    m_shutDown = true;
    m_operation = "gateway_Close";
    logger().log("Destructor called");
    // First, so that a client delivery waiting for room in the queue returns and the event connection can
    // be withdrawn; what the client delivers from now on is discarded.
    if (delivery::Queue* queue = deliveryQueue()) {
        queue->stop("gateway_Close");
    }
    releaseClient();
}

void SiPassGateWay::applyDeliverySetting() {
    const int32_t capacity = delivery::capacity();
    delivery::Queue* queue = deliveryQueue();
    if (queue != nullptr) {
        if (capacity != 0) {
            queue->setCapacity(capacity);
            return;
        }
        // Turned off: what the old client queued is delivered before anything goes the direct way.
        queue->drain();
        m_queue.store(nullptr, std::memory_order_release);
        return;
    }
    if (capacity == 0) {
        return;
    }
    try {
        m_queues.push_back(
            std::make_unique<delivery::Queue>(capacity, [this](delivery::Item& item) { deliverQueued(item); }));
        m_queue.store(m_queues.back().get(), std::memory_order_release);
    } catch (const std::exception& e) {
        logger().errLog(std::string("The delivery queue could not be started (") + e.what() +
                        "); events are delivered on the client's thread.");
    }
}

ClientRef<IComClient> SiPassGateWay::client(seh::Outcome* raised) const {
    ::AcquireSRWLockShared(&m_clientLock);
    // The copy's AddRef is the client's code: guarded, so that nothing unwinds past the held lock.
    ClientRef<IComClient> snapshot = m_ComClient.share(raised);
    ::ReleaseSRWLockShared(&m_clientLock);
    return snapshot;
}

void SiPassGateWay::setClient(ClientRef<IComClient> client) {
    ::AcquireSRWLockExclusive(&m_clientLock);
    m_ComClient.swap(client);
    ::ReleaseSRWLockExclusive(&m_clientLock);
    // `client` now holds the previous reference and releases it here, with no lock held.
}

template <class Call>
HRESULT SiPassGateWay::clientCall(Call&& call) {
    return boundary::clientCall(m_operation.c_str(), std::forward<Call>(call));
}

void SiPassGateWay::releaseClient() {
    {
        // From here on the old connection's reports are late ones.
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_connection = 0;
    }
    m_ConnectionPoint.reset();
    if (m_sinkForwarder) {
        // A delivery that began before the Unadvise may still run on a client thread: wait for it, so
        // that no callback runs once this returns, and cut the forwarder off from this object, which the
        // client may keep (and release) after the object is gone.
        m_sinkForwarder->detach();
        m_sinkForwarder.reset();
    }
    // Taken out first: a door service that starts from now on finds no client, one that is running keeps
    // its own reference and sees the disconnected client fail.
    ClientRef<IComClient> client;
    ::AcquireSRWLockExclusive(&m_clientLock);
    client.swap(m_ComClient);
    ::ReleaseSRWLockExclusive(&m_clientLock);
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
    if (processGateway::refusedInsideCallback("Init")) {
        return false;
    }
    logger().log("Init() called.");
    if (!checkProcessToken()) {
        return lastError::refuse(GATEWAY_E_PROCESS_TOKEN);
    }
    beginLogin("gateway_Init");
    {
        // The queue changes only while no client delivers (login releases the old client anyway).
        lastError::Pause oldClient;
        releaseClient();
    }
    applyDeliverySetting();
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
    // The step's own HRESULT, unless a client call raised (noted already).
    lastError::note(hr);
    return SUCCEEDED(hr);
}

HRESULT SiPassGateWay::login(const std::wstring& user, const std::wstring& password) {
    // A repeated login replaces the earlier client: its event connection is withdrawn first, so that
    // events are never delivered twice. What the old client fails or raises meanwhile is logged, but it is
    // not why this login fails (every call of the teardown is guarded, so nothing unwinds past the pause).
    {
        lastError::Pause oldClient;
        releaseClient();
    }

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
        boundary::reportFailure("Exception in ", m_operation.c_str(), connect, "");
        lastError::note(GATEWAY_E_CLIENT_RAISED);
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
    ClientRef<IConnectionPoint> point;
    if (FAILED(hr = clientCall([points, &point] {
            return points->FindConnectionPoint(__uuidof(_ICOMClientEvents), point.put());
        }))) {
        return hr;
    }
    unsigned connection = 0;
    {
        // Numbered before the Advise: a report the client sends during it counts for this login.
        std::lock_guard<std::mutex> lock(m_stateLock);
        connection = ++m_connections;
        m_connection = connection;
    }
    m_sinkForwarder = ClientRef<EventSinkForwarder>::adopt(new EventSinkForwarder(this, connection));
    // From here on the client holds code of this module, and may call it after gateway_Close.
    pinModule();
    IConnectionPoint* advising = point.get();
    EventSinkForwarder* sink = m_sinkForwarder.get();
    DWORD cookie = 0;
    hr = clientCall([advising, sink, &cookie] { return advising->Advise(sink, &cookie); });
    // Withdrawn by releaseClient, also when the Advise failed (the client may have kept the sink).
    m_ConnectionPoint.reset(Advised{point.release(), cookie, &m_operation});
    if (FAILED(hr)) {
        logger().log("Advise ConnectionPoint failed.");
        return hr;
    }
    logger().log("Advise ConnectionPoint succeeded.");
    // A loss the client reported before the sink was advised reached nobody: ask once the sink is there,
    // so that the login ends with the truth (every later loss comes through the sink).
    long state = kClientConnected;
    if (SUCCEEDED(clientCall([client, &state] { return client->get_ConnectionState(&state); })) &&
        state != kClientConnected) {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_lostDuringLogin = true;
    }
    logger().log("createConnectionPoints succeeded.");
    return S_OK;
}

reconnect::AttemptResult SiPassGateWay::relogin(int attempt) {
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (m_reportedUp) {
            // The client reported the connection back by itself after this attempt was due.
            return reconnect::AttemptResult::LoggedIn;
        }
    }
    const std::string number = std::to_string(attempt);
    beginLogin("re-login attempt " + number);
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
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
    m_operation = std::move(operation);
    std::lock_guard<std::mutex> lock(m_stateLock);
    m_loggingIn = true;
    m_loginConnections = m_connections;
    m_lostDuringLogin = false;
}

bool SiPassGateWay::endLogin(int attempt, HRESULT hr) {
    bool lost = false;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (!m_loggingIn) {
            return false;
        }
        m_loggingIn = false;
        if (SUCCEEDED(hr)) {
            queueReport(GATEWAY_CONNECTION_CONNECTED, attempt, 0);
            if (m_lostDuringLogin) {
                // Lost right after the login: the host hears both, in their order.
                queueReport(GATEWAY_CONNECTION_LOST, 0, 0);
                lost = true;
            }
        } else if (attempt > 0 || m_reportedUp) {
            // The earlier connection is gone with the failed login: the last report must not say connected.
            queueReport(GATEWAY_CONNECTION_LOST, attempt, hr);
        }
        m_lostDuringLogin = false;
    }
    deliverReports();
    return lost;
}

template <class Callback>
void SiPassGateWay::registerCallback(const char* operation, OwnedMutex& mutex, Callback& slot,
                                     Callback callback) {
    if (processGateway::refusedInsideCallback(operation)) {
        return;
    }
    boost::lock_guard<OwnedMutex> lock(mutex);
    slot = callback;
}

void SiPassGateWay::RegisterConnectionStateCallback(ConnectionStateCallback callback) {
    registerCallback("RegisterConnectionStateCallback", m_reportMutex, m_connectionStateCallback, callback);
}

void SiPassGateWay::RegisterAlarmStateCallback(AlarmStateCallback callback) {
    registerCallback("RegisterAlarmStateCallback", m_Mutex, m_AlarmStateCallback, callback);
}

void SiPassGateWay::RegisterAlarmAccessCallback(AlarmAccessCallback callback) {
    registerCallback("RegisterAlarmAccessCallback", m_Mutex, m_AlarmAccessCallback, callback);
}

void SiPassGateWay::RegisterGenericEventCallback(GenericEventCallback callback) {
    registerCallback("RegisterGenericEventCallback", m_Mutex, m_GenericEventCallback, callback);
}

void SiPassGateWay::RegisterDisconnectCallback(DisconnectCallback callback) {
    registerCallback("RegisterDisconnectCallback", m_Mutex, m_DisconnectCallback, callback);
}
