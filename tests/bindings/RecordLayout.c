/* Prints the size and field offsets of every record of the public header as this compiler lays them
 * out, and the values of its constants, in the format of bindings/dotnet/LayoutCheck.cs. */
#include <stdio.h>

#include "SiPassVormekGateway.h"

#define AT(type, field) (long long)offsetof(type, field)

/* The gateway's own codes of gateway_GetLastError, by the names of the binding's GatewayErrorCodes. */
static const struct {
    const char* name;
    int32_t code;
} kErrorCodes[] = {
    {"NotLoggedIn", GATEWAY_E_NOT_LOGGED_IN},
    {"InsideCallback", GATEWAY_E_INSIDE_CALLBACK},
    {"InsideLog", GATEWAY_E_INSIDE_LOG},
    {"InvalidArgument", GATEWAY_E_INVALID_ARGUMENT},
    {"OutOfMemory", GATEWAY_E_OUT_OF_MEMORY},
    {"ClientRaised", GATEWAY_E_CLIENT_RAISED},
    {"Raised", GATEWAY_E_RAISED},
    {"NoCallback", GATEWAY_E_NO_CALLBACK},
    {"NotFound", GATEWAY_E_NOT_FOUND},
    {"Malformed", GATEWAY_E_MALFORMED},
    {"ProcessToken", GATEWAY_E_PROCESS_TOKEN},
    {"Failed", GATEWAY_E_FAILED},
};

int main(void) {
    printf("PointState size=%d State=%lld StateType=%lld ServerTimeMs=%lld Location=%lld Description=%lld\n",
           (int)sizeof(PointState), AT(PointState, state), AT(PointState, stateType),
           AT(PointState, serverTimeMs), AT(PointState, location), AT(PointState, description));
    printf("PointDefinition size=%d Id=%lld Name=%lld State=%lld\n", (int)sizeof(PointDefinition),
           AT(PointDefinition, id), AT(PointDefinition, name), AT(PointDefinition, state));
    printf(
        "Doorset size=%d DoorNumber=%lld Reader1=%lld Reader2=%lld DoorFrame=%lld Passback=%lld Latch=%lld\n",
        (int)sizeof(Doorset), AT(Doorset, doorNumber), AT(Doorset, reader1), AT(Doorset, reader2),
        AT(Doorset, doorFrame), AT(Doorset, passback), AT(Doorset, latch));
    printf("Device size=%d Id=%lld Name=%lld DoorsetCount=%lld Doorsets=%lld\n", (int)sizeof(Device),
           AT(Device, id), AT(Device, name), AT(Device, doorsetCount), AT(Device, doorsets));
    printf(
        "GatewayStatistics size=%d Version=%lld AccessEventsReceived=%lld MalformedArrays=%lld LoggedIn=%lld "
        "LongestHostCallbackUs=%lld EventsQueued=%lld ConnectionCheckFailures=%lld\n",
        (int)sizeof(GatewayStatistics), AT(GatewayStatistics, version),
        AT(GatewayStatistics, accessEventsReceived), AT(GatewayStatistics, malformedArrays),
        AT(GatewayStatistics, loggedIn), AT(GatewayStatistics, longestHostCallbackUs),
        AT(GatewayStatistics, eventsQueued), AT(GatewayStatistics, connectionCheckFailures));
    printf("GatewayOptions UtcTimes=%u UnchangedTexts=%u\n", GATEWAY_OPTION_UTC_TIMES,
           GATEWAY_OPTION_UNCHANGED_TEXTS);
    printf("GatewayErrorCodes");
    for (size_t i = 0; i < sizeof kErrorCodes / sizeof kErrorCodes[0]; ++i) {
        printf(" %s=0x%08X", kErrorCodes[i].name, (unsigned)kErrorCodes[i].code);
    }
    printf("\n");
    return 0;
}
