// What loading and unloading the DLL does, and what it imports.
#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "BoundaryTest.h"

namespace {

// The DLL names in the import directory of a loaded module.
std::vector<std::string> importedDlls(HMODULE module) {
    auto* base = reinterpret_cast<const BYTE*>(module);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<std::string> names;
    auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    for (; directory.VirtualAddress != 0 && descriptor->Name != 0; ++descriptor) {
        std::string name(reinterpret_cast<const char*>(base + descriptor->Name));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        names.push_back(name);
    }
    return names;
}

}  // namespace

TEST(Module, ImportsOnlyWindowsSystemDlls) {
    GatewayLibrary library;
    const std::set<std::string> system = {"kernel32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll",
                                          "msvcrt.dll",   "user32.dll",   "ntdll.dll", "crypt32.dll"};
    auto imports = importedDlls(library.module());
    EXPECT_FALSE(imports.empty());
    for (const std::string& name : imports) {
        EXPECT_TRUE(system.count(name) > 0) << "imports " << name;
    }
}

TEST(Module, UnloadingWithoutAnAdvisedClientLeavesNothingBehind) {
    LogCapture log;
    {
        // A gateway object that is never closed goes with the module.
        GatewayLibrary library;
        library.RegisterLogCallback(&LogCapture::callback);
        library.setDropDuration(30);
    }
    EXPECT_TRUE(linesMatch(log.texts(), {L"Constructor called", L"CoInitialize*"}));
    log.clear();
    {
        // Loaded again: no gateway object and no log function survived, so Ping is the only line.
        GatewayLibrary library;
        library.Ping(1);
        library.RegisterLogCallback(&LogCapture::callback);
        library.Ping(1);
        library.RegisterLogCallback(nullptr);
    }
    EXPECT_TRUE(linesMatch(log.texts(), {L"SIPASSVORMEKGATEWAY_API: Ping called"}));
}

namespace {

// The thread-local slots of the system's that are free now: each one taken, counted and given back.
size_t freeThreadLocalSlots() {
    std::vector<DWORD> taken;
    for (DWORD slot = ::TlsAlloc(); slot != TLS_OUT_OF_INDEXES; slot = ::TlsAlloc()) {
        taken.push_back(slot);
    }
    for (DWORD slot : taken) {
        ::TlsFree(slot);
    }
    return taken.size();
}

}  // namespace

// Regression guard: each load takes thread-local slots of the system's on first use (the structured-
// exception guard's, the logger's, the last error's) and must give every one back at unload, or a host
// that loads and unloads the library in a loop runs the process out of them. The toolchain's thread
// library, linked into the library, keeps one slot per load that it never gives back (see the
// integration guide); that one is allowed, no more.
TEST(Module, LoadingAndUnloadingGivesBackEveryThreadLocalSlotOfItsOwn) {
    constexpr int kLoads = 20;
    const size_t before = freeThreadLocalSlots();
    LogCapture log;
    for (int i = 0; i < kLoads; ++i) {
        GatewayLibrary library;
        library.RegisterLogCallback(&LogCapture::callback);
        library.Ping(1);
        wchar_t text[64] = L"";
        library.GetLastError(text, 64);
        library.RegisterLogCallback(nullptr);
    }
    const std::vector<std::wstring> texts = log.texts();
    EXPECT_EQ(kLoads, std::count(texts.begin(), texts.end(), L"SIPASSVORMEKGATEWAY_API: Ping called"));
    const size_t after = freeThreadLocalSlots();
    ASSERT_LE(after, before);
    EXPECT_LE(before - after, static_cast<size_t>(kLoads)) << "slots of the library's own outlived it";
}

using DoorExports = BoundaryTest;

// A host cleans up after every call; the C# binding does so with locals it never initialised.
TEST_F(DoorExports, FailWithEmptyOutputsWithoutAClient) {
    Device* devices = reinterpret_cast<Device*>(0x1234);
    int32_t deviceCount = 7;
    int32_t doorCount = 9;
    EXPECT_FALSE(library.getAllDoors(&devices, &deviceCount, &doorCount));
    EXPECT_EQ(nullptr, devices);
    EXPECT_EQ(0, deviceCount);
    EXPECT_EQ(0, doorCount);
    library.cleanupDoorArray(devices, deviceCount);
    PointState state{};
    state.state = 77;
    EXPECT_FALSE(library.getPointState(5, &state));
    EXPECT_EQ(77, state.state);
    EXPECT_FALSE(library.controlDoor(6, 12, 3));
    // The cleanup exports accept nulls and zero counts.
    library.cleanupDoorArray(nullptr, 5);
    library.cleanupDoorset(nullptr, 3);
    library.cleanupPointDefinition(PointDefinition{});
}
