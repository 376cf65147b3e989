// The simulator's class factories and its live COM objects: how a test makes CLSID_ComClient and
// CLSID_ManualCommand creatable in its own process, and how it sees that every object was released.
#pragma once

#include <windows.h>

namespace sim {

// Registers the class factories of CLSID_ComClient and CLSID_ManualCommand with CoRegisterClassObject
// (CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE). The caller has initialised COM. S_FALSE when they are
// registered already; on failure nothing stays registered.
HRESULT registerClassObjects();
// Revokes what registerClassObjects registered; harmless when nothing is registered.
void revokeClassObjects();

// Live COM objects of the simulator: clients, manual commands and the objects GetByID returned. Class
// factories are not counted.
long liveObjects();

}  // namespace sim
