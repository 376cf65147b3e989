// Reading the password: from SIPASS_PASSWORD, else typed at the console without echo, else one line
// of standard input (a pipe). It is never shown and never logged.
#pragma once

#include <string>

// False when no password could be read (the end of input, or a first line of standard input that is
// refused as the shell refuses a line: too long, or holding a NUL byte), with the reason in `problem`.
// The buffers the text passed through are wiped. `fromInputLine`, when given, tells whether the password
// took the first line of a pipe or a file on standard input (what follows it there is still unread).
bool readPassword(const std::wstring& user, std::wstring& password, std::string& problem,
                  bool* fromInputLine = nullptr);

// Overwrites the characters of a secret before its memory is given back.
void wipe(std::wstring& secret);
