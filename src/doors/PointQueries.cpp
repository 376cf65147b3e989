// Point queries: the current state of one point, and a point id resolved into a named definition.
#include <string>

#include "com/CComBSTR.h"
#include "doors/DoorServices.h"
#include "events/EventTime.h"
#include "support/FailureText.h"
#include "doors/HostRecords.h"
#include "gateway/SiPassGateWay.h"

namespace {

using doors::logger;

void logStateFailure(const char* what, HRESULT hr) {
    logger().errLog(std::string(what) + " for getPointState failed: hr=" + hrText(hr));
}

void logDefinitionFailure(const char* what, HRESULT hr) {
    logger().errLog(std::string(what) + " for getPointDefinition failed: hr=" + hrText(hr));
}

// Reads one numeric getter of the state object; a failure is logged and leaves 0.
template <class T>
void readState(const doors::ClientGuard& guarded, IObjectState* state,
               HRESULT (STDMETHODCALLTYPE IObjectState::*getter)(T*), T* value, const char* failureMessage) {
    HRESULT hr = guarded([&] { return (state->*getter)(value); });
    if (FAILED(hr)) {
        logger().errLog(failureMessage + hrText(hr));
        *value = 0;
    }
}

}  // namespace

HRESULT doors::readPointState(const ClientGuard& guarded, IComClient* client, int32_t pointId,
                              PointState* pointState) {
    // Every failure leaves the caller's record untouched.
    ClientArray relatives;
    const HRESULT relativesResult = guarded([&] {
        return client->GetRelatives(kPointType, pointId, kStateRelation, 0,
                                    relatives.ReleaseAndGetAddressOf());
    });
    if (FAILED(relativesResult)) {
        logStateFailure("m_ComClient->GetRelatives()", relativesResult);
        return relativesResult;
    }
    if (!relatives) {
        logStateFailure("saveArray is NULL", relativesResult);
        return GATEWAY_E_NOT_FOUND;
    }
    if (shapeOf(relatives.get(), VarTypeFlag::NotRequired) != ArrayShape::VariantVector) {
        logStateFailure("saveArray is no vector of VARIANTs", relativesResult);
        return GATEWAY_E_MALFORMED;
    }
    if (elementCount(relatives.get()) == 0) {
        logStateFailure("saveArray is empty", relativesResult);
        return GATEWAY_E_NOT_FOUND;
    }
    ClientRef<IObjectState> stateObject;
    HRESULT hr = S_OK;
    {
        const ArrayElements elements(relatives.get());
        IUnknown* object = elements.at(0, guarded).object;
        if (object == nullptr) {
            logStateFailure("pUnknown is NULL", relativesResult);
            return GATEWAY_E_MALFORMED;
        }
        hr = guarded([&] { return object->QueryInterface(IID_PPV_ARGS(stateObject.put())); });
    }
    if (FAILED(hr)) {
        logStateFailure("pUnknown->QueryInterface()", hr);
        return hr;
    }

    // From here a failed read is logged and replaced by 0 or an empty text.
    long state = 0;
    long stateType = 0;
    DATE serverTime = 0;
    CComBSTR location;
    CComBSTR description;
    readState(guarded, stateObject.get(), &IObjectState::get_State, &state,
              "pObjState->get_State() for getPointState failed: hr=");
    readState(guarded, stateObject.get(), &IObjectState::get_StateType, &stateType,
              "pObjState->get_StateType() for getPointState failed: hr=");
    hr = guarded([&] { return stateObject->get_ServerTime(&serverTime); });
    const bool haveServerTime = SUCCEEDED(hr);
    if (!haveServerTime) {
        logger().errLog("pObjState->get_ServerTime() for getPointState failed: hr=" + hrText(hr));
    }
    hr = guarded([&] { return stateObject->get_Location(location.ReleaseAndGetAddressOf()); });
    if (FAILED(hr)) {
        logger().errLog("pObjState->get_Location() for getPointState failed: hr=" + hrText(hr));
        location.ReleaseAndGetAddressOf();
    }
    hr = guarded([&] { return stateObject->get_Description(description.ReleaseAndGetAddressOf()); });
    if (FAILED(hr)) {
        logger().errLog("pObjState->get_Description()for getPointState failed: hr=" + hrText(hr));
        description.ReleaseAndGetAddressOf();
    }

    OwnedHostText locationText(copyHostText(location));
    OwnedHostText descriptionText(copyHostText(description));
    if (!locationText || !descriptionText) {
        logger().errLog("malloc of the state texts for getPointState failed.");
        return GATEWAY_E_OUT_OF_MEMORY;
    }
    pointState->state = state;
    pointState->stateType = stateType;
    // A server time that could not be read is reported as 0, not as the date 1899-12-30.
    pointState->serverTimeMs = haveServerTime ? hostEpochMs(EventDate{serverTime, true}) : 0;
    pointState->location = locationText.release();
    pointState->description = descriptionText.release();
    return S_OK;
}

bool SiPassGateWay::getPointState(int32_t pointId, PointState* pointState) {
    const doors::ClientGuard guarded("gateway_getPointState");
    try {
        const ClientRef<IComClient> client = guarded.client(*this);
        if (!doors::haveClient(client)) {
            return false;
        }
        if (pointState == nullptr) {
            logger().errLog("Pointer to pointState is NULL.");
            return lastError::refuse(GATEWAY_E_INVALID_ARGUMENT);
        }
        const HRESULT hr = doors::readPointState(guarded, client.get(), pointId, pointState);
        if (FAILED(hr)) {
            return lastError::refuse(hr);
        }
        return true;
    } catch (const doors::ClientRaised&) {
        // Logged and noted where the client raised; the record is untouched, as after every failure.
        return false;
    }
}

bool SiPassGateWay::getPointDefinition(const doors::ClientGuard& guarded, IComClient* client, int32_t pointId,
                                       PointDefinition* pDefinition) {
    if (!doors::haveClient(client)) {
        return false;
    }
    if (pDefinition == nullptr) {
        logger().errLog("pDefinition is NULL. Should not happen.");
        return false;
    }
    // Whatever fails below, the record holds no text it does not own: id, then null texts and zeros.
    *pDefinition = PointDefinition{};
    pDefinition->id = pointId;
    if (pointId == 0) {
        return true;
    }

    ClientRef<IUnknown> object;
    HRESULT hr = guarded([&] { return client->GetByID(doors::kPointType, pointId, object.put()); });
    if (FAILED(hr)) {
        logDefinitionFailure("m_ComClient->GetByID()", hr);
        return false;
    }
    if (!object) {
        logDefinitionFailure("pUnknown is NULL", hr);
        return false;
    }
    ClientRef<IPoint> point;
    hr = guarded([&] { return object->QueryInterface(IID_PPV_ARGS(point.put())); });
    if (FAILED(hr)) {
        logDefinitionFailure("pUnknown->QueryInterface()", hr);
        return false;
    }
    CComBSTR name;
    hr = guarded([&] { return point->get_Name(name.ReleaseAndGetAddressOf()); });
    if (FAILED(hr)) {
        logDefinitionFailure("pPointObj->get_Name()", hr);
        return false;
    }
    pDefinition->name = doors::copyHostText(name);
    if (pDefinition->name == nullptr) {
        logger().errLog("malloc of the point name for getPointDefinition failed.");
        return false;
    }
    // Its result is not needed: a state that cannot be read stays all zero.
    doors::readPointState(guarded, client, pointId, &pDefinition->state);
    return true;
}
