// The process-token diagnostics that run before every login.
#pragma once

#include <windows.h>

// Opens the process token, reads its elevation and logs the account the process runs under
// ("DOMAIN: ..., Name: ..."). False, with the line that says why, when the token or its elevation cannot
// be read or the account lookup fails for another reason than "no mapping": the login does not start.
bool checkProcessToken();
