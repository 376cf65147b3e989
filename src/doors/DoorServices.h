// Pieces shared by the door and point services: the guard of their client calls, the client's object
// types and array readers, and the messages more than one operation logs.
#pragma once

#include <windows.h>

#include <oleauto.h>
#include <cstdint>
#include <utility>

#include "client/ClientInterfaces.h"
#include "com/ComOwners.h"
#include "support/ClientArray.h"
#include "support/ClientRef.h"
#include "support/LastError.h"
#include "support/SafeArrayShape.h"
#include "support/SehGuard.h"
#include "support/SimpleLogger.h"
#include "SiPassVormekGateway.h"

class SiPassGateWay;

namespace doors {

// Thrown by ClientGuard once a client call has raised and the raise is logged and noted. It unwinds the
// service to its entry, every owner on the way freeing what it holds, and the entry fails as after a
// failed client call. Not a std::exception, so that no handler of the gateway's own failures takes it.
struct ClientRaised {};

// The guard of every call a door or point export makes on the client and on the objects it returns
// (their methods, QueryInterface, the AddRef of the snapshot). A Release is left to its owner, a ClientRef
// or a ClientArray, which guards it on its own: a raise there is logged and costs that one reference.
// Each call runs alone under the structured-exception guard, with nothing owned between the guard and
// the call, so that a raise abandons no frame of the service. The raise is logged
// and noted as the export's own guard would do it ("Exception in <export>: ...", GATEWAY_E_RAISED for a
// structured exception), and ClientRaised ends the service.
class ClientGuard {
public:
    // `exportName` is static text.
    explicit ClientGuard(const char* exportName) : m_export(exportName) {}

    // Runs call() and returns its HRESULT.
    template <class Call>
    HRESULT operator()(Call&& call) const {
        HRESULT hr = E_UNEXPECTED;
        const seh::Outcome outcome = seh::runGuarded([&] { hr = std::forward<Call>(call)(); });
        if (!outcome.succeeded()) {
            raised(outcome);
        }
        return hr;
    }

    // The snapshot a service works on: a counted reference to the gateway's client, or null without one.
    ClientRef<IComClient> client(const SiPassGateWay& gateway) const;

private:
    [[noreturn]] void raised(const seh::Outcome& outcome) const;

    const char* m_export;
};

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

// One element of such an array as read: its type and, for VT_UNKNOWN, its object (borrowed from the
// element). `addressed` is false when the array could not be locked or the element cannot be addressed.
struct ArrayElement {
    bool addressed = false;
    VARTYPE vt = VT_EMPTY;
    IUnknown* object = nullptr;
};

// The elements of a VARIANT vector the service owns, read where they lie while the array is locked. No
// element is copied, so the automation library calls no AddRef or Release of the client's objects on the
// service's behalf, outside the guard of its client calls (a raise inside SafeArrayGetElement would leave
// the array locked, and so never destroyed).
class ArrayElements {
public:
    explicit ArrayElements(SAFEARRAY* array) : m_array(array), m_lock(array) {}

    // Element `index` (0 for the first, whatever the lower bound). It is read under `guard`, as a client
    // call is: an element whose memory cannot be read (an array whose data the client freed, or shorter
    // than its bounds) raises there and ends the service with the raise's line, and no frame that holds
    // the array's lock or the service's references is abandoned.
    ArrayElement at(long index, const ClientGuard& guard) const;

private:
    SAFEARRAY* m_array;
    SafeArrayLockGuard m_lock;
};

// Reads the current state of point `pointId` from `client` into `pointState`, logging every failure:
// S_OK, or why the state could not be read (the client's HRESULT or one of the gateway's codes), with the
// record untouched. Notes no last error: gateway_getPointState notes the result, the door enumeration
// goes on without the state.
HRESULT readPointState(const ClientGuard& guarded, IComClient* client, int32_t pointId,
                       PointState* pointState);

}  // namespace doors
