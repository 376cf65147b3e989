// Events: the event objects and OnEvent arrays the client hands to its sinks, and their delivery on a
// test's demand.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

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

}  // namespace sim
