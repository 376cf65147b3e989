// Event subscription: the host names the objects whose events it wants; each one is checked on the
// server, logged and recorded in m_NotifyList.
#include <boost/thread/lock_guard.hpp>

#include "com/CComBSTR.h"
#include "gateway/ProcessGateway.h"
#include "support/LastError.h"
#include "support/SehGuard.h"
#include "gateway/SiPassGateWay.h"
#include "support/SimpleLogger.h"
#include "support/Win32Helper.h"

namespace {

SimpleLogger& logger() {
    return *SimpleLogger::GetInstance();
}

// Runs one client call under the guard; true when it neither raised nor threw.
template <class F>
bool completes(F&& call) {
    seh::Outcome outcome = seh::runGuarded(std::forward<F>(call));
    return !outcome.raised && !outcome.cpp;
}

}  // namespace

bool SiPassGateWay::RegisterAlarmEvent(long objectType, long objectId, long state) {
    if (processGateway::refusedInsideCallback("RegisterAlarmEvent")) {
        return false;
    }
    // The lock is held only to read the callbacks and to record the triple: a client that serialises its
    // requests with its event deliveries would otherwise wait for a delivery that waits for this lock.
    bool haveCallback = false;
    {
        boost::lock_guard<OwnedMutex> lock(m_Mutex);
        haveCallback = m_AlarmStateCallback != nullptr || m_AlarmAccessCallback != nullptr;
    }
    if (!haveCallback) {
        logger().log(
            "RegisterAlarmEvent makes no sense without a AlarmStateCallback or AlarmAccessCallback. Set "
            "AlarmStateCallback/AlarmAccessCallback first.");
        return lastError::refuse(GATEWAY_E_NO_CALLBACK);
    }
    const ClientRef<IComClient> client = this->client();
    if (!client) {
        logger().log(
            "COMClient is NULL. Call init first and check if init returns true before register for Alarm "
            "Events.");
        return lastError::refuse(GATEWAY_E_NOT_LOGGED_IN);
    }

    ClientRef<IUnknown> object;
    HRESULT hr = S_OK;
    if (!completes([&] { hr = client->GetByID(objectType, objectId, object.put()); })) {
        logger().log("GetByID Exception");
        return lastError::refuse(GATEWAY_E_CLIENT_RAISED);
    }
    if (FAILED(hr) || !object) {
        logger().log("Find no object with this id and type. Please check ObjectID and Type");
        return lastError::refuse(FAILED(hr) ? hr : GATEWAY_E_NOT_FOUND);
    }

    ClientRef<IGeneric> generic;
    if (!completes([&] { hr = object->QueryInterface(IID_PPV_ARGS(generic.put())); })) {
        logger().log("QueryInterface Exception genericObject");
        return lastError::refuse(GATEWAY_E_CLIENT_RAISED);
    }
    if (FAILED(hr)) {
        logger().log("Can't get the IGeneric interface for this objectID");
        return lastError::refuse(hr);
    }

    CComBSTR name;
    if (!completes([&] { hr = generic->get_name(name.ReleaseAndGetAddressOf()); })) {
        // Go on with the name as far as it was delivered.
        logger().log("get_name Exception");
        hr = S_OK;
    }
    if (FAILED(hr)) {
        logger().log("Can't get name of this object");
        return lastError::refuse(hr);
    }

    logger().log("Register for event of device: " + Win32Helper::bstr2str(name) +
                 " with ID: " + std::to_string(objectId));
    try {
        boost::lock_guard<OwnedMutex> lock(m_Mutex);
        m_NotifyList.add(objectType, objectId, state);
    } catch (...) {
        logger().log("NotifyList add Exception");
    }
    return true;
}

bool SiPassGateWay::isSubscribed(long objectType, long objectId, long state) {
    if (processGateway::refusedInsideCallback("isSubscribed")) {
        return false;
    }
    boost::lock_guard<OwnedMutex> lock(m_Mutex);
    return m_NotifyList.contains(objectType, objectId, state);
}
