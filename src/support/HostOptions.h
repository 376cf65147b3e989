// The host's options (gateway_setOptions): process-wide like the log function, so they survive
// gateway_Close. Read once per event (or query) with a relaxed load, and that one reading serves every
// value the event hands the host: an option set while an event is being translated, on another thread or
// from the host's own log function, applies from the next event, so that no event mixes time bases or
// text forms.
#pragma once

#include <cstdint>

namespace options {

// Every option bit this version knows.
constexpr uint32_t kKnown = 0x3;

// One reading of the options.
struct Snapshot {
    uint32_t bits = 0;
    // Times handed to the host are milliseconds since 1970 in UTC instead of local wall-clock time.
    bool utcTimes() const;
    // Event texts reach the host callbacks as the client gave them, without the narrow round trip.
    bool unchangedTexts() const;
};

// Reads the options once; take one per event or query and hand it to every conversion.
Snapshot snapshot();

// Replaces the options. Unknown bits: false, an error line, nothing changes. Otherwise true and an info
// line naming the options now on.
bool set(uint32_t options);

}  // namespace options
