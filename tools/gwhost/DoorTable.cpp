#include "DoorTable.h"

#include "Text.h"

namespace {

struct Role {
    const char* name;
    const PointDefinition Doorset::*point;
};

constexpr Role kRoles[] = {{"reader 1", &Doorset::reader1},
                           {"reader 2", &Doorset::reader2},
                           {"door frame", &Doorset::doorFrame},
                           {"passback", &Doorset::passback},
                           {"latch", &Doorset::latch}};

// A column of `width` characters (not bytes).
std::string column(const std::wstring& text, size_t width) {
    std::wstring padded = text;
    if (padded.size() < width) {
        padded.append(width - padded.size(), L' ');
    }
    return utf8(padded) + " ";
}

std::string column(const std::string& text, size_t width) {
    return column(wide(text), width);
}

std::string stateText(const PointState& state) {
    return stateName(state.state) + " (" + stateTypeName(state.stateType) + ")";
}

}  // namespace

std::string doorTableText(const Device* devices, int32_t deviceCount, int32_t doorCount) {
    std::string text = std::to_string(deviceCount) + " devices, " + std::to_string(doorCount) + " doors\n";
    for (int32_t d = 0; d < deviceCount; ++d) {
        const Device& device = devices[d];
        text += "device " + std::to_string(device.id) + "  " + utf8(device.name) + "\n";
        text +=
            "  " + column("door", 5) + column("point", 11) + column("id", 7) + column("name", 40) + "state\n";
        for (int32_t n = 0; n < device.doorsetCount; ++n) {
            const Doorset& door = device.doorsets[n];
            bool first = true;
            for (const Role& role : kRoles) {
                const PointDefinition& point = door.*role.point;
                text +=
                    "  " + column(first ? std::to_string(door.doorNumber) : "", 5) + column(role.name, 11);
                first = false;
                if (point.id == 0) {
                    text += "-\n";
                    continue;
                }
                text += column(std::to_string(point.id), 7) +
                        column(point.name != nullptr ? point.name : L"", 40) + stateText(point.state) + "\n";
            }
        }
    }
    return text;
}

nlohmann::ordered_json pointStateJson(int32_t id, const PointState& state) {
    return {{"id", id},
            {"state", state.state},
            {"stateName", stateName(state.state)},
            {"stateType", state.stateType},
            {"stateTypeName", stateTypeName(state.stateType)},
            {"serverTime", dateText(state.serverTimeMs)},
            {"serverTimeMs", state.serverTimeMs},
            {"serverTimeIso", isoTimeText(state.serverTimeMs)},
            {"location", utf8(state.location)},
            {"description", utf8(state.description)}};
}

nlohmann::ordered_json pointJson(const PointDefinition& point, const char* role) {
    nlohmann::ordered_json result = {{"role", role}, {"id", point.id}, {"name", utf8(point.name)}};
    const nlohmann::ordered_json state = pointStateJson(point.id, point.state);
    for (const auto& [key, value] : state.items()) {
        if (key != "id") {
            result[key] = value;
        }
    }
    return result;
}

nlohmann::ordered_json doorTableJson(const Device* devices, int32_t deviceCount, int32_t doorCount) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (int32_t d = 0; d < deviceCount; ++d) {
        const Device& device = devices[d];
        nlohmann::ordered_json doors = nlohmann::ordered_json::array();
        for (int32_t n = 0; n < device.doorsetCount; ++n) {
            const Doorset& door = device.doorsets[n];
            nlohmann::ordered_json points = nlohmann::ordered_json::array();
            for (const Role& role : kRoles) {
                const PointDefinition& point = door.*role.point;
                if (point.id != 0) {
                    points.push_back(pointJson(point, role.name));
                }
            }
            doors.push_back({{"door", door.doorNumber}, {"points", std::move(points)}});
        }
        list.push_back({{"id", device.id}, {"name", utf8(device.name)}, {"doors", std::move(doors)}});
    }
    return {{"deviceCount", deviceCount}, {"doorCount", doorCount}, {"devices", std::move(list)}};
}
