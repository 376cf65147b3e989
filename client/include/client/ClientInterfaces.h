// Declarations of the access-control client library's COM classes and interfaces, written from the
// client's documented vtable layout. Every interface derives from IUnknown only; the custom methods
// start at vtable slot 3. Slots the gateway never calls are declared as reserved placeholders so that
// the slots that matter land where the client has them.
//
// The C++ inheritance between the event interfaces below only shares a vtable prefix: each interface is
// still obtained through QueryInterface with its own IID.
#pragma once

#include <objbase.h>
#include <oaidl.h>
#include <ocidl.h>

// The enumerations travel as 32-bit values; the named tables live with the event translators.
typedef long EObjTypeValue;

// {6155C0A7-CD1C-4AD1-8C0A-9BC7C3498E6E}
inline constexpr CLSID CLSID_ComClient = {
    0x6155c0a7, 0xcd1c, 0x4ad1, {0x8c, 0x0a, 0x9b, 0xc7, 0xc3, 0x49, 0x8e, 0x6e}};
// {E0F9BDB5-5EA3-41F7-9315-ADA26B6D9B65}
inline constexpr CLSID CLSID_ManualCommand = {
    0xe0f9bdb5, 0x5ea3, 0x41f7, {0x93, 0x15, 0xad, 0xa2, 0x6b, 0x6d, 0x9b, 0x65}};

// Class context the client's classes are created with: in-process server or in-process handler.
constexpr DWORD kClientClassContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;

// Connection state reported by IComClient::get_ConnectionState.
constexpr long kClientConnected = 1;

struct IManualCommand;

struct IComClient : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_ConnectionState(long* state) = 0;                          // slot 3
    virtual HRESULT STDMETHODCALLTYPE get_EventMask(long* mask) = 0;                                 // slot 4
    virtual HRESULT STDMETHODCALLTYPE put_EventMask(long mask) = 0;                                  // slot 5
    virtual HRESULT STDMETHODCALLTYPE Connect(BSTR user, BSTR password) = 0;                         // slot 6
    virtual HRESULT STDMETHODCALLTYPE Disconnect() = 0;                                              // slot 7
    virtual HRESULT STDMETHODCALLTYPE SendManualCommand(IManualCommand* command) = 0;                // slot 8
    virtual HRESULT STDMETHODCALLTYPE GetByID(long type, long id, IUnknown** object) = 0;            // slot 9
    virtual HRESULT STDMETHODCALLTYPE GetByType(long type, long reserved, SAFEARRAY** objects) = 0;  // 10
    virtual HRESULT STDMETHODCALLTYPE reserved11() = 0;  // slot 11
    virtual HRESULT STDMETHODCALLTYPE GetRelatives(long type, long id, long relation, long reserved,
                                                   SAFEARRAY** objects) = 0;  // slot 12
};

// The event interface the client calls on every advised sink.
struct _ICOMClientEvents : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnClientStateChanged(long state) = 0;  // slot 3
    virtual HRESULT STDMETHODCALLTYPE OnEvent(SAFEARRAY* events) = 0;        // slot 4
    virtual HRESULT STDMETHODCALLTYPE OnAlarm(long value) = 0;               // slot 5
    virtual HRESULT STDMETHODCALLTYPE OnSubscriptionEvent(long value) = 0;   // slot 6
};

// Getters shared by the three event interfaces, slots 3 to 10.
struct IEventFields : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Type(long* type) = 0;                // slot 3
    virtual HRESULT STDMETHODCALLTYPE get_SubType(long* subType) = 0;          // slot 4
    virtual HRESULT STDMETHODCALLTYPE get_Timestamp(DATE* timestamp) = 0;      // slot 5
    virtual HRESULT STDMETHODCALLTYPE get_ServerTime(DATE* serverTime) = 0;    // slot 6
    virtual HRESULT STDMETHODCALLTYPE get_Description(BSTR* description) = 0;  // slot 7
    virtual HRESULT STDMETHODCALLTYPE get_Location(BSTR* location) = 0;        // slot 8
    virtual HRESULT STDMETHODCALLTYPE get_EventID(long* eventId) = 0;          // slot 9
    virtual HRESULT STDMETHODCALLTYPE reserved10() = 0;                        // slot 10
};

struct IGenericEvent : public IEventFields {};

struct IObjectState : public IEventFields {
    virtual HRESULT STDMETHODCALLTYPE get_ObjectID(long* objectId) = 0;      // slot 11
    virtual HRESULT STDMETHODCALLTYPE get_ObjectType(long* objectType) = 0;  // slot 12
    virtual HRESULT STDMETHODCALLTYPE get_State(long* state) = 0;            // slot 13
    virtual HRESULT STDMETHODCALLTYPE get_StateType(long* stateType) = 0;    // slot 14
};

struct IAccessEvent : public IObjectState {
    virtual HRESULT STDMETHODCALLTYPE get_CardNumber(BSTR* cardNumber) = 0;  // slot 15
    virtual HRESULT STDMETHODCALLTYPE reserved16() = 0;                      // slot 16
    virtual HRESULT STDMETHODCALLTYPE reserved17() = 0;                      // slot 17
    virtual HRESULT STDMETHODCALLTYPE get_FirstName(BSTR* firstName) = 0;    // slot 18
    virtual HRESULT STDMETHODCALLTYPE get_LastName(BSTR* lastName) = 0;      // slot 19
};

struct IDevice : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE reserved3() = 0;                        // slot 3
    virtual HRESULT STDMETHODCALLTYPE reserved4() = 0;                        // slot 4
    virtual HRESULT STDMETHODCALLTYPE get_ID(long* id) = 0;                   // slot 5
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) = 0;               // slot 6
    virtual HRESULT STDMETHODCALLTYPE reserved7() = 0;                        // slot 7
    virtual HRESULT STDMETHODCALLTYPE GetDoorSets(SAFEARRAY** doorSets) = 0;  // slot 8
};

// Point ids of a door set; 0 means the door has no such point.
struct IDoorSet : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_DoorNumber(long* doorNumber) = 0;  // slot 3
    virtual HRESULT STDMETHODCALLTYPE get_Reader1(long* pointId) = 0;        // slot 4
    virtual HRESULT STDMETHODCALLTYPE get_Reader2(long* pointId) = 0;        // slot 5
    virtual HRESULT STDMETHODCALLTYPE get_DoorFrame(long* pointId) = 0;      // slot 6
    virtual HRESULT STDMETHODCALLTYPE get_Passback(long* pointId) = 0;       // slot 7
    virtual HRESULT STDMETHODCALLTYPE get_Latch(long* pointId) = 0;          // slot 8
};

struct IPoint : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE reserved3() = 0;           // slot 3
    virtual HRESULT STDMETHODCALLTYPE reserved4() = 0;           // slot 4
    virtual HRESULT STDMETHODCALLTYPE reserved5() = 0;           // slot 5
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) = 0;  // slot 6
};

// Any object of the site, as GetByID returns it.
struct IGeneric : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE reserved3() = 0;           // slot 3
    virtual HRESULT STDMETHODCALLTYPE reserved4() = 0;           // slot 4
    virtual HRESULT STDMETHODCALLTYPE reserved5() = 0;           // slot 5
    virtual HRESULT STDMETHODCALLTYPE get_name(BSTR* name) = 0;  // slot 6
};

struct IManualCommand : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE reserved3() = 0;                      // slot 3
    virtual HRESULT STDMETHODCALLTYPE put_ObjectID(long objectId) = 0;      // slot 4
    virtual HRESULT STDMETHODCALLTYPE reserved5() = 0;                      // slot 5
    virtual HRESULT STDMETHODCALLTYPE put_ObjectType(long objectType) = 0;  // slot 6
    virtual HRESULT STDMETHODCALLTYPE reserved7() = 0;                      // slot 7
    virtual HRESULT STDMETHODCALLTYPE put_Command(long command) = 0;        // slot 8
    virtual HRESULT STDMETHODCALLTYPE reserved9() = 0;                      // slot 9
    virtual HRESULT STDMETHODCALLTYPE put_Text(BSTR text) = 0;              // slot 10
};

// Interface identifiers, reachable through __uuidof (and so through ComPtr::As).
__CRT_UUID_DECL(IComClient, 0xdef9c730, 0xc13e, 0x4886, 0x86, 0xbf, 0x38, 0xb1, 0x64, 0x3e, 0xd3, 0xb2)
__CRT_UUID_DECL(_ICOMClientEvents, 0x7693bc24, 0x6c0a, 0x41a8, 0xa6, 0x97, 0x09, 0xf1, 0xb8, 0x92, 0x0c, 0x46)
__CRT_UUID_DECL(IAccessEvent, 0x5d038624, 0x97d6, 0x4d2c, 0xbc, 0xb5, 0x97, 0xf6, 0xde, 0x2b, 0x20, 0x18)
__CRT_UUID_DECL(IObjectState, 0x3224ec2e, 0x18f1, 0x44a2, 0xbb, 0x34, 0x88, 0xb4, 0x45, 0x21, 0x3a, 0x4c)
__CRT_UUID_DECL(IGenericEvent, 0x219e327a, 0xbc30, 0x4e7a, 0x89, 0xe1, 0x2e, 0x26, 0xeb, 0x61, 0xbd, 0xcd)
__CRT_UUID_DECL(IDevice, 0x6bbb9103, 0x518e, 0x40a6, 0x9b, 0xee, 0x18, 0x65, 0xd9, 0xf0, 0x83, 0xd3)
__CRT_UUID_DECL(IDoorSet, 0x56beace7, 0x678a, 0x4aa3, 0x91, 0x73, 0x8f, 0x68, 0x2a, 0xd4, 0x34, 0x43)
__CRT_UUID_DECL(IPoint, 0xf76888f9, 0x0cbf, 0x483b, 0x9a, 0x36, 0xfd, 0xf6, 0xcc, 0x62, 0x0c, 0x87)
__CRT_UUID_DECL(IGeneric, 0xe63c52f8, 0xc18f, 0x4140, 0xac, 0xb8, 0x79, 0x0b, 0x4a, 0x2e, 0x48, 0x36)
__CRT_UUID_DECL(IManualCommand, 0xfdb9a96c, 0x9d61, 0x4acf, 0x98, 0x77, 0x1f, 0x17, 0x2e, 0x70, 0x18, 0x2e)
