// Control API of the simulated access-control client. The simulator is an in-process COM server that
// stands in for the vendor's client library: tests link the static library `sipass_sim`, register its
// class factories in-process and then drive and inspect the simulated site through the functions below.
// The shared library SiPassSim.dll exposes the same classes through DllGetClassObject and regsvr32.
//
// Every function here is thread-safe. None of them calls into a sink or another foreign object while
// holding the simulator's lock; sinks are called only from threads of the simulator's own
// (raiseClientStateChanged, deliverEvents, the events of manual commands, the reports of server outages
// and of a call fault's lost connection), unless a test asks for the events of manual commands on the thread
// that sends them (setCommandEventDelivery).
//
// The default site (what resetSite restores, and what a process starts with):
//   accounts (user names and passwords compare exactly, case included)
//     "operator"       password "sipass"
//     "Administrator"  password "secret"
//   devices, door sets and points: see "Doors and points" below (devices 1 "Haupteingang",
//     2 "Tür Süd" (u-umlaut, U+00FC: a non-ASCII Latin-1 letter), 3 "Lager" answer GetByID(6, id))
//   named objects for IComClient::GetByID (type, id, name)
//     7, 101  "Controller Halle 1"
//     7, 102  "Controller Halle 2"
//   cardholders of the event generator (first name, last name, card number), with Latin letters beyond
//   ASCII and Greek, Cyrillic and CJK ones, so that a host sees what becomes of letters outside its code
//   page:
//     Jürgen Müller 000123456      Anna Schmidt 000123457       René François 000200311
//     Zoë Åberg 000200312          Γιώργος Παπαδόπουλος 000300101
//     Анна Смирнова 000300102      小明 王 000300103 (first name 小明, family name 王)
//   no seed of its own for the event generator (a fresh one each start, see startEventGenerator).
//   the initial event mask of new clients is 0; no faults, call counts or sent commands.
//
// Behaviour worth knowing when writing a test against the simulator:
//   - A rejected Connect leaves the client's connection as it was.
//   - SendManualCommand, GetByID, GetByType and GetRelatives need a connected client and an online server
//     (E_SIM_NOT_CONNECTED otherwise): a command sent without a connection never reaches the site, so it is
//     neither recorded nor reported as sent.
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
// GetByID, GetRelatives or SendManualCommand for a (type, id) the site does not have.
constexpr HRESULT E_SIM_NO_OBJECT = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x202);
// SendManualCommand or GetByID on a client that is not connected.
constexpr HRESULT E_SIM_NOT_CONNECTED = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x203);
// SendManualCommand refusals (see "Manual commands" below): an object type other than 6 (device) and
// 7 (point); a code the command table does not have; a point whose role does not take the command, or a
// device none of whose points does.
constexpr HRESULT E_SIM_UNKNOWN_OBJECT_TYPE = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x204);
constexpr HRESULT E_SIM_UNKNOWN_COMMAND = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x205);
constexpr HRESULT E_SIM_COMMAND_NOT_FOR_ROLE = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x206);

// Registers the class factories of CLSID_ComClient and CLSID_ManualCommand with CoRegisterClassObject
// (CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE). The caller has initialised COM. S_FALSE when they are
// registered already; on failure nothing stays registered.
HRESULT registerClassObjects();
// Revokes what registerClassObjects registered; harmless when nothing is registered.
void revokeClassObjects();

// Live COM objects of the simulator: clients, manual commands and the objects GetByID returned. Class
// factories are not counted.
long liveObjects();

// Restores the default site and accounts, clears faults, call counts and sent commands, sets the
// initial event mask back to 0, delivers the events of manual commands from their thread again and turns
// serialised requests off (see "Delivery and requests" below). Brings the server online without a report,
// sets clients to stay disconnected after an outage and the connect delay to 0 (see "Server outages"
// below): a client that lost its connection to an outage stays disconnected. Live clients keep their
// connection state, mask and sinks.
void resetSite();
// Replaces the site with a site file's (docs/site-format.md): accounts, named objects, cardholders, the
// event generator's seed, devices and points, whether clients reconnect by themselves after an outage, and
// the timeline of scripted events and outages, which plays from its start when a client connects. Faults
// stay. A timeline that is stopped during one of its outages (by resetSite, loadSiteFile, or when no client
// is left) ends that outage as its end would have, under the reconnect option in force then. A file that
// cannot be read or is wrong throws std::runtime_error whose what() names the file, the line and what is
// wrong; the site is then unchanged. resetSite restores the default site and drops the timeline. The
// registered DLL loads the file named by the environment variable SIPASS_SIM_SITE when a client is created
// (once per process and file).
void loadSiteFile(const std::wstring& path);
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
// Waits until exactly `count` sinks are advised over all live clients; false after timeoutMs.
bool waitForAdvisedSinks(int count, unsigned timeoutMs = 5000);

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

// ---- Doors and points ----------------------------------------------------------------------------------
//
// The site model: devices in a fixed order, each with its door sets, and points by id. A door set names
// its five points by id (0: the door has no such point). Every object the client hands out is a
// snapshot: changing the site later does not change an object already handed out.
//
// What the client answers (all of it needs a connected client, E_SIM_NOT_CONNECTED otherwise):
//   GetByType(6, 0)            a one-dimensional SAFEARRAY of VARIANT (as SafeArrayCreateVector(VT_VARIANT)
//                              makes it, FADF_HAVEVARTYPE set), one VT_UNKNOWN element per device in the
//                              order added; the element answers IDevice and IGeneric. Other types: E_NOTIMPL.
//   IDevice::GetDoorSets       the same kind of array, one element per door set, answering IDoorSet.
//   GetByID(6, id)             the device (IDevice, IGeneric); GetByID(7, id) the point (IPoint and
//                              IGeneric, both getters giving its name). Site devices and points come first;
//                              any other (type, id) is looked up among the named objects of addObject.
//   GetRelatives(7, id, 2, 0)  a one-element array whose element is the point's state object
//                              (IObjectState): State, StateType, ServerTime, Location, Description of the
//                              point; ObjectID the point id, ObjectType 7, Type 11, SubType 7006, Timestamp
//                              equal to ServerTime, EventID 0. Another type or relation: E_NOTIMPL.
//   An id the site does not have: E_SIM_NO_OBJECT (GetByID, GetRelatives).
//
// Fault injection. The fault table applies to every site object under these names: "IDevice::get_ID",
// "IDevice::get_Name", "IDevice::GetDoorSets", "IDevice::reserved3" (4, 7), "IDoorSet::get_DoorNumber",
// "IDoorSet::get_Reader1" (Reader2, DoorFrame, Passback, Latch), "IPoint::get_Name", "IPoint::reserved3"
// (4, 5; a slot IPoint and IDevice share with IGeneric counts under the IPoint or IDevice name),
// "IGeneric::get_name", and for state objects the event getters' names ("IObjectState::get_State",
// "IEventFields::get_ServerTime", ...). To fail one object only, name its getter without the interface in
// the site value's failingGetters ("get_Reader2"): the call is counted, then returns that HRESULT with a
// BSTR or SAFEARRAY out value set to null and a number left untouched.
//
// Point roles. A point's role is the slot of the door set that names it: reader (reader 1 or reader 2),
// door frame (the door contact), passback or latch. A point that no door set names has no role; one that
// several door sets name (only the control API can build that; a site file may not) has the role of the
// first, devices and door sets in their order. The role decides which commands a point takes and which
// events the event generator raises at it (see "Events").
//
// Manual commands change the site. SendManualCommand checks a command, once the client is connected, in
// this order and refuses it with the first that applies: an object type other than 7 (point) and 6
// (device), E_SIM_UNKNOWN_OBJECT_TYPE; a code the table below does not have, E_SIM_UNKNOWN_COMMAND; an id
// the site has no point or device of, E_SIM_NO_OBJECT; a point whose role does not take the code, or a
// device none of whose points does, E_SIM_COMMAND_NOT_FOR_ROLE. A refused command changes nothing, is not
// recorded (sentCommands) and raises no event. An accepted one is recorded and changes the states of its
// target points: a point target is that point, a device target stands for every point of its door sets
// whose role takes the code (doors in order, within a door reader 1, reader 2, door frame, passback,
// latch).
//
//   code  command            taken by                         new state of each target point
//   1     lock               latch                            4000 eLocked, 0
//   2     unlock             latch                            4001 eUnlocked, 0
//   3     momentary unlock   latch                            4001 eUnlocked, 0, then at once 4000 eLocked, 0
//                                                             (two events; ends locked)
//   4     secure             reader                           2022 eDoorSecured, 0
//   5     free               reader                           2021 eDoorFree, 0
//   6     reset alarm        reader, door frame, passback     a point in alarm: state code kept, state type
//                                                             0; a point not in alarm: no change, no event
//
// Each change sets the point's server time to the current local time (whole seconds) and, when any sink
// is advised at that moment, raises one object-state event (EventObject with objectState set: Type 11,
// SubType 7006, EventID counting from 1 since resetSite, ObjectID the point id, ObjectType 7, the new
// State and StateType, Timestamp and ServerTime the time of the change, the point's Location and
// Description). By default the events are delivered in order with deliverEvent from a simulator thread
// of their own, and SendManualCommand returns without waiting for them; setCommandEventDelivery can have
// them delivered on the calling thread before SendManualCommand returns.
//
// Location and Description: every event at a point (an object-state event of a command, an event of the
// event generator) and every state object of GetRelatives carries the point's Location and Description as
// the site holds them. In the default site and the example site files a point's Location names its door
// and its Description its role.
//
// The default demo site (what resetSite restores):
//   device 1 "Haupteingang"  doors 1, 2        device 2 "Tür Süd"  doors 1, 2, 3
//   device 3 "Lager"         doors 1, 2
// Point ids are device * 1000 + door * 10 + k, k = 1 reader 1, 2 reader 2, 3 door frame, 4 passback,
// 5 latch ("Tür Süd" door 2: 2021 .. 2025). Doors of "Lager" have no reader 2; only door 1 of
// "Haupteingang" and door 1 of "Tür Süd" have a passback point (28 points in all).
// Names read "<device> Tür <n> <role>" with the roles "Leser außen", "Leser innen", "Türkontakt",
// "Passback-Überwachung", "Schließriegel"; Location is the door, "<device> Tür <n>", Description the role.
// States: readers 2026 eReaderOnline, door frames 3004 eDoorClosed, passback 3001 ePointNormal, latches
// 4000 eLocked, state type 0, with three exceptions: the latch of "Haupteingang" door 1 is 4001
// eUnlocked, reader 1 of "Tür Süd" door 3 is 2025 eReaderOffline in alarm (1), the door frame of "Lager"
// door 2 is 3005 eDoorHeld in alarm (1). Every server time is 2024-03-01 07:30:00.

// Command codes of the simulated site.
constexpr long kCommandLock = 1;
constexpr long kCommandUnlock = 2;
constexpr long kCommandMomentaryUnlock = 3;
constexpr long kCommandSecure = 4;
constexpr long kCommandFree = 5;
constexpr long kCommandResetAlarm = 6;

// How an array of the client is shaped; anything but Normal is malformed on purpose.
enum class ArrayForm {
    Normal,
    NullArray,        // the call succeeds and returns a null SAFEARRAY*
    Empty,            // a well-formed array of no elements
    WithoutVarType,   // FADF_HAVEVARTYPE cleared
    TwoDimensions,    // the elements laid out as n x 1
    UnknownElements,  // a SAFEARRAY of VT_UNKNOWN instead of VARIANTs
};

// What one element of such an array holds.
enum class ElementForm {
    Object,       // VT_UNKNOWN with the object
    NullUnknown,  // VT_UNKNOWN with a null pointer
    Bstr,         // VT_BSTR
    Empty,        // VT_EMPTY
    Foreign,      // VT_UNKNOWN with an object that answers IUnknown only
};

struct SiteDoorSet {
    long doorNumber = 0;
    long reader1 = 0;
    long reader2 = 0;
    long doorFrame = 0;
    long passback = 0;
    long latch = 0;
    ElementForm element = ElementForm::Object;  // its element in the door-set array
    std::map<std::string, HRESULT> failingGetters;
};

struct SiteDevice {
    long id = 0;
    std::optional<std::wstring> name;  // nullopt: get_Name returns a null BSTR
    std::vector<SiteDoorSet> doorSets;
    ArrayForm doorSetArray = ArrayForm::Normal;  // what GetDoorSets returns
    ElementForm element = ElementForm::Object;   // its element in the device array
    std::map<std::string, HRESULT> failingGetters;
};

struct SitePoint {
    long id = 0;
    std::optional<std::wstring> name;
    long state = 0;
    long stateType = 0;
    DATE serverTime = 0;
    std::optional<std::wstring> location;
    std::optional<std::wstring> description;
    ArrayForm relativesArray = ArrayForm::Normal;    // what GetRelatives returns
    ElementForm stateElement = ElementForm::Object;  // the state object's element in it
    std::map<std::string, HRESULT> failingGetters;   // of the point object and of its state objects
};

// Removes every device and point (accounts, named objects and faults stay) and makes the device array
// Normal again.
void clearSite();
// Appends a device; GetByType lists devices in the order they were added.
void addDevice(const SiteDevice& device);
// Adds a point, or replaces the point of that id.
void addPoint(const SitePoint& point);
// Shapes the array GetByType(6, 0) returns.
void setDeviceArrayForm(ArrayForm form);
// The point as the site holds it now (its state changes with manual commands); nullopt if unknown.
std::optional<SitePoint> findPoint(long id);
// Waits until every event raised by a manual command so far has been delivered; false after timeoutMs.
bool waitForCommandEvents(unsigned timeoutMs = 5000);

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
    DATE timestamp = 0;  // local time base, as the real client delivers it
    DATE serverTime = 0;
    std::optional<std::wstring> location;  // nullopt: the getter returns a null BSTR
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

// A new event object with one reference, owned by the caller: for a caller that builds its own OnEvent
// arrays (the benchmark). Its getters are counted like those of a delivered event.
HRESULT createEvent(const EventObject& fields, IUnknown** object);

// The current local time as an OLE automation date, whole seconds: the time base of event timestamps.
DATE localNow();

// Random events of the site, eventsPerSecond of them, from a simulator thread to every advised sink, each
// stamped with the current local time, by the role of the point (see "Doors and points"):
//   access events (IAccessEvent, Type 10, SubType 5003) at readers that are not offline, with one of the
//     site's cardholders: 2030 eAccessGranted (state type 0), or 2040 eAccessDenied, 2011 eInvalidPIN,
//     2038 eCardExpired (state type 1); a secured reader (2022) denies, a free one (2021) grants;
//   object-state events (Type 11, SubType 7006), each of which also sets the point's state, state type and
//     server time in the site, as a command does: a door frame goes from 3006 eDoorForced or 3005
//     eDoorHeld (alarm) to 3004 eDoorClosed, from any other state to forced or held; a latch between 4001
//     eUnlocked and 4000 eLocked; a reader from 2025 eReaderOffline (alarm) to 2026 eReaderOnline, from any
//     other state to offline; a passback point from 3000 eInputPassback (alarm) to 3001 ePointNormal, from
//     any other state to passback;
//   generic events (IGenericEvent, Type 8) of the server: SubType 6001 eDBCreate "Cardholder record
//     created", 6002 eDBModify "Cardholder record changed", 6003 eDBDelete "Cardholder record deleted",
//     Location "SiPass Server", ObjectType and ObjectID 0.
// Events at a point carry its Location and Description. An event whose kind the site has no point for (or
// an access event when the site has no cardholder) becomes a generic one. EventIDs count from 1 for each
// start. While the server is offline no event is made. Replaces a running generator.
// The sequence depends only on the seed and the site: the same seed on the same site (with no command or
// other change in between) gives the same events. Without a seed, the site file's "seed" is used, or else a
// fresh one each start, so that runs differ; eventGeneratorSeed tells which, so that a run can be replayed.
// The registered DLL starts a generator by itself when a client connects and the environment variable
// SIPASS_SIM_EVENT_RATE gives a rate above 0 (events per second, a decimal number); SIPASS_SIM_SEED
// (0 to 4294967295) gives its seed before the site file's; it writes "SiPassSim: <rate> events per second,
// seed <seed> ..." to standard error and the debugger output when it starts, and ends when no client is
// left. A value of either variable that is no such number is an error reported as a wrong SIPASS_SIM_SITE
// is: its message on standard error and the debugger output, and the creation of the client fails (E_FAIL).
void startEventGenerator(double eventsPerSecond, std::optional<unsigned> seed = std::nullopt);
// Stops the generator and waits for its thread.
void stopEventGenerator();
// Events the generator delivered since it was started.
long generatedEvents();
// The seed of the generator running, or of the one started last; nullopt before the first start.
std::optional<unsigned> eventGeneratorSeed();

// ---- Delivery and requests -----------------------------------------------------------------------------
//
// Real clients differ in how their events meet the calls their host makes. These settings make the
// simulator behave like the less forgiving ones, so that a host's locking can be tested against them.
// They hold for every client of the process; resetSite restores the defaults.

// How SendManualCommand delivers the object-state events of a command.
enum class CommandEventDelivery {
    Thread,         // from the command-event thread, one OnEvent per event, in order (the default)
    CallingThread,  // OnEvent on every advised sink, one event per call, in order, on the thread that called
                    // SendManualCommand and before it returns
};
// Sets how the events of commands sent from now on are delivered. Events already queued for the
// command-event thread are still delivered by it. With CallingThread nothing is queued (waitForCommandEvents
// returns true at once), and no simulator lock is held while a sink runs, so the sink may call its client.
void setCommandEventDelivery(CommandEventDelivery delivery);

// Serialised requests: the client answers as one does that shares a single connection to its server
// between requests and events. When on, each request of a client (Connect, Disconnect, put_EventMask,
// SendManualCommand, GetByID, GetByType, GetRelatives) waits, after its fault check and before it does
// anything, while any sink call is in progress on another thread: OnEvent or OnClientStateChanged from
// deliverEvents, raiseClientStateChanged, the command-event thread, the event generator, a site file's
// timeline or a SendManualCommand that delivers on its calling thread. Only the end of those calls ends
// the wait: it has no timeout. A request made on a thread that is inside a sink call itself (a sink calling
// back into its client) does not wait, since it would be waiting for its own delivery and the simulator
// would deadlock on itself. A host that makes a request while holding a lock its sink needs therefore
// deadlocks here, as it would with such a client. The getters of the client and the objects it handed out
// never wait, nor does a call failed by an injected fault. Off by default; resetSite turns it off, and
// turning it off lets every waiting request go on. Turning it on throws std::runtime_error when the
// process has no thread-local storage slot left, which the simulator needs to know a sink's own thread.
void setSerialisedRequests(bool on);
// Sink calls in progress over all threads, nested calls on one thread counted each.
int deliveriesInProgress();

// ---- Server outages ------------------------------------------------------------------------------------
//
// The simulated server can go away and come back, so that a host's handling of a lost connection and its
// own re-login can be tested. There is one server for every client of the process; a site file's timeline
// can also take it away for a while (docs/site-format.md). resetSite brings it back (see below).
//
// Going offline: every client that is connected loses its connection (get_ConnectionState gives 0, its
// user stays as clients() shows it) and OnClientStateChanged(0) is called on each sink advised to it;
// clients that were not connected hear nothing. While the server is offline, Connect answers
// E_SIM_SERVER_OFFLINE and leaves the client's connection as it was, and every request that needs a
// connection (SendManualCommand, GetByID, GetByType, GetRelatives) answers E_SIM_NOT_CONNECTED, even for a
// client that raiseClientStateChanged(1) has called connected. The events of the event generator and of a
// site file's timeline that fall into an outage are not delivered; deliverEvents still delivers.
//
// Coming back online: the clients that lost their connection to the outage, and have neither connected nor
// disconnected since, either stay disconnected until their next Connect (the default), or, with
// setClientsReconnectByThemselves(true), log in again by themselves: their connection state becomes 1 and
// OnClientStateChanged(1) is called on each sink advised to them. A client whose account no longer has the
// password of its last Connect stays disconnected and hears nothing. The option in force when the server
// comes back decides. Coming back starts no timeline (only Connect does).
//
// The reports are called from a simulator thread that joins the MTA, never from the thread that changed
// the server, with no simulator lock held. They go out in the order the server changed, one report after
// the other: a sink hears the "1" of an outage's end only after the "0" of its start has returned, even when
// setServerOnline gave up waiting for that one. A report goes to the sinks advised to the client when the
// server changed.

// Connect while the server is offline: HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED).
constexpr HRESULT E_SIM_SERVER_OFFLINE =
    MAKE_HRESULT(SEVERITY_ERROR, FACILITY_WIN32, ERROR_CONNECTION_REFUSED);

// Takes the server offline (false) or brings it online (true); the connection states change before it
// returns. Returns true once the reports of this change, and of every change before it, have been delivered
// (every sink call has returned); false when they have not after timeoutMs, in which case they are
// delivered later (the DLL stays loaded until they are). Setting the state the server is in already changes
// nothing and reports nothing. A sink that calls it during a report waits for its own report to end, which
// cannot happen: it gets false after timeoutMs.
bool setServerOnline(bool online, unsigned timeoutMs = 5000);
// Whether the server is online.
bool serverOnline();
// Waits until the server is online (true) or offline (false) and every report of a change so far has been
// delivered; false after timeoutMs. For the outages of a site file's timeline, which change the server on
// their own schedule.
bool waitForServerState(bool online, unsigned timeoutMs = 5000);
// Whether clients log in again by themselves when the server comes back (false: they stay disconnected
// until their next Connect). resetSite sets it back to false; a site file sets it from "clientsReconnect".
void setClientsReconnectByThemselves(bool reconnect);
// Connect waits this long before it answers: after its call is counted, its fault check and its turn (for
// serialised requests), before it asks the server, so a Connect that waits while the server goes offline is
// refused and one that waits while it comes back succeeds. A Connect measures its wait against the delay in
// force while it waits: shortening the delay lets a waiting Connect answer sooner (0 at once). 0 by default;
// resetSite sets it back to 0.
void setConnectDelay(unsigned milliseconds);
// Connect calls waiting out the connect delay now, over all clients.
int waitingConnects();
// Waits until exactly `count` Connect calls are waiting out the connect delay; false after timeoutMs. With
// a long delay, lets a test act while a Connect is known to be in progress.
bool waitForWaitingConnects(int count, unsigned timeoutMs = 5000);

}  // namespace sim
