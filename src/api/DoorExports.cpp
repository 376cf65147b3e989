// The door and point exports and the cleanup exports that give the records' memory back. The three
// requests forward to one gateway operation each inside one boundary guard; the cleanup exports only free
// (gateway_cleanupDoorset also obtains the gateway object, so it is guarded too). None takes a lock.
#include "support/Boundary.h"
#include "gateway/ProcessGateway.h"
#include "doors/HostRecords.h"
#include "gateway/SiPassGateWay.h"
#include "SiPassVormekGateway.h"

namespace {

// A request from a callback on the delivery thread: the client's deliveries stop waiting for room in the
// queue until that callback returns, so a client that serialises its requests with its deliveries can
// answer.
const processGateway::Pin& requesting(const processGateway::Pin& gateway) {
    if (delivery::Queue* queue = gateway->deliveryQueue()) {
        queue->clientRequest();
    }
    return gateway;
}

}  // namespace

extern "C" {

bool SIPASSVORMEKGATEWAY_CALL gateway_getAllDoors(Device** ppDevices, int32_t* pDeviceCount,
                                                  int32_t* pDoorCount) {
    return boundary::guardResult("gateway_getAllDoors", false, [&] {
        return requesting(processGateway::obtain())->getAllDoors(ppDevices, pDeviceCount, pDoorCount);
    });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_getPointState(int32_t pointId, PointState* pointState) {
    return boundary::guardResult("gateway_getPointState", false, [&] {
        return requesting(processGateway::obtain())->getPointState(pointId, pointState);
    });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_controlDoor(int32_t objectType, int32_t objectId, int32_t command) {
    return boundary::guardResult("gateway_controlDoor", false, [&] {
        return requesting(processGateway::obtain())->controlDoor(objectType, objectId, command);
    });
}

void SIPASSVORMEKGATEWAY_CALL gateway_cleanupDoorset(Doorset* doorsets, int32_t count) {
    boundary::guard("gateway_cleanupDoorset", [&] {
        processGateway::obtain();
        if (doorsets != nullptr && count > 0) {
            doors::freeDoorsetTexts(doorsets, count);
        }
    });
}

void SIPASSVORMEKGATEWAY_CALL gateway_cleanupPointDefinition(PointDefinition definition) {
    doors::freeDefinitionTexts(definition);
}

void SIPASSVORMEKGATEWAY_CALL gateway_cleanupDoorArray(Device* devices, int32_t count) {
    if (devices != nullptr && count > 0) {
        for (int32_t i = 0; i < count; ++i) {
            gateway_cleanupDoorset(devices[i].doorsets, devices[i].doorsetCount);
            doors::releaseHostBlock(devices[i].doorsets);
            doors::releaseHostBlock(devices[i].name);
        }
    }
    doors::releaseHostBlock(devices);
}

}  // extern "C"
