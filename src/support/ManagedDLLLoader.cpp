#include "support/ManagedDLLLoader.h"

#include <vector>

namespace ManagedDLLLoader {

std::wstring getAssemblyDirectory(HMODULE module) {
    // Long paths: grow the buffer until the name fits.
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD length = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < path.size()) {
            std::wstring file(path.data(), length);
            size_t slash = file.find_last_of(L"\\/");
            return slash == std::wstring::npos ? std::wstring() : file.substr(0, slash);
        }
        path.resize(path.size() * 2);
    }
}

std::wstring getAssemblyDirectory() {
    HMODULE self = nullptr;
    ::GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&resolveAssemblyPath), &self);
    return getAssemblyDirectory(self);
}

std::wstring resolveAssemblyPath(HMODULE module, const std::wstring& displayName) {
    std::wstring simpleName = displayName.substr(0, displayName.find(L','));
    return getAssemblyDirectory(module) + L"\\" + simpleName + L".dll";
}

}  // namespace ManagedDLLLoader
