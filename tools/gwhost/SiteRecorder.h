// gwhost record: a site read through the gateway as a host reads it (the door table, every point's state,
// the events its callbacks receive, the connection losses) and written as a site file that the simulated
// client plays (docs/site-format.md).
#pragma once

#include "GatewayApi.h"
#include "Options.h"

// Logs in, reads every device, door and point, records every event with its time since the login and
// every connection loss with its length, for --seconds, up to --events events or until Ctrl+C, and writes
// --out: first under a temporary name beside it, renamed once complete, so that a cut recording leaves
// either the whole file or none. Prints what the file holds and what it leaves out, and the password of
// its one account. An existing --out is replaced only with --force.
int runRecord(const GatewayApi& api, const Options& options);
