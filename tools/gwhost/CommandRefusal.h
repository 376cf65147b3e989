// Why an export failed, as the gateway tells it (gateway_GetLastError), and an HRESULT as gwhost shows
// each one.
#pragma once

#include <string>

#include "GatewayApi.h"

// Why the export the calling thread called last returned false, from the gateway's last error, so that
// gwhost can say it whatever the log level shows. The simulator's codes are known by name; a real
// client's codes of the same facility may mean something else, so with `realClient` none is named. The
// gateway's own codes are named, with the first line of the text the gateway logged for the failure.
std::string failureReason(const GatewayApi& api, bool realClient);

// An HRESULT as gwhost shows it: in hex, followed by the system's text for it when the system has one
// ("0x800704C9, the remote computer refused the network connection"). An interface's own codes
// (FACILITY_ITF) mean what that interface defines, so they get no system text.
std::string hresultText(long hr);
// The system's text alone, as hresultText adds it; empty when there is none.
std::string hresultMessage(long hr);
