// The single gateway object: owns the access-control client, the login, the event connection, the host
// callbacks and the event age limit. It is also the sink of the client's event interface.
#pragma once

#include <wrl/client.h>

#include <string>

#include "ClientInterfaces.h"
#include "EventSinkForwarder.h"
#include "ManagedDLLLoader.h"
#include "OwnedMutex.h"
#include "SiPassNodeList.h"
#include "SiPassVormekGateway.h"

class SiPassGateWay : public _ICOMClientEvents {
public:
    // Joins the multithreaded COM apartment on the calling thread.
    SiPassGateWay();
    // Withdraws the event connection, disconnects a connected client and clears the process-wide pointer.
    virtual ~SiPassGateWay();

    SiPassGateWay(const SiPassGateWay&) = delete;
    SiPassGateWay& operator=(const SiPassGateWay&) = delete;

    // IUnknown. The object's lifetime belongs to the process-wide gateway pointer, never to COM
    // references: AddRef and Release count nothing.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    // _ICOMClientEvents, called by the client on threads of its own.
    HRESULT STDMETHODCALLTYPE OnClientStateChanged(long state) override;
    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY* events) override;
    HRESULT STDMETHODCALLTYPE OnAlarm(long value) override;
    HRESULT STDMETHODCALLTYPE OnSubscriptionEvent(long value) override;

    // The login sequence. True when logged in with the event connection in place. Every copy of the
    // password it makes (the parameter included) is overwritten before it is freed. Refused (false) on a
    // thread that is inside a gateway callback.
    bool Init(std::wstring user, std::wstring password);

    // True on the client thread that is delivering an event or a state change, that is inside any host
    // callback (log function included) the gateway calls with m_Mutex held.
    bool insideCallback() const { return m_Mutex.heldByThisThread(); }
    // When insideCallback(): logs "<operation> refused: ..." with errLog and returns true. Called first by
    // every operation that takes m_Mutex or waits for a delivery to end, which would otherwise wait for
    // its own thread forever.
    bool refusedInsideCallback(const char* operation) const;

    // Each takes m_Mutex, so a callback never changes while an event is being delivered. Refused (nothing
    // changes) inside a callback.
    void RegisterAlarmStateCallback(AlarmStateCallback callback);
    void RegisterAlarmAccessCallback(AlarmAccessCallback callback);
    void RegisterGenericEventCallback(GenericEventCallback callback);
    void RegisterDisconnectCallback(DisconnectCallback callback);

    // Subscription: checks the object on the server and records the triple. Takes m_Mutex; refused
    // (false) inside a callback.
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

    // Door and point services (src/doors/). They run on the host's calling thread, use m_ComClient
    // without the mutex and hand the host records it releases through the cleanup exports.
    bool getAllDoors(Device** ppDevices, int32_t* pDeviceCount, int32_t* pDoorCount);
    bool getPointState(int32_t pointId, PointState* pointState);
    bool getPointDefinition(int32_t pointId, PointDefinition* pDefinition);
    bool controlDoor(int32_t objectType, int32_t objectId, int32_t command);

private:
    bool createConnectionPoints();
    // Unpacks one OnEvent array and hands each event object to its translator. REQUIRES: m_Mutex held.
    HRESULT dispatchEvents(SAFEARRAY* events);
    // Unadvises the sink, then disconnects (if connected) and releases the client.
    void releaseClient();

    // Guarded by m_Mutex (written by the Register* operations, read while delivering events).
    AlarmStateCallback m_AlarmStateCallback = nullptr;
    AlarmAccessCallback m_AlarmAccessCallback = nullptr;
    GenericEventCallback m_GenericEventCallback = nullptr;
    DisconnectCallback m_DisconnectCallback = nullptr;

    // Written by Init and the destructor on host threads; the client delivers events only while advised.
    Microsoft::WRL::ComPtr<IComClient> m_ComClient;
    Microsoft::WRL::ComPtr<IConnectionPoint> m_ConnectionPoint;
    DWORD m_AdviseCookie = 0;
    // What is advised: forwards the client's calls to this object until the event connection is withdrawn.
    Microsoft::WRL::ComPtr<EventSinkForwarder> m_SinkForwarder;

    // Guarded by m_Mutex.
    SiPassNodeList m_NotifyList;

    // Held while events are delivered and while the callbacks or the subscriptions change. Not recursive:
    // the operations that take it first refuse a thread that already holds it (refusedInsideCallback).
    mutable OwnedMutex m_Mutex;
    ManagedDLLLoaderCpp m_Loader;
    volatile int m_DropDuration = 180;
};
