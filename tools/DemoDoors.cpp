// The door part of the demo host: lists every door of the site with its five points as a table, then
// sends one door command. Texts are printed as UTF-8.
#include "DemoDoors.h"

#include <cstdio>
#include <string>

#include "SiPassVormekGateway.h"

namespace {

// The command the demo sends: momentary unlock, in the command codes of the simulated site.
constexpr int32_t kPointType = 7;
constexpr int32_t kMomentaryUnlock = 3;

std::string utf8(const std::wstring& text) {
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                     nullptr, nullptr);
    std::string result(size > 0 ? size : 0, '\0');
    if (size > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), result.data(), size,
                              nullptr, nullptr);
    }
    return result;
}

// A column of `width` characters (not bytes), so that names with umlauts line up.
std::string column(std::wstring text, size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), L' ');
    }
    return utf8(text);
}

// The state names the demo site uses; any other code is shown as its number.
std::wstring stateName(int32_t state) {
    static const struct {
        int32_t code;
        const wchar_t* name;
    } kNames[] = {{2021, L"eDoorFree"},     {2022, L"eDoorSecured"}, {2025, L"eReaderOffline"},
                  {2026, L"eReaderOnline"}, {3001, L"ePointNormal"}, {3004, L"eDoorClosed"},
                  {3005, L"eDoorHeld"},     {3006, L"eDoorForced"},  {4000, L"eLocked"},
                  {4001, L"eUnlocked"}};
    for (const auto& entry : kNames) {
        if (entry.code == state) {
            return entry.name;
        }
    }
    return L"state " + std::to_wstring(state);
}

template <class F>
F find(HMODULE module, const char* name) {
    auto function = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    if (function == nullptr) {
        std::printf("host: the DLL has no export %s\n", name);
    }
    return function;
}

void printDoor(const Doorset& door) {
    const struct {
        const wchar_t* role;
        const PointDefinition* point;
    } points[] = {{L"reader 1", &door.reader1},
                  {L"reader 2", &door.reader2},
                  {L"door frame", &door.doorFrame},
                  {L"passback", &door.passback},
                  {L"latch", &door.latch}};
    bool first = true;
    for (const auto& [role, point] : points) {
        std::wstring doorColumn = first ? std::to_wstring(door.doorNumber) : L"";
        first = false;
        if (point->id == 0) {
            std::printf("    %s %s %s\n", column(doorColumn, 5).c_str(), column(role, 11).c_str(), "-");
            continue;
        }
        std::wstring state =
            stateName(point->state.state) + (point->state.stateType == 1 ? L" (alarm)" : L"");
        std::printf("    %s %s %s %s %s\n", column(doorColumn, 5).c_str(), column(role, 11).c_str(),
                    column(std::to_wstring(point->id), 6).c_str(),
                    column(point->name != nullptr ? point->name : L"", 40).c_str(), utf8(state).c_str());
    }
}

}  // namespace

bool showDoorsAndSendACommand(HMODULE gateway) {
    auto getAllDoors = find<decltype(&gateway_getAllDoors)>(gateway, "gateway_getAllDoors");
    auto cleanupDoorArray = find<decltype(&gateway_cleanupDoorArray)>(gateway, "gateway_cleanupDoorArray");
    auto controlDoor = find<decltype(&gateway_controlDoor)>(gateway, "gateway_controlDoor");
    if (getAllDoors == nullptr || cleanupDoorArray == nullptr || controlDoor == nullptr) {
        return false;
    }

    std::printf("host: gateway_getAllDoors()\n");
    Device* devices = nullptr;
    int32_t deviceCount = 0;
    int32_t doorCount = 0;
    if (!getAllDoors(&devices, &deviceCount, &doorCount)) {
        std::printf("host: gateway_getAllDoors returned false\n");
        return false;
    }
    std::printf("host: %d devices, %d doors\n", static_cast<int>(deviceCount), static_cast<int>(doorCount));
    int32_t latch = 0;
    for (int32_t d = 0; d < deviceCount; ++d) {
        const Device& device = devices[d];
        std::printf("  device %d  %s\n", static_cast<int>(device.id),
                    utf8(device.name != nullptr ? device.name : L"").c_str());
        std::printf("    %s %s %s %s %s\n", column(L"door", 5).c_str(), column(L"point", 11).c_str(),
                    column(L"id", 6).c_str(), column(L"name", 40).c_str(), "state");
        for (int32_t n = 0; n < device.doorsetCount; ++n) {
            printDoor(device.doorsets[n]);
            if (latch == 0) {
                latch = device.doorsets[n].latch.id;
            }
        }
    }
    cleanupDoorArray(devices, deviceCount);

    if (latch == 0) {
        std::printf("host: no door with a latch, no command sent\n");
        return true;
    }
    std::printf("host: gateway_controlDoor(%d, %d, %d) (momentary unlock of a latch)\n", kPointType,
                static_cast<int>(latch), kMomentaryUnlock);
    const bool sent = controlDoor(kPointType, latch, kMomentaryUnlock);
    std::printf("host: gateway_controlDoor returned %s\n", sent ? "true" : "false");
    return sent;
}
