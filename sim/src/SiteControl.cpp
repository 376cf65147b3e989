// The default demo site and the control API's functions for devices, door sets and points.
#include "SiteModel.h"

#include "SimRuntime.h"

#include <algorithm>

namespace sim::detail {
namespace {

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
            point.stateType = kStateNormal;
            point.serverTime = kDemoServerTime;
            point.location = deviceName + L" T\u00fcr " + std::to_wstring(door.door);
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
    site.points.at(2031).stateType = kStateAlarm;
    site.points.at(3023).state = kDoorHeld;
    site.points.at(3023).stateType = kStateAlarm;
    return site;
}

std::vector<Cardholder> defaultCardholders() {
    return {{L"J\u00fcrgen", L"M\u00fcller", L"000123456"},
            {L"Anna", L"Schmidt", L"000123457"},
            {L"Ren\u00e9", L"Fran\u00e7ois", L"000200311"},
            {L"Zo\u00eb", L"\u00c5berg", L"000200312"},
            {L"\u0393\u03b9\u03ce\u03c1\u03b3\u03bf\u03c2",
             L"\u03a0\u03b1\u03c0\u03b1\u03b4\u03cc\u03c0\u03bf\u03c5\u03bb\u03bf\u03c2", L"000300101"},
            {L"\u0410\u043d\u043d\u0430", L"\u0421\u043c\u0438\u0440\u043d\u043e\u0432\u0430", L"000300102"},
            {L"\u5c0f\u660e", L"\u738b", L"000300103"}};  // Xiaoming of the family Wang
}

PointRole roleOf(const SiteModel& site, long pointId) {
    PointRole found = PointRole::None;
    forEachDoorPoint(site, [&](long id, PointRole role) {
        if (id == pointId && found == PointRole::None) {
            found = role;
        }
    });
    return found;
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
