// Reads the gateway's Error line "Send ManualCommand failed: ... HRESULT=<n>" to learn why a command failed,
// and shows an HRESULT as gwhost shows each one.
#pragma once

#include <string>

// Notes the HRESULT of that line; given every log line, on whichever thread logs it.
void noteCommandFailure(const wchar_t* logLine);

// Forgets the HRESULT noted last: a shell's earlier refusal is not the next command's.
void forgetCommandFailure();

// Why the client refused the command, from the HRESULT noted last, so that gwhost can say it whatever the
// log level shows. The simulator's refusals are known by name; a real client's codes of the same facility
// may mean something else, so with `realClient` none is named.
std::string refusalReason(bool realClient);

// An HRESULT as gwhost shows it: in hex, followed by the system's text for it when the system has one
// ("0x800704C9, the remote computer refused the network connection"). An interface's own codes
// (FACILITY_ITF) mean what that interface defines, so they get no system text.
std::string hresultText(long hr);
// The system's text alone, as hresultText adds it; empty when there is none.
std::string hresultMessage(long hr);
