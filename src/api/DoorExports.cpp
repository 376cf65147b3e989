// The door and point exports and the cleanup exports that give the records' memory back. Each forwards
// to one gateway operation or frees what the gateway allocated, inside one boundary guard.
#include <cstdlib>

#include "Boundary.h"
#include "Gateway.h"
#include "HostRecords.h"
#include "SiPassGateWay.h"
#include "SiPassVormekGateway.h"

extern "C" {

bool SIPASSVORMEKGATEWAY_CALL gateway_getAllDoors(Device** ppDevices, int32_t* pDeviceCount, int32_t* pDoorCount) {
    return boundary::guard("gateway_getAllDoors", false,
                           [&] { return gateway::obtain()->getAllDoors(ppDevices, pDeviceCount, pDoorCount); });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_getPointState(int32_t pointId, PointState* pointState) {
    return boundary::guard("gateway_getPointState", false,
                           [&] { return gateway::obtain()->getPointState(pointId, pointState); });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_controlDoor(int32_t objectType, int32_t objectId, int32_t command) {
    return boundary::guard("gateway_controlDoor", false,
                           [&] { return gateway::obtain()->controlDoor(objectType, objectId, command); });
}

void SIPASSVORMEKGATEWAY_CALL gateway_cleanupDoorset(Doorset* doorsets, int32_t count) {
    boundary::guard("gateway_cleanupDoorset", [&] {
        gateway::obtain();
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
            std::free(devices[i].doorsets);
            std::free(devices[i].name);
        }
    }
    std::free(devices);
}

}  // extern "C"
