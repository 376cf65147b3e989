// Waiting for other threads to leave code that they are only briefly in (a forwarded sink call, a call of
// the host's log function), where a lock would make a nested call on one thread wait for itself.
#pragma once

#include <windows.h>

namespace spin {

// Returns once done() is true: yields at first, then sleeps a millisecond at a time.
template <class Done>
void waitUntil(Done&& done) {
    for (int spins = 0; !done(); ++spins) {
        if (spins < 64) {
            ::SwitchToThread();
        } else {
            ::Sleep(1);
        }
    }
}

}  // namespace spin
