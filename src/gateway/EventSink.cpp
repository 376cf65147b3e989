// The gateway object's side of the client's event interface. The client calls these methods on threads
// of its own; each one is a COM boundary and lets nothing escape.
#include <boost/thread/lock_guard.hpp>

#include "Boundary.h"
#include "SiPassGateWay.h"

namespace {

SimpleLogger& logger() {
    return *SimpleLogger::GetInstance();
}

}  // namespace

HRESULT STDMETHODCALLTYPE SiPassGateWay::OnClientStateChanged(long state) {
    boundary::guard("OnClientStateChanged", [&] {
        boost::lock_guard<boost::mutex> lock(m_Mutex);
        logger().log("Client State Changed");
        if (m_DisconnectCallback != nullptr && state == 0) {
            DisconnectCallback callback = m_DisconnectCallback;
            boundary::callHost("m_DisconnectCallback", [callback] { callback(); });
        }
    });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE SiPassGateWay::OnEvent(SAFEARRAY* events) {
    boundary::guard("OnEvent", [&] {
        boost::lock_guard<boost::mutex> lock(m_Mutex);
        logger().dbgLog("OnEvent");
        if (events == nullptr) {
            logger().log("Event received without an array. Skip.");
            return;
        }
    });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE SiPassGateWay::OnAlarm(long) {
    boundary::guard("OnAlarm", [] { logger().dbgLog("OnAlarm"); });
    return S_OK;
}

HRESULT STDMETHODCALLTYPE SiPassGateWay::OnSubscriptionEvent(long) {
    boundary::guard("OnSubscriptionEvent", [] { logger().dbgLog("Subscription event"); });
    return S_OK;
}
