// The single gateway object: owns the access-control client, the login, the event connection, the host
// callbacks and the event age limit. It is also the sink of the client's event interface.
#pragma once

#include <wrl/client.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/Advice.h"
#include "gateway/DeliveryQueue.h"
#include "support/ClientRef.h"
#include "support/SafeArrayShape.h"
#include "com/ComOwners.h"

#include "client/ClientInterfaces.h"
#include "gateway/EventSinkForwarder.h"
#include "support/ManagedDLLLoader.h"
#include "support/OwnedMutex.h"
#include "gateway/Reconnect.h"
#include "gateway/SiPassNodeList.h"
#include "SiPassVormekGateway.h"

namespace doors {
class ClientGuard;
}  // namespace doors

class SiPassGateWay : public ConnectionEventTarget, public std::enable_shared_from_this<SiPassGateWay> {
public:
    // Joins the multithreaded COM apartment on the calling thread.
    SiPassGateWay();
    // Shuts down what shutdown() has not.
    virtual ~SiPassGateWay();

    SiPassGateWay(const SiPassGateWay&) = delete;
    SiPassGateWay& operator=(const SiPassGateWay&) = delete;

    // IUnknown. The object's lifetime belongs to the gateway pins (Gateway.h), never to COM references:
    // AddRef and Release count nothing.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    // _ICOMClientEvents, called by the client on threads of its own (or, for a nested delivery, on a
    // thread that is inside a host callback of this object). Nothing escapes them.
    HRESULT STDMETHODCALLTYPE OnClientStateChanged(long state) override;
    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY* events) override;
    HRESULT STDMETHODCALLTYPE OnAlarm(long value) override;
    HRESULT STDMETHODCALLTYPE OnSubscriptionEvent(long value) override;
    // A state report as the sink forwarder of event connection `connection` passes it on. OnClientStateChanged
    // is the same for the connection the gateway has now.
    HRESULT clientStateChanged(long state, unsigned connection) override;

    // The login sequence. True when logged in with the event connection in place; then the credentials
    // are kept for the re-login when its policy is on, and 1, 0, 0 is reported (followed by 0, 0, 0 and an
    // attempt when the connection was lost before the login ended). Every copy of the password it makes
    // (the parameter included) is overwritten before it is freed, whatever the client raises. Refused
    // (false) on a thread that is inside a gateway callback. REQUIRES: the lifecycle lock
    // (processGateway::lifecycleMutex).
    bool Init(std::wstring user, std::wstring password);

    // One automatic re-login attempt with the kept credentials (on the supervisor thread): reports
    // 2, attempt, 0, logs in as Init does from the client's creation on, and reports the outcome.
    // REQUIRES: the lifecycle lock.
    reconnect::AttemptResult relogin(int attempt);

    // Ends an attempt whose code raised past the guards of its client calls: reports it failed with `hr`.
    // REQUIRES: the lifecycle lock.
    void abandonAttempt(int attempt, HRESULT hr);

    // What gateway_Close does to the object, once: logs "Destructor called", withdraws the event
    // connection (waiting for a delivery in progress), disconnects a connected client and releases it.
    // Afterwards no host callback of this object runs. REQUIRES: the lifecycle lock, and not inside a
    // delivery of this object.
    void shutdown();

    // Each takes the lock its callback is read under (m_Mutex; m_reportMutex for the connection-state
    // callback), so a callback never changes while it may be called. Refused (nothing changes) inside a
    // callback.
    void RegisterAlarmStateCallback(AlarmStateCallback callback);
    void RegisterAlarmAccessCallback(AlarmAccessCallback callback);
    void RegisterGenericEventCallback(GenericEventCallback callback);
    void RegisterDisconnectCallback(DisconnectCallback callback);
    void RegisterConnectionStateCallback(ConnectionStateCallback callback);

    // Subscription: checks the object on the server and records the triple. Its client calls run without
    // m_Mutex; the callback check and the list update take it. Refused (false) inside a callback.
    bool RegisterAlarmEvent(long objectType, long objectId, long state);
    // For tests: whether a triple is subscribed. Takes m_Mutex.
    bool isSubscribed(long objectType, long objectId, long state);

    // The three event translators, called by OnEvent on the client's thread with a reference OnEvent
    // owns (and releases under the guard). Each reads the event, drops it when too old, logs it, and either
    // calls the host (`queue` null, with m_Mutex held) or queues a copy of what the callback receives
    // (without m_Mutex).
    void handleAccessEvent(IAccessEvent* event, delivery::Queue* queue);
    void handleObjectState(IObjectState* event, delivery::Queue* queue);
    void handleGenericEvent(IGenericEvent* event, delivery::Queue* queue);

    // The delivery queue this object delivers through, or null when it delivers on the client's thread.
    // Set only by gateway_Init (with no client advised) and read on every delivery.
    delivery::Queue* deliveryQueue() const { return m_queue.load(std::memory_order_acquire); }

    // Written and read without the mutex: a single aligned 32-bit value.
    void setDropDuration(int seconds) { m_DropDuration = seconds; }
    int dropDuration() const { return m_DropDuration; }

    // Door and point services (src/doors/). They run on the host's calling thread on a snapshot of the
    // client (client()), so a concurrent Close or Init never releases the client under them, and hand the
    // host records it releases through the cleanup exports. Every call they make on the client and its
    // objects runs under a doors::ClientGuard: a client that raises fails the service like a failed call,
    // and nothing the service holds is abandoned.
    bool getAllDoors(Device** ppDevices, int32_t* pDeviceCount, int32_t* pDoorCount);
    bool getPointState(int32_t pointId, PointState* pointState);
    // For the door enumeration: resolves a point id on the enumeration's snapshot of the client, with the
    // enumeration's guard (a raise inside ends the whole enumeration).
    bool getPointDefinition(const doors::ClientGuard& guarded, IComClient* client, int32_t pointId,
                            PointDefinition* pDefinition);
    bool controlDoor(int32_t objectType, int32_t objectId, int32_t command);

    // A counted reference to the current client, or null. An AddRef that raises gives null; it is logged
    // as "Exception in IUnknown::AddRef: ..." unless the caller takes the outcome in `raised`.
    ClientRef<IComClient> client(seh::Outcome* raised = nullptr) const;

    // The connection check (ConnectionCheck.cpp): the client and the connection the host was last told is
    // up; no client while a login runs or while the host was not told the connection is up. Takes
    // m_stateLock and m_clientLock one after the other, never m_Mutex.
    struct CheckTarget {
        ClientRef<IComClient> client;
        unsigned connection = 0;
    };
    CheckTarget checkTarget();

private:
    // The login from the client's creation on: withdraws and releases the earlier client, creates, logs in
    // and advises the new one. The HRESULT of the step that failed; a client call that raised counts as a
    // failed step (see clientCall). REQUIRES: the lifecycle lock, between beginLogin and endLogin.
    HRESULT login(const std::wstring& user, const std::wstring& password);
    HRESULT createConnectionPoints(IComClient* client);
    // Runs one client call of a lifecycle operation under the structured-exception guard, with nothing
    // owned between the guard and the call. What it raises is logged as "Exception in <m_operation>: ..."
    // and answered with the HRESULT that stands for it, so the operation goes on as after a failure.
    template <class Call>
    HRESULT clientCall(Call&& call);

    // The connection as the host has been told of it. A login (Init or an attempt) runs between
    // beginLogin and endLogin: the client's reports of the connection being logged in wait for its end,
    // and endLogin reports the outcome (and a loss seen meanwhile after it). Returns true when the new
    // connection was lost before the login ended. REQUIRES: the lifecycle lock.
    void beginLogin(std::string operation);
    bool endLogin(int attempt, HRESULT hr);
    // The client's report of `connection`: what it changes in the connection the host was told of.
    // REQUIRES: m_Mutex (it runs inside a delivery).
    void noteClientState(long state, unsigned connection);
    // Queues a connection-state report; a 0 or 1 also sets m_reportedUp and the statistics' loggedIn.
    // REQUIRES: m_stateLock held.
    void queueReport(int32_t state, int32_t attempt, int32_t hr);
    // Delivers the queued reports in order unless another thread is delivering them already, in which
    // case that thread delivers these too. No gateway lock is held while the callback runs: the host may
    // call the door exports from it even against a client that serialises its requests with its event
    // deliveries. Reports never overlap one another.
    void deliverReports();
    // Unpacks one OnEvent array where it lies (the client's, locked for the call) and hands each event
    // object to its translator. REQUIRES: m_Mutex held, unless `queue` is not null.
    HRESULT dispatchEvents(SAFEARRAY* events, delivery::Queue* queue);
    // One element of an OnEvent array (its type, and its object when the type is VT_UNKNOWN): the object
    // asked for the three interfaces and translated. False when the element is not an object, which ends
    // the handling of its array.
    bool dispatchElement(VARTYPE type, IUnknown* object, delivery::Queue* queue);
    struct KeptEvents;
    // What keepEvents kept of an array, delivered as dispatchEvents delivers one. REQUIRES: m_Mutex held.
    void dispatchKept(const KeptEvents& kept);
    // Takes what an OnEvent array on the delivering thread holds, for delivery after the current callback:
    // its shape, and a reference of the gateway's own to each object, taken under the guard. A raising
    // AddRef costs that event alone. Returns what a direct delivery tells the client: the failure of an
    // array whose elements are not VARIANTs or that cannot be read (what was kept before it is delivered
    // all the same), otherwise S_OK.
    static HRESULT keepEvents(SAFEARRAY* events, KeptEvents& kept);
    // gateway_Init's reading of the host's delivery setting: starts a queue, changes its capacity, or
    // delivers what is queued and ends it. REQUIRES: the lifecycle lock, with no client advised.
    void applyDeliverySetting();
    // One queued callback, on the delivery thread: under m_Mutex (m_reportMutex for a report) like a
    // delivery on the client's thread, with the callback registered now.
    void deliverQueued(delivery::Item& item);
    // The client's state report: the log line, for state 0 the disconnect callback, and what it changes in
    // the connection the host was told of. REQUIRES: m_Mutex.
    void handleClientState(long state, unsigned connection);
    // What the connection check changes in a state report (ConnectionCheck.cpp): the check's finding (its
    // connection marked with connectionCheck::kFoundByCheck, which this takes off) is a loss of that
    // connection while it is the one the host was told is up and the client reported nothing of it since
    // the check asked (checkTarget); the client's own later report of a loss the check found is not passed
    // on a second time. Decided under m_stateLock, so that it holds also when the client's report and the
    // check's arrive on two threads at once (with the delivery queue on). False when the report goes no
    // further.
    bool screenForConnectionCheck(long state, unsigned& connection);
    // Runs work() as a delivery: with m_Mutex held, inside a delivery scope, followed by what it caused to
    // be kept. Not on a thread that holds m_Mutex.
    template <class Work>
    auto delivering(Work&& work);
    // One OnEvent array or one state change, under their boundary guard. REQUIRES: m_Mutex held, unless
    // `queue` (or deliveryQueue()) is not null.
    HRESULT deliverEvents(SAFEARRAY* events, delivery::Queue* queue);
    void deliverState(long state, unsigned connection);
    // Delivers what nested deliveries kept, in arrival order. REQUIRES: m_Mutex held by this thread.
    void deliverKept();
    // Unadvises the sink, then disconnects (if connected) and releases the client; reports of the old
    // connection count no more. REQUIRES: the lifecycle lock or the destructor.
    void releaseClient();
    // What each Register*Callback does: unless refused inside a callback, sets `slot` under `mutex`.
    template <class Callback>
    void registerCallback(const char* operation, OwnedMutex& mutex, Callback& slot, Callback callback);
    // Replaces m_ComClient under m_clientLock; the old reference is released after the lock.
    void setClient(ClientRef<IComClient> client);

    // Guarded by m_Mutex (written by the Register* operations, read while delivering events).
    AlarmStateCallback m_AlarmStateCallback = nullptr;
    AlarmAccessCallback m_AlarmAccessCallback = nullptr;
    GenericEventCallback m_GenericEventCallback = nullptr;
    DisconnectCallback m_DisconnectCallback = nullptr;

    // Guarded by m_reportMutex, which is held while the connection-state callback runs (never m_Mutex
    // while another thread holds it: see deliverReports).
    ConnectionStateCallback m_connectionStateCallback = nullptr;
    OwnedMutex m_reportMutex;

    // The connection as the host has been told of it. Guarded by m_stateLock, which is held only to read
    // and change these, never while anything foreign runs.
    struct Report {
        int32_t state, attempt, hr;
    };
    std::mutex m_stateLock;
    unsigned m_connection = 0;       // the event connection whose reports count; 0: none
    unsigned m_connections = 0;      // event connections made so far (numbers them)
    bool m_loggingIn = false;        // between beginLogin and endLogin
    unsigned m_loginConnections = 0; // connections numbered above this one belong to the login under way
    bool m_lostDuringLogin = false;  // the connection being logged in reported a loss meanwhile
    bool m_reportedUp = false;       // the last report queued said connected (set by queueReport only)
    unsigned m_lossPassedOn = 0;     // the connection whose loss the host was told of last (by the client
                                     // or the connection check), until it is reported back; 0: none
    bool m_lossFoundByCheck = false; // that loss was the connection check's finding
    unsigned m_checkAsking = 0;      // the connection a check has asked about since the client last
                                     // reported its state (set by checkTarget); 0: none, or the client's
                                     // report is newer than any answer of the check
    std::deque<Report> m_reports;    // queued, not yet delivered
    bool m_reporting = false;        // a thread is delivering m_reports

    // Written by Init and releaseClient under the lifecycle lock and m_clientLock; read through client()
    // by the door services and the subscription on any thread.
    ClientRef<IComClient> m_ComClient;
    mutable SRWLOCK m_clientLock = SRWLOCK_INIT;
    // The event connection point with the cookie of its Advise. Used only under the lifecycle lock (Init,
    // the re-login, releaseClient) or by the destructor.
    AdviceOwner m_ConnectionPoint;
    // What is advised: forwards the client's calls to this object until the event connection is withdrawn.
    ClientRef<EventSinkForwarder> m_sinkForwarder;
    bool m_shutDown = false;
    // The lifecycle operation under way ("gateway_Init", "re-login attempt 2", "gateway_Close"), for the
    // lines of a client call that raised.
    std::string m_operation = "gateway_Init";

    // Guarded by m_Mutex.
    SiPassNodeList m_NotifyList;

    // A delivery that arrived on the thread that holds m_Mutex (a host callback made the client deliver
    // synchronously), kept until the callback has returned. Guarded by m_Mutex.
    struct KeptElement {
        VARTYPE vt = VT_EMPTY;
        ClientRef<IUnknown> object;  // null for a null object and for one whose AddRef raised
        bool lost = false;           // its AddRef raised (logged when it was kept)
    };
    struct KeptEvents {
        bool present = false;  // the client passed an array
        safearray::ArrayShape shape = safearray::ArrayShape::VariantVector;
        HRESULT typeFailure = E_INVALIDARG;
        // Up to the first element that is not an object: nothing after it is read.
        std::vector<KeptElement> elements;
    };
    struct KeptDelivery {
        bool stateChange = false;
        long state = 0;
        unsigned connection = 0;
        KeptEvents events;
    };
    std::deque<KeptDelivery> m_kept;
    bool m_deliveringKept = false;

    // Held while events are delivered and while the callbacks or the subscriptions change. Not recursive:
    // the operations that take it first refuse a thread that is delivering (processGateway::refusedInsideCallback),
    // and a delivery that arrives on that thread is kept (m_kept) instead of taking it again. Nothing foreign
    // is called with it held except under the structured-exception guard.
    mutable OwnedMutex m_Mutex;

    // The queue in use (null: direct delivery) and the queues this object started; a queue that was turned
    // off is kept until the object ends, so a late reader of m_queue never finds it freed.
    std::atomic<delivery::Queue*> m_queue{nullptr};
    std::vector<std::unique_ptr<delivery::Queue>> m_queues;
    ManagedDLLLoaderCpp m_Loader;
    volatile int m_DropDuration = 180;
};
