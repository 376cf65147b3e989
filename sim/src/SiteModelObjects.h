// The COM objects that show the site model to the client's callers (SiteModelObjects.cpp). They hold copies
// of the site values they were made from and need no lock.
#pragma once

#include "SimDoors.h"

#include <oleauto.h>

#include <string_view>
#include <vector>

namespace sim::detail {

// Whether a method name belongs to a site object, for the fault table's check of names.
bool isSiteMethod(std::string_view method);

// Each creates new objects owned by the caller. The arrays are shaped as their form says; a NullArray
// form gives S_OK with a null array.
HRESULT createDeviceArray(const std::vector<SiteDevice>& devices, ArrayForm form, SAFEARRAY** array);
HRESULT createDeviceObject(const SiteDevice& device, IUnknown** object);
HRESULT createPointObject(const SitePoint& point, IUnknown** object);
HRESULT createStateArray(const SitePoint& point, SAFEARRAY** array);

}  // namespace sim::detail
