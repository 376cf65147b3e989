// The shape check of every SAFEARRAY the client hands the gateway (event arrays, device lists, door sets,
// relatives): only a one-dimensional array of VARIANTs is read.
#pragma once

#include <windows.h>

#include <oleauto.h>

namespace safearray {

// What an array looks like, checked in this order.
enum class ArrayShape {
    VariantVector,    // one dimension of VARIANTs: the only usable shape
    WithoutVarType,   // FADF_HAVEVARTYPE is clear (reported only when the flag is required)
    NotVariants,      // its elements are not VARIANTs (VT_UNKNOWN elements, or elements of another size)
    NotOneDimension,  // zero or several dimensions
};

// Event arrays and the device list must carry FADF_HAVEVARTYPE; the other arrays only need to hold
// VARIANTs, which the feature flags tell also without it (FADF_VARIANT).
enum class VarTypeFlag { Required, NotRequired };

// The shape of a non-null array. For NotVariants, `typeFailure` (when given) receives why: the failure of
// SafeArrayGetVartype, or E_INVALIDARG for elements that are not VARIANTs. An element size other than a
// VARIANT's is never usable: every element read would run past its slot.
ArrayShape shapeOf(SAFEARRAY* array, VarTypeFlag flag, HRESULT* typeFailure = nullptr);

}  // namespace safearray
