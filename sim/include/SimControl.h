// Control API of the simulated access-control client. The simulator is an in-process COM server that
// stands in for the vendor's client library: tests link the static library `sipass_sim`, register its
// class factories in-process and then drive and inspect the simulated site through the functions below.
// The shared library SiPassSim.dll exposes the same classes through DllGetClassObject and regsvr32.
//
// Every function here is thread-safe. None of them calls into a sink or another foreign object while
// holding the simulator's lock; only raiseClientStateChanged calls sinks, from a thread of its own.
//
// The default site (what resetSite restores, and what a process starts with):
//   accounts (user names and passwords compare exactly, case included)
//     "operator"       password "sipass"
//     "Administrator"  password "secret"
//   named objects for IComClient::GetByID (type, id, name)
//     6,   1  "Haupteingang"
//     6,   2  "Tür Süd"          (u-umlaut, U+00FC: a non-ASCII Latin-1 letter)
//     6,   3  "Lager"
//     7, 101  "Controller Halle 1"
//     7, 102  "Controller Halle 2"
//   the initial event mask of new clients is 0; no faults, call counts or sent commands.
//
// Behaviour worth knowing when writing a test against the simulator:
//   - A rejected Connect leaves the client's connection as it was.
//   - SendManualCommand and GetByID need a connected client (E_SIM_NOT_CONNECTED otherwise): a command
//     sent without a connection never reaches the site, so it is neither recorded nor reported as sent.
//   - SendManualCommand accepts only commands created from the simulator's CLSID_ManualCommand class
//     (E_INVALIDARG for another implementation), since IManualCommand has no getters to read one from.
//   - raiseClientStateChanged also sets the connection state of every live client to the raised state, so
//     that get_ConnectionState agrees with the event a sink has just received.
//   - Cookies of IConnectionPoint::Advise are unique over all clients of the process.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Connect with an unknown user or a wrong password.
constexpr HRESULT E_SIM_LOGIN_REJECTED = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x201);
// GetByID for a (type, id) the site does not have.
constexpr HRESULT E_SIM_NO_OBJECT = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x202);
// SendManualCommand or GetByID on a client that is not connected.
constexpr HRESULT E_SIM_NOT_CONNECTED = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x203);

// Registers the class factories of CLSID_ComClient and CLSID_ManualCommand with CoRegisterClassObject
// (CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE). The caller has initialised COM. S_FALSE when they are
// registered already; on failure nothing stays registered.
HRESULT registerClassObjects();
// Revokes what registerClassObjects registered; harmless when nothing is registered.
void revokeClassObjects();

// Live COM objects of the simulator: clients, manual commands and the objects GetByID returned. Class
// factories are not counted.
long liveObjects();

// Restores the default site and accounts, clears faults, call counts and sent commands, and sets the
// initial event mask back to 0. Live clients keep their connection state, mask and sinks.
void resetSite();
// Adds an account, or replaces the password of an existing user (exact, case-sensitive user name).
void addAccount(const std::wstring& user, const std::wstring& password);
// Adds a named object for GetByID, or renames the object of that (type, id).
void addObject(long type, long id, const std::wstring& name);
// Event mask that clients created from now on start with.
void setInitialEventMask(long mask);

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

struct ClientSnapshot {
    long connectionState;
    long eventMask;
    int advisedSinks;
    std::wstring user;  // account of the last successful Connect; empty after Disconnect or before one
};
// Live client objects, in creation order.
std::vector<ClientSnapshot> clients();
// Advised sinks over all live clients.
int advisedSinkCount();

struct SentCommand {
    long objectId;
    long objectType;
    long command;
    std::wstring text;
};
// Commands accepted by SendManualCommand, oldest first.
std::vector<SentCommand> sentCommands();

// Calls OnClientStateChanged(state) on every advised sink of every live client (clients in creation
// order, sinks in the order they were advised), from a new simulator thread that joins the MTA. Returns
// true once every call has returned; false when they have not after timeoutMs, in which case the thread
// finishes on its own later (the DLL stays loaded until it has).
bool raiseClientStateChanged(long state, unsigned timeoutMs = 5000);

// ---- Events --------------------------------------------------------------------------------------------

// One event object as the client hands it to OnEvent. It answers the interfaces whose flag is set (any
// combination, none included), and every getter of those interfaces reads the fields below. A getter
// named in failingGetters (for example "get_State") returns that HRESULT instead, with its out value
// untouched. Getter calls are counted for callCount under "IEventFields::get_Type" and the like for the
// shared getters, "IObjectState::get_State" for the object fields and "IAccessEvent::get_FirstName" for
// the cardholder fields.
struct EventObject {
    bool accessEvent = false;
    bool objectState = false;
    bool genericEvent = false;
    long eventId = 0;
    long type = 0;
    long subType = 0;
    DATE timestamp = 0;   // local time base, as the real client delivers it
    DATE serverTime = 0;
    std::optional<std::wstring> location;     // nullopt: the getter returns a null BSTR
    std::optional<std::wstring> description;
    long objectId = 0;
    long objectType = 0;
    long state = 0;
    long stateType = 0;
    std::optional<std::wstring> cardNumber;
    std::optional<std::wstring> firstName;
    std::optional<std::wstring> lastName;
    std::map<std::string, HRESULT> failingGetters;
};

// One element of the array of an OnEvent call.
struct EventElement {
    enum class Kind { Object, NullUnknown, Bstr, Empty, Dispatch, UnknownWithoutEvents };
    Kind kind = Kind::Object;
    EventObject event;  // for Kind::Object
};

// The array of one OnEvent call, well-formed unless a flag says otherwise.
struct EventBatch {
    std::vector<EventElement> elements;
    bool withoutVarType = false;  // FADF_HAVEVARTYPE cleared
    bool twoDimensions = false;   // the elements laid out as n x 1
    bool nullArray = false;       // OnEvent(nullptr)
};

// Calls OnEvent with the batch on every advised sink of every live client, from a new simulator thread
// that joins the MTA; true once every call has returned, false after timeoutMs.
bool deliverEvents(const EventBatch& batch, unsigned timeoutMs = 5000);
// A batch of one event object.
bool deliverEvent(const EventObject& event, unsigned timeoutMs = 5000);

// The current local time as an OLE automation date, whole seconds: the time base of event timestamps.
DATE localNow();

}  // namespace sim
