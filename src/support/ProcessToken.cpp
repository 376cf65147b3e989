#include "support/ProcessToken.h"

#include "support/Owners.h"
#include "support/SimpleLogger.h"
#include "support/Win32Helper.h"

namespace {

SimpleLogger& logger() {
    return *SimpleLogger::GetInstance();
}

// Logs the account the process runs under. Only a failed account lookup other than "no mapping" stops
// the login.
bool logProcessAccount(HANDLE token) {
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, nullptr, 0, &size) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return true;
    }
    ProcessHeapBlock buffer(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (buffer.get() == nullptr) {
        return true;
    }
    if (!::GetTokenInformation(token, TokenUser, buffer.get(), size, &size)) {
        return true;
    }
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use;
    auto* user = static_cast<TOKEN_USER*>(buffer.get());
    if (::LookupAccountSidW(nullptr, user->User.Sid, name, &nameLength, domain, &domainLength, &use)) {
        logger().log("DOMAIN: " + Win32Helper::wstr2str(domain) + ", Name: " + Win32Helper::wstr2str(name));
        return true;
    }
    DWORD error = ::GetLastError();
    if (error == ERROR_NONE_MAPPED) {
        return true;
    }
    logger().log("LookupAccountSid Error: " + std::to_string(static_cast<unsigned long>(error)));
    return false;
}

}  // namespace

bool checkProcessToken() {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_READ, token.put())) {
        logger().log("Error: Couldn't open the process token\n");
        return false;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size)) {
        logger().log("Error: Couldn't retrieve the elevation right of the current process token\n");
        return false;
    }
    return logProcessAccount(token.get());
}
