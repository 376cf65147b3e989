#include "EventSinkForwarder.h"

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
    ::AcquireSRWLockShared(&m_Lock);
    HRESULT hr = m_Target != nullptr ? call(m_Target) : S_OK;
    ::ReleaseSRWLockShared(&m_Lock);
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
    ::AcquireSRWLockExclusive(&m_Lock);
    m_Target = nullptr;
    ::ReleaseSRWLockExclusive(&m_Lock);
}
