// The simulated access-control client for this process only: SiPassSim.dll from the tool's directory,
// its class objects registered with CoRegisterClassObject, so that the gateway's CoCreateInstance finds
// the simulator without any registry entry. A site file reaches the simulator through SIPASS_SIM_SITE, its
// event generator's rate and seed through SIPASS_SIM_EVENT_RATE and SIPASS_SIM_SEED.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class SimulatedClient {
public:
    SimulatedClient() = default;
    ~SimulatedClient();
    SimulatedClient(const SimulatedClient&) = delete;
    SimulatedClient& operator=(const SimulatedClient&) = delete;

    // Loads and registers the simulator; false with `error` when it cannot.
    bool start(const std::wstring& dllPath, std::string& error);
    // Whether the simulator accepts its settings: the site file SIPASS_SIM_SITE names, SIPASS_SIM_EVENT_RATE
    // and SIPASS_SIM_SEED (it reports a problem itself, on standard error).
    bool acceptsSettings();
    // How far the simulator is in loading its site file: bytes parsed and the file's size, both 0 while
    // none loads; false when the simulator cannot tell (an older SiPassSim.dll). Any thread.
    bool siteProgress(unsigned long long& done, unsigned long long& total) const;

private:
    HMODULE m_module = nullptr;
    void(__cdecl* m_siteProgress)(unsigned long long*, unsigned long long*) = nullptr;
    std::vector<DWORD> m_cookies;
};

// The directory of the running program, with a trailing backslash.
std::wstring programDirectory();
