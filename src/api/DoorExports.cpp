// The door and point exports and the cleanup exports that give the records' memory back.
#include <cstdlib>

#include "Boundary.h"
#include "Gateway.h"
#include "SiPassVormekGateway.h"

namespace {

// Frees the three texts a definition owns; null pointers are skipped by free itself.
void freeDefinitionTexts(const PointDefinition& definition) {
    std::free(definition.name);
    std::free(definition.state.location);
    std::free(definition.state.description);
}

}  // namespace

extern "C" {

// Door enumeration, point queries and door commands are not available in this build: each reports
// failure and leaves its outputs untouched.
bool SIPASSVORMEKGATEWAY_CALL gateway_getAllDoors(Device**, int32_t*, int32_t*) {
    return false;
}

bool SIPASSVORMEKGATEWAY_CALL gateway_getPointState(int32_t, PointState*) {
    return false;
}

bool SIPASSVORMEKGATEWAY_CALL gateway_controlDoor(int32_t, int32_t, int32_t) {
    return false;
}

void SIPASSVORMEKGATEWAY_CALL gateway_cleanupDoorset(Doorset* doorsets, int32_t count) {
    boundary::guard("gateway_cleanupDoorset", [&] {
        gateway::obtain();
        if (doorsets == nullptr || count <= 0) {
            return;
        }
        for (int32_t i = 0; i < count; ++i) {
            const Doorset& doorset = doorsets[i];
            for (const PointDefinition* point : {&doorset.reader1, &doorset.reader2, &doorset.doorFrame,
                                                 &doorset.passback, &doorset.latch}) {
                freeDefinitionTexts(*point);
            }
        }
    });
}

void SIPASSVORMEKGATEWAY_CALL gateway_cleanupPointDefinition(PointDefinition definition) {
    freeDefinitionTexts(definition);
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
