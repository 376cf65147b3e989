/* The simulated access-control client (SiPassSim.dll) for a host in C or C++: its two class ids, and one
 * call that registers it for the calling process only, so that a host can run against the simulator
 * without the real client being registered. A production host does not include this header.
 *
 *   if (FAILED(sipass_sim_register(L"SiPassSim.dll"))) { ... }
 *
 * Header-only; link ole32. */
#ifndef SIPASS_SIMULATOR_H
#define SIPASS_SIMULATOR_H

#include <windows.h>

#include <objbase.h>

/* The client object and the manual command: the class ids the real client registers as well. */
static const CLSID SIPASS_SIM_CLSID_CLIENT = {0x6155c0a7, 0xcd1c, 0x4ad1,
                                              {0x8c, 0x0a, 0x9b, 0xc7, 0xc3, 0x49, 0x8e, 0x6e}};
static const CLSID SIPASS_SIM_CLSID_COMMAND = {0xe0f9bdb5, 0x5ea3, 0x41f7,
                                               {0x93, 0x15, 0xad, 0xa2, 0x6b, 0x6d, 0x9b, 0x65}};

/* Loads the simulator from `path` (a file name is looked for beside the program first) and registers its
 * two classes with COM for this process, for as long as it runs. Joins the multithreaded apartment on the
 * calling thread. S_OK, or the HRESULT of the step that failed (the load's as HRESULT_FROM_WIN32). */
static inline HRESULT sipass_sim_register(const wchar_t* path) {
    typedef HRESULT(STDAPICALLTYPE * GetClassObject)(REFCLSID, REFIID, void**);
    const CLSID* const classes[2] = {&SIPASS_SIM_CLSID_CLIENT, &SIPASS_SIM_CLSID_COMMAND};
    HMODULE simulator = LoadLibraryW(path);
    GetClassObject get;
    HRESULT hr;
    int i;
    if (simulator == NULL) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    get = (GetClassObject)(void*)GetProcAddress(simulator, "DllGetClassObject");
    if (get == NULL) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    hr = CoInitializeEx(NULL, COINIT_MULTITHREADED);
    if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) {
        return hr;
    }
    for (i = 0; i < 2; ++i) {
        IUnknown* factory = NULL;
        DWORD cookie = 0;
#ifdef __cplusplus
        hr = get(*classes[i], IID_IUnknown, (void**)&factory);
        if (SUCCEEDED(hr)) {
            hr = CoRegisterClassObject(*classes[i], factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
            factory->Release();
        }
#else
        hr = get(classes[i], &IID_IUnknown, (void**)&factory);
        if (SUCCEEDED(hr)) {
            hr = CoRegisterClassObject(classes[i], factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
            factory->lpVtbl->Release(factory);
        }
#endif
        if (FAILED(hr)) {
            return hr;
        }
    }
    return S_OK;
}

/* How far the simulator is in loading its site file (SIPASS_SIM_SITE, read when the first client object is
 * created, which can take many seconds for a file of many megabytes): the bytes parsed and the file's size,
 * both 0 while no file is loading. Exported by SiPassSim.dll under this name; any thread may call it:
 *
 *   SipassSimSiteProgress progress = (SipassSimSiteProgress)(void*)GetProcAddress(simulator,
 *                                                                              "sipass_sim_site_progress"); */
typedef void(__cdecl* SipassSimSiteProgress)(unsigned long long* done, unsigned long long* total);

#endif
