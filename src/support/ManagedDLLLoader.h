// The assembly-resolution hook of the gateway object. A managed build answers the runtime's requests for
// assemblies it cannot find with the library file of that name next to this DLL. This native build hosts
// no runtime, so load() installs nothing; the resolution itself (this DLL's directory, the file for a
// requested display name) is real and shared with any host-side loader.
#pragma once

#include <windows.h>

#include <string>

class ManagedDLLLoaderCpp {
public:
    // Called by every construction of the gateway object, before it logs anything.
    void load() {}
};

namespace ManagedDLLLoader {

// The directory that holds the module (no trailing backslash): "C:\Program Files\Vms" for
// "C:\Program Files\Vms\SiPassVormekGateway.dll". Empty if the module's file name cannot be read.
std::wstring getAssemblyDirectory(HMODULE module);

// The directory of the module that contains this code.
std::wstring getAssemblyDirectory();

// The file that answers a request for an assembly: the module's directory, a backslash, the simple name
// (the display name up to its first comma, or the whole name without one) and ".dll". Version, culture
// and key token play no part.
std::wstring resolveAssemblyPath(HMODULE module, const std::wstring& displayName);

}  // namespace ManagedDLLLoader
