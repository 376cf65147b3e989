#include "support/ClientArray.h"

#include <climits>
#include <utility>

#include "support/ClientRef.h"

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
