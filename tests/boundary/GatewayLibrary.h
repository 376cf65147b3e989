// The gateway DLL as a host sees it: loaded with LoadLibraryW, every export found with GetProcAddress by
// its exact name.
#pragma once

#include <windows.h>

#include <string>

#include "SiPassVormekGateway.h"

class GatewayLibrary {
public:
    // Loads the DLL that lies next to the test executable; fails the test if an export is missing.
    GatewayLibrary();
    ~GatewayLibrary();
    GatewayLibrary(const GatewayLibrary&) = delete;
    GatewayLibrary& operator=(const GatewayLibrary&) = delete;

    HMODULE module() const { return m_module; }
    static std::wstring path();

    decltype(&::gateway_Init) Init = nullptr;
    decltype(&::gateway_Close) Close = nullptr;
    decltype(&::gateway_Ping) Ping = nullptr;
    decltype(&::gateway_RegisterAlarmStateCallback) RegisterAlarmStateCallback = nullptr;
    decltype(&::gateway_RegisterAlarmAccessCallback) RegisterAlarmAccessCallback = nullptr;
    decltype(&::gateway_RegisterGenericEventCallback) RegisterGenericEventCallback = nullptr;
    decltype(&::gateway_RegisterDisconnectCallback) RegisterDisconnectCallback = nullptr;
    decltype(&::gateway_RegisterEvent) RegisterEvent = nullptr;
    decltype(&::gateway_RegisterLogCallback) RegisterLogCallback = nullptr;
    decltype(&::gateway_setDropDuration) setDropDuration = nullptr;
    decltype(&::gateway_setReconnectPolicy) setReconnectPolicy = nullptr;
    decltype(&::gateway_GetStatistics) GetStatistics = nullptr;
    decltype(&::gateway_setOptions) setOptions = nullptr;
    decltype(&::gateway_RegisterConnectionStateCallback) RegisterConnectionStateCallback = nullptr;
    decltype(&::gateway_getAllDoors) getAllDoors = nullptr;
    decltype(&::gateway_getPointState) getPointState = nullptr;
    decltype(&::gateway_controlDoor) controlDoor = nullptr;
    decltype(&::gateway_cleanupDoorset) cleanupDoorset = nullptr;
    decltype(&::gateway_cleanupPointDefinition) cleanupPointDefinition = nullptr;
    decltype(&::gateway_cleanupDoorArray) cleanupDoorArray = nullptr;
    decltype(&::testCalculateSum) CalculateSum = nullptr;
    decltype(&::testFireCallback) FireCallback = nullptr;
    decltype(&::testRegisterCallback) RegisterCallback = nullptr;
    decltype(&::testSetIntArray) SetIntArray = nullptr;
    decltype(&::testCountChars) CountChars = nullptr;

private:
    template <class F>
    void resolve(F& function, const char* name);

    HMODULE m_module = nullptr;
};
