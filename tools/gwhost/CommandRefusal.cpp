#include "CommandRefusal.h"

#include <windows.h>

#include <cstdio>
#include <cwctype>
#include <string>

#include "SimControl.h"
#include "Text.h"

std::string failureReason(const GatewayApi& api, bool realClient) {
    if (api.getLastError == nullptr) {
        return "this gateway DLL does not tell why (--log-level info shows its log lines)";
    }
    wchar_t text[1024] = {};
    const HRESULT hr = static_cast<HRESULT>(api.getLastError(text, 1024));
    std::string line = utf8(text);
    line = line.substr(0, line.find('\n'));  // the first line is the failure; what follows is advice
    if (hr == S_OK) {
        return "the gateway gave no reason (--log-level info shows its log lines)";
    }
    static const struct {
        HRESULT hr;
        const char* reason;
    } kGatewayCodes[] = {
        {GATEWAY_E_NOT_LOGGED_IN, "not logged in"},
        {GATEWAY_E_INSIDE_CALLBACK, "refused inside a gateway callback"},
        {GATEWAY_E_INSIDE_LOG, "refused inside the log function"},
        {GATEWAY_E_INVALID_ARGUMENT, "an argument the gateway does not take"},
        {GATEWAY_E_OUT_OF_MEMORY, "out of memory"},
        {GATEWAY_E_CLIENT_RAISED, "the access-control client raised an exception"},
        {GATEWAY_E_RAISED, "an exception, contained by the gateway"},
        {GATEWAY_E_NO_CALLBACK, "no state or access callback registered"},
        {GATEWAY_E_NOT_FOUND, "the client found no such object"},
        {GATEWAY_E_MALFORMED, "the client's answer cannot be read"},
        {GATEWAY_E_PROCESS_TOKEN, "this process's token cannot be read"},
        {GATEWAY_E_FAILED, "failed"},
    };
    for (const auto& own : kGatewayCodes) {
        if (own.hr == hr) {
            return std::string(own.reason) + (line.empty() ? "" : " (" + line + ")");
        }
    }
    static const struct {
        HRESULT hr;
        const char* reason;
    } kSimulatorCodes[] = {
        {sim::E_SIM_LOGIN_REJECTED, "the server rejected the user name or the password"},
        {sim::E_SIM_UNKNOWN_OBJECT_TYPE, "the object type is neither 7 (point) nor 6 (device)"},
        {sim::E_SIM_UNKNOWN_COMMAND,
         "no such command code (1 lock, 2 unlock, 3 momentary unlock, 4 secure, 5 free, 6 reset alarm)"},
        {sim::E_SIM_NO_OBJECT, "the site has no such point or device"},
        {sim::E_SIM_COMMAND_NOT_FOR_ROLE,
         "the object cannot take this command (latches take 1-3, readers 4-6, door contacts and passback "
         "points 6)"},
        {sim::E_SIM_NOT_CONNECTED, "the client is not connected to the server"},
    };
    if (!realClient) {
        for (const auto& known : kSimulatorCodes) {
            if (known.hr == hr) {
                return std::string(known.reason) + " (HRESULT " + hresultText(hr) + ")";
            }
        }
    }
    return "the client answered HRESULT " + hresultText(hr);
}

std::string hresultMessage(long hr) {
    if (HRESULT_FACILITY(hr) == FACILITY_ITF) {
        return {};
    }
    auto systemText = [](DWORD value) {
        wchar_t* text = nullptr;
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, value, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::wstring message = length > 0 ? std::wstring(text, length) : L"";
        ::LocalFree(text);
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                    message.back() == L'.' || message.back() == L' ')) {
            message.pop_back();
        }
        for (wchar_t& c : message) {  // a text of several lines becomes one
            if (c == L'\r' || c == L'\n') {
                c = L' ';
            }
        }
        return message;
    };
    std::wstring message = systemText(static_cast<DWORD>(hr));
    // Not every system knows a Win32 error by its HRESULT: then by its code.
    if (message.empty() && HRESULT_FACILITY(hr) == FACILITY_WIN32) {
        message = systemText(HRESULT_CODE(hr));
    }
    // The text continues a sentence: "The remote computer ..." becomes "the remote computer ...", while an
    // initialism such as "DCOM ..." stays as it is.
    if (message.size() > 1 && std::iswupper(message[0]) && std::iswlower(message[1])) {
        message[0] = std::towlower(message[0]);
    }
    return utf8(message);
}

std::string hresultText(long hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    const std::string message = hresultMessage(hr);
    return message.empty() ? std::string(code) : code + (", " + message);
}
