// The simulated client's own failure HRESULTs: what its methods answer when an account, the site or the
// server refuses a call.
#pragma once

#include <windows.h>

namespace sim {

// Connect with an unknown user or a wrong password.
constexpr HRESULT E_SIM_LOGIN_REJECTED = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x201);
// GetByID, GetRelatives or SendManualCommand for a (type, id) the site does not have.
constexpr HRESULT E_SIM_NO_OBJECT = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x202);
// SendManualCommand or GetByID on a client that is not connected.
constexpr HRESULT E_SIM_NOT_CONNECTED = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x203);
// SendManualCommand refusals (SimCommands.h): an object type other than 6 (device) and
// 7 (point); a code the command table does not have; a point whose role does not take the command, or a
// device none of whose points does.
constexpr HRESULT E_SIM_UNKNOWN_OBJECT_TYPE = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x204);
constexpr HRESULT E_SIM_UNKNOWN_COMMAND = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x205);
constexpr HRESULT E_SIM_COMMAND_NOT_FOR_ROLE = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x206);
// Connect while the server is offline: HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED).
constexpr HRESULT E_SIM_SERVER_OFFLINE =
    MAKE_HRESULT(SEVERITY_ERROR, FACILITY_WIN32, ERROR_CONNECTION_REFUSED);

}  // namespace sim
