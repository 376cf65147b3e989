// The single gateway object: owns the access-control client, the login, the event connection, the host
// callbacks and the event age limit. It is also the sink of the client's event interface.
#pragma once

#include <wrl/client.h>

#include <deque>
#include <memory>
#include <string>

#include "ComOwners.h"

#include "ClientInterfaces.h"
#include "EventSinkForwarder.h"
#include "ManagedDLLLoader.h"
#include "OwnedMutex.h"
#include "SiPassNodeList.h"
#include "SiPassVormekGateway.h"

class SiPassGateWay : public _ICOMClientEvents, public std::enable_shared_from_this<SiPassGateWay> {
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

    // The login sequence. True when logged in with the event connection in place. Every copy of the
    // password it makes (the parameter included) is overwritten before it is freed. Refused (false) on a
    // thread that is inside a gateway callback. REQUIRES: the lifecycle lock (gateway::lifecycleMutex).
    bool Init(std::wstring user, std::wstring password);

    // One automatic re-login attempt with the kept credentials (on the supervisor thread): reports
    // 2, attempt, 0, logs in as Init does from the client's creation on, and reports the outcome. The
    // HRESULT of the step that failed. REQUIRES: the lifecycle lock.
    HRESULT relogin(int attempt);

    // Calls the connection-state callback as the event callbacks are called: with m_Mutex held, inside a
    // delivery scope. Not on a thread that holds m_Mutex.
    void reportConnectionState(int32_t state, int32_t attempt, int32_t hr);

    // What gateway_Close does to the object, once: logs "Destructor called", withdraws the event
    // connection (waiting for a delivery in progress), disconnects a connected client and releases it.
    // Afterwards no host callback of this object runs. REQUIRES: the lifecycle lock, and not inside a
    // delivery of this object.
    void shutdown();

    // Each takes m_Mutex, so a callback never changes while an event is being delivered. Refused (nothing
    // changes) inside a callback.
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

    // The three event translators, called by OnEvent on the client's thread with m_Mutex held. Each owns
    // the reference it is given, reads the event, drops it when too old, logs it and calls the host.
    void handleAccessEvent(Microsoft::WRL::ComPtr<IAccessEvent> event);
    void handleObjectState(Microsoft::WRL::ComPtr<IObjectState> event);
    void handleGenericEvent(Microsoft::WRL::ComPtr<IGenericEvent> event);

    // Written and read without the mutex: a single aligned 32-bit value.
    void setDropDuration(int seconds) { m_DropDuration = seconds; }
    int dropDuration() const { return m_DropDuration; }

    // Door and point services (src/doors/). They run on the host's calling thread on a snapshot of the
    // client (client()), so a concurrent Close or Init never releases the client under them, and hand the
    // host records it releases through the cleanup exports.
    bool getAllDoors(Device** ppDevices, int32_t* pDeviceCount, int32_t* pDoorCount);
    bool getPointState(int32_t pointId, PointState* pointState);
    bool getPointDefinition(IComClient* client, int32_t pointId, PointDefinition* pDefinition);
    bool controlDoor(int32_t objectType, int32_t objectId, int32_t command);

    // A counted reference to the current client, or null.
    Microsoft::WRL::ComPtr<IComClient> client() const;

private:
    // The login from the client's creation on: withdraws and releases the earlier client, creates, logs in
    // and advises the new one. The HRESULT of the step that failed.
    HRESULT login(const std::wstring& user, const std::wstring& password);
    HRESULT createConnectionPoints(IComClient* client);
    // REQUIRES: m_Mutex held by this thread, inside a delivery scope.
    void callConnectionState(int32_t state, int32_t attempt, int32_t hr);
    // Unpacks one OnEvent array and hands each event object to its translator. REQUIRES: m_Mutex held.
    HRESULT dispatchEvents(SAFEARRAY* events);
    // The client's state report: the log line and, for state 0, the disconnect callback. REQUIRES: m_Mutex.
    void handleClientState(long state);
    // Runs work() as a delivery: with m_Mutex held, inside a delivery scope, followed by what it caused to
    // be kept. Not on a thread that holds m_Mutex.
    template <class Work>
    auto delivering(Work&& work);
    // One OnEvent array or one state change, under their boundary guard. REQUIRES: m_Mutex held.
    HRESULT deliverEvents(SAFEARRAY* events);
    void deliverState(long state);
    // Delivers what nested deliveries kept, in arrival order. REQUIRES: m_Mutex held by this thread.
    void deliverKept();
    // Unadvises the sink, then disconnects (if connected) and releases the client. REQUIRES: the
    // lifecycle lock or the destructor.
    void releaseClient();
    // Replaces m_ComClient under m_ClientLock; the old reference is released after the lock.
    void setClient(Microsoft::WRL::ComPtr<IComClient> client);

    // Guarded by m_Mutex (written by the Register* operations, read while delivering events).
    AlarmStateCallback m_AlarmStateCallback = nullptr;
    AlarmAccessCallback m_AlarmAccessCallback = nullptr;
    GenericEventCallback m_GenericEventCallback = nullptr;
    DisconnectCallback m_DisconnectCallback = nullptr;
    ConnectionStateCallback m_ConnectionStateCallback = nullptr;

    // Written by Init and releaseClient under the lifecycle lock and m_ClientLock; read through client()
    // by the door services and the subscription on any thread.
    Microsoft::WRL::ComPtr<IComClient> m_ComClient;
    mutable SRWLOCK m_ClientLock = SRWLOCK_INIT;
    // Used only under the lifecycle lock (Init, releaseClient) or by the destructor.
    Microsoft::WRL::ComPtr<IConnectionPoint> m_ConnectionPoint;
    DWORD m_AdviseCookie = 0;
    // What is advised: forwards the client's calls to this object until the event connection is withdrawn.
    Microsoft::WRL::ComPtr<EventSinkForwarder> m_SinkForwarder;
    bool m_ShutDown = false;

    // Guarded by m_Mutex.
    SiPassNodeList m_NotifyList;

    // A delivery that arrived on the thread that holds m_Mutex (a host callback made the client deliver
    // synchronously), kept until the callback has returned. Guarded by m_Mutex.
    struct KeptDelivery {
        bool stateChange = false;
        long state = 0;
        SafeArrayOwner events;  // a copy that holds a reference to every object in it; empty: no array
    };
    std::deque<KeptDelivery> m_Kept;
    bool m_DeliveringKept = false;

    // Held while events are delivered and while the callbacks or the subscriptions change. Not recursive:
    // the operations that take it first refuse a thread that is delivering (gateway::refusedInsideCallback),
    // and a delivery that arrives on that thread is kept (m_Kept) instead of taking it again. Nothing foreign
    // is called with it held except under the structured-exception guard.
    mutable OwnedMutex m_Mutex;
    ManagedDLLLoaderCpp m_Loader;
    volatile int m_DropDuration = 180;
};
