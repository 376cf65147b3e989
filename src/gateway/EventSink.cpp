// The gateway object's side of the client's event interface. The client calls these methods on threads
// of its own; each one is a COM boundary and lets nothing escape.
#include <boost/thread/lock_guard.hpp>

#include "support/Boundary.h"
#include "support/ClientRef.h"
#include "events/EventReading.h"
#include "com/ComOwners.h"
#include "support/FailureText.h"
#include "gateway/ProcessGateway.h"
#include "gateway/Reconnect.h"
#include "gateway/SiPassGateWay.h"
#include "support/SafeArrayShape.h"
#include "support/Statistics.h"

namespace {

SimpleLogger& logger() {
    return *SimpleLogger::GetInstance();
}

// A malformed array ends the handling of the whole array: logged, and its error returned to the client.
HRESULT malformedArray(const char* step, HRESULT hr) {
    statistics::add(statistics::counters().malformedArrays);
    logger().errLog(failedCall(step, "OnEvent", hr));
    return hr;
}

// Whether an OnEvent array (`present`: not null) has the one shape that is read; otherwise its line is
// logged, and `result` receives what the client is told.
bool usableEventArray(bool present, safearray::ArrayShape shape, HRESULT typeFailure, HRESULT* result) {
    const char* line = "Event received without an array. Skip.";
    if (present) {
        switch (shape) {
            case safearray::ArrayShape::VariantVector:
                return true;
            case safearray::ArrayShape::NotVariants:
                *result = malformedArray("SafeArrayGetVartype() == VT_VARIANT", typeFailure);
                return false;
            case safearray::ArrayShape::WithoutVarType:
                line = "Event received with a non VARRIANT Safearray. Skip.";
                break;
            case safearray::ArrayShape::NotOneDimension:
                line = "Save Array received with a Dimension !=1. Skip.";
                break;
        }
    }
    statistics::add(statistics::counters().malformedArrays);
    logger().log(line);
    return false;
}

// The type and object of one element of the client's array, which the caller has locked. The element is
// read under the guard: an array whose data is missing or shorter than its bounds faults here, not in a
// frame that holds the array's lock or references taken from it. A fault ends the handling of the array as
// a raise at the boundary does (the same line, E_UNEXPECTED for the client), and counts it as malformed.
HRESULT readElement(SAFEARRAY* events, LONG index, VARTYPE* type, IUnknown** object) {
    void* slot = nullptr;
    const HRESULT hr = ::SafeArrayPtrOfIndex(events, &index, &slot);
    if (FAILED(hr)) {
        return malformedArray("SafeArrayPtrOfIndex()", hr);
    }
    const seh::Outcome read = seh::runGuarded([&] {
        const VARIANT* element = static_cast<const VARIANT*>(slot);
        *type = element->vt;
        *object = element->vt == VT_UNKNOWN ? element->punkVal : nullptr;
    });
    if (!read.succeeded()) {
        statistics::add(statistics::counters().malformedArrays);
        boundary::noteRaised("OnEvent", read);
        return E_UNEXPECTED;
    }
    return S_OK;
}

// Calls visit(type, object) for each element of an OnEvent array of the usable shape, in order, with the
// array locked, until visit answers false. A failure of the array's own functions ends it: logged as a
// malformed array and returned, as is E_UNEXPECTED for an element that cannot be read.
template <class Visit>
HRESULT forEachElement(SAFEARRAY* events, Visit&& visit) {
    SafeArrayLockGuard locked(events);
    if (!locked.locked()) {
        return malformedArray("SafeArrayLock()", E_UNEXPECTED);
    }
    LONG lower = 0, upper = -1;
    HRESULT hr = S_OK;
    if (FAILED(hr = ::SafeArrayGetLBound(events, 1, &lower)) ||
        FAILED(hr = ::SafeArrayGetUBound(events, 1, &upper))) {
        return malformedArray("SafeArrayGetLBound()/SafeArrayGetUBound()", hr);
    }
    // The loop ends at the upper bound itself, so that an upper bound of LONG_MAX cannot overflow it.
    for (LONG index = lower; index <= upper; ++index) {
        VARTYPE type = VT_EMPTY;
        IUnknown* object = nullptr;
        if (FAILED(hr = readElement(events, index, &type, &object))) {
            return hr;
        }
        if (!visit(type, object) || index == upper) {
            break;
        }
    }
    return S_OK;
}

}  // namespace

// Every delivery follows one pattern. On a thread that already delivers for this object (a host callback
// made the client deliver synchronously), an event or a state change is kept and the outer delivery
// delivers it after the current callback. Otherwise m_Mutex is taken outside the structured-exception
// guard of the work, so that whatever a foreign call raises inside releases it normally, and what the
// work caused to be kept is delivered before the lock goes.
template <class Work>
auto SiPassGateWay::delivering(Work&& work) {
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
    processGateway::DeliveryScope scope;
    const auto result = work();
    deliverKept();
    return result;
}

HRESULT SiPassGateWay::deliverEvents(SAFEARRAY* events, delivery::Queue* queue) {
    return boundary::guard("OnEvent", E_UNEXPECTED, [&] {
        logger().dbgLog("OnEvent");
        return dispatchEvents(events, queue);
    });
}

void SiPassGateWay::deliverState(long state, unsigned connection) {
    boundary::guard("OnClientStateChanged", [&] { handleClientState(state, connection); });
}

HRESULT STDMETHODCALLTYPE SiPassGateWay::OnClientStateChanged(long state) {
    unsigned connection = 0;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        connection = m_connection;
    }
    return clientStateChanged(state, connection);
}

HRESULT SiPassGateWay::clientStateChanged(long state, unsigned connection) {
    boundary::guard("OnClientStateChanged", [&] {
        if (deliveryQueue() != nullptr) {
            // Queued: no callback runs here, so nothing is kept and m_Mutex is not needed (and not taken:
            // the delivery thread holds it while a callback runs).
            processGateway::DeliveryScope scope;
            deliverState(state, connection);
            return;
        }
        if (m_Mutex.heldByThisThread()) {
            KeptDelivery kept;
            kept.stateChange = true;
            kept.state = state;
            kept.connection = connection;
            m_kept.push_back(std::move(kept));
            return;
        }
        delivering([&] {
            deliverState(state, connection);
            return 0;
        });
    });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE SiPassGateWay::OnEvent(SAFEARRAY* events) {
    return boundary::guard("OnEvent", E_UNEXPECTED, [&] {
        if (delivery::Queue* queue = deliveryQueue()) {
            // Translated and queued here, delivered by the queue's thread; a synchronous delivery on that
            // thread is queued like any other.
            processGateway::DeliveryScope scope;
            return deliverEvents(events, queue);
        }
        if (m_Mutex.heldByThisThread()) {
            // What is kept holds a reference of its own to every object, so the client may free its array on
            // return; a missing array stays missing. The elements read before a failure are delivered, as a
            // direct delivery delivers them.
            KeptDelivery kept;
            const HRESULT hr = keepEvents(events, kept.events);
            m_kept.push_back(std::move(kept));
            return hr;
        }
        return delivering([&] { return deliverEvents(events, nullptr); });
    });
}

void SiPassGateWay::queueReport(int32_t state, int32_t attempt, int32_t hr) {
    m_reports.push_back(Report{state, attempt, hr});
    if (state != GATEWAY_CONNECTION_RETRYING) {
        m_reportedUp = state == GATEWAY_CONNECTION_CONNECTED;
        statistics::counters().loggedIn.store(m_reportedUp, std::memory_order_relaxed);
    }
}

void SiPassGateWay::deliverReports() {
    if (delivery::Queue* queue = deliveryQueue()) {
        // In the queue, after the events and the disconnect callback that came before them.
        std::lock_guard<std::mutex> lock(m_stateLock);
        for (const Report& report : m_reports) {
            delivery::Item item;
            item.kind = delivery::Item::Kind::Report;
            item.values[0] = report.state;
            item.values[1] = report.attempt;
            item.values[2] = report.hr;
            queue->push(std::move(item));
        }
        m_reports.clear();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (m_reporting) {
            return;
        }
        m_reporting = true;
    }
    // A delivery scope, so that the callback is refused what it is refused inside an event callback.
    processGateway::DeliveryScope scope;
    for (;;) {
        Report report{};
        {
            std::lock_guard<std::mutex> lock(m_stateLock);
            if (m_reports.empty()) {
                m_reporting = false;
                return;
            }
            report = m_reports.front();
            m_reports.pop_front();
        }
        boost::lock_guard<OwnedMutex> lock(m_reportMutex);
        ConnectionStateCallback callback = m_connectionStateCallback;
        if (callback != nullptr) {
            boundary::callHost("m_ConnectionStateCallback",
                               [&] { callback(report.state, report.attempt, report.hr); });
        }
    }
}

void SiPassGateWay::deliverKept() {
    // A kept delivery may itself cause one (its callback sends a command): the loop delivers that too,
    // in order, instead of nesting.
    if (m_deliveringKept) {
        return;
    }
    m_deliveringKept = true;
    while (!m_kept.empty()) {
        KeptDelivery kept = std::move(m_kept.front());
        m_kept.pop_front();
        if (kept.stateChange) {
            deliverState(kept.state, kept.connection);
        } else {
            boundary::guard("OnEvent", [&] {
                logger().dbgLog("OnEvent");
                dispatchKept(kept.events);
            });
        }
    }
    m_deliveringKept = false;
}

void SiPassGateWay::handleClientState(long state, unsigned connection) {
    if (!screenForConnectionCheck(state, connection)) {
        return;
    }
    logger().log("Client State Changed");
    if (state == 0) {
        statistics::add(statistics::counters().connectionLosses);
        if (delivery::Queue* queue = deliveryQueue()) {
            delivery::Item item;
            item.kind = delivery::Item::Kind::Disconnect;
            queue->push(std::move(item));
        } else if (m_DisconnectCallback != nullptr) {
            DisconnectCallback callback = m_DisconnectCallback;
            boundary::callHost("m_DisconnectCallback", [callback] { callback(); });
        }
    }
    noteClientState(state, connection);
}

void SiPassGateWay::noteClientState(long state, unsigned connection) {
    if (state != 0 && state != kClientConnected) {
        return;
    }
    enum class Change { None, Lost, Back } change = Change::None;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (connection == 0 || connection != m_connection) {
            // A late report of a connection that has been replaced or withdrawn.
        } else if (m_loggingIn) {
            // The login under way reports the outcome, and a loss of the connection it made follows that
            // report. The connection it is replacing is lost or going: what it says changes nothing.
            if (connection > m_loginConnections) {
                m_lostDuringLogin = state == 0;
            }
        } else if (state == 0 && m_reportedUp) {
            queueReport(GATEWAY_CONNECTION_LOST, 0, 0);
            change = Change::Lost;
        } else if (state == kClientConnected && !m_reportedUp) {
            // Whatever the policy: the last report tells whether the connection is up.
            queueReport(GATEWAY_CONNECTION_CONNECTED, 0, 0);
            change = Change::Back;
        }
        // Anything else repeats what the host was told last and changes nothing.
    }
    deliverReports();
    if (change == Change::Lost) {
        const int delay = reconnect::scheduleAfterLoss(weak_from_this().lock());
        if (delay >= 0) {
            logger().log("Connection to SiPass Server lost. Re-login attempt 1 in " + std::to_string(delay) +
                         " ms.");
        }
    } else if (change == Change::Back && reconnect::cancelPending()) {
        // The client is back by itself before an attempt started: no re-login.
        logger().log("Connection to SiPass Server restored by the client. Re-login cancelled.");
    }
}

HRESULT SiPassGateWay::dispatchEvents(SAFEARRAY* events, delivery::Queue* queue) {
    HRESULT typeFailure = E_INVALIDARG;
    const safearray::ArrayShape shape =
        events == nullptr ? safearray::ArrayShape::VariantVector
                          : safearray::shapeOf(events, safearray::VarTypeFlag::Required, &typeFailure);
    HRESULT result = S_OK;
    if (!usableEventArray(events != nullptr, shape, typeFailure, &result)) {
        return result;
    }
    // The client's array is read where it lies: it is the client's and valid for this call, and locked it
    // cannot be destroyed under the loop. The objects in it are asked for their interfaces without a
    // reference of the gateway's own in between.
    return forEachElement(events, [&](VARTYPE type, IUnknown* object) {
        return dispatchElement(type, object, queue);
    });
}

void SiPassGateWay::dispatchKept(const KeptEvents& kept) {
    HRESULT ignored = S_OK;
    if (!usableEventArray(kept.present, kept.shape, kept.typeFailure, &ignored)) {
        return;
    }
    for (const KeptElement& element : kept.elements) {
        if (element.lost) {
            continue;
        }
        if (!dispatchElement(element.vt, element.object.get(), nullptr)) {
            break;
        }
    }
}

HRESULT SiPassGateWay::keepEvents(SAFEARRAY* events, KeptEvents& kept) {
    kept.present = events != nullptr;
    if (events == nullptr) {
        return S_OK;
    }
    kept.shape = safearray::shapeOf(events, safearray::VarTypeFlag::Required, &kept.typeFailure);
    if (kept.shape != safearray::ArrayShape::VariantVector) {
        // What is wrong with it is logged when it is delivered; the client is told now what a direct
        // delivery tells it.
        return kept.shape == safearray::ArrayShape::NotVariants ? kept.typeFailure : S_OK;
    }
    // Nothing after the first element that is not an object is read.
    return forEachElement(events, [&kept](VARTYPE type, IUnknown* object) {
        KeptElement keptElement;
        keptElement.vt = type;
        if (object != nullptr) {
            keptElement.object = ClientRef<IUnknown>::shareOf(object);
            keptElement.lost = !keptElement.object;
        }
        kept.elements.push_back(std::move(keptElement));
        return type == VT_UNKNOWN;
    });
}

bool SiPassGateWay::dispatchElement(VARTYPE type, IUnknown* object, delivery::Queue* queue) {
    if (type != VT_UNKNOWN) {
        statistics::add(statistics::counters().malformedArrays);
        logger().log("Array does not contain an IUnknown pointer. Skip.");
        return false;
    }
    if (object == nullptr) {
        logger().log("punkVal is null. Skip.");
        return true;
    }
    // The first of the three interfaces the object answers decides its kind; none: dropped. The
    // questions run under one guard, and every reference is released under the guard, so that an object
    // that raises costs itself and not the events after it in the array.
    ClientRef<IAccessEvent> access;
    ClientRef<IObjectState> objectState;
    ClientRef<IGenericEvent> generic;
    statistics::EventKind kind = statistics::EventKind::Access;
    bool answered = false;
    const seh::Outcome asked = seh::runGuarded([&] {
        // An answer without an interface pointer is no answer.
        if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(access.put()))) && access) {
            answered = true;
        } else if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(objectState.put()))) && objectState) {
            kind = statistics::EventKind::ObjectState;
            answered = true;
        } else if (SUCCEEDED(object->QueryInterface(IID_PPV_ARGS(generic.put()))) && generic) {
            kind = statistics::EventKind::Generic;
            answered = true;
        }
    });
    if (boundary::reportFailure("Exception in ", "IUnknown::QueryInterface for OnEvent", asked, "")) {
        return true;
    }
    if (answered) {
        statistics::eventReceived(kind);
        switch (kind) {
            case statistics::EventKind::Access:
                handleAccessEvent(access.get(), queue);
                break;
            case statistics::EventKind::ObjectState:
                handleObjectState(objectState.get(), queue);
                break;
            default:
                handleGenericEvent(generic.get(), queue);
                break;
        }
    }
    // What the host callback of this event caused on this thread comes right after it.
    if (queue == nullptr && !m_kept.empty()) {
        deliverKept();
    }
    return true;
}

HRESULT STDMETHODCALLTYPE SiPassGateWay::OnAlarm(long) {
    boundary::guard("OnAlarm", [] { logger().dbgLog("OnAlarm"); });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE SiPassGateWay::OnSubscriptionEvent(long) {
    boundary::guard("OnSubscriptionEvent", [] { logger().dbgLog("Subscription event"); });
    return S_OK;
}

void SiPassGateWay::deliverQueued(delivery::Item& item) {
    using Kind = delivery::Item::Kind;
    const int32_t* v = item.values;
    if (item.kind == Kind::Report) {
        boost::lock_guard<OwnedMutex> lock(m_reportMutex);
        ConnectionStateCallback callback = m_connectionStateCallback;
        if (callback != nullptr) {
            boundary::callHost("m_ConnectionStateCallback", [&] { callback(v[0], v[1], v[2]); });
        }
        return;
    }
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
    switch (item.kind) {
        case Kind::Disconnect:
            if (DisconnectCallback callback = m_DisconnectCallback) {
                boundary::callHost("m_DisconnectCallback", [callback] { callback(); });
            }
            return;
        case Kind::Access:
            if (AlarmAccessCallback callback = m_AlarmAccessCallback) {
                announceHostCall(statistics::EventKind::Access);
                boundary::callHost("m_AlarmAccessCallback", [&] {
                    callback(v[0], v[1], v[2], v[3], v[4], v[5], v[6], item.timestampMs, item.serverTimeMs,
                             item.text(0), item.text(1), item.text(2), item.text(3), item.text(4));
                });
                return;
            }
            break;
        case Kind::ObjectState:
            if (AlarmStateCallback callback = m_AlarmStateCallback) {
                announceHostCall(statistics::EventKind::ObjectState);
                boundary::callHost("m_AlarmStateCallback", [&] {
                    callback(v[0], v[1], v[2], v[3], v[4], v[5], v[6], item.timestampMs, item.serverTimeMs,
                             item.text(0), item.text(1));
                });
                return;
            }
            break;
        case Kind::Generic:
            if (GenericEventCallback callback = m_GenericEventCallback) {
                announceHostCall(statistics::EventKind::Generic);
                boundary::callHost("m_GenericEventCallback", [&] {
                    callback(v[0], v[3], v[4], item.timestampMs, item.serverTimeMs, item.text(0), item.text(1));
                });
                return;
            }
            break;
        case Kind::Report:
            return;
    }
    countWithoutCallback();
}
