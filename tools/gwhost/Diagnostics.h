// The commands that need no login: they call the gateway's exports that answer without the access-control
// client. The statistics also follow a session (--stats) and are a line of the shell.
#pragma once

#include "GatewayApi.h"
#include "Options.h"

// gateway_Ping(41), which answers 42.
int runPing(const GatewayApi& api, const Options& options);

// The gateway's version.
int runVersion(const GatewayApi& api, const Options& options);

// The gateway's statistics as a table (name, value) or as one JSON document.
int runStats(const GatewayApi& api, const Options& options);

// The interop self-test exports, each result against the value expected.
int runSelfTest(const GatewayApi& api, const Options& options);
