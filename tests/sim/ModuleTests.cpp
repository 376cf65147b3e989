// Creation through COM, and SiPassSim.dll as COM and regsvr32 see it.
#include "SimTestSupport.h"

#include <olectl.h>

#include <atomic>
#include <string>
#include <thread>

#include "SiPassSimulator.h"

TEST_F(SimTest, CoCreateInstanceUsesTheRegisteredClassObjects) {
    const long before = sim::liveObjects();
    ComPtr<IComClient> client;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ComClient, nullptr, kClientClassContext, IID_PPV_ARGS(&client)));
    ComPtr<IManualCommand> command;
    ASSERT_EQ(S_OK,
              CoCreateInstance(CLSID_ManualCommand, nullptr, kClientClassContext, IID_PPV_ARGS(&command)));
    EXPECT_EQ(before + 2, sim::liveObjects()) << "the objects must come from this process's simulator";
    EXPECT_EQ(1u, sim::clients().size());
    EXPECT_EQ(S_FALSE, sim::registerClassObjects());

    ComPtr<IUnknown> aggregated;
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_ComClient, CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&factory)));
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(client.Get(), IID_PPV_ARGS(&aggregated)));
    EXPECT_EQ(E_UNEXPECTED, factory->LockServer(FALSE)) << "an unlock without a lock must be refused";
}

namespace {

std::wstring besideProgram(const wchar_t* file) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1) + file;
}

// SiPassSim.dll, loaded from beside the test program and freed at the end of the test.
class SimDll : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        m_module = LoadLibraryW(besideProgram(L"SiPassSim.dll").c_str());
        ASSERT_NE(nullptr, m_module) << "error " << GetLastError();
        getClassObject = entry<decltype(&DllGetClassObject)>("DllGetClassObject");
        canUnloadNow = entry<decltype(&DllCanUnloadNow)>("DllCanUnloadNow");
        registerServer = entry<decltype(&DllRegisterServer)>("DllRegisterServer");
        unregisterServer = entry<decltype(&DllUnregisterServer)>("DllUnregisterServer");
        ASSERT_TRUE(getClassObject && canUnloadNow && registerServer && unregisterServer);
    }
    void TearDown() override {
        if (m_module != nullptr) {
            FreeLibrary(m_module);
        }
        CoUninitialize();
    }

    std::wstring modulePath() const {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(m_module, path, MAX_PATH);
        return path;
    }

    decltype(&DllGetClassObject) getClassObject = nullptr;
    decltype(&DllCanUnloadNow) canUnloadNow = nullptr;
    decltype(&DllRegisterServer) registerServer = nullptr;
    decltype(&DllUnregisterServer) unregisterServer = nullptr;

private:
    template <typename Function>
    Function entry(const char* name) {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(m_module, name)));
    }

    HMODULE m_module = nullptr;
};

std::wstring readString(HKEY root, const std::wstring& key, const wchar_t* value) {
    wchar_t text[1024] = {};
    DWORD size = sizeof text;
    if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) {
        return L"<missing>";
    }
    return text;
}

std::wstring clsidKey(REFCLSID clsid) {
    wchar_t text[40] = {};
    StringFromGUID2(clsid, text, 40);
    return std::wstring(L"CLSID\\") + text;
}

}  // namespace

TEST_F(SimDll, ServesBothClassesAndStaysLoadedWhileTheyAreInUse) {
    EXPECT_EQ(S_OK, canUnloadNow());
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, getClassObject(CLSID_ComClient, IID_PPV_ARGS(&factory)));
    EXPECT_EQ(S_FALSE, canUnloadNow()) << "a class factory is in use";

    ComPtr<IComClient> client;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&client)));
    factory.Reset();
    EXPECT_EQ(S_FALSE, canUnloadNow()) << "a client is alive";
    EXPECT_EQ(S_OK, client->Connect(TestBstr(L"operator").get(), TestBstr(L"sipass").get()));
    client.Reset();
    EXPECT_EQ(S_OK, canUnloadNow());

    ASSERT_EQ(S_OK, getClassObject(CLSID_ManualCommand, IID_PPV_ARGS(&factory)));
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    factory.Reset();
    EXPECT_EQ(S_FALSE, canUnloadNow()) << "the server is locked";
    ASSERT_EQ(S_OK, getClassObject(CLSID_ManualCommand, IID_PPV_ARGS(&factory)));
    ASSERT_EQ(S_OK, factory->LockServer(FALSE));
    factory.Reset();
    EXPECT_EQ(S_OK, canUnloadNow());

    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IUnknown, IID_PPV_ARGS(&factory)));
    EXPECT_FALSE(factory);
}

// While the DLL loads a site file of megabytes (when a client is created), its progress export tells another
// thread how far it is: parts of the file's size, never going back, and nothing once the load is over.
TEST_F(SimDll, TellsHowFarASiteFileHasLoaded) {
    auto progress = reinterpret_cast<SipassSimSiteProgress>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"SiPassSim.dll"), "sipass_sim_site_progress")));
    ASSERT_NE(nullptr, progress);
    const std::wstring campus = besideProgram(L"..\\sites\\campus.json");
    WIN32_FILE_ATTRIBUTE_DATA file{};
    ASSERT_TRUE(GetFileAttributesExW(campus.c_str(), GetFileExInfoStandard, &file));
    ASSERT_TRUE(SetEnvironmentVariableW(L"SIPASS_SIM_SITE", campus.c_str()));

    std::atomic<bool> created{false};
    std::atomic<bool> finished{false};
    std::thread creator([&] {
        ComPtr<IClassFactory> factory;
        ComPtr<IComClient> client;
        if (SUCCEEDED(getClassObject(CLSID_ComClient, IID_PPV_ARGS(&factory)))) {
            created = SUCCEEDED(factory->CreateInstance(nullptr, IID_PPV_ARGS(&client)));
        }
        finished = true;
    });
    unsigned long long before = 0;
    bool partway = false;
    bool backwards = false;
    bool wrongTotal = false;
    while (!finished) {
        unsigned long long done = 0;
        unsigned long long total = 0;
        progress(&done, &total);
        if (total != 0) {
            wrongTotal = wrongTotal || total != file.nFileSizeLow || done > total;
            backwards = backwards || done < before;
            partway = partway || (done > 0 && done < total);
            before = done;
        }
        Sleep(1);
    }
    creator.join();
    SetEnvironmentVariableW(L"SIPASS_SIM_SITE", nullptr);
    EXPECT_TRUE(created);
    EXPECT_TRUE(partway) << "no count between the start and the end was seen";
    EXPECT_FALSE(backwards);
    EXPECT_FALSE(wrongTotal);
    unsigned long long done = 1;
    unsigned long long total = 1;
    progress(&done, &total);
    EXPECT_EQ(0u, done);
    EXPECT_EQ(0u, total);
    progress(nullptr, nullptr);  // a caller that wants neither
}

// Registration runs against a scratch key that stands in for HKEY_CLASSES_ROOT, so the test neither
// needs nor disturbs a registration in the Wine prefix.
TEST_F(SimDll, RegistersAsAnInprocServerAndRemovesOnlyItsOwnRegistration) {
    const std::wstring scratchPath = L"Software\\SiPassSimTests\\" + std::to_wstring(GetCurrentProcessId());
    HKEY scratch = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, scratchPath.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &scratch, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_CLASSES_ROOT, scratch));

    EXPECT_EQ(S_OK, registerServer());
    const std::wstring self = modulePath();
    for (const CLSID* clsid : {&CLSID_ComClient, &CLSID_ManualCommand}) {
        const std::wstring server = clsidKey(*clsid) + L"\\InprocServer32";
        EXPECT_EQ(CSTR_EQUAL, CompareStringOrdinal(readString(scratch, server, nullptr).c_str(), -1,
                                                   self.c_str(), -1, TRUE));
        EXPECT_EQ(L"Both", readString(scratch, server, L"ThreadingModel"));
    }

    // Another library registered under one of the classes is left alone.
    const std::wstring foreign = L"C:\\vendor\\client.dll";
    HKEY server = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExW(scratch, (clsidKey(CLSID_ManualCommand) + L"\\InprocServer32").c_str(), 0,
                            KEY_SET_VALUE, &server));
    RegSetValueExW(server, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(foreign.c_str()),
                   static_cast<DWORD>((foreign.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(server);

    EXPECT_EQ(S_OK, unregisterServer());
    EXPECT_EQ(L"<missing>", readString(scratch, clsidKey(CLSID_ComClient) + L"\\InprocServer32", nullptr));
    EXPECT_EQ(foreign, readString(scratch, clsidKey(CLSID_ManualCommand) + L"\\InprocServer32", nullptr));

    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegCloseKey(scratch);
    RegDeleteTreeW(HKEY_CURRENT_USER, scratchPath.c_str());
}
