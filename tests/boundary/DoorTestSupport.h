// Shared pieces of the door and point tests: a fixture that logs in and releases what the host received,
// and small builders for a site whose every value can be derived from a point id.
#pragma once

#include <string>
#include <vector>

#include "BoundaryTest.h"

// Outputs a test pre-sets, so that "left untouched" can be told from "written".
inline Device* const kUntouchedDevices = reinterpret_cast<Device*>(static_cast<uintptr_t>(0x5151));
constexpr int32_t kUntouchedCount = -7;

class DoorTest : public BoundaryTest {
protected:
    void login() {
        ASSERT_TRUE(library.Init(L"operator", L"sipass"));
        log.clear();
    }

    // gateway_getAllDoors into the fixture's outputs; a previous result is released first.
    bool getAllDoors() {
        releaseDoors();
        return library.getAllDoors(&devices, &deviceCount, &doorCount);
    }

    void releaseDoors() {
        if (devices != kUntouchedDevices) {
            library.cleanupDoorArray(devices, deviceCount);
        }
        devices = kUntouchedDevices;
        deviceCount = doorCount = kUntouchedCount;
    }

    // Events of the manual commands a test sent reach its own gateway, not the next test's.
    void releaseEverything() override {
        EXPECT_TRUE(sim::waitForCommandEvents());
        releaseDoors();
        BoundaryTest::releaseEverything();
    }

    // The texts of the lines logged at `level`.
    std::vector<std::wstring> linesAt(int level) const;

    Device* devices = kUntouchedDevices;
    int32_t deviceCount = kUntouchedCount;
    int32_t doorCount = kUntouchedCount;
};

namespace testsite {

// Values of point `id`: name "Punkt <id> ä", state 3000 + id % 20, state type id % 2, server time
// 2000-01-01 00:00:00 plus id seconds, location "Ort <id>", description "Beschreibung <id>".
sim::SitePoint point(long id);
// A door set whose five points are firstId .. firstId + 4, each added to the site.
sim::SiteDoorSet doorWithPoints(long number, long firstId);
// A device with `doors` door sets numbered from 1; door n has the points firstPointId + 10 * (n - 1) + k.
sim::SiteDevice device(long id, const std::wstring& name, int doors, long firstPointId);

}  // namespace testsite

// Checks a definition against testsite::point(id), or that it is all zero for id 0.
::testing::AssertionResult holdsPoint(const PointDefinition& definition, long id);
// True when every byte of the definition is zero.
bool isAllZero(const PointDefinition& definition);
