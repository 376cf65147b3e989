// The fault table (FaultTable.cpp): every method of every simulator object enters it first, so that its
// calls are counted and traced and the faults a test injected (SimFaults.h) apply to it.
//
// Locking: the fault table and the call trace share a lock of their own, never held together with another
// simulator lock, nor while calling a foreign object or raising.
#pragma once

#include <windows.h>

namespace sim::detail {

// Counts a call of `method` and applies the fault injected for it: raises the structured exception a
// test asked for (after releasing the fault lock, so nothing stays locked), or returns the injected
// HRESULT, or S_OK when there is none. On a thread not of the simulator's own, also records the call in a
// call trace and applies a fault armed for its position (armCallFault), which may wait or report a lost
// connection before it returns. REQUIRES: no simulator lock held.
HRESULT enter(const char* method);
// QueryInterface: the method name carries the requested interface, as "IUnknown::QueryInterface(Name)"
// or, with another owner, "<owner>::QueryInterface(Name)".
HRESULT enterQueryInterface(REFIID iid, const char* owner = "IUnknown");
// The HRESULT a method returns when it did its work with `result`: an injected success code replaces a
// successful result, a failure stays.
inline HRESULT finish(HRESULT injected, HRESULT result) {
    return SUCCEEDED(result) && injected != S_OK ? injected : result;
}

// Marks the calling thread as one of the simulator's own, whose calls are not traced and hold no position
// for armCallFault. Every simulator thread calls it before it makes any call of a simulator object.
void markSimulatorThread();

// Clears the call counts and the faults of every method, stops a trace and disarms a call fault, and
// forgets where one was applied (resetSite). REQUIRES: no simulator lock held.
void resetFaultTable();

}  // namespace sim::detail
