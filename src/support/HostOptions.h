// The host's options (gateway_setOptions): process-wide like the log function, so they survive
// gateway_Close. Read on every event with a relaxed load; an option set while an event is being
// translated applies from the next value that is read.
#pragma once

#include <cstdint>

namespace options {

// Every option bit this version knows.
constexpr uint32_t kKnown = 0x3;

uint32_t current();

// Times handed to the host are milliseconds since 1970 in UTC instead of local wall-clock time.
bool utcTimes();
// Event texts reach the host callbacks as the client gave them, without the narrow round trip.
bool unchangedTexts();

// Replaces the options. Unknown bits: false, an error line, nothing changes. Otherwise true and an info
// line naming the options now on.
bool set(uint32_t options);

}  // namespace options
