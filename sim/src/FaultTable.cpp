// The fault table: counts the calls of every method of every simulator object and applies the faults a
// test injected for them, by method name or by position in the sequence of traced calls; the call trace;
// and the control API of both (SimFaults.h).
#include "FaultTable.h"

#include "LiveClients.h"
#include "SimRuntime.h"
#include "SiteModelObjects.h"

#include "client/ClientInterfaces.h"

#include <ocidl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string_view>

namespace sim::detail {

namespace {

// Methods a test may name. QueryInterface names are checked by their form instead, since they carry an
// interface.
constexpr const char* kMethods[] = {
    "IUnknown::AddRef",
    "IUnknown::Release",
    "IComClient::get_ConnectionState",
    "IComClient::get_EventMask",
    "IComClient::put_EventMask",
    "IComClient::Connect",
    "IComClient::Disconnect",
    "IComClient::SendManualCommand",
    "IComClient::GetByID",
    "IComClient::GetByType",
    "IComClient::reserved11",
    "IComClient::GetRelatives",
    "IConnectionPointContainer::EnumConnectionPoints",
    "IConnectionPointContainer::FindConnectionPoint",
    "IConnectionPoint::GetConnectionInterface",
    "IConnectionPoint::GetConnectionPointContainer",
    "IConnectionPoint::Advise",
    "IConnectionPoint::Unadvise",
    "IConnectionPoint::EnumConnections",
    "IManualCommand::reserved3",
    "IManualCommand::put_ObjectID",
    "IManualCommand::reserved5",
    "IManualCommand::put_ObjectType",
    "IManualCommand::reserved7",
    "IManualCommand::put_Command",
    "IManualCommand::reserved9",
    "IManualCommand::put_Text",
    "IGeneric::reserved3",
    "IGeneric::reserved4",
    "IGeneric::reserved5",
    "IGeneric::get_name",
    "IEventFields::get_Type",
    "IEventFields::get_SubType",
    "IEventFields::get_Timestamp",
    "IEventFields::get_ServerTime",
    "IEventFields::get_Description",
    "IEventFields::get_Location",
    "IEventFields::get_EventID",
    "IEventFields::reserved10",
    "IObjectState::get_ObjectID",
    "IObjectState::get_ObjectType",
    "IObjectState::get_State",
    "IObjectState::get_StateType",
    "IAccessEvent::get_CardNumber",
    "IAccessEvent::reserved16",
    "IAccessEvent::reserved17",
    "IAccessEvent::get_FirstName",
    "IAccessEvent::get_LastName",
    "IClassFactory::AddRef",
    "IClassFactory::Release",
    "IClassFactory::CreateInstance",
    "IClassFactory::LockServer",
};

bool isQueryInterface(std::string_view method, std::string_view prefix) {
    return method.size() > prefix.size() + 1 && method.substr(0, prefix.size()) == prefix &&
           method.back() == ')';
}

bool isKnownMethod(std::string_view method) {
    for (const char* known : kMethods) {
        if (method == known) {
            return true;
        }
    }
    return isSiteMethod(method) || isQueryInterface(method, "IUnknown::QueryInterface(") ||
           isQueryInterface(method, "IClassFactory::QueryInterface(");
}

void requireKnownMethod(const std::string& method) {
    if (!isKnownMethod(method)) {
        throw std::invalid_argument("simulator has no method named \"" + method + "\"");
    }
}

struct MethodEntry {
    enum class Fault { None, Fail, Raise };
    int calls = 0;
    Fault fault = Fault::None;
    HRESULT hr = S_OK;
    Raise what = Raise::AccessViolation;
    int remaining = -1;  // calls the fault still applies to; -1 for every call
};

// Guarded by faultMutex(). std::less<> lets enter() look a name up without building a std::string.
std::map<std::string, MethodEntry, std::less<>>& methodTable() {
    static auto* const table = new std::map<std::string, MethodEntry, std::less<>>;
    return *table;
}

std::mutex& faultMutex() {
    static auto* const mutex = new std::mutex;
    return *mutex;
}

// The simulator's own threads carry a non-null value in this slot. A Windows TLS slot rather than
// thread_local, which takes a heap block per thread on this toolchain; every host thread's call reads it
// while a trace or a call fault is on. Never freed: a simulator thread may still be ending at process exit.
DWORD simulatorThreadSlot() {
    static const DWORD slot = ::TlsAlloc();
    return slot;
}

bool onSimulatorThread() {
    const DWORD slot = simulatorThreadSlot();
    return slot != TLS_OUT_OF_INDEXES && ::TlsGetValue(slot) != nullptr;
}

void requireThreadSlot() {
    if (simulatorThreadSlot() == TLS_OUT_OF_INDEXES) {
        throw std::runtime_error("call tracing needs a thread-local slot, and none was left");
    }
}

// The call trace and the fault armed for a position (armCallFault). Guarded by faultMutex().
struct CallPlan {
    enum class Stage { None, Armed, Applied, Skipped };
    bool tracing = false;
    std::vector<std::string> trace;
    Stage stage = Stage::None;
    int remaining = 0;  // traced calls still to pass before the armed one
    CallFault kind = CallFault::Fail;
    HRESULT hr = E_FAIL;
    unsigned delayMs = 0;
    std::optional<std::string> appliedAt;
    bool started = false;        // the applied fault is under way (waitForCallFault)
    unsigned long long era = 0;  // grows with each arm and disarm, so that a Delay in progress ends
};

CallPlan& callPlan() {
    static auto* const plan = new CallPlan;
    return *plan;
}

// Notified when an armed fault starts or passes its position, when a fault is armed or disarmed, and when
// a call is counted while a thread waits for a count (waitForCallCount). Used with faultMutex().
std::condition_variable& callPlanChanged() {
    static auto* const changed = new std::condition_variable;
    return *changed;
}

// Threads in waitForCallCount; only while there are any does counting a call notify. Guarded by
// faultMutex().
int g_countWaiters = 0;

// AddRef and Release return a count, not an HRESULT: a Fail has nothing to return there.
bool reportsNoFailure(std::string_view method) {
    const auto endsWith = [method](std::string_view tail) {
        return method.size() >= tail.size() && method.substr(method.size() - tail.size()) == tail;
    };
    return endsWith("::AddRef") || endsWith("::Release");
}

// What enter() does for the armed fault, decided under faultMutex() and carried out without it.
struct PositionFault {
    bool applies = false;
    CallFault kind = CallFault::Fail;
    HRESULT hr = S_OK;
    unsigned delayMs = 0;
    unsigned long long era = 0;
};

// Records a traced call and takes the armed fault when this call holds its position. REQUIRES:
// faultMutex() held, the call made on a thread not of the simulator's own.
PositionFault takeTracedCallLocked(CallPlan& plan, const char* method) {
    if (plan.tracing) {
        try {
            plan.trace.emplace_back(method);
        } catch (const std::bad_alloc&) {
            // Out of memory in the simulator itself: the trace misses this call.
        }
    }
    PositionFault taken;
    if (plan.stage != CallPlan::Stage::Armed || plan.remaining-- > 0) {
        return taken;
    }
    if (plan.kind == CallFault::Fail && reportsNoFailure(method)) {
        plan.stage = CallPlan::Stage::Skipped;
        callPlanChanged().notify_all();
        return taken;
    }
    plan.stage = CallPlan::Stage::Applied;
    try {
        plan.appliedAt = method;
    } catch (const std::bad_alloc&) {
        plan.appliedAt.reset();
    }
    // A ReportLoss starts when its report's thread does.
    plan.started = plan.kind != CallFault::ReportLoss;
    callPlanChanged().notify_all();
    taken.applies = true;
    taken.kind = plan.kind;
    taken.hr = plan.hr;
    taken.delayMs = plan.delayMs;
    taken.era = plan.era;
    return taken;
}

// Disarms a fault not applied yet and ends a Delay in progress. REQUIRES: faultMutex() held.
void disarmLocked(CallPlan& plan) {
    if (plan.stage == CallPlan::Stage::Armed) {
        plan.stage = CallPlan::Stage::None;
    }
    ++plan.era;
    callPlanChanged().notify_all();
}

// Waits out a Delay; disarming or arming again ends it early. REQUIRES: no simulator lock held.
void waitOutCallDelay(const PositionFault& fault) {
    std::unique_lock<std::mutex> lock(faultMutex());
    const CallPlan& plan = callPlan();
    callPlanChanged().wait_for(lock, std::chrono::milliseconds(fault.delayMs),
                               [&] { return plan.era != fault.era; });
}

// ReportLoss: the report, and a wait of at most delayMs for its sink calls. REQUIRES: no simulator lock
// held.
void reportLossAtCall(const PositionFault& fault) {
    try {
        reportConnectionLoss(fault.delayMs, [era = fault.era] {
            {
                std::lock_guard<std::mutex> lock(faultMutex());
                CallPlan& plan = callPlan();
                if (plan.era == era) {
                    plan.started = true;
                }
            }
            callPlanChanged().notify_all();
        });
    } catch (...) {
        // No thread for the report (out of memory or threads): the call goes on without one.
    }
}

// Held in a volatile global so the compiler has to perform the write and cannot prove it undefined.
volatile int* volatile g_nullTarget = nullptr;

constexpr DWORD kMsvcExceptionCode = 0xE06D7363;
constexpr ULONG_PTR kMsvcMagic = 0x19930520;

__attribute__((noinline)) void raiseStructured(Raise what) {
    if (what == Raise::AccessViolation) {
        *g_nullTarget = 0x5151;
        return;
    }
    // The parameters _CxxThrowException passes: magic, object, throw info and, on 64-bit, the image base
    // the throw info is relative to. There is no C++ object behind this exception.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&raiseStructured), &self);
    const ULONG_PTR parameters[] = {kMsvcMagic, 0, 0, reinterpret_cast<ULONG_PTR>(self)};
    const DWORD count = sizeof(void*) == 8 ? 4 : 3;
    RaiseException(kMsvcExceptionCode, EXCEPTION_NONCONTINUABLE, count, parameters);
}

struct InterfaceName {
    const IID& iid;
    const char* name;
};

const InterfaceName kInterfaceNames[] = {
    {IID_IUnknown, "IUnknown"},
    {__uuidof(IComClient), "IComClient"},
    {IID_IConnectionPointContainer, "IConnectionPointContainer"},
    {IID_IConnectionPoint, "IConnectionPoint"},
    {__uuidof(_ICOMClientEvents), "_ICOMClientEvents"},
    {__uuidof(IManualCommand), "IManualCommand"},
    {__uuidof(IGeneric), "IGeneric"},
    {__uuidof(IDevice), "IDevice"},
    {__uuidof(IPoint), "IPoint"},
    {__uuidof(IDoorSet), "IDoorSet"},
    {__uuidof(IGenericEvent), "IGenericEvent"},
    {__uuidof(IObjectState), "IObjectState"},
    {__uuidof(IAccessEvent), "IAccessEvent"},
    {IID_IClassFactory, "IClassFactory"},
    {IID_IDispatch, "IDispatch"},
    {IID_IMarshal, "IMarshal"},
    {IID_INoMarshal, "INoMarshal"},
    {IID_IAgileObject, "IAgileObject"},
    {IID_IProvideClassInfo, "IProvideClassInfo"},
    {IID_IExternalConnection, "IExternalConnection"},
    {IID_IStdMarshalInfo, "IStdMarshalInfo"},
};

}  // namespace

HRESULT enter(const char* method) {
    MethodEntry::Fault fault = MethodEntry::Fault::None;
    HRESULT injected = S_OK;
    Raise what = Raise::AccessViolation;
    PositionFault positional;
    {
        std::lock_guard<std::mutex> lock(faultMutex());
        CallPlan& plan = callPlan();
        if ((plan.tracing || plan.stage == CallPlan::Stage::Armed) && !onSimulatorThread()) {
            positional = takeTracedCallLocked(plan, method);
        }
        auto& table = methodTable();
        auto found = table.find(method);
        if (found == table.end()) {
            found = table.emplace(method, MethodEntry{}).first;
        }
        MethodEntry& entry = found->second;
        ++entry.calls;
        if (g_countWaiters > 0) {
            callPlanChanged().notify_all();
        }
        if (entry.fault != MethodEntry::Fault::None) {
            fault = entry.fault;
            injected = entry.hr;
            what = entry.what;
            if (entry.remaining > 0 && --entry.remaining == 0) {
                entry.fault = MethodEntry::Fault::None;
            }
        }
    }
    if (positional.applies) {
        switch (positional.kind) {
            case CallFault::Fail:
                return positional.hr;
            case CallFault::Raise:
                raiseStructured(Raise::AccessViolation);
                return E_UNEXPECTED;  // only reached when a handler resumed after the access violation
            case CallFault::ReportLoss:
                reportLossAtCall(positional);
                break;
            case CallFault::Delay:
                waitOutCallDelay(positional);
                break;
        }
    }
    if (fault == MethodEntry::Fault::Raise) {
        raiseStructured(what);
        return E_UNEXPECTED;  // only reached when a handler resumed after the access violation
    }
    return fault == MethodEntry::Fault::Fail ? injected : S_OK;
}

HRESULT enterQueryInterface(REFIID iid, const char* owner) {
    // Formatted into a fixed buffer: a raise leaves no object behind that would need destroying.
    char method[96];
    const char* name = nullptr;
    for (const auto& known : kInterfaceNames) {
        if (IsEqualIID(iid, known.iid)) {
            name = known.name;
            break;
        }
    }
    if (name != nullptr) {
        // Pieces copied rather than formatted: a query is the most frequent call an event makes, and its
        // bookkeeping should cost what the bookkeeping of any other method costs.
        const size_t ownerLength = std::strlen(owner), nameLength = std::strlen(name);
        static const char kQuery[] = "::QueryInterface(";
        if (ownerLength + sizeof kQuery + nameLength + 1 > sizeof method) {
            return enter("QueryInterface");
        }
        char* end = std::copy(owner, owner + ownerLength, method);
        end = std::copy(kQuery, kQuery + sizeof kQuery - 1, end);
        end = std::copy(name, name + nameLength, end);
        *end++ = ')';
        *end = '\0';
    } else {
        std::snprintf(method, sizeof method,
                      "%s::QueryInterface({%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X})", owner,
                      static_cast<unsigned long>(iid.Data1), iid.Data2, iid.Data3, iid.Data4[0], iid.Data4[1],
                      iid.Data4[2], iid.Data4[3], iid.Data4[4], iid.Data4[5], iid.Data4[6], iid.Data4[7]);
    }
    return enter(method);
}

void markSimulatorThread() {
    const DWORD slot = simulatorThreadSlot();
    if (slot != TLS_OUT_OF_INDEXES) {
        ::TlsSetValue(slot, reinterpret_cast<void*>(1));
    }
}

void resetFaultTable() {
    std::lock_guard<std::mutex> lock(faultMutex());
    methodTable().clear();
    CallPlan& plan = callPlan();
    disarmLocked(plan);
    plan.stage = CallPlan::Stage::None;
    plan.tracing = false;
    plan.trace.clear();
    plan.appliedAt.reset();
    plan.started = false;
}

}  // namespace sim::detail

namespace sim {

using detail::CallPlan;
using detail::MethodEntry;

namespace {

void setFault(const std::string& method, MethodEntry::Fault fault, HRESULT hr, Raise what, int times) {
    detail::requireKnownMethod(method);
    std::lock_guard<std::mutex> lock(detail::faultMutex());
    MethodEntry& entry = detail::methodTable()[method];
    entry.fault = fault;
    entry.hr = hr;
    entry.what = what;
    entry.remaining = times;
}

void requireFailable(const std::string& method) {
    if (method == "IUnknown::AddRef" || method == "IUnknown::Release" || method == "IClassFactory::AddRef" ||
        method == "IClassFactory::Release") {
        throw std::invalid_argument(method + " cannot return a failure; use raiseInMethod");
    }
}

}  // namespace

void failMethod(const std::string& method, HRESULT hr) {
    requireFailable(method);
    setFault(method, MethodEntry::Fault::Fail, hr, Raise::AccessViolation, -1);
}

void failMethodNext(const std::string& method, HRESULT hr, int times) {
    requireFailable(method);
    if (times < 1) {
        throw std::invalid_argument("failMethodNext needs a positive number of calls");
    }
    setFault(method, MethodEntry::Fault::Fail, hr, Raise::AccessViolation, times);
}

void raiseInMethod(const std::string& method, Raise what) {
    setFault(method, MethodEntry::Fault::Raise, S_OK, what, -1);
}

void clearFaults() {
    std::lock_guard<std::mutex> lock(detail::faultMutex());
    for (auto& [name, entry] : detail::methodTable()) {
        entry.fault = MethodEntry::Fault::None;
    }
    CallPlan& plan = detail::callPlan();
    detail::disarmLocked(plan);
    plan.tracing = false;
}

void startCallTrace() {
    detail::requireThreadSlot();
    std::lock_guard<std::mutex> lock(detail::faultMutex());
    CallPlan& plan = detail::callPlan();
    plan.trace.clear();
    plan.tracing = true;
}

std::vector<std::string> stopCallTrace() {
    std::lock_guard<std::mutex> lock(detail::faultMutex());
    CallPlan& plan = detail::callPlan();
    plan.tracing = false;
    std::vector<std::string> names;
    names.swap(plan.trace);
    return names;
}

void armCallFault(int position, CallFault kind, HRESULT hr, unsigned delayMs) {
    if (position < 0) {
        throw std::invalid_argument("armCallFault needs a position of 0 or more");
    }
    detail::requireThreadSlot();
    std::lock_guard<std::mutex> lock(detail::faultMutex());
    CallPlan& plan = detail::callPlan();
    detail::disarmLocked(plan);
    plan.stage = CallPlan::Stage::Armed;
    plan.remaining = position;
    plan.kind = kind;
    plan.hr = hr;
    plan.delayMs = delayMs;
    plan.appliedAt.reset();
    plan.started = false;
}

std::optional<std::string> appliedCallFault() {
    std::lock_guard<std::mutex> lock(detail::faultMutex());
    return detail::callPlan().appliedAt;
}

bool waitForCallFault(unsigned timeoutMs) {
    std::unique_lock<std::mutex> lock(detail::faultMutex());
    const CallPlan& plan = detail::callPlan();
    const auto settled = [&] {
        return plan.stage != CallPlan::Stage::Armed &&
               (plan.stage != CallPlan::Stage::Applied || plan.started);
    };
    detail::callPlanChanged().wait_for(lock, std::chrono::milliseconds(timeoutMs), settled);
    return plan.stage == CallPlan::Stage::Applied && plan.started;
}

int callCount(const std::string& method) {
    detail::requireKnownMethod(method);
    std::lock_guard<std::mutex> lock(detail::faultMutex());
    const auto& table = detail::methodTable();
    const auto found = table.find(method);
    return found == table.end() ? 0 : found->second.calls;
}

bool waitForCallCount(const std::string& method, int count, unsigned timeoutMs) {
    detail::requireKnownMethod(method);
    std::unique_lock<std::mutex> lock(detail::faultMutex());
    const auto& table = detail::methodTable();
    ++detail::g_countWaiters;
    const bool reached = detail::callPlanChanged().wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        const auto found = table.find(method);
        return found != table.end() && found->second.calls >= count;
    });
    --detail::g_countWaiters;
    return reached;
}

}  // namespace sim
