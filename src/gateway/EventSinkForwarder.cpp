#include "EventSinkForwarder.h"

#include "SpinWait.h"

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

EventSinkForwarder::EventSinkForwarder(_ICOMClientEvents* target) : m_Target(target) {}

HRESULT STDMETHODCALLTYPE EventSinkForwarder::QueryInterface(REFIID riid, void** object) {
    return answerEventSinkQuery(this, riid, object);
}

ULONG STDMETHODCALLTYPE EventSinkForwarder::AddRef() {
    return ++m_References;
}

ULONG STDMETHODCALLTYPE EventSinkForwarder::Release() {
    ULONG left = --m_References;
    if (left == 0) {
        delete this;
    }
    return left;
}

template <class Call>
HRESULT EventSinkForwarder::forward(Call&& call) {
    m_Calls.fetch_add(1, std::memory_order_seq_cst);
    _ICOMClientEvents* target = m_Target.load(std::memory_order_seq_cst);
    // The target lets nothing escape, so the count is always given back.
    const HRESULT hr = target != nullptr ? call(target) : S_OK;
    m_Calls.fetch_sub(1, std::memory_order_seq_cst);
    return hr;
}

HRESULT STDMETHODCALLTYPE EventSinkForwarder::OnClientStateChanged(long state) {
    return forward([state](_ICOMClientEvents* target) { return target->OnClientStateChanged(state); });
}

HRESULT STDMETHODCALLTYPE EventSinkForwarder::OnEvent(SAFEARRAY* events) {
    return forward([events](_ICOMClientEvents* target) { return target->OnEvent(events); });
}

HRESULT STDMETHODCALLTYPE EventSinkForwarder::OnAlarm(long value) {
    return forward([value](_ICOMClientEvents* target) { return target->OnAlarm(value); });
}

HRESULT STDMETHODCALLTYPE EventSinkForwarder::OnSubscriptionEvent(long value) {
    return forward([value](_ICOMClientEvents* target) { return target->OnSubscriptionEvent(value); });
}

void EventSinkForwarder::detach() {
    m_Target.store(nullptr, std::memory_order_seq_cst);
    spin::waitUntil([this] { return m_Calls.load(std::memory_order_seq_cst) == 0; });
}
