#include "SimulatedClient.h"

#include <objbase.h>

#include "client/ClientInterfaces.h"
#include "Text.h"

std::wstring programDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return L".\\";
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L".\\" : path.substr(0, slash + 1);
}

bool SimulatedClient::start(const std::wstring& dllPath, std::string& error) {
    // The gateway joins the multithreaded apartment too; the registration must outlive its calls.
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_module = ::LoadLibraryW(dllPath.c_str());
    if (m_module == nullptr) {
        error = "cannot load the simulated client " + utf8(dllPath) + " (" + systemMessage(::GetLastError()) +
                ")";
        return false;
    }
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(::GetProcAddress(m_module, "DllGetClassObject")));
    if (getClassObject == nullptr) {
        error = utf8(dllPath) + " is not a COM server (no DllGetClassObject)";
        return false;
    }
    m_siteProgress = reinterpret_cast<decltype(m_siteProgress)>(
        reinterpret_cast<void*>(::GetProcAddress(m_module, "sipass_sim_site_progress")));
    for (const CLSID* clsid : {&CLSID_ComClient, &CLSID_ManualCommand}) {
        IUnknown* factory = nullptr;
        HRESULT hr = getClassObject(*clsid, IID_IUnknown, reinterpret_cast<void**>(&factory));
        DWORD cookie = 0;
        if (SUCCEEDED(hr)) {
            hr = ::CoRegisterClassObject(*clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
            factory->Release();  // COM holds its own reference while registered
        }
        if (FAILED(hr)) {
            error =
                "cannot register the simulated client's classes: hr=" + std::to_string(static_cast<long>(hr));
            return false;
        }
        m_cookies.push_back(cookie);
    }
    return true;
}

bool SimulatedClient::acceptsSettings() {
    // Creating a client makes the simulator read SIPASS_SIM_SITE and check its other settings; a wrong one
    // fails the creation after the simulator has written the problem to standard error.
    IUnknown* client = nullptr;
    const HRESULT hr = ::CoCreateInstance(CLSID_ComClient, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                          reinterpret_cast<void**>(&client));
    if (client != nullptr) {
        client->Release();
    }
    return SUCCEEDED(hr);
}

bool SimulatedClient::siteProgress(unsigned long long& done, unsigned long long& total) const {
    if (m_siteProgress == nullptr) {
        return false;
    }
    m_siteProgress(&done, &total);
    return true;
}

SimulatedClient::~SimulatedClient() {
    for (DWORD cookie : m_cookies) {
        ::CoRevokeClassObject(cookie);
    }
    // The simulator's module and the apartment stay: the simulator's threads may still be finishing after
    // the gateway closed, and the process ends right after this.
}
