// The shape of every failed-call log line: "<call> for <operation> failed: hr=<signed decimal>".
#pragma once

#include <windows.h>

#include <string>

inline std::string hrText(HRESULT hr) {
    return std::to_string(static_cast<long>(hr));
}

// failedCall("pDevice->get_Name()", "getAllDoors", E_FAIL) gives
// "pDevice->get_Name() for getAllDoors failed: hr=-2147467259".
inline std::string failedCall(const char* call, const char* operation, HRESULT hr) {
    std::string line(call);
    line += " for ";
    line += operation;
    line += " failed: hr=";
    line += hrText(hr);
    return line;
}
