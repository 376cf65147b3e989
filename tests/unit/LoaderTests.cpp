#include <windows.h>

#include <gtest/gtest.h>

#include "support/ManagedDLLLoader.h"

namespace {

// The directory of this test program, where the build puts SiPassSim.dll.
std::wstring programDirectory() {
    wchar_t path[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring file(path, length);
    return file.substr(0, file.find_last_of(L'\\'));
}

// A copy of a small DLL of this build in a fresh directory of the test's own: the temporary directory,
// `name` and the process id.
class DllInDirectory {
public:
    explicit DllInDirectory(const std::wstring& name) {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        m_directory = std::wstring(temp) + name + std::to_wstring(::GetCurrentProcessId());
        ::CreateDirectoryW(m_directory.c_str(), nullptr);
        m_file = m_directory + L"\\SiPassSim.dll";
        ::CopyFileW((programDirectory() + L"\\SiPassSim.dll").c_str(), m_file.c_str(), FALSE);
        m_module = ::LoadLibraryW(m_file.c_str());
    }
    ~DllInDirectory() {
        if (m_module != nullptr) {
            ::FreeLibrary(m_module);
        }
        ::DeleteFileW(m_file.c_str());
        ::RemoveDirectoryW(m_directory.c_str());
    }
    HMODULE module() const { return m_module; }
    const std::wstring& directory() const { return m_directory; }

private:
    std::wstring m_directory;
    std::wstring m_file;
    HMODULE m_module = nullptr;
};

}  // namespace

TEST(AssemblyResolver, ResolvesTheSimpleNameNextToTheLibrary) {
    DllInDirectory dll(L"gateway-loader-");
    ASSERT_NE(nullptr, dll.module());
    const std::wstring& directory = dll.directory();
    EXPECT_EQ(directory, ManagedDLLLoader::getAssemblyDirectory(dll.module()));
    EXPECT_EQ(directory + L"\\Foo.Bar.dll",
              ManagedDLLLoader::resolveAssemblyPath(
                  dll.module(), L"Foo.Bar, Version=1.2.3.4, Culture=neutral, PublicKeyToken=null"));
    // A name without a comma is the simple name itself.
    EXPECT_EQ(directory + L"\\Plain.dll", ManagedDLLLoader::resolveAssemblyPath(dll.module(), L"Plain"));
}

TEST(AssemblyResolver, KeepsASpaceInTheDirectoryName) {
    DllInDirectory dll(L"gateway loader ");
    ASSERT_NE(nullptr, dll.module());
    std::wstring resolved = ManagedDLLLoader::resolveAssemblyPath(
        dll.module(), L"Vendor.Interop, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null");
    EXPECT_EQ(dll.directory() + L"\\Vendor.Interop.dll", resolved);
    EXPECT_EQ(std::wstring::npos, resolved.find(L"%20"));
}

// The code of this build is linked into this program, so the module that holds it is the program's.
TEST(AssemblyResolver, TheCodeOfThisBuildFindsItsOwnModuleDirectory) {
    const std::wstring directory = ManagedDLLLoader::getAssemblyDirectory();
    EXPECT_FALSE(directory.empty());
    EXPECT_EQ(ManagedDLLLoader::getAssemblyDirectory(::GetModuleHandleW(nullptr)), directory);
}
