#include "doors/DoorServices.h"

namespace doors {

long elementCount(SAFEARRAY* array) {
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(::SafeArrayGetLBound(array, 1, &lower)) || FAILED(::SafeArrayGetUBound(array, 1, &upper)) ||
        upper < lower) {
        return 0;
    }
    return upper - lower + 1;
}

HRESULT copyElement(SAFEARRAY* array, long index, VariantOwner& element) {
    LONG lower = 0;
    HRESULT hr = ::SafeArrayGetLBound(array, 1, &lower);
    if (FAILED(hr)) {
        return hr;
    }
    LONG position = lower + index;
    // SafeArrayGetElement copies the VARIANT (VariantCopy), so the element owns its own reference.
    return ::SafeArrayGetElement(array, &position, element.ReleaseAndGetAddressOf());
}

}  // namespace doors
