// Fault injection and call counting: failures and structured exceptions for named methods, and faults by
// position in a traced sequence of calls.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace sim {

// Fault injection. Method names are "Interface::Method" as the interface declares it, for example
// "IComClient::Connect", "IConnectionPoint::Advise", "IClassFactory::CreateInstance", "IUnknown::AddRef",
// "IUnknown::Release", and for QueryInterface the requested interface in parentheses:
// "IUnknown::QueryInterface(IConnectionPointContainer)" (an interface the simulator has no name for
// appears as its IID, "IUnknown::QueryInterface({xxxxxxxx-...})"). The IUnknown methods of the class
// factories are named "IClassFactory::AddRef", "IClassFactory::Release" and
// "IClassFactory::QueryInterface(...)", so that faults meant for the client's objects leave COM's
// creation of them alone. Every method of every class of the simulator counts its calls and consults the
// faults on entry, before it checks arguments or changes anything. Only calls made through an interface
// count: the simulator's own reference handling (the reference QueryInterface adds, the one creation
// hands over) makes no AddRef or Release call. An unknown method name throws std::invalid_argument, so a
// misspelt name cannot make a test pass silently.
enum class Raise { AccessViolation, MsvcCppException };
// Every further call of `method` returns `hr` without any effect (out pointers are set to null) when hr
// is a failure code; with a success code the method does its work and returns hr instead of S_OK.
// AddRef and Release cannot report a failure: failMethod throws std::invalid_argument for them. A raise
// in Release happens before the count drops, so the object stays alive.
void failMethod(const std::string& method, HRESULT hr);
// Like failMethod, for the next `times` calls only; later calls behave normally again.
void failMethodNext(const std::string& method, HRESULT hr, int times = 1);
// Every further call of `method` raises a real structured exception instead of returning: an access
// violation (code 0xC0000005, a write through a null pointer) or an MSVC C++ exception (code 0xE06D7363,
// first parameter 0x19930520). The call is counted before it raises, and no lock is held when it raises.
void raiseInMethod(const std::string& method, Raise what);
void clearFaults();
// Calls of `method` so far (since the last resetSite), whatever they returned.
int callCount(const std::string& method);
// Waits until `method` has been called at least `count` times in all (as callCount counts them, on any
// thread); false after timeoutMs. A call is counted when it starts, before its fault applies.
bool waitForCallCount(const std::string& method, int count, unsigned timeoutMs = 5000);

// Faults by position, for a sweep that injects a fault at each position of a sequence of calls a host
// makes, one position per run. The positions are those of traced calls: every call the fault table counts
// (the names above, AddRef, Release, QueryInterface and the class factories' methods included) made on a
// thread that is not one of the simulator's own (the threads of deliverEvents, raiseClientStateChanged and
// a call fault's report, the connection-report thread, the event generator, the command-event thread and
// a site file's timeline). The calls a sink makes while the simulator delivers to it are therefore neither
// recorded nor counted as positions, so the sequence a host's thread makes does not depend on the events
// delivered meanwhile. Calls a sink makes on the host's own thread (setCommandEventDelivery's
// CallingThread) are traced. resetSite and clearFaults stop a trace and disarm a call fault that has not
// been applied yet; both also end a Delay in progress.
//
// Records the method names of traced calls in call order from now on (what was recorded before is
// dropped). Throws std::runtime_error when the process has no thread-local storage slot left, which the
// simulator needs to know its own threads.
void startCallTrace();
// Stops recording and returns the names recorded since startCallTrace (empty when none was started).
std::vector<std::string> stopCallTrace();

// What happens at the armed position.
enum class CallFault {
    Fail,        // the call returns the given HRESULT as failMethod makes it (a failure: no effect and out
                 // pointers null; a success code: the call works and returns it); at an AddRef or Release
                 // position, which cannot report a failure, nothing happens and the fault counts as not
                 // applied
    Raise,       // the call raises an access violation as raiseInMethod makes it (counted first, no lock
                 // held)
    ReportLoss,  // before the call does its work, every live client's connection state becomes 0 and
                 // OnClientStateChanged(0) is called on every advised sink from a new simulator thread, as
                 // raiseClientStateChanged(0) does; the call waits for those sink calls to return, at most
                 // delayMs (0: not at all), so that a sink blocked on a lock the caller holds cannot hang
                 // the sweep, then does its work as usual (a Connect connects as usual)
    Delay,       // the call waits delayMs before it does its work (after it is counted and its faults of
                 // the table are looked up; a fault of failMethod still applies after the wait)
};
// Arms one fault at traced call `position` counted from now (0: the next traced call), whether or not a
// trace is being recorded; replaces a fault armed before, and forgets where an earlier one was applied.
// One shot: the fault disarms at its position, whether it applied there or not (Fail at AddRef or
// Release). At its position it takes the place of a failMethod or raiseInMethod fault of that method for
// that call (Fail, Raise) or comes before it (ReportLoss, Delay). Throws std::invalid_argument for a
// negative position and std::runtime_error as startCallTrace does.
void armCallFault(int position, CallFault kind, HRESULT hr = E_FAIL, unsigned delayMs = 0);
// The method at whose call the armed fault was applied (or is being applied); nullopt before it has
// been, and when its position held an AddRef or Release that a Fail does not apply to. Kept after
// clearFaults, forgotten by the next armCallFault and by resetSite.
std::optional<std::string> appliedCallFault();
// Waits until the armed fault is being applied or has been: for Fail and Raise, until its call has
// reached it; for Delay, until its call is waiting out the delay; for ReportLoss, until the connection
// states are 0 and the report's thread has started (its sink calls may not have begun). False after
// timeoutMs, and at once when nothing is armed (none was, clearFaults or resetSite disarmed it, or it
// passed its position without applying).
bool waitForCallFault(unsigned timeoutMs = 5000);

}  // namespace sim
