// Doors and points: the site model the client shows through GetByType, GetByID and GetRelatives, the
// objects it hands out for them, and the roles of points.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

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
// events the event generator raises at it (SimCommands.h, SimEventGenerator.h).
//
// Location and Description: every event at a point (an object-state event of a command, an event of the
// event generator) and every state object of GetRelatives carries the point's Location and Description as
// the site holds them. In the default site and the example site files a point's Location names its door
// and its Description its role.

// How an array of the client is shaped; anything but Normal is malformed on purpose.
enum class ArrayForm {
    Normal,
    NullArray,        // the call succeeds and returns a null SAFEARRAY*
    Empty,            // a well-formed array of no elements
    WithoutVarType,   // FADF_HAVEVARTYPE cleared
    TwoDimensions,    // the elements laid out as n x 1
    UnknownElements,  // a SAFEARRAY of VT_UNKNOWN instead of VARIANTs
    WithoutData,      // one dimension of VARIANTs whose bounds count the elements while its data is gone,
                      // as SafeArrayDestroyData leaves an array that SafeArrayCreate made
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

}  // namespace sim
