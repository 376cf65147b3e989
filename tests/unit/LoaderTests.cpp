#include <windows.h>

#include <gtest/gtest.h>

#include "support/ManagedDLLLoader.h"

namespace {

std::wstring executablePath() {
    wchar_t path[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring directoryOf(const std::wstring& file) {
    return file.substr(0, file.find_last_of(L'\\'));
}

// A copy of a small DLL of this build in a fresh directory whose name holds a space.
class DllInDirectoryWithSpace {
public:
    DllInDirectoryWithSpace() {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        m_directory = std::wstring(temp) + L"gateway loader " + std::to_wstring(::GetCurrentProcessId());
        ::CreateDirectoryW(m_directory.c_str(), nullptr);
        m_file = m_directory + L"\\SiPassSim.dll";
        ::CopyFileW((directoryOf(executablePath()) + L"\\SiPassSim.dll").c_str(), m_file.c_str(), FALSE);
        m_module = ::LoadLibraryW(m_file.c_str());
    }
    ~DllInDirectoryWithSpace() {
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
    HMODULE exe = ::GetModuleHandleW(nullptr);
    std::wstring directory = directoryOf(executablePath());
    EXPECT_EQ(directory, ManagedDLLLoader::getAssemblyDirectory(exe));
    EXPECT_EQ(directory + L"\\Foo.Bar.dll",
              ManagedDLLLoader::resolveAssemblyPath(
                  exe, L"Foo.Bar, Version=1.2.3.4, Culture=neutral, PublicKeyToken=null"));
    // A name without a comma is the simple name itself.
    EXPECT_EQ(directory + L"\\Plain.dll", ManagedDLLLoader::resolveAssemblyPath(exe, L"Plain"));
}

TEST(AssemblyResolver, KeepsASpaceInTheDirectoryName) {
    DllInDirectoryWithSpace dll;
    ASSERT_NE(nullptr, dll.module());
    std::wstring resolved = ManagedDLLLoader::resolveAssemblyPath(
        dll.module(), L"Vendor.Interop, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null");
    EXPECT_EQ(dll.directory() + L"\\Vendor.Interop.dll", resolved);
    EXPECT_EQ(std::wstring::npos, resolved.find(L"%20"));
}

TEST(AssemblyResolver, TheCodeOfThisBuildFindsItsOwnModuleDirectory) {
    EXPECT_EQ(directoryOf(executablePath()), ManagedDLLLoader::getAssemblyDirectory());
}
