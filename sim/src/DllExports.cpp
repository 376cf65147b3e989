// Entry points of SiPassSim.dll: the class objects for COM, self-registration for regsvr32, written the way
// an in-process client library registers itself (InprocServer32 with ThreadingModel Both), and the
// progress of a site file being loaded (SiPassSimulator.h).
#include "SimRuntime.h"
#include "SiteFile.h"

#include "client/ClientInterfaces.h"

#include <olectl.h>

#include <string>

namespace {

const CLSID* const kClasses[] = {&CLSID_ComClient, &CLSID_ManualCommand};
const wchar_t* const kClassNames[] = {L"SiPass simulated client", L"SiPass simulated manual command"};

// Closes a registry key it owns.
class RegKey {
public:
    RegKey() = default;
    ~RegKey() {
        if (m_key != nullptr) {
            RegCloseKey(m_key);
        }
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY* out() { return &m_key; }
    HKEY get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

std::wstring clsidKeyPath(REFCLSID clsid) {
    wchar_t text[40] = {};
    StringFromGUID2(clsid, text, 40);
    return std::wstring(L"CLSID\\") + text;
}

// Full path of this DLL; grows the buffer for paths longer than MAX_PATH.
std::wstring ownPath() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&ownPath), &self)) {
        return {};
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

LSTATUS setString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool registerClass(REFCLSID clsid, const wchar_t* name, const std::wstring& path) {
    RegKey classKey;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, clsidKeyPath(clsid).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                        classKey.out(), nullptr) != ERROR_SUCCESS ||
        setString(classKey.get(), nullptr, name) != ERROR_SUCCESS) {
        return false;
    }
    RegKey server;
    return RegCreateKeyExW(classKey.get(), L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, server.out(),
                           nullptr) == ERROR_SUCCESS &&
           setString(server.get(), nullptr, path) == ERROR_SUCCESS &&
           setString(server.get(), L"ThreadingModel", L"Both") == ERROR_SUCCESS;
}

// Removes the class's key, but only while it names this DLL: another library registered under the same
// class (the real client on a developer's machine) is not ours to remove.
bool unregisterClass(REFCLSID clsid, const std::wstring& path) {
    const std::wstring key = clsidKeyPath(clsid);
    const std::wstring serverKey = key + L"\\InprocServer32";
    DWORD size = 0;
    LSTATUS read =
        RegGetValueW(HKEY_CLASSES_ROOT, serverKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &size);
    if (read == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    std::wstring registered(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(registered.size() * sizeof(wchar_t));
    if (read == ERROR_SUCCESS) {
        read = RegGetValueW(HKEY_CLASSES_ROOT, serverKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr,
                            &registered[0], &size);
    }
    if (read != ERROR_SUCCESS) {
        return false;
    }
    if (CompareStringOrdinal(registered.c_str(), -1, path.c_str(), -1, TRUE) != CSTR_EQUAL) {
        return true;
    }
    const LSTATUS removed = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND;
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
    return sim::detail::getClassObject(clsid, iid, object);
}

STDAPI DllCanUnloadNow() {
    return sim::detail::canUnloadNow() ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    const std::wstring path = ownPath();
    if (path.empty()) {
        return SELFREG_E_CLASS;
    }
    for (size_t i = 0; i < std::size(kClasses); ++i) {
        if (!registerClass(*kClasses[i], kClassNames[i], path)) {
            DllUnregisterServer();  // leaves no half registration behind
            return SELFREG_E_CLASS;
        }
    }
    return S_OK;
}

STDAPI DllUnregisterServer() {
    const std::wstring path = ownPath();
    if (path.empty()) {
        return SELFREG_E_CLASS;
    }
    bool removed = true;
    for (const CLSID* clsid : kClasses) {
        removed = unregisterClass(*clsid, path) && removed;
    }
    return removed ? S_OK : SELFREG_E_CLASS;
}

extern "C" void __cdecl sipass_sim_site_progress(unsigned long long* done, unsigned long long* total) {
    const sim::SiteReadProgress progress = sim::siteReadProgress();
    if (done != nullptr) {
        *done = progress.done;
    }
    if (total != nullptr) {
        *total = progress.total;
    }
}
