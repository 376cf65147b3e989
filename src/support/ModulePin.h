// Keeps this module mapped until the process ends.
#pragma once

// Pins the module once (later calls do nothing): a client may release (or even call) the advised sink
// forwarder after gateway_Close has returned, and a host may unload the library right after Close.
void pinModule();
