// What a faulty host does to the gateway, as real structured exceptions: an access violation, and the
// C++ exception of an MSVC-built host (code 0xE06D7363), which GCC's catch (...) does not see.
#pragma once

#include "SiPassVormekGateway.h"

enum class HostFault { AccessViolation, MsvcThrow };

// Raises the fault; never returns.
void raiseHostFault(HostFault fault);

// A log function that raises on about one line in five, an access violation or an MSVC throw by turns,
// and drops the others. Any thread may call it.
void SIPASSVORMEKGATEWAY_CALL sometimesRaisingLog(LogLevel level, const wchar_t* text);
