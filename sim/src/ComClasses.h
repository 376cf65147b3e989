// The simulator's COM classes as the rest of the simulator reaches them: a creation function for the client
// (ComClient.cpp), the manual command (ManualCommand.cpp) and a named object (NamedObject.cpp), and the
// private interface the client reads a manual command through (IManualCommand itself has setters only).
// The COM objects of devices, door sets, points and state objects are made through SiteModelObjects.h.
#pragma once

#include "client/ClientInterfaces.h"

#include <string>

namespace sim::detail {

// Implemented by the simulator's manual command objects only; never answered by a foreign object.
// QueryInterface for it hands out a borrowed pointer without a reference (it is no COM interface), valid
// while the caller holds the command: so reading a command makes no AddRef or Release call a test counts.
struct ISimCommandFields {
    // text receives a new BSTR the caller frees.
    virtual HRESULT STDMETHODCALLTYPE GetFields(long* objectId, long* objectType, long* command,
                                                BSTR* text) = 0;

protected:
    ~ISimCommandFields() = default;
};

// Each creates a new object with no outer unknown and hands out the interface `iid`.
HRESULT createComClient(REFIID iid, void** object);
HRESULT createManualCommand(REFIID iid, void** object);
// A named object as GetByID returns it (addObject): answers IGeneric.
HRESULT createNamedObject(const std::wstring& name, IUnknown** object);

}  // namespace sim::detail

__CRT_UUID_DECL(sim::detail::ISimCommandFields, 0xdb9cfd61, 0x4385, 0x4752, 0xb9, 0xe2, 0x01, 0xbc, 0xc7,
                0x0f, 0x26, 0x1a)
