// The object the gateway advises on the client's connection point. It forwards each call to the gateway
// object's own _ICOMClientEvents methods. Unlike the gateway object, whose lifetime belongs to the
// process-wide pointer, it is reference counted: a client may release it after gateway_Close has
// destroyed the gateway object (as a client does when a delivery that began before Unadvise ends).
#pragma once

#include <windows.h>

#include <atomic>

#include "client/ClientInterfaces.h"

// What a forwarder forwards to: the event interface, and the client's state reports with the number of
// the event connection they came through, so that the target can tell a report of the connection it has
// now from a late one of a connection it has replaced.
class ConnectionEventTarget : public _ICOMClientEvents {
public:
    virtual HRESULT clientStateChanged(long state, unsigned connection) = 0;

protected:
    ~ConnectionEventTarget() = default;
};

// QueryInterface of an event sink: answers IUnknown and _ICOMClientEvents with `sink` (and an AddRef).
HRESULT answerEventSinkQuery(_ICOMClientEvents* sink, REFIID riid, void** object);

class EventSinkForwarder final : public _ICOMClientEvents {
public:
    // Forwards to `target` until detach(), state reports as coming through `connection`. The new object
    // has one reference, owned by the caller.
    EventSinkForwarder(ConnectionEventTarget* target, unsigned connection);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE OnClientStateChanged(long state) override;
    HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY* events) override;
    HRESULT STDMETHODCALLTYPE OnAlarm(long value) override;
    HRESULT STDMETHODCALLTYPE OnSubscriptionEvent(long value) override;

    // Waits for the calls in progress to return (nested ones on one thread included); later calls are
    // answered without reaching the target. Must not be called from inside a forwarded call.
    void detach();

    // Forwarders alive in this process (for the leak tests).
    static long live();

private:
    ~EventSinkForwarder();

    template <class Call>
    HRESULT forward(Call&& call);

    std::atomic<ULONG> m_references{1};
    // Forwarded calls in progress. A call counts itself before it reads the target, and detach() clears
    // the target before it waits for the count to drop to zero, so a call that still reads the old
    // target is always waited for. Unlike a reader lock, a call nested on the same thread (a client that
    // delivers synchronously from inside a host callback) never waits behind detach().
    std::atomic<long> m_calls{0};
    std::atomic<ConnectionEventTarget*> m_target;  // null after detach()
    const unsigned m_connection;
};
