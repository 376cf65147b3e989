#include "doors/DoorServices.h"

namespace doors {

ArrayShape shapeOf(SAFEARRAY* array, VarTypeFlag flag) {
    if (flag == VarTypeFlag::Required && (array->fFeatures & FADF_HAVEVARTYPE) == 0) {
        return ArrayShape::WithoutVarType;
    }
    VARTYPE type = VT_EMPTY;
    if (FAILED(::SafeArrayGetVartype(array, &type))) {
        // Without the stored type the feature flags tell, as they tell the SAFEARRAY functions that copy
        // and free the elements.
        type = (array->fFeatures & FADF_VARIANT) != 0 && array->cbElements == sizeof(VARIANT) ? VT_VARIANT
                                                                                              : VT_EMPTY;
    }
    if (type != VT_VARIANT) {
        return ArrayShape::NotVariants;
    }
    if (::SafeArrayGetDim(array) != 1) {
        return ArrayShape::NotOneDimension;
    }
    return ArrayShape::VariantVector;
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
