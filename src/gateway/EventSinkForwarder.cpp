#include "gateway/EventSinkForwarder.h"

#include "support/LastError.h"
#include "support/SpinWait.h"

HRESULT answerEventSinkQuery(_ICOMClientEvents* sink, REFIID riid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (riid == __uuidof(IUnknown) || riid == __uuidof(_ICOMClientEvents)) {
        *object = sink;
        sink->AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

namespace {

std::atomic<long> g_LiveForwarders{0};

}  // namespace

EventSinkForwarder::EventSinkForwarder(ConnectionEventTarget* target, unsigned connection)
    : m_target(target), m_connection(connection) {
    ++g_LiveForwarders;
}

EventSinkForwarder::~EventSinkForwarder() {
    --g_LiveForwarders;
}

long EventSinkForwarder::live() {
    return g_LiveForwarders.load();
}

HRESULT STDMETHODCALLTYPE EventSinkForwarder::QueryInterface(REFIID riid, void** object) {
    return answerEventSinkQuery(this, riid, object);
}

ULONG STDMETHODCALLTYPE EventSinkForwarder::AddRef() {
    return ++m_references;
}

ULONG STDMETHODCALLTYPE EventSinkForwarder::Release() {
    ULONG left = --m_references;
    if (left == 0) {
        delete this;
    }
    return left;
}

template <class Call>
HRESULT EventSinkForwarder::forward(Call&& call) {
    // A client that delivers on the thread of an export: what the delivery logs is no outcome of it.
    lastError::Pause pause;
    m_calls.fetch_add(1, std::memory_order_seq_cst);
    ConnectionEventTarget* target = m_target.load(std::memory_order_seq_cst);
    // The target lets nothing escape, so the count is always given back.
    const HRESULT hr = target != nullptr ? call(target) : S_OK;
    m_calls.fetch_sub(1, std::memory_order_seq_cst);
    return hr;
}

HRESULT STDMETHODCALLTYPE EventSinkForwarder::OnClientStateChanged(long state) {
    const unsigned connection = m_connection;
    return forward([state, connection](ConnectionEventTarget* target) {
        return target->clientStateChanged(state, connection);
    });
}

HRESULT STDMETHODCALLTYPE EventSinkForwarder::OnEvent(SAFEARRAY* events) {
    return forward([events](ConnectionEventTarget* target) { return target->OnEvent(events); });
}

HRESULT STDMETHODCALLTYPE EventSinkForwarder::OnAlarm(long value) {
    return forward([value](ConnectionEventTarget* target) { return target->OnAlarm(value); });
}

HRESULT STDMETHODCALLTYPE EventSinkForwarder::OnSubscriptionEvent(long value) {
    return forward([value](ConnectionEventTarget* target) { return target->OnSubscriptionEvent(value); });
}

void EventSinkForwarder::detach() {
    m_target.store(nullptr, std::memory_order_seq_cst);
    spin::waitUntil([this] { return m_calls.load(std::memory_order_seq_cst) == 0; });
}
