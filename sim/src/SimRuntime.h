// Shared internals of the simulator: the site state, the registry of live clients, the module counters
// that DllCanUnloadNow consults, and what every COM object of the simulator is built from (reference
// counting, QueryInterface and getters that enter the fault table, FaultTable.h).
//
// Locking: State::mutex guards everything in State and the per-client fields of every ComClient (see
// ComClient.h). The fault table and the call trace share a lock of their own (FaultTable.cpp), and so has
// the request gate (RequestGate.cpp); no two of them are ever held together. Nothing holds any of them
// while calling a sink or any other foreign object, or while raising.
#pragma once

#include "FaultTable.h"
#include "SimControl.h"
#include "SiteModel.h"

#include <oleauto.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <type_traits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace sim::detail {

class ComClient;

struct State {
    std::mutex mutex;
    std::condition_variable sinksChanged;           // notified whenever a sink is advised or withdrawn
    std::map<std::wstring, std::wstring> accounts;  // user -> password
    std::map<std::pair<long, long>, std::wstring> objects;  // (type, id) -> name
    SiteModel site;                                         // devices, door sets and points
    std::vector<Cardholder> cardholders;                    // whose badges the event generator reads
    std::optional<unsigned> siteSeed;                       // the site file's seed for the event generator
    long initialEventMask = 0;
    std::vector<SentCommand> sentCommands;
    std::vector<ComClient*> clients;  // live clients in creation order; each removes itself on destruction
    DWORD lastCookie = 0;             // cookies are unique over all connection points of the process
    CommandEventDelivery commandEvents = CommandEventDelivery::Thread;  // of SendManualCommand's events

    // The simulated server (ServerOutage.cpp).
    bool serverOnline = true;
    bool clientsReconnect = false;  // whether the end of an outage logs its clients in again
    unsigned connectDelayMs = 0;    // how long Connect waits before it answers
    int waitingConnects = 0;        // Connect calls waiting out connectDelayMs
    // Reports of lost and regained connections are delivered in the order they were queued, by one
    // simulator thread at a time. Ticket n is the n-th report queued; reportsDelivered counts those whose
    // sink calls have all returned.
    unsigned long long reportsQueued = 0;
    unsigned long long reportsDelivered = 0;
    // Notified when the server goes offline or online, when a report has been delivered, when a Connect
    // starts or ends its wait, when the connect delay changes and when a timeline is told to stop.
    std::condition_variable serverChanged;

    void loadDefaultSite();  // caller holds mutex
};

// A call into a sink in progress on this thread, for serialised requests (setSerialisedRequests): every
// call of a sink method is made inside one. Has its own lock, never held while the sink runs.
class SinkCall {
public:
    SinkCall();
    ~SinkCall();
    SinkCall(const SinkCall&) = delete;
    SinkCall& operator=(const SinkCall&) = delete;
};

// The start of each request a client makes of the simulated server. With serialised requests on, waits
// until no sink call is in progress; a thread that is inside a sink call itself goes on at once.
// REQUIRES: no simulator lock held (a delivery may need State::mutex to end).
void awaitRequestTurn();

// Server outages (ServerOutage.cpp). No simulator lock may be held by the caller of any of them.
// Takes the server offline or brings it online: clients that lose their connection to it, or regain it,
// are reported to their sinks by the connection-report thread. A silent change to offline reports nothing:
// the clients lose their connection without telling their sinks. Returns the ticket of the last report
// queued so far, for waitForReports.
unsigned long long changeServerState(bool online, bool silent = false);
// Waits until every report up to `ticket` has been delivered; false when `stop` became true (whoever
// sets it calls wakeReportWaiters afterwards) or timeoutMs passed (never with kWaitForever).
constexpr unsigned kWaitForever = ~0u;
bool waitForReports(unsigned long long ticket, unsigned timeoutMs, const std::atomic<bool>* stop = nullptr);
// The server online, clients that lost their connection to an outage left disconnected, without
// reports; the default reconnect option and no connect delay (resetSite).
void restoreServer();
// Wakes every waitForReports, so that it looks at its `stop` flag again.
void wakeReportWaiters();

// Writes "SiPassSim: <line>" to standard error and the debugger output: how the registered DLL tells the
// user of a host what it cannot say through COM (a wrong site file or setting, the generator's seed).
void tellHost(const std::string& line);

// The process-wide state. Created on first use and never destroyed, so that a COM object released
// during process exit, after other static objects have gone, still finds it.
State& state();

// Module counters for DllCanUnloadNow.
extern std::atomic<long> g_liveObjects;     // COM objects other than class factories
extern std::atomic<long> g_serverLocks;     // IClassFactory::LockServer
extern std::atomic<long> g_factoryRefs;     // references held on the class factories
extern std::atomic<long> g_runningThreads;  // simulator threads that may still run module code
bool canUnloadNow();

HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** object);

// Returns a failure from a method with an [out] pointer, which COM wants null on failure.
template <typename T>
HRESULT failWith(HRESULT hr, T** out) {
    if (out != nullptr) {
        *out = nullptr;
    }
    return hr;
}

// The QueryInterface of every simulator object: counts the call, applies an injected fault, then hands
// out `self` as the first of Interfaces whose IID matches, with a reference taken by `retain`. IUnknown
// is answered with the first interface, so that the object has one identity.
template <class... Interfaces, class Object, class Retain>
HRESULT answerQueryInterface(Object* self, REFIID iid, void** object, Retain&& retain) {
    const HRESULT injected = enterQueryInterface(iid);
    if (FAILED(injected)) {
        return failWith(injected, object);
    }
    if (object == nullptr) {
        return E_POINTER;
    }
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
    void* match = IsEqualIID(iid, IID_IUnknown) ? static_cast<First*>(self) : nullptr;
    ((match == nullptr && IsEqualIID(iid, __uuidof(Interfaces)) ? void(match = static_cast<Interfaces*>(self))
                                                                : void()),
     ...);
    *object = match;
    if (match == nullptr) {
        return E_NOINTERFACE;
    }
    retain();
    return finish(injected, S_OK);
}

// An unlisted slot: counted and subject to faults like any method, otherwise E_NOTIMPL.
inline HRESULT notImplemented(const char* method) {
    const HRESULT injected = enter(method);
    return FAILED(injected) ? injected : E_NOTIMPL;
}

// A property getter: counts the call, applies an injected fault, checks the out pointer and stores what
// `read` returns.
template <class T, class Read>
HRESULT getProperty(const char* method, T* out, Read&& read) {
    const HRESULT injected = enter(method);
    if (FAILED(injected)) {
        return injected;
    }
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = read();
    return finish(injected, S_OK);
}

// The getters of one object that fail, by bare name ("get_Reader2"), with the HRESULT they return.
using FailingGetters = std::map<std::string, HRESULT>;

// A getter of a simulated object (a site object or an event): counted and subject to the fault table under
// `method`, then to the object's own failing getters under the bare `getter` name. On failure a pointer out
// value is set to null and a number is left untouched. `read` returns the HRESULT of producing the value.
template <class T, class Read>
HRESULT objectGetter(const char* method, const FailingGetters& failing, const char* getter, T* out,
                     Read&& read) {
    HRESULT hr = enter(method);
    if (SUCCEEDED(hr)) {
        const auto own = failing.find(getter);
        if (own != failing.end()) {
            hr = own->second;
        }
    }
    if (FAILED(hr)) {
        if constexpr (std::is_pointer_v<T>) {
            if (out != nullptr) {
                *out = nullptr;
            }
        }
        return hr;
    }
    if (out == nullptr) {
        return E_POINTER;
    }
    return finish(hr, read(out));
}

inline HRESULT copyText(const std::optional<std::wstring>& text, BSTR* out) {
    if (!text) {
        *out = nullptr;
        return S_OK;
    }
    *out = SysAllocStringLen(text->data(), static_cast<UINT>(text->size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// Reference count and live-object accounting of the simulator's COM objects. An object starts with one
// reference, owned by whoever created it.
class RefCounted {
protected:
    RefCounted() { ++g_liveObjects; }
    virtual ~RefCounted() { --g_liveObjects; }
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    // AddRef and Release as called through an interface: counted, and subject to injected faults.
    ULONG addRef() {
        enter("IUnknown::AddRef");
        return ++m_refs;
    }
    ULONG release() {
        enter("IUnknown::Release");
        return releaseInternal();
    }
    // The simulator's own reference handling, which neither counts nor trips a fault: a test that makes
    // Release raise must still be able to create objects.
    void retain() { ++m_refs; }
    ULONG releaseInternal() {
        const ULONG left = --m_refs;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    // QueryInterface over the interfaces the derived object implements, the first answering IUnknown.
    template <class... Interfaces, class Object>
    HRESULT queryInterface(Object* self, REFIID iid, void** object) {
        return answerQueryInterface<Interfaces...>(self, iid, object, [this] { retain(); });
    }

private:
    std::atomic<ULONG> m_refs{1};
};

// Runs the part of a COM method that allocates: no C++ exception may leave a COM method.
template <typename Body>
HRESULT noThrow(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// The text of a BSTR; a null BSTR is the empty string. Embedded nulls are kept.
inline std::wstring fromBstr(BSTR text) {
    return text == nullptr ? std::wstring() : std::wstring(text, SysStringLen(text));
}

}  // namespace sim::detail
