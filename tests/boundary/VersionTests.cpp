// The version: gateway_GetVersion, the header's macros and the DLL's version resource each tell the
// project's version, which the build passes to this file as GATEWAY_PROJECT_VERSION ("1.2.3").
#include <cstring>
#include <string>

#include "BoundaryTest.h"

namespace {

// FILEVERSION of the module's VERSIONINFO resource as "major.minor.patch.build", or "" without one.
std::string resourceFileVersion(HMODULE module) {
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */);
    if (resource == nullptr) {
        return "";
    }
    const auto* data = static_cast<const BYTE*>(LockResource(LoadResource(module, resource)));
    const DWORD size = SizeofResource(module, resource);
    // VS_FIXEDFILEINFO starts with its signature, 32-bit aligned after the "VS_VERSION_INFO" key.
    for (DWORD at = 0; data != nullptr && at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
        VS_FIXEDFILEINFO info;
        std::memcpy(&info, data + at, sizeof info);
        if (info.dwSignature == 0xFEEF04BD) {
            return std::to_string(HIWORD(info.dwFileVersionMS)) + "." +
                   std::to_string(LOWORD(info.dwFileVersionMS)) + "." +
                   std::to_string(HIWORD(info.dwFileVersionLS)) + "." +
                   std::to_string(LOWORD(info.dwFileVersionLS));
        }
    }
    return "";
}

}  // namespace

TEST(Version, ExportHeaderMacrosAndResourceAgree) {
    HMODULE module = LoadLibraryW(GatewayLibrary::path().c_str());
    ASSERT_NE(nullptr, module);
    auto getVersion = reinterpret_cast<decltype(&gateway_GetVersion)>(
        reinterpret_cast<void*>(GetProcAddress(module, "gateway_GetVersion")));
    ASSERT_NE(nullptr, getVersion) << "the DLL exports gateway_GetVersion by its plain name";

    const std::string project = GATEWAY_PROJECT_VERSION;
    const std::wstring wideProject(project.begin(), project.end());
    const wchar_t* version = getVersion();
    ASSERT_NE(nullptr, version);
    EXPECT_EQ(wideProject, version);
    EXPECT_EQ(version, getVersion()) << "a static text: the same pointer on every call";

    const std::string composed = std::to_string(SIPASSVORMEKGATEWAY_VERSION_MAJOR) + "." +
                                 std::to_string(SIPASSVORMEKGATEWAY_VERSION_MINOR) + "." +
                                 std::to_string(SIPASSVORMEKGATEWAY_VERSION_PATCH);
    EXPECT_EQ(project, composed);
    EXPECT_EQ(project, SIPASSVORMEKGATEWAY_VERSION_STRING);
    EXPECT_EQ(wideProject, SIPASSVORMEKGATEWAY_VERSION_WSTRING);
    EXPECT_EQ(project + ".0", resourceFileVersion(module));
    FreeLibrary(module);
}
