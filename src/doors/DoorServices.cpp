#include "doors/DoorServices.h"

#include "gateway/SiPassGateWay.h"
#include "support/Boundary.h"

namespace doors {

ClientRef<IComClient> ClientGuard::client(const SiPassGateWay& gateway) const {
    seh::Outcome addRef;
    ClientRef<IComClient> snapshot = gateway.client(&addRef);
    if (!addRef.succeeded()) {
        raised(addRef);
    }
    return snapshot;
}

void ClientGuard::raised(const seh::Outcome& outcome) const {
    boundary::noteRaised(m_export, outcome);
    throw ClientRaised{};
}

long elementCount(SAFEARRAY* array) {
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(::SafeArrayGetLBound(array, 1, &lower)) || FAILED(::SafeArrayGetUBound(array, 1, &upper)) ||
        upper < lower) {
        return 0;
    }
    return upper - lower + 1;
}

ArrayElement ArrayElements::at(long index, const ClientGuard& guard) const {
    ArrayElement element;
    LONG lower = 0;
    if (!m_lock.locked() || FAILED(::SafeArrayGetLBound(m_array, 1, &lower))) {
        return element;
    }
    LONG position = lower + index;
    void* slot = nullptr;
    if (FAILED(::SafeArrayPtrOfIndex(m_array, &position, &slot))) {
        return element;
    }
    guard([&] {
        const VARIANT* value = static_cast<const VARIANT*>(slot);
        element.vt = value->vt;
        element.object = value->vt == VT_UNKNOWN ? value->punkVal : nullptr;
        return S_OK;
    });
    element.addressed = true;
    return element;
}

}  // namespace doors
