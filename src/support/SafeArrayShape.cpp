#include "support/SafeArrayShape.h"

namespace safearray {

ArrayShape shapeOf(SAFEARRAY* array, VarTypeFlag flag, HRESULT* typeFailure) {
    const bool required = flag == VarTypeFlag::Required;
    if (required && (array->fFeatures & FADF_HAVEVARTYPE) == 0) {
        return ArrayShape::WithoutVarType;
    }
    HRESULT why = E_INVALIDARG;
    VARTYPE type = VT_EMPTY;
    const HRESULT hr = ::SafeArrayGetVartype(array, &type);
    if (FAILED(hr)) {
        if (required) {
            why = hr;
        } else {
            // Without the stored type the feature flags tell, as they tell the SAFEARRAY functions that
            // copy and free the elements.
            type = (array->fFeatures & FADF_VARIANT) != 0 ? VT_VARIANT : VT_EMPTY;
        }
    }
    if (type != VT_VARIANT || array->cbElements != sizeof(VARIANT)) {
        if (typeFailure != nullptr) {
            *typeFailure = why;
        }
        return ArrayShape::NotVariants;
    }
    if (::SafeArrayGetDim(array) != 1) {
        return ArrayShape::NotOneDimension;
    }
    return ArrayShape::VariantVector;
}

}  // namespace safearray
