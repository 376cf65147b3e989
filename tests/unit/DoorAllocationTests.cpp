// The door services when the C runtime heap cannot provide a record or a text: no crash, outputs that
// agree with each other, and every block either handed to the host or given back.
#include <cstdlib>
#include <set>

#include "ComTest.h"
#include "gateway/ProcessGateway.h"
#include "doors/DoorServices.h"
#include "doors/HostRecords.h"
#include "LogCapture.h"
#include "gateway/SiPassGateWay.h"
#include "support/SimpleLogger.h"

namespace {

// A heap that refuses its n-th allocation and remembers every block it handed out.
struct FailingHeap {
    static int failAt;  // 1 for the first allocation; 0 for none
    static int allocations;
    static std::set<void*> live;
    static int unknownReleases;

    static void* allocate(size_t count, size_t size) {
        if (++allocations == failAt) {
            return nullptr;
        }
        void* block = std::calloc(count, size);
        live.insert(block);
        return block;
    }
    static void release(void* block) {
        if (block != nullptr && live.erase(block) == 0) {
            ++unknownReleases;
        }
        std::free(block);
    }
    static void reset(int failing) {
        failAt = failing;
        allocations = 0;
        unknownReleases = 0;
        live.clear();
    }
};
int FailingHeap::failAt = 0;
int FailingHeap::allocations = 0;
std::set<void*> FailingHeap::live;
int FailingHeap::unknownReleases = 0;

const doors::HostHeap kFailingHeap{&FailingHeap::allocate, &FailingHeap::release};

class DoorAllocation : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        SimpleLogger::GetInstance()->setLogger(&LogCapture::callback);
        // Two devices with two doors of five points each: 1 array, 2 names, 2 door-set arrays, 60 texts.
        sim::clearSite();
        for (long d = 1; d <= 2; ++d) {
            sim::SiteDevice device;
            device.id = d;
            device.name = L"Ger\u00e4t";
            for (long n = 1; n <= 2; ++n) {
                sim::SiteDoorSet door;
                door.doorNumber = n;
                long* ids[] = {&door.reader1, &door.reader2, &door.doorFrame, &door.passback, &door.latch};
                for (long k = 0; k < 5; ++k) {
                    *ids[k] = d * 100 + n * 10 + k;
                    sim::SitePoint point;
                    point.id = *ids[k];
                    point.name = L"Punkt";
                    point.location = L"Ort";
                    sim::addPoint(point);
                }
                device.doorSets.push_back(door);
            }
            sim::addDevice(device);
        }
        gateway = processGateway::obtain();
        ASSERT_TRUE(gateway->Init(L"operator", L"sipass"));
        doors::setHostHeapForTesting(&kFailingHeap);
    }

    void releaseEverything() override {
        doors::setHostHeapForTesting(nullptr);
        SimpleLogger::GetInstance()->setLogger(nullptr);
        processGateway::closeCurrent();
    }

    processGateway::Pin gateway;
    LogCapture log;
};

constexpr int kBlocksOfTheSite = 65;

}  // namespace

TEST_F(DoorAllocation, EveryFailingAllocationOfTheEnumerationKeepsTheOwnershipRule) {
    for (int failAt = 0; failAt <= kBlocksOfTheSite; ++failAt) {
        SCOPED_TRACE("allocation " + std::to_string(failAt) + " fails");
        FailingHeap::reset(failAt);
        log.clear();
        Device* devices = reinterpret_cast<Device*>(1);
        int32_t deviceCount = -1;
        int32_t doorCount = -1;

        const bool result = gateway->getAllDoors(&devices, &deviceCount, &doorCount);

        if (failAt == 0) {
            EXPECT_EQ(kBlocksOfTheSite, FailingHeap::allocations)
                << "the sweep does not reach every allocation";
        }
        EXPECT_EQ(failAt != 1, result);
        EXPECT_EQ(failAt != 1, devices != nullptr);
        EXPECT_EQ(failAt == 1 ? 0 : 2, deviceCount);
        int32_t doorsets = 0;
        for (int32_t d = 0; d < deviceCount; ++d) {
            doorsets += devices[d].doorsetCount;
            EXPECT_EQ(devices[d].doorsetCount == 0, devices[d].doorsets == nullptr);
        }
        EXPECT_EQ(doorsets, doorCount) << "the door total disagrees with the records";
        bool reported = false;
        for (const std::wstring& line : log.texts()) {
            reported = reported || line.rfind(L"malloc of ", 0) == 0;
        }
        EXPECT_EQ(failAt != 0, reported);

        // What the host would release: afterwards nothing of the gateway's may be left.
        doors::freeDeviceArray(devices, deviceCount);
        EXPECT_TRUE(FailingHeap::live.empty()) << FailingHeap::live.size() << " blocks leaked";
        EXPECT_EQ(0, FailingHeap::unknownReleases);
    }
}

TEST_F(DoorAllocation, APointStateWithoutMemoryForItsTextsLeavesTheRecord) {
    for (int failAt = 1; failAt <= 2; ++failAt) {
        FailingHeap::reset(failAt);
        PointState state{7, 7, 7, nullptr, nullptr};
        EXPECT_FALSE(gateway->getPointState(110, &state));
        EXPECT_EQ(7, state.state);
        EXPECT_EQ(nullptr, state.location);
        EXPECT_TRUE(FailingHeap::live.empty());
    }
    EXPECT_EQ(L"malloc of the state texts for getPointState failed.", log.texts().back());
}

TEST_F(DoorAllocation, ADefinitionWithoutMemoryForItsNameKeepsOnlyItsId) {
    FailingHeap::reset(1);
    PointDefinition definition{};
    const doors::ClientGuard guarded("gateway_getAllDoors");
    EXPECT_FALSE(gateway->getPointDefinition(guarded, gateway->client().get(), 110, &definition));
    EXPECT_EQ(110, definition.id);
    EXPECT_EQ(nullptr, definition.name);
    EXPECT_EQ(nullptr, definition.state.location);
    EXPECT_EQ(L"malloc of the point name for getPointDefinition failed.", log.texts().back());
}
