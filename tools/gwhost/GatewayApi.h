// The gateway's exports as a host sees them: the DLL loaded with LoadLibraryW and every export found
// with GetProcAddress by its undecorated name.
#pragma once

#include <windows.h>

#include <string>

#include "SiPassVormekGateway.h"

struct GatewayApi {
    HMODULE module = nullptr;
    decltype(&gateway_Init) init = nullptr;
    decltype(&gateway_Close) close = nullptr;
    decltype(&gateway_Ping) ping = nullptr;
    decltype(&gateway_RegisterAlarmStateCallback) registerStateCallback = nullptr;
    decltype(&gateway_RegisterAlarmAccessCallback) registerAccessCallback = nullptr;
    decltype(&gateway_RegisterGenericEventCallback) registerGenericCallback = nullptr;
    decltype(&gateway_RegisterDisconnectCallback) registerDisconnectCallback = nullptr;
    decltype(&gateway_RegisterEvent) registerEvent = nullptr;
    decltype(&gateway_RegisterLogCallback) registerLogCallback = nullptr;
    decltype(&gateway_getAllDoors) getAllDoors = nullptr;
    decltype(&gateway_getPointState) getPointState = nullptr;
    decltype(&gateway_controlDoor) controlDoor = nullptr;
    decltype(&gateway_cleanupPointDefinition) cleanupPointDefinition = nullptr;
    decltype(&gateway_cleanupDoorArray) cleanupDoorArray = nullptr;
    decltype(&gateway_GetVersion) getVersion = nullptr;
    decltype(&gateway_setReconnectPolicy) setReconnectPolicy = nullptr;
    decltype(&gateway_GetStatistics) getStatistics = nullptr;
    decltype(&gateway_setOptions) setOptions = nullptr;
    decltype(&gateway_RegisterConnectionStateCallback) registerConnectionStateCallback = nullptr;
    // Null for a DLL from before the last error (gwhost --dll).
    decltype(&gateway_GetLastError) getLastError = nullptr;
    // Null for a DLL from before the connection check (gwhost --dll); --check needs it.
    decltype(&gateway_setConnectionCheck) setConnectionCheck = nullptr;
    decltype(&testCalculateSum) testCalculateSum = nullptr;
    decltype(&testFireCallback) testFireCallback = nullptr;
    decltype(&testRegisterCallback) testRegisterCallback = nullptr;
    decltype(&testSetIntArray) testSetIntArray = nullptr;
    decltype(&testCountChars) testCountChars = nullptr;
};

// Loads the DLL at `path` and finds every export. On failure returns false with `error` saying which
// file or which export; nothing stays loaded.
bool loadGateway(const std::wstring& path, GatewayApi& api, std::string& error);
