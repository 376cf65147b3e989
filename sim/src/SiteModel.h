// The simulated site's devices, door sets and points, the roles of points, and the built-in site
// (SiteControl.cpp). The COM objects that show them: SiteModelObjects.h; manual commands acting on them:
// SiteCommands.h.
//
// Locking: a SiteModel lives in State (SimRuntime.h) and is guarded by State::mutex.
#pragma once

#include "SimDoors.h"

#include <map>
#include <optional>
#include <string>
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

}  // namespace sim::detail
