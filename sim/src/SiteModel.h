// The simulated site's devices, door sets and points, the COM objects that show them to the client's
// callers, and the effect of manual commands on them.
//
// Locking: a SiteModel lives in State (SimRuntime.h) and is guarded by State::mutex. The COM objects
// below hold copies of the site values they were made from and need no lock.
#pragma once

#include "SimControl.h"

#include <oleauto.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim::detail {

// State codes (EObjState) and state types (EStateType) of the simulated site.
constexpr long kReaderOffline = 2025;
constexpr long kReaderOnline = 2026;
constexpr long kDoorFree = 2021;
constexpr long kDoorSecured = 2022;
constexpr long kAccessGranted = 2030;
constexpr long kAccessDenied = 2040;
constexpr long kInvalidPin = 2011;
constexpr long kCardExpired = 2038;
constexpr long kInputPassback = 3000;
constexpr long kPointNormal = 3001;
constexpr long kDoorClosed = 3004;
constexpr long kDoorHeld = 3005;
constexpr long kDoorForced = 3006;
constexpr long kLocked = 4000;
constexpr long kUnlocked = 4001;
constexpr long kStateNormal = 0;
constexpr long kStateAlarm = 1;

// What a point is at its door, from the slot of the door set that names it (SimDoors.h, "Point roles").
enum class PointRole { None, Reader, DoorFrame, Passback, Latch };

// A cardholder of the site, whose badges the event generator reads.
struct Cardholder {
    std::optional<std::wstring> firstName;
    std::optional<std::wstring> lastName;
    std::wstring cardNumber;
};

struct SiteModel {
    std::vector<SiteDevice> devices;  // in the order GetByType lists them
    std::map<long, SitePoint> points;
    ArrayForm deviceArray = ArrayForm::Normal;
    long nextEventId = 1;  // of the events manual commands raise
};

// The default demo site and its cardholders (docs/site-format.md, "The built-in site").
SiteModel defaultSiteModel();
std::vector<Cardholder> defaultCardholders();

// Calls visit(pointId, role) for every point the door sets of a device name: door sets in their order,
// within one reader 1, reader 2, door frame, passback, latch.
template <class Visit>
void forEachDoorPoint(const SiteDevice& device, Visit&& visit) {
    for (const SiteDoorSet& door : device.doorSets) {
        const std::pair<long, PointRole> slots[] = {{door.reader1, PointRole::Reader},
                                                    {door.reader2, PointRole::Reader},
                                                    {door.doorFrame, PointRole::DoorFrame},
                                                    {door.passback, PointRole::Passback},
                                                    {door.latch, PointRole::Latch}};
        for (const auto& [id, role] : slots) {
            if (id != 0) {
                visit(id, role);
            }
        }
    }
}

// The same over every device of the site, in their order. REQUIRES: State::mutex held.
template <class Visit>
void forEachDoorPoint(const SiteModel& site, Visit&& visit) {
    for (const SiteDevice& device : site.devices) {
        forEachDoorPoint(device, visit);
    }
}

// The role of a point: that of the first door set naming it. REQUIRES: State::mutex held.
PointRole roleOf(const SiteModel& site, long pointId);

// Whether a method name belongs to a site object, for the fault table's check of names.
bool isSiteMethod(std::string_view method);

// Each creates new objects owned by the caller. The arrays are shaped as their form says; a NullArray
// form gives S_OK with a null array.
HRESULT createDeviceArray(const std::vector<SiteDevice>& devices, ArrayForm form, SAFEARRAY** array);
HRESULT createDeviceObject(const SiteDevice& device, IUnknown** object);
HRESULT createPointObject(const SitePoint& point, IUnknown** object);
HRESULT createStateArray(const SitePoint& point, SAFEARRAY** array);

// Checks one manual command against the site and applies it: S_OK with the object-state events it
// raises, in order, or the refusal (SimCommands.h) with no change and no event.
// REQUIRES: State::mutex held.
HRESULT applyCommandLocked(SiteModel& site, const SentCommand& command, DATE now,
                           std::vector<EventObject>& events);

// Delivers the events of a command in order, one OnEvent call per event: with Thread, hands them to the
// command-event thread and returns at once; with CallingThread, calls the sinks on this thread and returns
// when every call has. No simulator lock may be held.
void raiseCommandEvents(std::vector<EventObject> events, CommandEventDelivery delivery);

}  // namespace sim::detail
