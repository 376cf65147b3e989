#include "GatewayLibrary.h"

#include <gtest/gtest.h>

std::wstring GatewayLibrary::path() {
    wchar_t exe[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring directory(exe, length);
    directory.erase(directory.find_last_of(L'\\') + 1);
    return directory + L"SiPassVormekGateway.dll";
}

GatewayLibrary::GatewayLibrary() : m_module(::LoadLibraryW(path().c_str())) {
    EXPECT_NE(nullptr, m_module) << "LoadLibraryW failed: " << ::GetLastError();
    if (m_module == nullptr) {
        return;
    }
    resolve(Init, "gateway_Init");
    resolve(Close, "gateway_Close");
    resolve(Ping, "gateway_Ping");
    resolve(RegisterAlarmStateCallback, "gateway_RegisterAlarmStateCallback");
    resolve(RegisterAlarmAccessCallback, "gateway_RegisterAlarmAccessCallback");
    resolve(RegisterGenericEventCallback, "gateway_RegisterGenericEventCallback");
    resolve(RegisterDisconnectCallback, "gateway_RegisterDisconnectCallback");
    resolve(RegisterEvent, "gateway_RegisterEvent");
    resolve(RegisterLogCallback, "gateway_RegisterLogCallback");
    resolve(setDropDuration, "gateway_setDropDuration");
    resolve(setReconnectPolicy, "gateway_setReconnectPolicy");
    resolve(GetStatistics, "gateway_GetStatistics");
    resolve(setOptions, "gateway_setOptions");
    resolve(RegisterConnectionStateCallback, "gateway_RegisterConnectionStateCallback");
    resolve(getAllDoors, "gateway_getAllDoors");
    resolve(getPointState, "gateway_getPointState");
    resolve(controlDoor, "gateway_controlDoor");
    resolve(cleanupDoorset, "gateway_cleanupDoorset");
    resolve(cleanupPointDefinition, "gateway_cleanupPointDefinition");
    resolve(cleanupDoorArray, "gateway_cleanupDoorArray");
    resolve(CalculateSum, "testCalculateSum");
    resolve(FireCallback, "testFireCallback");
    resolve(RegisterCallback, "testRegisterCallback");
    resolve(SetIntArray, "testSetIntArray");
    resolve(CountChars, "testCountChars");
}

GatewayLibrary::~GatewayLibrary() {
    if (m_module != nullptr) {
        ::FreeLibrary(m_module);
    }
}

template <class F>
void GatewayLibrary::resolve(F& function, const char* name) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(m_module, name)));
    EXPECT_NE(nullptr, reinterpret_cast<void*>(function)) << "missing export " << name;
}
