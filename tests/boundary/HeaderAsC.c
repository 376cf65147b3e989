/* The public header must compile as plain C: hosts written in C include it as it is. */
#include "SiPassVormekGateway.h"

size_t gateway_header_record_bytes(void) {
    return sizeof(PointState) + sizeof(PointDefinition) + sizeof(Doorset) + sizeof(Device);
}
