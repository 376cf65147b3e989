// Door enumeration: every device of the site with its door sets and the five points of each.
#include <exception>
#include <new>
#include <string>

#include "com/CComBSTR.h"
#include "doors/DoorServices.h"
#include "support/FailureText.h"
#include "doors/HostRecords.h"
#include "gateway/SiPassGateWay.h"

namespace doors {
namespace {

constexpr char kOperation[] = "getAllDoors";
constexpr char kExport[] = "gateway_getAllDoors";

// The five points of a door set: the getter that yields the id, the record field, the name for the log.
struct DoorPoint {
    HRESULT (STDMETHODCALLTYPE IDoorSet::*getter)(long*);
    PointDefinition Doorset::*field;
    const char* call;
};
constexpr DoorPoint kDoorPoints[] = {
    {&IDoorSet::get_Reader1, &Doorset::reader1, "pDoorSet->get_Reader1()"},
    {&IDoorSet::get_Reader2, &Doorset::reader2, "pDoorSet->get_Reader2()"},
    {&IDoorSet::get_DoorFrame, &Doorset::doorFrame, "pDoorSet->get_DoorFrame()"},
    {&IDoorSet::get_Passback, &Doorset::passback, "pDoorSet->get_Passback()"},
    {&IDoorSet::get_Latch, &Doorset::latch, "pDoorSet->get_Latch()"},
};

void logFailure(const char* call, HRESULT hr) {
    logger().errLog(failedCall(call, kOperation, hr));
}

// Logs why an array of the client cannot be read; true when it can. Notes no last error: a device's
// door-set list that cannot be read is skipped, and only the device list ends the enumeration.
bool usableArray(SAFEARRAY* array, VarTypeFlag flag) {
    switch (shapeOf(array, flag)) {
        case ArrayShape::VariantVector:
            return true;
        case ArrayShape::WithoutVarType:
        case ArrayShape::NotVariants:
            logger().errLog("Event received with a non VARRIANT Safearray. Skip.");
            return false;
        case ArrayShape::NotOneDimension:
            logger().errLog("Save Array received with a Dimension !=1. Skip.");
            return false;
    }
    return false;
}

// A host copy of a text the client returned; null (and a log line) when out of memory.
wchar_t* hostTextOrLog(const CComBSTR& text, const char* what) {
    wchar_t* copy = copyHostText(text);
    if (copy == nullptr) {
        logger().errLog(std::string("malloc of ") + what + " for " + kOperation + " failed.");
    }
    return copy;
}

// One run of the enumeration. It owns the device array until the host receives it, so that every path
// that does not hand the array over, an exception included (ClientRaised among them), frees all of it.
class DoorEnumeration {
public:
    enum class Outcome {
        Complete,      // every element read
        StoppedEarly,  // an element was no object reference: the devices so far go to the host
        Failed,        // nothing goes to the host
    };

    DoorEnumeration(SiPassGateWay& gateway, const ClientGuard& guarded, IComClient* client)
        : m_gateway(gateway), m_guarded(guarded), m_client(client) {}

    Outcome run();

    DeviceArrayOwner& devices() { return m_devices; }
    int32_t doorTotal() const { return m_doorTotal; }

private:
    void readDevice(IDevice* device, Device& record);
    void readDoorSet(const ArrayElements& doorSets, long index, Doorset& record);

    SiPassGateWay& m_gateway;
    const ClientGuard& m_guarded;
    IComClient* m_client;
    DeviceArrayOwner m_devices;
    int32_t m_doorTotal = 0;
};

DoorEnumeration::Outcome DoorEnumeration::run() {
    ClientArray deviceArray;
    HRESULT hr =
        m_guarded([&] { return m_client->GetByType(kDeviceType, 0, deviceArray.ReleaseAndGetAddressOf()); });
    if (FAILED(hr)) {
        logFailure("m_ComClient->GetByType()", hr);
        lastError::note(hr);
        return Outcome::Failed;
    }
    if (!deviceArray) {
        logger().errLog("saveArray is NULL for getAllDoors failed: hr=" + hrText(hr));
        lastError::note(GATEWAY_E_MALFORMED);
        return Outcome::Failed;
    }
    if (!usableArray(deviceArray.get(), VarTypeFlag::Required)) {
        lastError::note(GATEWAY_E_MALFORMED);
        return Outcome::Failed;
    }

    const long count = elementCount(deviceArray.get());
    logger().log("SiPass system has " + std::to_string(count) + " devices.");
    if (!m_devices.allocate(count)) {
        logger().errLog("malloc of the device array for getAllDoors failed.");
        lastError::note(GATEWAY_E_OUT_OF_MEMORY);
        return Outcome::Failed;
    }

    const ArrayElements devices(deviceArray.get());
    for (long i = 0; i < count; ++i) {
        const ArrayElement element = devices.at(i, m_guarded);
        if (!element.addressed || element.vt != VT_UNKNOWN) {
            logger().errLog("Array does not contain an IUnknown pointer. Skip.");
            return Outcome::StoppedEarly;
        }
        IUnknown* object = element.object;
        if (object == nullptr) {
            logger().errLog("punkVal is null. Skip.");
            continue;
        }
        // An element that is no device stays an all-zero record, without a message.
        ClientRef<IDevice> device;
        hr = m_guarded([&] { return object->QueryInterface(IID_PPV_ARGS(device.put())); });
        if (SUCCEEDED(hr)) {
            readDevice(device.get(), m_devices[i]);
        }
    }
    return Outcome::Complete;
}

void DoorEnumeration::readDevice(IDevice* device, Device& record) {
    long id = 0;
    HRESULT hr = m_guarded([&] { return device->get_ID(&id); });
    if (FAILED(hr)) {
        logFailure("gpDevice->get_ID()", hr);
        id = 0;
    }
    record.id = id;

    CComBSTR name;
    hr = m_guarded([&] { return device->get_Name(name.ReleaseAndGetAddressOf()); });
    if (FAILED(hr)) {
        logFailure("pDevice->get_Name()", hr);
        name.ReleaseAndGetAddressOf();  // a failed name is an empty text
    }
    record.name = hostTextOrLog(name, "the device name");

    ClientArray doorSets;
    hr = m_guarded([&] { return device->GetDoorSets(doorSets.ReleaseAndGetAddressOf()); });
    if (FAILED(hr)) {
        logFailure("pDevice->GetDoorSets()", hr);
        return;
    }
    // No array, or one that cannot be read: the device has no door sets (count 0, array null).
    if (!doorSets || !usableArray(doorSets.get(), VarTypeFlag::NotRequired)) {
        return;
    }
    const long count = elementCount(doorSets.get());
    if (count > 0) {
        record.doorsets = allocateRecords<Doorset>(count);
        if (record.doorsets == nullptr) {
            logger().errLog("malloc of the door sets for getAllDoors failed.");
            return;
        }
    }
    record.doorsetCount = count;
    m_doorTotal += count;

    if (logger().enabled()) {
        logger().dbgLogW(L"SiPass device " + std::to_wstring(id) + L" [" +
                         (record.name != nullptr ? record.name : L"") + L"] has " + std::to_wstring(count) +
                         L" doors.");
    }
    const ArrayElements elements(doorSets.get());
    for (long j = 0; j < count; ++j) {
        readDoorSet(elements, j, record.doorsets[j]);
    }
}

// A door set whose element yields no IDoorSet keeps its zero-filled record: five definitions of point 0.
void DoorEnumeration::readDoorSet(const ArrayElements& doorSets, long index, Doorset& record) {
    const ArrayElement element = doorSets.at(index, m_guarded);
    if (!element.addressed || element.vt != VT_UNKNOWN) {
        logger().errLog("Array does not contain an IUnknown pointer. Skip.");
        return;
    }
    IUnknown* object = element.object;
    if (object == nullptr) {
        logger().errLog("punkVal is null. Skip.");
        return;
    }
    ClientRef<IDoorSet> doorSet;
    HRESULT hr = m_guarded([&] { return object->QueryInterface(IID_PPV_ARGS(doorSet.put())); });
    if (FAILED(hr)) {
        logFailure("pUnknown2->QueryInterface()", hr);
        return;
    }

    long number = 0;
    hr = m_guarded([&] { return doorSet->get_DoorNumber(&number); });
    if (FAILED(hr)) {
        logFailure("pDoorSet->get_DoorNumber()", hr);
        number = 0;
    }
    record.doorNumber = number;

    for (const DoorPoint& point : kDoorPoints) {
        long pointId = 0;
        hr = m_guarded([&] { return (doorSet.get()->*point.getter)(&pointId); });
        if (FAILED(hr)) {
            logFailure(point.call, hr);
            pointId = 0;
        }
        // Its result is not needed: a definition that cannot be read stays as far as it got, within the
        // ownership rule.
        m_gateway.getPointDefinition(m_guarded, m_client, pointId, &(record.*point.field));
    }
}

}  // namespace
}  // namespace doors

bool SiPassGateWay::getAllDoors(Device** ppDevices, int32_t* pDeviceCount, int32_t* pDoorCount) {
    using doors::logger;
    // Every false result writes null / 0 / 0 into each output the caller gave, so that the cleanup the
    // host runs after every call never meets an uninitialised pointer.
    auto fail = [&] {
        if (ppDevices != nullptr) {
            *ppDevices = nullptr;
        }
        if (pDeviceCount != nullptr) {
            *pDeviceCount = 0;
        }
        if (pDoorCount != nullptr) {
            *pDoorCount = 0;
        }
        return false;
    };
    const doors::ClientGuard guarded(doors::kExport);
    try {
        const ClientRef<IComClient> client = guarded.client(*this);
        if (!doors::haveClient(client)) {
            return fail();
        }
        if (ppDevices == nullptr) {
            logger().errLog("Pointer to ppDevices is NULL.");
            lastError::note(GATEWAY_E_INVALID_ARGUMENT);
            return fail();
        }
        if (pDeviceCount == nullptr) {
            logger().errLog("Pointer to pDeviceCount is NULL.");
            lastError::note(GATEWAY_E_INVALID_ARGUMENT);
            return fail();
        }
        if (pDoorCount == nullptr) {
            logger().errLog("Pointer to pDoorCount is NULL.");
            lastError::note(GATEWAY_E_INVALID_ARGUMENT);
            return fail();
        }

        // From here on every path writes all three outputs, and they always agree with each other.
        doors::DoorEnumeration enumeration(*this, guarded, client.get());
        const auto outcome = enumeration.run();
        if (outcome == doors::DoorEnumeration::Outcome::Failed) {
            return fail();
        }
        // Logged while the enumeration still owns the array: a failure to log frees it.
        if (outcome == doors::DoorEnumeration::Outcome::Complete) {
            logger().log("done.");
        }
        *pDeviceCount = enumeration.devices().count();
        *pDoorCount = enumeration.doorTotal();
        *ppDevices = enumeration.devices().release();
        return true;
    } catch (const doors::ClientRaised&) {
        // Logged and noted where the client raised; the enumeration has freed what it gathered while
        // unwinding, and the snapshot of the client is released.
        return fail();
    } catch (const std::exception& e) {
        // The enumeration has freed what it gathered while unwinding.
        fail();
        logger().errLog(e.what());
        lastError::note(dynamic_cast<const std::bad_alloc*>(&e) != nullptr ? GATEWAY_E_OUT_OF_MEMORY
                                                                             : GATEWAY_E_RAISED);
        return false;
    }
}
