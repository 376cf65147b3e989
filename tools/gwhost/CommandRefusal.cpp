#include "CommandRefusal.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>

#include "SimControl.h"
#include "Text.h"

namespace {

std::mutex g_refusalMutex;
std::optional<long> g_commandHresult;  // guarded by g_refusalMutex

}  // namespace

void noteCommandFailure(const wchar_t* logLine) {
    static const wchar_t kFailed[] = L"Send ManualCommand failed:";
    static const wchar_t kHresult[] = L" HRESULT=";
    if (logLine == nullptr || std::wcsncmp(logLine, kFailed, std::size(kFailed) - 1) != 0) {
        return;
    }
    const wchar_t* value = std::wcsstr(logLine, kHresult);
    long parsed = 0;
    if (value != nullptr && parseNumber(value + std::size(kHresult) - 1, parsed)) {
        std::lock_guard<std::mutex> lock(g_refusalMutex);
        g_commandHresult = parsed;
    }
}

void forgetCommandFailure() {
    std::lock_guard<std::mutex> lock(g_refusalMutex);
    g_commandHresult.reset();
}

std::string refusalReason(bool realClient) {
    std::optional<long> logged;
    {
        std::lock_guard<std::mutex> lock(g_refusalMutex);
        logged = g_commandHresult;
    }
    if (!logged) {
        return "the gateway logged no answer of the client (--log-level info shows why)";
    }
    const HRESULT hr = static_cast<HRESULT>(*logged);
    static const struct {
        HRESULT hr;
        const char* reason;
    } kSimulatorRefusals[] = {
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
        for (const auto& known : kSimulatorRefusals) {
            if (known.hr == hr) {
                return std::string(known.reason) + " (HRESULT " + hresultText(hr) + ")";
            }
        }
    }
    return "the client refused it with HRESULT " + hresultText(hr);
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
