// The records as a host reads them: fields at the byte offsets of the contract, and every block the
// gateway allocated given back exactly once by the cleanup exports.
#include <algorithm>
#include <cstring>
#include <set>

#include "DoorHeapTracker.h"
#include "DoorTestSupport.h"

namespace {

// The contract's offsets, written out rather than taken from the header: x86 is the host contract, x64
// the natural layout with 8-byte pointers.
struct Layout {
    size_t device, deviceName, deviceCount, deviceDoorsets;
    size_t doorset, doorPoints[5];
    size_t definition, definitionName, definitionState;
    size_t state, stateType, stateTime, stateLocation, stateDescription;
};
#if defined(_WIN64)
constexpr Layout kLayout = {32, 8, 16, 24, 248, {8, 56, 104, 152, 200}, 48, 8, 16, 32, 4, 8, 16, 24};
#else
constexpr Layout kLayout = {16, 4, 8, 12, 168, {8, 40, 72, 104, 136}, 32, 4, 8, 24, 4, 8, 16, 20};
#endif

template <class T>
T read(const void* base, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const char*>(base) + offset, sizeof value);
    return value;
}

std::wstring text(const void* base, size_t offset) {
    const auto* pointer = read<const wchar_t*>(base, offset);
    return pointer != nullptr ? pointer : L"<null>";
}

// Every non-null pointer a host would release, collected from the raw records.
std::vector<void*> blocksOf(const Device* devices, int32_t count) {
    std::vector<void*> blocks{const_cast<Device*>(devices)};
    for (int32_t d = 0; d < count; ++d) {
        const Device& device = devices[d];
        blocks.push_back(device.name);
        blocks.push_back(device.doorsets);
        for (int32_t n = 0; n < device.doorsetCount; ++n) {
            const Doorset& door = device.doorsets[n];
            for (const PointDefinition* point :
                 {&door.reader1, &door.reader2, &door.doorFrame, &door.passback, &door.latch}) {
                blocks.insert(blocks.end(), {point->name, point->state.location, point->state.description});
            }
        }
    }
    blocks.erase(std::remove(blocks.begin(), blocks.end(), nullptr), blocks.end());
    return blocks;
}

}  // namespace

using DoorRecords = DoorTest;

TEST_F(DoorRecords, AreReadAtTheContractOffsets) {
    login();
    ASSERT_TRUE(getAllDoors());
    ASSERT_EQ(3, deviceCount);

    // Device 2 "Tür Süd", its door 2 and that door's reader 1 (point 2021).
    const char* device = reinterpret_cast<const char*>(devices) + kLayout.device;
    EXPECT_EQ(2, read<int32_t>(device, 0));
    EXPECT_EQ(L"T\u00fcr S\u00fcd", text(device, kLayout.deviceName));
    EXPECT_EQ(3, read<int32_t>(device, kLayout.deviceCount));
    const char* door = read<const char*>(device, kLayout.deviceDoorsets) + kLayout.doorset;
    EXPECT_EQ(2, read<int32_t>(door, 0));
    const long ids[5] = {2021, 2022, 2023, 0, 2025};
    for (int k = 0; k < 5; ++k) {
        const char* point = door + kLayout.doorPoints[k];
        EXPECT_EQ(ids[k], read<int32_t>(point, 0));
        if (ids[k] == 0) {
            EXPECT_TRUE(std::all_of(point, point + kLayout.definition, [](char byte) { return byte == 0; }));
        }
    }
    const char* reader1 = door + kLayout.doorPoints[0];
    const char* state = reader1 + kLayout.definitionState;
    EXPECT_EQ(L"T\u00fcr S\u00fcd T\u00fcr 2 Leser au\u00dfen", text(reader1, kLayout.definitionName));
    EXPECT_EQ(2026, read<int32_t>(state, 0));
    EXPECT_EQ(0, read<int32_t>(state, kLayout.stateType));
    EXPECT_EQ(1709278200000LL, read<int64_t>(state, kLayout.stateTime));
    EXPECT_EQ(L"T\u00fcr S\u00fcd T\u00fcr 2", text(state, kLayout.stateLocation));
    EXPECT_EQ(L"Leser au\u00dfen", text(state, kLayout.stateDescription));
}

TEST_F(DoorRecords, APointStateFillsExactlyItsBytes) {
    login();
    unsigned char buffer[64];
    std::memset(buffer, 0xA5, sizeof buffer);
    ASSERT_TRUE(library.getPointState(2031, reinterpret_cast<PointState*>(buffer)));
    EXPECT_EQ(2025, read<int32_t>(buffer, 0));
    EXPECT_EQ(1, read<int32_t>(buffer, kLayout.stateType));
    EXPECT_EQ(L"T\u00fcr S\u00fcd T\u00fcr 3", text(buffer, kLayout.stateLocation));
    EXPECT_TRUE(std::all_of(buffer + kLayout.state, buffer + sizeof buffer,
                            [](unsigned char byte) { return byte == 0xA5; }));
    library.cleanupPointDefinition(PointDefinition{0, nullptr, *reinterpret_cast<PointState*>(buffer)});
}

TEST_F(DoorRecords, CleanupFreesEveryBlockTheEnumerationAllocatedExactlyOnce) {
    login();
    ASSERT_TRUE(getAllDoors());  // once before tracking, so that nothing allocated once per process counts
    releaseDoors();

    DllHeapTracker heap(library.module());
    ASSERT_TRUE(heap.active());
    ASSERT_TRUE(getAllDoors());

    const std::vector<void*> blocks = blocksOf(devices, deviceCount);
    const std::set<void*> distinct(blocks.begin(), blocks.end());
    EXPECT_EQ(blocks.size(), distinct.size()) << "two records share a block";
    EXPECT_EQ(distinct, heap.live())
        << "the DLL holds blocks no record owns, or a record a block it did not allocate";
    // The array, 3 names, 3 door-set arrays and 3 texts for each of the 28 points of the demo site.
    EXPECT_EQ(1u + 3 + 3 + 28 * 3, blocks.size());

    const size_t freesBefore = heap.frees();
    library.cleanupDoorArray(devices, deviceCount);
    devices = kUntouchedDevices;
    EXPECT_EQ(distinct.size(), heap.frees() - freesBefore);
    EXPECT_TRUE(heap.live().empty());
    EXPECT_EQ(0u, heap.unknownFrees()) << "a block was freed twice, or one the enumeration did not allocate";
}

TEST_F(DoorRecords, CleanupAcceptsNullsAndZeroCounts) {
    sim::clearSite();
    login();
    ASSERT_TRUE(getAllDoors());
    DllHeapTracker heap(library.module());
    ASSERT_TRUE(heap.active());

    library.cleanupDoorArray(nullptr, 5);
    Doorset door{};
    library.cleanupDoorset(&door, 0);
    library.cleanupDoorset(nullptr, 3);
    library.cleanupDoorset(&door, 1);  // an all-zero door set owns nothing
    library.cleanupPointDefinition(PointDefinition{});
    EXPECT_EQ(0u, heap.frees());

    library.cleanupDoorArray(devices, 0);  // the empty array of an empty site: only the array itself
    devices = kUntouchedDevices;
    EXPECT_EQ(1u, heap.frees());
    EXPECT_EQ(1u, heap.unknownFrees()) << "allocated before tracking began";
}

TEST_F(DoorRecords, APointStateGivesTheHostExactlyItsTwoTexts) {
    login();
    DllHeapTracker heap(library.module());
    ASSERT_TRUE(heap.active());
    PointState state{};
    ASSERT_TRUE(library.getPointState(1011, &state));
    EXPECT_EQ((std::set<void*>{state.location, state.description}), heap.live());
    library.cleanupPointDefinition(PointDefinition{0, nullptr, state});
    EXPECT_TRUE(heap.live().empty());
    EXPECT_EQ(0u, heap.unknownFrees());
}
