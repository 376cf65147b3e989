// The default demo site and the control API's functions for devices, door sets and points.
#include "SiteModel.h"

#include "SimRuntime.h"

#include <algorithm>

namespace sim::detail {
namespace {

// State codes (EObjState) and state types (EStateType) the demo site uses.
constexpr long kReaderOnline = 2026;
constexpr long kReaderOffline = 2025;
constexpr long kPointNormal = 3001;
constexpr long kDoorClosed = 3004;
constexpr long kDoorHeld = 3005;
constexpr long kLocked = 4000;
constexpr long kUnlocked = 4001;
constexpr long kNormal = 0;
constexpr long kAlarm = 1;

// 2024-03-01 07:30:00 as an OLE automation date.
constexpr DATE kDemoServerTime = 45352.3125;

struct DemoDoor {
    long device;
    long door;
    bool reader2;
    bool passback;
};

}  // namespace

SiteModel defaultSiteModel() {
    SiteModel site;
    const std::pair<long, std::wstring> devices[] = {
        {1, L"Haupteingang"}, {2, L"T\u00fcr S\u00fcd"}, {3, L"Lager"}};
    const DemoDoor doors[] = {{1, 1, true, true},  {1, 2, true, false}, {2, 1, true, true},
                              {2, 2, true, false}, {2, 3, true, false}, {3, 1, false, false},
                              {3, 2, false, false}};
    struct Role {
        const wchar_t* name;
        long state;
    };
    const Role roles[5] = {{L"Leser au\u00dfen", kReaderOnline},
                           {L"Leser innen", kReaderOnline},
                           {L"T\u00fcrkontakt", kDoorClosed},
                           {L"Passback-\u00dcberwachung", kPointNormal},
                           {L"Schlie\u00dfriegel", kLocked}};

    for (const auto& [id, name] : devices) {
        SiteDevice device;
        device.id = id;
        device.name = name;
        site.devices.push_back(device);
    }
    for (const DemoDoor& door : doors) {
        const std::wstring& deviceName = devices[door.device - 1].second;
        long ids[5] = {};
        for (int k = 0; k < 5; ++k) {
            if ((k == 1 && !door.reader2) || (k == 3 && !door.passback)) {
                continue;
            }
            SitePoint point;
            point.id = ids[k] = door.device * 1000 + door.door * 10 + k + 1;
            point.name = deviceName + L" T\u00fcr " + std::to_wstring(door.door) + L" " + roles[k].name;
            point.state = roles[k].state;
            point.stateType = kNormal;
            point.serverTime = kDemoServerTime;
            point.location = deviceName;
            point.description = roles[k].name;
            site.points[point.id] = point;
        }
        SiteDoorSet doorSet;
        doorSet.doorNumber = door.door;
        doorSet.reader1 = ids[0];
        doorSet.reader2 = ids[1];
        doorSet.doorFrame = ids[2];
        doorSet.passback = ids[3];
        doorSet.latch = ids[4];
        site.devices[door.device - 1].doorSets.push_back(doorSet);
    }
    site.points.at(1015).state = kUnlocked;
    site.points.at(2031).state = kReaderOffline;
    site.points.at(2031).stateType = kAlarm;
    site.points.at(3023).state = kDoorHeld;
    site.points.at(3023).stateType = kAlarm;
    return site;
}

}  // namespace sim::detail

namespace sim {

void clearSite() {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    const long nextEventId = st.site.nextEventId;
    st.site = detail::SiteModel{};
    st.site.nextEventId = nextEventId;
}

void addDevice(const SiteDevice& device) {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.site.devices.push_back(device);
}

void addPoint(const SitePoint& point) {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.site.points[point.id] = point;
}

void setDeviceArrayForm(ArrayForm form) {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.site.deviceArray = form;
}

std::optional<SitePoint> findPoint(long id) {
    auto& st = detail::state();
    std::lock_guard<std::mutex> lock(st.mutex);
    const auto found = st.site.points.find(id);
    if (found == st.site.points.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace sim
