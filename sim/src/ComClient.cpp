// The simulated client object and its connection point. Every method starts with enter() (call counting
// and fault injection), then checks its arguments, then does its work. The requests to the server
// (Connect, Disconnect, put_EventMask, SendManualCommand, GetByID, GetByType, GetRelatives) wait for their
// turn right after enter(), for serialised requests, and Connect then waits out the connect delay; the
// getters read the client's own state.
#include "ComClient.h"

#include "com/CComBSTR.h"

#include "ComClasses.h"
#include "EventGenerator.h"
#include "SiteCommands.h"
#include "SiteFileLoading.h"
#include "SiteModelObjects.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

namespace sim::detail {

using Microsoft::WRL::ComPtr;

namespace {

// Object types (EObjType) and the relation of the site model.
constexpr long kSiteDeviceType = 6;
constexpr long kSitePointType = 7;
constexpr long kStateRelation = 2;

// The connect delay: waits until setConnectDelay's value, as it stands while waiting, has passed since the
// wait began, so that shortening the delay lets a waiting Connect answer sooner. Counted in
// State::waitingConnects while it waits. REQUIRES: no simulator lock held.
void waitOutConnectDelay() {
    auto& st = state();
    std::unique_lock<std::mutex> lock(st.mutex);
    if (st.connectDelayMs == 0) {
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    ++st.waitingConnects;
    st.serverChanged.notify_all();
    for (;;) {
        const auto until = start + std::chrono::milliseconds(st.connectDelayMs);
        if (std::chrono::steady_clock::now() >= until) {
            break;
        }
        st.serverChanged.wait_until(lock, until);
    }
    --st.waitingConnects;
    st.serverChanged.notify_all();
}

}  // namespace

HRESULT ComClient::create(REFIID iid, void** object) {
    const HRESULT site = loadSiteFromEnvironment();
    if (FAILED(site)) {
        return failWith(site, object);
    }
    const HRESULT settings = checkGeneratorEnvironment();
    if (FAILED(settings)) {
        return failWith(settings, object);
    }
    auto* client = new (std::nothrow) ComClient;
    if (client == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = client->QueryInterface(iid, object);
    client->releaseInternal();
    return hr;
}

HRESULT createComClient(REFIID iid, void** object) {
    return noThrow([&] { return ComClient::create(iid, object); });
}

ComClient::ComClient() {
    auto& st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    m_eventMask = st.initialEventMask;
    st.clients.push_back(this);
}

ComClient::~ComClient() {
    std::vector<std::shared_ptr<const AdvisedSink>> released;
    {
        auto& st = state();
        std::lock_guard<std::mutex> lock(st.mutex);
        st.clients.erase(std::remove(st.clients.begin(), st.clients.end(), this), st.clients.end());
        released.swap(m_sinks);
        st.sinksChanged.notify_all();
    }
    // `released` lets go of the sinks here, outside the lock.
}

HRESULT ComClient::QueryInterface(REFIID iid, void** object) {
    return queryInterface<IComClient, IConnectionPointContainer>(this, iid, object);
}

HRESULT ComClient::get_ConnectionState(long* connectionState) {
    return getProperty("IComClient::get_ConnectionState", connectionState, [this] {
        std::lock_guard<std::mutex> lock(state().mutex);
        return m_connectionState;
    });
}

HRESULT ComClient::get_EventMask(long* mask) {
    return getProperty("IComClient::get_EventMask", mask, [this] {
        std::lock_guard<std::mutex> lock(state().mutex);
        return m_eventMask;
    });
}

HRESULT ComClient::put_EventMask(long mask) {
    const HRESULT injected = enter("IComClient::put_EventMask");
    if (FAILED(injected)) {
        return injected;
    }
    awaitRequestTurn();
    std::lock_guard<std::mutex> lock(state().mutex);
    m_eventMask = mask;
    return finish(injected, S_OK);
}

HRESULT ComClient::Connect(BSTR user, BSTR password) {
    const HRESULT injected = enter("IComClient::Connect");
    if (FAILED(injected)) {
        return injected;
    }
    awaitRequestTurn();
    waitOutConnectDelay();
    const HRESULT hr = noThrow([&] {
        std::wstring userName = fromBstr(user);
        std::wstring secret = fromBstr(password);
        auto& st = state();
        std::lock_guard<std::mutex> lock(st.mutex);
        if (!st.serverOnline) {
            return E_SIM_SERVER_OFFLINE;  // the server is asked when the answer comes, after the delay
        }
        const auto account = st.accounts.find(userName);
        if (account == st.accounts.end() || account->second != secret) {
            return E_SIM_LOGIN_REJECTED;
        }
        m_user = std::move(userName);
        m_password = std::move(secret);
        m_lostToOutage = false;
        m_connectionState = kClientConnected;
        return finish(injected, S_OK);
    });
    if (SUCCEEDED(hr)) {
        startEventGeneratorFromEnvironment();
        startTimelineOnConnect();
    }
    return hr;
}

HRESULT ComClient::Disconnect() {
    const HRESULT injected = enter("IComClient::Disconnect");
    if (FAILED(injected)) {
        return injected;
    }
    awaitRequestTurn();
    std::lock_guard<std::mutex> lock(state().mutex);
    m_connectionState = 0;
    m_user.clear();
    m_password.clear();
    m_lostToOutage = false;  // given up by the host: the end of an outage does not bring it back
    return finish(injected, S_OK);
}

HRESULT ComClient::SendManualCommand(IManualCommand* command) {
    const HRESULT injected = enter("IComClient::SendManualCommand");
    if (FAILED(injected)) {
        return injected;
    }
    awaitRequestTurn();
    if (command == nullptr) {
        return E_POINTER;
    }
    return noThrow([&] {
        // Read outside the lock: the command may be a foreign object, and the QueryInterface calls it.
        void* borrowed = nullptr;
        if (FAILED(command->QueryInterface(__uuidof(ISimCommandFields), &borrowed)) || borrowed == nullptr) {
            return E_INVALIDARG;
        }
        auto* fields = static_cast<ISimCommandFields*>(borrowed);
        SentCommand sent{};
        CComBSTR text;
        const HRESULT read =
            fields->GetFields(&sent.objectId, &sent.objectType, &sent.command, text.ReleaseAndGetAddressOf());
        if (FAILED(read)) {
            return read;
        }
        sent.text = fromBstr(text.get());

        std::vector<EventObject> events;
        CommandEventDelivery delivery = CommandEventDelivery::Thread;
        {
            auto& st = state();
            std::lock_guard<std::mutex> lock(st.mutex);
            if (!connectedLocked(st)) {
                return E_SIM_NOT_CONNECTED;
            }
            // The server checks the command against the site; a refused one leaves no trace. The record's
            // room is made first, so that an accepted command cannot change the site and then go unrecorded.
            st.sentCommands.reserve(st.sentCommands.size() + 1);
            const HRESULT applied = applyCommandLocked(st.site, sent, localNow(), events);
            if (FAILED(applied)) {
                return applied;
            }
            st.sentCommands.push_back(sent);
            delivery = st.commandEvents;
            // Without an advised sink nobody hears the events: no thread is started for them.
            bool anySink = false;
            for (const ComClient* client : st.clients) {
                anySink = anySink || client->sinkCountLocked() > 0;
            }
            if (!anySink) {
                events.clear();
            }
        }
        raiseCommandEvents(std::move(events), delivery);
        return finish(injected, S_OK);
    });
}

HRESULT ComClient::GetByID(long type, long id, IUnknown** object) {
    const HRESULT injected = enter("IComClient::GetByID");
    if (FAILED(injected)) {
        return failWith(injected, object);
    }
    awaitRequestTurn();
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    return noThrow([&] {
        // A copy of what the object shows, taken under the lock; the object is made outside it.
        std::optional<SiteDevice> device;
        std::optional<SitePoint> point;
        std::wstring name;
        {
            auto& st = state();
            std::lock_guard<std::mutex> lock(st.mutex);
            if (!connectedLocked(st)) {
                return E_SIM_NOT_CONNECTED;
            }
            if (type == kSiteDeviceType) {
                const auto& devices = st.site.devices;
                const auto found = std::find_if(devices.begin(), devices.end(),
                                                [id](const SiteDevice& device) { return device.id == id; });
                if (found != devices.end()) {
                    device = *found;
                }
            } else if (type == kSitePointType) {
                const auto found = st.site.points.find(id);
                if (found != st.site.points.end()) {
                    point = found->second;
                }
            }
            if (!device && !point) {
                const auto found = st.objects.find({type, id});
                if (found == st.objects.end()) {
                    return E_SIM_NO_OBJECT;
                }
                name = found->second;
            }
        }
        if (device) {
            return finish(injected, createDeviceObject(*device, object));
        }
        if (point) {
            return finish(injected, createPointObject(*point, object));
        }
        return finish(injected, createNamedObject(name, object));
    });
}

HRESULT ComClient::GetByType(long type, long, SAFEARRAY** objects) {
    const HRESULT injected = enter("IComClient::GetByType");
    if (FAILED(injected)) {
        return failWith(injected, objects);
    }
    awaitRequestTurn();
    if (objects == nullptr) {
        return E_POINTER;
    }
    *objects = nullptr;
    return noThrow([&] {
        std::vector<SiteDevice> devices;
        ArrayForm form = ArrayForm::Normal;
        {
            auto& st = state();
            std::lock_guard<std::mutex> lock(st.mutex);
            if (!connectedLocked(st)) {
                return E_SIM_NOT_CONNECTED;
            }
            if (type != kSiteDeviceType) {
                return E_NOTIMPL;  // the simulated site lists its devices only
            }
            devices = st.site.devices;
            form = st.site.deviceArray;
        }
        return finish(injected, createDeviceArray(devices, form, objects));
    });
}

HRESULT ComClient::reserved11() {
    const HRESULT injected = enter("IComClient::reserved11");
    return FAILED(injected) ? injected : E_NOTIMPL;
}

HRESULT ComClient::GetRelatives(long type, long id, long relation, long, SAFEARRAY** objects) {
    const HRESULT injected = enter("IComClient::GetRelatives");
    if (FAILED(injected)) {
        return failWith(injected, objects);
    }
    awaitRequestTurn();
    if (objects == nullptr) {
        return E_POINTER;
    }
    *objects = nullptr;
    return noThrow([&] {
        SitePoint point;
        {
            auto& st = state();
            std::lock_guard<std::mutex> lock(st.mutex);
            if (!connectedLocked(st)) {
                return E_SIM_NOT_CONNECTED;
            }
            if (type != kSitePointType || relation != kStateRelation) {
                return E_NOTIMPL;  // the only relation the site knows: a point's state
            }
            const auto found = st.site.points.find(id);
            if (found == st.site.points.end()) {
                return E_SIM_NO_OBJECT;
            }
            point = found->second;
        }
        return finish(injected, createStateArray(point, objects));
    });
}

HRESULT ComClient::EnumConnectionPoints(IEnumConnectionPoints** points) {
    const HRESULT injected = enter("IConnectionPointContainer::EnumConnectionPoints");
    return failWith(FAILED(injected) ? injected : E_NOTIMPL, points);
}

HRESULT ComClient::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
    const HRESULT injected = enter("IConnectionPointContainer::FindConnectionPoint");
    if (FAILED(injected)) {
        return failWith(injected, point);
    }
    if (point == nullptr) {
        return E_POINTER;
    }
    *point = nullptr;
    if (!IsEqualIID(iid, __uuidof(_ICOMClientEvents))) {
        return CONNECT_E_NOCONNECTION;
    }
    retain();
    *point = &m_point;
    return finish(injected, S_OK);
}

ClientSnapshot ComClient::snapshotLocked() const {
    return ClientSnapshot{m_connectionState, m_eventMask, static_cast<int>(m_sinks.size()), m_user};
}

bool ComClient::loseConnectionLocked() {
    if (m_connectionState != kClientConnected) {
        return false;
    }
    m_connectionState = 0;
    m_lostToOutage = true;
    return true;
}

bool ComClient::endOutageLocked(const State& st, bool reconnect) {
    const bool lost = m_lostToOutage;
    m_lostToOutage = false;
    if (!lost || !reconnect) {
        return false;
    }
    const auto account = st.accounts.find(m_user);
    if (account == st.accounts.end() || account->second != m_password) {
        return false;  // the account changed meanwhile: the client's login is refused like anyone's
    }
    m_connectionState = kClientConnected;
    return true;
}

void ComClient::appendSinksLocked(std::vector<std::shared_ptr<const AdvisedSink>>& sinks) const {
    sinks.insert(sinks.end(), m_sinks.begin(), m_sinks.end());
}

HRESULT ComClient::ConnectionPoint::QueryInterface(REFIID iid, void** object) {
    return answerQueryInterface<IConnectionPoint>(this, iid, object, [this] { m_owner.retain(); });
}

HRESULT ComClient::ConnectionPoint::GetConnectionInterface(IID* iid) {
    const HRESULT injected = enter("IConnectionPoint::GetConnectionInterface");
    if (FAILED(injected)) {
        return injected;
    }
    if (iid == nullptr) {
        return E_POINTER;
    }
    *iid = __uuidof(_ICOMClientEvents);
    return finish(injected, S_OK);
}

HRESULT ComClient::ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    const HRESULT injected = enter("IConnectionPoint::GetConnectionPointContainer");
    if (FAILED(injected)) {
        return failWith(injected, container);
    }
    if (container == nullptr) {
        return E_POINTER;
    }
    m_owner.retain();
    *container = &m_owner;
    return finish(injected, S_OK);
}

HRESULT ComClient::ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    const HRESULT injected = enter("IConnectionPoint::Advise");
    if (cookie != nullptr) {
        *cookie = 0;
    }
    if (FAILED(injected)) {
        return injected;
    }
    if (sink == nullptr || cookie == nullptr) {
        return E_POINTER;
    }
    return noThrow([&] {
        // The sink's QueryInterface runs before the lock is taken.
        ComPtr<_ICOMClientEvents> events;
        if (FAILED(sink->QueryInterface(IID_PPV_ARGS(events.GetAddressOf()))) || !events) {
            return CONNECT_E_CANNOTCONNECT;
        }
        auto entry = std::make_shared<AdvisedSink>(AdvisedSink{0, std::move(events)});
        auto& st = state();
        std::lock_guard<std::mutex> lock(st.mutex);
        m_owner.m_sinks.reserve(m_owner.m_sinks.size() + 1);  // the only step that can throw, done first
        if (++st.lastCookie == 0) {
            ++st.lastCookie;
        }
        entry->cookie = st.lastCookie;
        m_owner.m_sinks.push_back(entry);
        st.sinksChanged.notify_all();
        *cookie = entry->cookie;
        return finish(injected, S_OK);
    });
}

HRESULT ComClient::ConnectionPoint::Unadvise(DWORD cookie) {
    const HRESULT injected = enter("IConnectionPoint::Unadvise");
    if (FAILED(injected)) {
        return injected;
    }
    std::shared_ptr<const AdvisedSink> released;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        auto& sinks = m_owner.m_sinks;
        const auto found = std::find_if(sinks.begin(), sinks.end(),
                                        [cookie](const auto& entry) { return entry->cookie == cookie; });
        if (found == sinks.end()) {
            return CONNECT_E_NOCONNECTION;
        }
        released = std::move(*found);
        sinks.erase(found);
        state().sinksChanged.notify_all();
    }
    // `released` lets go of the sink here, outside the lock (or the event thread does, if it is calling
    // the sink right now).
    return finish(injected, S_OK);
}

HRESULT ComClient::ConnectionPoint::EnumConnections(IEnumConnections** connections) {
    const HRESULT injected = enter("IConnectionPoint::EnumConnections");
    return failWith(FAILED(injected) ? injected : E_NOTIMPL, connections);
}

}  // namespace sim::detail
