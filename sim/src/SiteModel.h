// The simulated site's devices, door sets and points, the COM objects that show them to the client's
// callers, and the effect of manual commands on them.
//
// Locking: a SiteModel lives in State (SimRuntime.h) and is guarded by State::mutex. The COM objects
// below hold copies of the site values they were made from and need no lock.
#pragma once

#include "SimControl.h"

#include <oleauto.h>

#include <map>
#include <string_view>
#include <vector>

namespace sim::detail {

struct SiteModel {
    std::vector<SiteDevice> devices;  // in the order GetByType lists them
    std::map<long, SitePoint> points;
    ArrayForm deviceArray = ArrayForm::Normal;
    long nextEventId = 1;  // of the events manual commands raise
};

// The default demo site (documented in SimControl.h).
SiteModel defaultSiteModel();

// Whether a method name belongs to a site object, for the fault table's check of names.
bool isSiteMethod(std::string_view method);

// Each creates new objects owned by the caller. The arrays are shaped as their form says; a NullArray
// form gives S_OK with a null array.
HRESULT createDeviceArray(const std::vector<SiteDevice>& devices, ArrayForm form, SAFEARRAY** array);
HRESULT createDeviceObject(const SiteDevice& device, IUnknown** object);
HRESULT createPointObject(const SitePoint& point, IUnknown** object);
HRESULT createStateArray(const SitePoint& point, SAFEARRAY** array);

// Applies one manual command to the site and returns the object-state events it raises, in order.
// REQUIRES: State::mutex held.
std::vector<EventObject> applyCommandLocked(SiteModel& site, const SentCommand& command, DATE now);

// Delivers the events of a command in order, one OnEvent call per event: with Thread, hands them to the
// command-event thread and returns at once; with CallingThread, calls the sinks on this thread and returns
// when every call has. No simulator lock may be held.
void raiseCommandEvents(std::vector<EventObject> events, CommandEventDelivery delivery);

}  // namespace sim::detail
