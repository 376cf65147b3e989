// Reads the gateway's Error line "Send ManualCommand failed: ... HRESULT=<n>" to learn why a command failed.
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
