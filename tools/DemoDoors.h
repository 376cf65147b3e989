// The door part of the demo host: lists the site's doors as a table and sends one door command.
#pragma once

#include <windows.h>

// Runs with the gateway logged in; returns false when a door export failed.
bool showDoorsAndSendACommand(HMODULE gateway);
