// The door and point exports and the cleanup exports that give the records' memory back. The three
// requests forward to one gateway operation each inside one boundary guard; the cleanup exports only free
// (gateway_cleanupDoorset also obtains the gateway object, so it is guarded too). None takes a lock.
#include "support/Boundary.h"
#include "gateway/ProcessGateway.h"
#include "doors/HostRecords.h"
#include "gateway/SiPassGateWay.h"
#include "SiPassVormekGateway.h"

namespace {

// A request from a callback on the delivery thread: while it runs, the client's deliveries do not wait
// for room in the queue, so that a client that serialises its requests with its deliveries can answer.
// The gateway pin outlives it, and with it the queue.
class ClientRequest {
public:
    explicit ClientRequest(const processGateway::Pin& gateway) : m_queue(gateway->deliveryQueue()) {
        if (m_queue != nullptr && !m_queue->beginClientRequest()) {
            m_queue = nullptr;
        }
    }
    ~ClientRequest() {
        if (m_queue != nullptr) {
            m_queue->endClientRequest();
        }
    }
    ClientRequest(const ClientRequest&) = delete;
    ClientRequest& operator=(const ClientRequest&) = delete;

private:
    delivery::Queue* m_queue;
};

}  // namespace

extern "C" {

bool SIPASSVORMEKGATEWAY_CALL gateway_getAllDoors(Device** ppDevices, int32_t* pDeviceCount,
                                                  int32_t* pDoorCount) {
    return boundary::guardResult("gateway_getAllDoors", false, [&] {
        const processGateway::Pin gateway = processGateway::obtain();
        const ClientRequest request(gateway);
        return gateway->getAllDoors(ppDevices, pDeviceCount, pDoorCount);
    });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_getPointState(int32_t pointId, PointState* pointState) {
    return boundary::guardResult("gateway_getPointState", false, [&] {
        const processGateway::Pin gateway = processGateway::obtain();
        const ClientRequest request(gateway);
        return gateway->getPointState(pointId, pointState);
    });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_controlDoor(int32_t objectType, int32_t objectId, int32_t command) {
    return boundary::guardResult("gateway_controlDoor", false, [&] {
        const processGateway::Pin gateway = processGateway::obtain();
        const ClientRequest request(gateway);
        return gateway->controlDoor(objectType, objectId, command);
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
