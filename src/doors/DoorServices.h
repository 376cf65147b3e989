// Pieces shared by the door and point services: the client's object types and array readers, and the
// messages more than one operation logs.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include "com/ComOwners.h"
#include "support/LastError.h"
#include "support/SafeArrayShape.h"
#include "support/SimpleLogger.h"

namespace doors {

// Object types of the access-control system (EObjType) the services address.
constexpr long kDeviceType = 6;
constexpr long kPointType = 7;
// The relation of GetRelatives that yields a point's state object.
constexpr long kStateRelation = 2;

constexpr char kNoClientMessage[] =
    "COMClient is NULL. Call init first and check if init returns true before getting door information.";

inline SimpleLogger& logger() {
    return *SimpleLogger::GetInstance();
}

// The check that opens every door information service: true with a client, otherwise false after
// logging kNoClientMessage (the last error: not logged in).
template <class Client>
bool haveClient(const Client& client) {
    if (client) {
        return true;
    }
    logger().errLog(kNoClientMessage);
    return lastError::refuse(GATEWAY_E_NOT_LOGGED_IN);
}

using safearray::ArrayShape;
using safearray::shapeOf;
using safearray::VarTypeFlag;

// Elements of a one-dimensional array, whatever its lower bound; 0 when the bounds cannot be read.
long elementCount(SAFEARRAY* array);

// Copies element `index` (0 for the first, whatever the lower bound) of a VARIANT vector into `element`.
HRESULT copyElement(SAFEARRAY* array, long index, VariantOwner& element);

// The object reference an element holds: null unless it is a VT_UNKNOWN element. Borrowed from the
// element.
inline IUnknown* objectOf(const VariantOwner& element) {
    return element.value().vt == VT_UNKNOWN ? element.value().punkVal : nullptr;
}

}  // namespace doors
