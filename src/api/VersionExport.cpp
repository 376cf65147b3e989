// gateway_GetVersion: the version the build was made with, from the generated version header (the same
// numbers as the DLL's VERSIONINFO resource).
#include "SiPassVormekGateway.h"

extern "C" const wchar_t* SIPASSVORMEKGATEWAY_CALL gateway_GetVersion(void) {
    // A string literal: static storage, never freed, the same pointer on every call.
    return SIPASSVORMEKGATEWAY_VERSION_WSTRING;
}
