// The simulated client object (CLSID_ComClient) and its one connection point for _ICOMClientEvents.
//
// Locking: m_connectionState, m_eventMask, m_user, m_password, m_lostToOutage and m_sinks are guarded by
// State::mutex, as is the registry of live clients the object enters in its constructor and leaves in its
// destructor. The control API reaches a client only through that registry and with that mutex held, so a
// client it finds there is alive until the mutex is released (its destructor first waits for the mutex).
//
// Ownership: the connection point is a member of the client and shares the client's reference count,
// so a reference to the connection point keeps the whole client alive. Each advised sink is held by a
// shared entry; the event thread takes its own share of the entries it calls, so a sink unadvised while
// an event is being delivered is released by whichever of the two lets go last, never under a lock.
#pragma once

#include "SimRuntime.h"

#include "client/ClientInterfaces.h"

#include <ocidl.h>
#include <olectl.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

namespace sim::detail {

struct AdvisedSink {
    DWORD cookie;
    Microsoft::WRL::ComPtr<_ICOMClientEvents> events;
};

class ComClient final : public IComClient, public IConnectionPointContainer, private RefCounted {
public:
    static HRESULT create(REFIID iid, void** object);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

    // IComClient
    HRESULT STDMETHODCALLTYPE get_ConnectionState(long* state) override;
    HRESULT STDMETHODCALLTYPE get_EventMask(long* mask) override;
    HRESULT STDMETHODCALLTYPE put_EventMask(long mask) override;
    HRESULT STDMETHODCALLTYPE Connect(BSTR user, BSTR password) override;
    HRESULT STDMETHODCALLTYPE Disconnect() override;
    HRESULT STDMETHODCALLTYPE SendManualCommand(IManualCommand* command) override;
    HRESULT STDMETHODCALLTYPE GetByID(long type, long id, IUnknown** object) override;
    HRESULT STDMETHODCALLTYPE GetByType(long type, long reserved, SAFEARRAY** objects) override;
    HRESULT STDMETHODCALLTYPE reserved11() override;
    HRESULT STDMETHODCALLTYPE GetRelatives(long type, long id, long relation, long reserved,
                                           SAFEARRAY** objects) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;

    // For the control API; the caller holds State::mutex.
    ClientSnapshot snapshotLocked() const;
    int sinkCountLocked() const { return static_cast<int>(m_sinks.size()); }
    void appendSinksLocked(std::vector<std::shared_ptr<const AdvisedSink>>& sinks) const;
    void setConnectionStateLocked(long connectionState) { m_connectionState = connectionState; }
    // Server outages (ServerOutage.cpp); the caller holds State::mutex. The start of an outage: a connected
    // client loses its connection; true when it had one.
    bool loseConnectionLocked();
    // The end of an outage: a client that lost its connection to it logs in again with the account of its
    // last Connect when `reconnect` and that account still has the same password; true when it did. Either
    // way the outage is forgotten, so that a later one starts afresh.
    bool endOutageLocked(const State& st, bool reconnect);

private:
    ComClient();
    ~ComClient() override;

    class ConnectionPoint final : public IConnectionPoint {
    public:
        explicit ConnectionPoint(ComClient& owner) : m_owner(owner) {}

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
        ULONG STDMETHODCALLTYPE AddRef() override { return m_owner.AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return m_owner.Release(); }

        HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
        HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
        HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
        HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
        HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

    private:
        ComClient& m_owner;
    };

    ConnectionPoint m_point{*this};
    // Whether a request reaches the server: the client is connected and the server online. The caller
    // holds State::mutex.
    bool connectedLocked(const State& st) const {
        return m_connectionState == kClientConnected && st.serverOnline;
    }

    long m_connectionState = 0;
    long m_eventMask = 0;
    std::wstring m_user;
    std::wstring m_password;  // of the last successful Connect, for a login after an outage
    // Connected when the server went offline, and neither connected nor disconnected since.
    bool m_lostToOutage = false;
    std::vector<std::shared_ptr<const AdvisedSink>> m_sinks;
};

}  // namespace sim::detail
