// The control API's reach into the live clients: their snapshots, and calls on their advised sinks from a
// simulator thread (OnEvent batches, connection-state reports), or for the rest of the simulator on the
// calling thread.
#include "LiveClients.h"

#include "ComClient.h"

#include <condition_variable>
#include <functional>
#include <new>
#include <thread>

#include "com/ComOwners.h"
#include "EventObject.h"

namespace sim {

using detail::AdvisedSink;
using detail::ComClient;
using detail::SinkCall;

std::vector<ClientSnapshot> clients() {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    std::vector<ClientSnapshot> snapshots;
    snapshots.reserve(st.clients.size());
    for (const ComClient* client : st.clients) {
        snapshots.push_back(client->snapshotLocked());
    }
    return snapshots;
}

namespace {

int advisedSinkCountLocked(const detail::State& st) {
    int count = 0;
    for (const ComClient* client : st.clients) {
        count += client->sinkCountLocked();
    }
    return count;
}

}  // namespace

int advisedSinkCount() {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    return advisedSinkCountLocked(st);
}

bool waitForAdvisedSinks(int count, unsigned timeoutMs) {
    auto& st = detail::state();
    std::unique_lock<std::mutex> lock(st.mutex);
    return st.sinksChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return advisedSinkCountLocked(st) == count; });
}

namespace {

using SinkList = std::vector<std::shared_ptr<const AdvisedSink>>;

// The advised sinks of every live client, clients in creation order, sinks in the order they were
// advised. `underLock` runs first on each client with State::mutex held.
SinkList snapshotSinks(const std::function<void(ComClient*)>& underLock = {}) {
    SinkList sinks;
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    for (ComClient* client : st.clients) {
        if (underLock) {
            underLock(client);
        }
        client->appendSinksLocked(sinks);
    }
    return sinks;
}

// Calls `call` on every advised sink of every live client (clients in creation order, sinks in the order
// they were advised) from a new simulator thread that joins the MTA, as the real client delivers its
// events. `underLock` runs first on each client with State::mutex held. Returns true once every call
// has returned; false after timeoutMs, in which case the thread finishes on its own later.
bool callSinksFromSimulatorThread(std::function<void(const SinkList&)> call, unsigned timeoutMs,
                                  const std::function<void(ComClient*)>& underLock = {}) {
    // Shared with the event thread, which may outlive this call when a sink blocks.
    struct Completion {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;  // guarded by mutex
    };
    auto completion = std::make_shared<Completion>();

    SinkList sinks = snapshotSinks(underLock);

    // Counted before the thread starts, so the module cannot be unloaded under it.
    ++detail::g_runningThreads;
    std::thread worker;
    try {
        worker = std::thread([sinks = std::move(sinks), completion, call = std::move(call)]() mutable {
            detail::markSimulatorThread();
            const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            call(sinks);
            sinks.clear();  // a sink unadvised meanwhile is released here, before leaving the apartment
            if (SUCCEEDED(init)) {
                CoUninitialize();
            }
            {
                std::lock_guard<std::mutex> lock(completion->mutex);
                completion->finished = true;
            }
            completion->done.notify_all();
            --detail::g_runningThreads;
        });
    } catch (...) {
        --detail::g_runningThreads;
        throw;
    }

    std::unique_lock<std::mutex> lock(completion->mutex);
    const bool finished = completion->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                    [&] { return completion->finished; });
    lock.unlock();
    if (finished) {
        worker.join();
    } else {
        worker.detach();
    }
    return finished;
}

// One element of an OnEvent array, as its VARIANT. The caller owns the VARIANT.
HRESULT makeElement(const EventElement& element, VARIANT* out) {
    using Kind = EventElement::Kind;
    ::VariantInit(out);
    switch (element.kind) {
        case Kind::NullUnknown:
            out->vt = VT_UNKNOWN;
            out->punkVal = nullptr;
            return S_OK;
        case Kind::Bstr:
            out->vt = VT_BSTR;
            out->bstrVal = ::SysAllocString(L"not an event");
            return out->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
        case Kind::Empty:
            return S_OK;
        case Kind::Object:
        case Kind::Dispatch:
        case Kind::UnknownWithoutEvents: {
            EventObject fields = element.event;
            if (element.kind == Kind::UnknownWithoutEvents) {
                fields.accessEvent = fields.objectState = fields.genericEvent = false;
            }
            IUnknown* object = nullptr;
            const HRESULT hr = detail::createEventObject(fields, &object);
            if (FAILED(hr)) {
                return hr;
            }
            // A dispatch element carries an object that has no IDispatch: the sink must not use it.
            out->vt = element.kind == Kind::Dispatch ? VT_DISPATCH : VT_UNKNOWN;
            out->punkVal = object;
            return S_OK;
        }
    }
    return E_INVALIDARG;
}

// The SAFEARRAY of one OnEvent call, shaped as the batch asks.
SafeArrayOwner makeArray(const EventBatch& batch) {
    const ULONG count = static_cast<ULONG>(batch.elements.size());
    SafeArrayOwner array;
    if (batch.twoDimensions) {
        SAFEARRAYBOUND bounds[2] = {{count, 0}, {1, 0}};
        *array.ReleaseAndGetAddressOf() = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
    } else {
        *array.ReleaseAndGetAddressOf() = ::SafeArrayCreateVector(VT_VARIANT, 0, count);
    }
    if (!array) {
        throw std::bad_alloc();
    }
    for (ULONG i = 0; i < count; ++i) {
        VariantOwner element;
        if (FAILED(makeElement(batch.elements[i], element.get()))) {
            throw std::bad_alloc();
        }
        LONG index[2] = {static_cast<LONG>(i), 0};
        if (FAILED(::SafeArrayPutElement(array.get(), index, element.get()))) {
            throw std::bad_alloc();
        }
    }
    if (batch.withoutVarType) {
        array.get()->fFeatures &= ~FADF_HAVEVARTYPE;
    }
    return array;
}

// One OnEvent call with the batch on each sink. The array is built and destroyed on the delivering
// thread, as the real client does. Each call counts as a delivery in progress (SinkCall).
void deliverTo(const SinkList& sinks, const EventBatch& batch) {
    if (sinks.empty()) {
        return;
    }
    SafeArrayOwner array;
    try {
        array = batch.nullArray ? SafeArrayOwner() : makeArray(batch);
    } catch (const std::bad_alloc&) {
        return;  // out of memory in the simulator itself: nothing to deliver
    }
    for (const auto& sink : sinks) {
        SinkCall inProgress;
        sink->events->OnEvent(array.get());
    }
}

}  // namespace

namespace {

// Sets every live client's connection state and reports it to every advised sink from a simulator
// thread, which calls `started` (when given) before the first sink call.
bool reportClientState(long newState, unsigned timeoutMs, std::function<void()> started) {
    return callSinksFromSimulatorThread(
        [newState, started = std::move(started)](const SinkList& sinks) {
            if (started) {
                started();
            }
            for (const auto& sink : sinks) {
                SinkCall inProgress;
                sink->events->OnClientStateChanged(newState);
            }
        },
        timeoutMs, [newState](ComClient* client) { client->setConnectionStateLocked(newState); });
}

}  // namespace

bool raiseClientStateChanged(long newState, unsigned timeoutMs) {
    return reportClientState(newState, timeoutMs, {});
}

namespace detail {

void reportConnectionLoss(unsigned timeoutMs, std::function<void()> started) {
    reportClientState(0, timeoutMs, std::move(started));
}

void deliverOnThisThread(const EventBatch& batch) {
    deliverTo(snapshotSinks(), batch);
}

}  // namespace detail

bool deliverEvents(const EventBatch& batch, unsigned timeoutMs) {
    return callSinksFromSimulatorThread([batch](const SinkList& sinks) { deliverTo(sinks, batch); },
                                        timeoutMs);
}

bool deliverEvent(const EventObject& event, unsigned timeoutMs) {
    EventBatch batch;
    batch.elements.push_back(EventElement{EventElement::Kind::Object, event});
    return deliverEvents(batch, timeoutMs);
}

}  // namespace sim
