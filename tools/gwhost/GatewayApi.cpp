#include "GatewayApi.h"

#include "Text.h"

namespace {

template <class F>
bool find(HMODULE module, const char* name, F& function, std::string& missing) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    if (function == nullptr && missing.empty()) {
        missing = name;
    }
    return function != nullptr;
}

}  // namespace

bool loadGateway(const std::wstring& path, GatewayApi& api, std::string& error) {
    HMODULE module = ::LoadLibraryW(path.c_str());
    if (module == nullptr) {
        error = "cannot load " + utf8(path) + " (" + systemMessage(::GetLastError()) + ")";
        return false;
    }
    GatewayApi found;
    found.module = module;
    std::string missing;
    find(module, "gateway_Init", found.init, missing);
    find(module, "gateway_Close", found.close, missing);
    find(module, "gateway_Ping", found.ping, missing);
    find(module, "gateway_RegisterAlarmStateCallback", found.registerStateCallback, missing);
    find(module, "gateway_RegisterAlarmAccessCallback", found.registerAccessCallback, missing);
    find(module, "gateway_RegisterGenericEventCallback", found.registerGenericCallback, missing);
    find(module, "gateway_RegisterDisconnectCallback", found.registerDisconnectCallback, missing);
    find(module, "gateway_RegisterEvent", found.registerEvent, missing);
    find(module, "gateway_RegisterLogCallback", found.registerLogCallback, missing);
    find(module, "gateway_getAllDoors", found.getAllDoors, missing);
    find(module, "gateway_getPointState", found.getPointState, missing);
    find(module, "gateway_controlDoor", found.controlDoor, missing);
    find(module, "gateway_cleanupPointDefinition", found.cleanupPointDefinition, missing);
    find(module, "gateway_cleanupDoorArray", found.cleanupDoorArray, missing);
    find(module, "gateway_GetVersion", found.getVersion, missing);
    find(module, "gateway_setReconnectPolicy", found.setReconnectPolicy, missing);
    find(module, "gateway_GetStatistics", found.getStatistics, missing);
    find(module, "gateway_setOptions", found.setOptions, missing);
    find(module, "gateway_RegisterConnectionStateCallback", found.registerConnectionStateCallback, missing);
    find(module, "testCalculateSum", found.testCalculateSum, missing);
    find(module, "testFireCallback", found.testFireCallback, missing);
    find(module, "testRegisterCallback", found.testRegisterCallback, missing);
    find(module, "testSetIntArray", found.testSetIntArray, missing);
    find(module, "testCountChars", found.testCountChars, missing);
    std::string optional;
    find(module, "gateway_GetLastError", found.getLastError, optional);
    find(module, "gateway_setConnectionCheck", found.setConnectionCheck, optional);
    if (!missing.empty()) {
        ::FreeLibrary(module);
        error = utf8(path) + " has no export " + missing;
        return false;
    }
    api = found;
    return true;
}
