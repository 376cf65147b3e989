#include "doors/DoorServices.h"

#include <climits>
#include <utility>

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

void ClientArray::reset() noexcept {
    SAFEARRAY* array = m_array.get();
    if (array == nullptr) {
        return;
    }
    const bool variants = (array->fFeatures & FADF_VARIANT) != 0 && array->cbElements == sizeof(VARIANT);
    const bool interfaces =
        (array->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) != 0 && array->cbElements == sizeof(IUnknown*);
    if (variants || interfaces) {
        const SafeArrayLockGuard lock(array);
        // An element count that overflows is no array's: it is left to SafeArrayDestroy as it stands.
        ULONG total = array->pvData != nullptr && lock.locked() ? 1 : 0;
        for (USHORT dimension = 0; dimension < array->cDims && total != 0; ++dimension) {
            const ULONG extent = array->rgsabound[dimension].cElements;
            total = extent != 0 && total > ULONG_MAX / extent ? 0 : total * extent;
        }
        for (ULONG i = 0; i < total; ++i) {
            IUnknown* object = nullptr;
            if (variants) {
                VARIANT& element = static_cast<VARIANT*>(array->pvData)[i];
                if (element.vt == VT_UNKNOWN || element.vt == VT_DISPATCH) {
                    object = std::exchange(element.punkVal, nullptr);
                    element.vt = VT_EMPTY;
                }
            } else {
                object = std::exchange(static_cast<IUnknown**>(array->pvData)[i], nullptr);
            }
            if (object != nullptr) {
                clientref::release(object);
            }
        }
    }
    m_array.reset();
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

const VARIANT* ArrayElements::at(long index) const {
    LONG lower = 0;
    if (!m_lock.locked() || FAILED(::SafeArrayGetLBound(m_array, 1, &lower))) {
        return nullptr;
    }
    LONG position = lower + index;
    void* element = nullptr;
    if (FAILED(::SafeArrayPtrOfIndex(m_array, &position, &element))) {
        return nullptr;
    }
    return static_cast<const VARIANT*>(element);
}

}  // namespace doors
