// gateway_getAllDoors against sites the simulator builds: what the host receives, what is logged, and
// which defaults replace what the client could not deliver.
#include <cstring>

#include "DoorHeapTracker.h"
#include "DoorTestSupport.h"

namespace {

const std::wstring kNoClient =
    L"COMClient is NULL. Call init first and check if init returns true before getting door information.";

// A site of two devices: device 1 "Pförtner" with two doors (points 101.. and 111..), device 2 "Tor"
// with three doors (points 201.., 211.., 221..).
void buildTwoDeviceSite() {
    sim::clearSite();
    sim::addDevice(testsite::device(1, L"Pf\u00f6rtner", 2, 101));
    sim::addDevice(testsite::device(2, L"Tor", 3, 201));
}

}  // namespace

using DoorEnumeration = DoorTest;

// A host cleans up after every call, failed ones included: no output may keep a garbage value.
TEST_F(DoorEnumeration, WithoutAClientFailsWithOneLineAndEmptyOutputs) {
    EXPECT_FALSE(getAllDoors());
    EXPECT_TRUE(linesMatch(log.texts(), {L"Constructor called", L"CoInitialize S_FALSE", kNoClient}));
    EXPECT_EQ(nullptr, devices);
    EXPECT_EQ(0, deviceCount);
    EXPECT_EQ(0, doorCount);
}

TEST_F(DoorEnumeration, ReportsOnlyTheFirstNullOutputPointerAndEmptiesTheOthers) {
    login();
    int32_t count = kUntouchedCount;
    Device* array = kUntouchedDevices;
    EXPECT_FALSE(library.getAllDoors(nullptr, nullptr, &count));
    EXPECT_EQ(0, count);
    count = kUntouchedCount;
    EXPECT_FALSE(library.getAllDoors(&array, nullptr, &count));
    EXPECT_EQ(nullptr, array);
    EXPECT_EQ(0, count);
    array = kUntouchedDevices;
    count = kUntouchedCount;
    EXPECT_FALSE(library.getAllDoors(&array, &count, nullptr));
    EXPECT_EQ(nullptr, array);
    EXPECT_EQ(0, count);
    EXPECT_TRUE(
        linesMatch(log.texts(), {L"Pointer to ppDevices is NULL.", L"Pointer to pDeviceCount is NULL.",
                                 L"Pointer to pDoorCount is NULL."}));
    EXPECT_EQ(0, sim::callCount("IComClient::GetByType"));
}

TEST_F(DoorEnumeration, AnEmptySiteGivesANonNullArrayOfNoDevices) {
    sim::clearSite();
    login();
    EXPECT_TRUE(getAllDoors());
    EXPECT_NE(nullptr, devices);
    EXPECT_EQ(0, deviceCount);
    EXPECT_EQ(0, doorCount);
    EXPECT_TRUE(linesMatch(log.texts(), {L"SiPass system has 0 devices.", L"done."}));
}

TEST_F(DoorEnumeration, ListsEveryDeviceDoorAndPointWithItsLogLines) {
    buildTwoDeviceSite();
    login();
    ASSERT_TRUE(getAllDoors());

    ASSERT_EQ(2, deviceCount);
    EXPECT_EQ(5, doorCount);
    EXPECT_EQ(1, devices[0].id);
    EXPECT_STREQ(L"Pf\u00f6rtner", devices[0].name);
    EXPECT_EQ(2, devices[1].id);
    EXPECT_STREQ(L"Tor", devices[1].name);
    const long firstPoint[] = {101, 201};
    for (int d = 0; d < 2; ++d) {
        ASSERT_EQ(d == 0 ? 2 : 3, devices[d].doorsetCount);
        for (int n = 0; n < devices[d].doorsetCount; ++n) {
            const Doorset& door = devices[d].doorsets[n];
            const long first = firstPoint[d] + 10 * n;
            EXPECT_EQ(n + 1, door.doorNumber);
            EXPECT_TRUE(holdsPoint(door.reader1, first));
            EXPECT_TRUE(holdsPoint(door.reader2, first + 1));
            EXPECT_TRUE(holdsPoint(door.doorFrame, first + 2));
            EXPECT_TRUE(holdsPoint(door.passback, first + 3));
            EXPECT_TRUE(holdsPoint(door.latch, first + 4));
        }
    }
    EXPECT_TRUE(linesMatch(log.texts(),
                           {L"SiPass system has 2 devices.", L"SiPass device 1 [Pf\u00f6rtner] has 2 doors.",
                            L"SiPass device 2 [Tor] has 3 doors.", L"done."}));
    EXPECT_EQ((std::vector<int>{0, 2, 2, 0}), [&] {
        std::vector<int> levels;
        for (const LogLine& line : log.lines()) {
            levels.push_back(line.level);
        }
        return levels;
    }());
}

// ---- The device list itself ------------------------------------------------------------------------------

struct DeviceListCase {
    sim::ArrayForm form;
    const wchar_t* line;  // the error line; null for none
    bool result;
};

class DeviceListShape : public DoorTest, public ::testing::WithParamInterface<DeviceListCase> {};

TEST_P(DeviceListShape, AnUnusableListFailsWithEveryOutputEmpty) {
    buildTwoDeviceSite();
    sim::setDeviceArrayForm(GetParam().form);
    login();
    EXPECT_EQ(GetParam().result, getAllDoors());
    EXPECT_EQ(GetParam().result, devices != nullptr);
    EXPECT_EQ(0, deviceCount);
    EXPECT_EQ(0, doorCount);
    if (GetParam().line != nullptr) {
        EXPECT_TRUE(linesMatch(linesAt(1), {GetParam().line}));
    } else {
        EXPECT_TRUE(linesAt(1).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachForm, DeviceListShape,
    ::testing::Values(DeviceListCase{sim::ArrayForm::NullArray,
                                     L"saveArray is NULL for getAllDoors failed: hr=0", false},
                      DeviceListCase{sim::ArrayForm::WithoutVarType,
                                     L"Event received with a non VARRIANT Safearray. Skip.", false},
                      DeviceListCase{sim::ArrayForm::UnknownElements,
                                     L"Event received with a non VARRIANT Safearray. Skip.", false},
                      DeviceListCase{sim::ArrayForm::TwoDimensions,
                                     L"Save Array received with a Dimension !=1. Skip.", false},
                      DeviceListCase{sim::ArrayForm::Empty, nullptr, true},
                      // Regression: the element's read faulted with the list locked and the client's
                      // snapshot held, and both stayed behind.
                      DeviceListCase{sim::ArrayForm::WithoutData,
                                     L"Exception in gateway_getAllDoors: structured exception 0xC0000005", false}));

TEST_F(DoorEnumeration, AFailedGetByTypeIsAFailureWithTheSignedHresult) {
    login();
    sim::failMethod("IComClient::GetByType", E_FAIL);
    EXPECT_FALSE(getAllDoors());
    EXPECT_TRUE(
        linesMatch(log.texts(), {L"m_ComClient->GetByType() for getAllDoors failed: hr=-2147467259"}));
    EXPECT_EQ(nullptr, devices);
    EXPECT_EQ(0, deviceCount);
    EXPECT_EQ(0, doorCount);
}

// ---- One device element ----------------------------------------------------------------------------------

struct ElementCase {
    sim::ElementForm form;
    const wchar_t* line;
    bool stops;  // the enumeration ends at this element
};

class DeviceElement : public DoorTest, public ::testing::WithParamInterface<ElementCase> {};

TEST_P(DeviceElement, LeavesItsDeviceAllZeroAndCountsOnlyTheDoorsGathered) {
    sim::clearSite();
    sim::addDevice(testsite::device(1, L"Eins", 2, 101));
    sim::SiteDevice skipped = testsite::device(2, L"Zwei", 3, 201);
    skipped.element = GetParam().form;
    sim::addDevice(skipped);
    sim::addDevice(testsite::device(3, L"Drei", 1, 301));
    login();

    EXPECT_TRUE(getAllDoors());

    ASSERT_EQ(3, deviceCount);
    EXPECT_EQ(1, devices[0].id);
    const Device zero{};
    EXPECT_EQ(0, std::memcmp(&zero, &devices[1], sizeof zero)) << "the skipped device is not all zero";
    EXPECT_EQ(GetParam().stops ? 0 : 3, devices[2].id);
    EXPECT_EQ(GetParam().stops ? 2 : 3, doorCount);
    EXPECT_EQ(GetParam().stops, !log.contains(L"done."));
    std::vector<std::wstring> errors = linesAt(1);
    if (GetParam().line != nullptr) {
        EXPECT_TRUE(linesMatch(errors, {GetParam().line}));
    } else {
        EXPECT_TRUE(errors.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachForm, DeviceElement,
    ::testing::Values(
        ElementCase{sim::ElementForm::Empty, L"Array does not contain an IUnknown pointer. Skip.", true},
        ElementCase{sim::ElementForm::Bstr, L"Array does not contain an IUnknown pointer. Skip.", true},
        ElementCase{sim::ElementForm::NullUnknown, L"punkVal is null. Skip.", false},
        ElementCase{sim::ElementForm::Foreign, nullptr, false}));

// ---- Failed reads of one device or door set ------------------------------------------------------------

struct GetterCase {
    const char* getter;
    const wchar_t* line;
};

class DeviceGetter : public DoorTest, public ::testing::WithParamInterface<GetterCase> {};

TEST_P(DeviceGetter, IsLoggedAndReplacedByItsDefault) {
    buildTwoDeviceSite();
    login();
    sim::failMethodNext(std::string("IDevice::") + GetParam().getter, E_ACCESSDENIED);

    ASSERT_TRUE(getAllDoors());

    EXPECT_TRUE(linesMatch(linesAt(1), {GetParam().line}));
    const Device& first = devices[0];
    const std::string getter = GetParam().getter;
    EXPECT_EQ(getter == "get_ID" ? 0 : 1, first.id);
    ASSERT_NE(nullptr, first.name) << "a failed name must still be a text";
    EXPECT_STREQ(getter == "get_Name" ? L"" : L"Pf\u00f6rtner", first.name);
    EXPECT_EQ(getter == "GetDoorSets" ? 0 : 2, first.doorsetCount);
    EXPECT_EQ(getter == "GetDoorSets", first.doorsets == nullptr);
    EXPECT_EQ(getter == "GetDoorSets" ? 3 : 5, doorCount);
    EXPECT_EQ(2, devices[1].id) << "the next device is read as usual";
}

INSTANTIATE_TEST_SUITE_P(
    EachGetter, DeviceGetter,
    ::testing::Values(GetterCase{"get_ID", L"gpDevice->get_ID() for getAllDoors failed: hr=-2147024891"},
                      GetterCase{"get_Name", L"pDevice->get_Name() for getAllDoors failed: hr=-2147024891"},
                      GetterCase{"GetDoorSets",
                                 L"pDevice->GetDoorSets() for getAllDoors failed: hr=-2147024891"}));

class DoorSetGetter : public DoorTest, public ::testing::WithParamInterface<GetterCase> {};

TEST_P(DoorSetGetter, OnTheSecondDoorSetZeroesOnlyItsField) {
    sim::clearSite();
    sim::SiteDevice device = testsite::device(1, L"Eins", 3, 101);
    device.doorSets[1].failingGetters[GetParam().getter] = E_FAIL;
    sim::addDevice(device);
    login();

    ASSERT_TRUE(getAllDoors());

    EXPECT_TRUE(linesMatch(linesAt(1), {GetParam().line}));
    ASSERT_EQ(3, devices[0].doorsetCount);
    EXPECT_EQ(3, doorCount);
    const Doorset& door = devices[0].doorsets[1];
    const std::string getter = GetParam().getter;
    EXPECT_EQ(getter == "get_DoorNumber" ? 0 : 2, door.doorNumber);
    const char* pointGetters[] = {"get_Reader1", "get_Reader2", "get_DoorFrame", "get_Passback", "get_Latch"};
    const PointDefinition* fields[] = {&door.reader1, &door.reader2, &door.doorFrame, &door.passback,
                                       &door.latch};
    for (int k = 0; k < 5; ++k) {
        EXPECT_TRUE(holdsPoint(*fields[k], getter == pointGetters[k] ? 0 : 111 + k)) << pointGetters[k];
    }
    EXPECT_TRUE(holdsPoint(devices[0].doorsets[2].reader2, 122)) << "the next door set is read as usual";
}

INSTANTIATE_TEST_SUITE_P(
    EachGetter, DoorSetGetter,
    ::testing::Values(
        GetterCase{"get_DoorNumber", L"pDoorSet->get_DoorNumber() for getAllDoors failed: hr=-2147467259"},
        GetterCase{"get_Reader1", L"pDoorSet->get_Reader1() for getAllDoors failed: hr=-2147467259"},
        GetterCase{"get_Reader2", L"pDoorSet->get_Reader2() for getAllDoors failed: hr=-2147467259"},
        GetterCase{"get_DoorFrame", L"pDoorSet->get_DoorFrame() for getAllDoors failed: hr=-2147467259"},
        GetterCase{"get_Passback", L"pDoorSet->get_Passback() for getAllDoors failed: hr=-2147467259"},
        GetterCase{"get_Latch", L"pDoorSet->get_Latch() for getAllDoors failed: hr=-2147467259"}));

// ---- The door-set list of one device ---------------------------------------------------------------------

struct DoorListCase {
    sim::ArrayForm arrayForm;
    sim::ElementForm elementForm;  // of the first of two door sets
    const wchar_t* error;          // null for none
    int32_t doorsets;
};

class DoorSetList : public DoorTest, public ::testing::WithParamInterface<DoorListCase> {};

TEST_P(DoorSetList, AnUnusableListOrElementLeavesZeroRecords) {
    sim::clearSite();
    sim::SiteDevice device = testsite::device(1, L"Eins", 2, 101);
    device.doorSetArray = GetParam().arrayForm;
    device.doorSets[0].element = GetParam().elementForm;
    sim::addDevice(device);
    login();

    ASSERT_TRUE(getAllDoors());

    EXPECT_EQ(GetParam().doorsets, devices[0].doorsetCount);
    EXPECT_EQ(GetParam().doorsets, doorCount);
    EXPECT_EQ(GetParam().doorsets == 0, devices[0].doorsets == nullptr);
    if (GetParam().elementForm != sim::ElementForm::Object) {
        const Doorset zero{};
        EXPECT_EQ(0, std::memcmp(&zero, &devices[0].doorsets[0], sizeof zero))
            << "first door set not all zero";
        EXPECT_TRUE(holdsPoint(devices[0].doorsets[1].latch, 115));
    }
    if (GetParam().error != nullptr) {
        EXPECT_TRUE(linesMatch(linesAt(1), {GetParam().error}));
    } else {
        EXPECT_TRUE(linesAt(1).empty());
    }
    EXPECT_TRUE(log.contains(L"done."));
}

INSTANTIATE_TEST_SUITE_P(
    EachShape, DoorSetList,
    ::testing::Values(DoorListCase{sim::ArrayForm::NullArray, sim::ElementForm::Object, nullptr, 0},
                      // Door-set elements are VARIANTs by their feature flags even without the stored type.
                      DoorListCase{sim::ArrayForm::WithoutVarType, sim::ElementForm::Object, nullptr, 2},
                      DoorListCase{sim::ArrayForm::Empty, sim::ElementForm::Object, nullptr, 0},
                      DoorListCase{sim::ArrayForm::TwoDimensions, sim::ElementForm::Object,
                                   L"Save Array received with a Dimension !=1. Skip.", 0},
                      DoorListCase{sim::ArrayForm::UnknownElements, sim::ElementForm::Object,
                                   L"Event received with a non VARRIANT Safearray. Skip.", 0},
                      DoorListCase{sim::ArrayForm::Normal, sim::ElementForm::Foreign,
                                   L"pUnknown2->QueryInterface() for getAllDoors failed: hr=-2147467262", 2},
                      DoorListCase{sim::ArrayForm::Normal, sim::ElementForm::NullUnknown,
                                   L"punkVal is null. Skip.", 2},
                      DoorListCase{sim::ArrayForm::Normal, sim::ElementForm::Bstr,
                                   L"Array does not contain an IUnknown pointer. Skip.", 2}));

// Regression: a device or door-set list whose data the client freed faulted in the read of its element,
// with the lists, the records gathered and the client's snapshot held, and all of them stayed behind.
TEST_F(DoorEnumeration, AListWithoutItsDataFailsTheExportAndLeavesNothing) {
    for (const bool deviceList : {true, false}) {
        SCOPED_TRACE(deviceList ? "the device list" : "a door-set list");
        sim::clearSite();
        sim::SiteDevice device = testsite::device(1, L"Eins", 2, 101);
        if (!deviceList) {
            device.doorSetArray = sim::ArrayForm::WithoutData;
        }
        sim::addDevice(device);
        sim::setDeviceArrayForm(deviceList ? sim::ArrayForm::WithoutData : sim::ArrayForm::Normal);
        login();
        raiseOnceOnThisThread();
        DllHeapTracker heap(library.module());
        ASSERT_TRUE(heap.active());
        log.clear();
        EXPECT_FALSE(getAllDoors());
        EXPECT_EQ(nullptr, devices);
        EXPECT_EQ(0, deviceCount);
        EXPECT_TRUE(
            linesMatch(linesAt(1), {L"Exception in gateway_getAllDoors: structured exception 0xC0000005"}));
        EXPECT_TRUE(heap.live().empty()) << heap.live().size() << " blocks of the DLL left";
    }
}

// ---- Points that cannot be resolved ----------------------------------------------------------------------

struct DefinitionCase {
    const char* method;
    HRESULT hr;
    const wchar_t* line;
};

class PointDefinitionFailure : public DoorTest, public ::testing::WithParamInterface<DefinitionCase> {};

TEST_P(PointDefinitionFailure, KeepsOnlyTheIdOfTheDefinition) {
    sim::clearSite();
    sim::addDevice(testsite::device(1, L"Eins", 1, 101));
    login();
    sim::failMethodNext(GetParam().method, GetParam().hr);  // the first point, reader 1

    ASSERT_TRUE(getAllDoors());

    EXPECT_TRUE(linesMatch(linesAt(1), {GetParam().line}));
    const PointDefinition& reader1 = devices[0].doorsets[0].reader1;
    EXPECT_EQ(101, reader1.id);
    EXPECT_EQ(nullptr, reader1.name);
    const PointState zero{};
    EXPECT_EQ(0, std::memcmp(&zero, &reader1.state, sizeof zero));
    EXPECT_TRUE(holdsPoint(devices[0].doorsets[0].reader2, 102));
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, PointDefinitionFailure,
    ::testing::Values(
        DefinitionCase{"IComClient::GetByID", E_FAIL,
                       L"m_ComClient->GetByID() for getPointDefinition failed: hr=-2147467259"},
        DefinitionCase{"IUnknown::QueryInterface(IPoint)", E_NOINTERFACE,
                       L"pUnknown->QueryInterface() for getPointDefinition failed: hr=-2147467262"},
        DefinitionCase{"IPoint::get_Name", E_FAIL,
                       L"pPointObj->get_Name() for getPointDefinition failed: hr=-2147467259"}));

TEST_F(DoorEnumeration, AMissingPointIsNoClientCall) {
    sim::clearSite();
    sim::SiteDevice device = testsite::device(1, L"Eins", 1, 101);
    device.doorSets[0].reader2 = 0;
    device.doorSets[0].passback = 0;
    sim::addDevice(device);
    login();
    ASSERT_TRUE(getAllDoors());
    EXPECT_TRUE(isAllZero(devices[0].doorsets[0].reader2));
    EXPECT_TRUE(isAllZero(devices[0].doorsets[0].passback));
    EXPECT_EQ(3, sim::callCount("IComClient::GetByID"));
    EXPECT_EQ(3, sim::callCount("IComClient::GetRelatives"));
}

TEST_F(DoorEnumeration, AThousandDevicesWithEightDoorsEachArriveComplete) {
    sim::clearSite();
    for (long d = 1; d <= 1000; ++d) {
        sim::addDevice(testsite::device(d, L"Ger\u00e4t " + std::to_wstring(d), 8, d * 100));
    }
    login();

    ASSERT_TRUE(getAllDoors());

    ASSERT_EQ(1000, deviceCount);
    EXPECT_EQ(8000, doorCount);
    const PointDefinition Doorset::*points[] = {&Doorset::reader1, &Doorset::reader2, &Doorset::doorFrame,
                                                &Doorset::passback, &Doorset::latch};
    for (long d = 1; d <= 1000; ++d) {
        const Device& device = devices[d - 1];
        ASSERT_EQ(d, device.id);
        ASSERT_EQ(L"Ger\u00e4t " + std::to_wstring(d), device.name);
        ASSERT_EQ(8, device.doorsetCount);
        for (long n = 1; n <= 8; ++n) {
            const Doorset& door = device.doorsets[n - 1];
            ASSERT_EQ(n, door.doorNumber);
            for (long k = 0; k < 5; ++k) {
                ASSERT_TRUE(holdsPoint(door.*points[k], d * 100 + 10 * (n - 1) + k));
            }
        }
    }
}
