// The simulated event objects the client hands to OnEvent: one class answers any combination of the
// three event interfaces, as the test or the site asks. Its fields never change after creation, so the
// getters need no lock. Also the local time that stamps events (localNow).
#include "EventObject.h"

#include "SimRuntime.h"

#include <cstring>

namespace sim::detail {
namespace {

class EventObjectImpl final : public IAccessEvent, public IGenericEvent, private RefCounted {
public:
    explicit EventObjectImpl(EventObject fields) : m_fields(std::move(fields)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        const HRESULT injected = enterQueryInterface(iid);
        if (FAILED(injected)) {
            return failWith(injected, object);
        }
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *object = static_cast<IAccessEvent*>(this);
        } else if (IsEqualIID(iid, __uuidof(IAccessEvent)) && m_fields.accessEvent) {
            *object = static_cast<IAccessEvent*>(this);
        } else if (IsEqualIID(iid, __uuidof(IObjectState)) && m_fields.objectState) {
            *object = static_cast<IObjectState*>(this);
        } else if (IsEqualIID(iid, __uuidof(IGenericEvent)) && m_fields.genericEvent) {
            *object = static_cast<IGenericEvent*>(this);
        }
        if (*object == nullptr) {
            return E_NOINTERFACE;
        }
        retain();
        return finish(injected, S_OK);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

    // The getters shared by the three interfaces (one override serves both bases).
    HRESULT STDMETHODCALLTYPE get_Type(long* v) override { return value("get_Type", v, m_fields.type); }
    HRESULT STDMETHODCALLTYPE get_SubType(long* v) override {
        return value("get_SubType", v, m_fields.subType);
    }
    HRESULT STDMETHODCALLTYPE get_Timestamp(DATE* v) override {
        return value("get_Timestamp", v, m_fields.timestamp);
    }
    HRESULT STDMETHODCALLTYPE get_ServerTime(DATE* v) override {
        return value("get_ServerTime", v, m_fields.serverTime);
    }
    HRESULT STDMETHODCALLTYPE get_Description(BSTR* v) override {
        return text("get_Description", v, m_fields.description);
    }
    HRESULT STDMETHODCALLTYPE get_Location(BSTR* v) override {
        return text("get_Location", v, m_fields.location);
    }
    HRESULT STDMETHODCALLTYPE get_EventID(long* v) override {
        return value("get_EventID", v, m_fields.eventId);
    }
    HRESULT STDMETHODCALLTYPE reserved10() override { return notImplemented("IEventFields::reserved10"); }

    HRESULT STDMETHODCALLTYPE get_ObjectID(long* v) override {
        return value("get_ObjectID", v, m_fields.objectId);
    }
    HRESULT STDMETHODCALLTYPE get_ObjectType(long* v) override {
        return value("get_ObjectType", v, m_fields.objectType);
    }
    HRESULT STDMETHODCALLTYPE get_State(long* v) override { return value("get_State", v, m_fields.state); }
    HRESULT STDMETHODCALLTYPE get_StateType(long* v) override {
        return value("get_StateType", v, m_fields.stateType);
    }

    HRESULT STDMETHODCALLTYPE get_CardNumber(BSTR* v) override {
        return text("get_CardNumber", v, m_fields.cardNumber);
    }
    HRESULT STDMETHODCALLTYPE reserved16() override { return notImplemented("IAccessEvent::reserved16"); }
    HRESULT STDMETHODCALLTYPE reserved17() override { return notImplemented("IAccessEvent::reserved17"); }
    HRESULT STDMETHODCALLTYPE get_FirstName(BSTR* v) override {
        return text("get_FirstName", v, m_fields.firstName);
    }
    HRESULT STDMETHODCALLTYPE get_LastName(BSTR* v) override {
        return text("get_LastName", v, m_fields.lastName);
    }

private:
    ~EventObjectImpl() override = default;

    // The name under which callCount knows a getter: its interface family plus the getter.
    static const char* countedName(const char* getter);

    // A getter: counted under its interface family, subject to the table's faults and then to this
    // object's own failing getters.
    template <class T>
    HRESULT value(const char* getter, T* out, T field) {
        return objectGetter(countedName(getter), m_fields.failingGetters, getter, out, [field](T* target) {
            *target = field;
            return S_OK;
        });
    }
    HRESULT text(const char* getter, BSTR* out, const std::optional<std::wstring>& field) {
        return objectGetter(countedName(getter), m_fields.failingGetters, getter, out,
                            [&field](BSTR* target) { return copyText(field, target); });
    }

    const EventObject m_fields;
};

const char* EventObjectImpl::countedName(const char* getter) {
    static const struct {
        const char* getter;
        const char* counted;
    } names[] = {
        {"get_Type", "IEventFields::get_Type"},
        {"get_SubType", "IEventFields::get_SubType"},
        {"get_Timestamp", "IEventFields::get_Timestamp"},
        {"get_ServerTime", "IEventFields::get_ServerTime"},
        {"get_Description", "IEventFields::get_Description"},
        {"get_Location", "IEventFields::get_Location"},
        {"get_EventID", "IEventFields::get_EventID"},
        {"get_ObjectID", "IObjectState::get_ObjectID"},
        {"get_ObjectType", "IObjectState::get_ObjectType"},
        {"get_State", "IObjectState::get_State"},
        {"get_StateType", "IObjectState::get_StateType"},
        {"get_CardNumber", "IAccessEvent::get_CardNumber"},
        {"get_FirstName", "IAccessEvent::get_FirstName"},
        {"get_LastName", "IAccessEvent::get_LastName"},
    };
    for (const auto& entry : names) {
        if (std::strcmp(entry.getter, getter) == 0) {
            return entry.counted;
        }
    }
    return getter;
}

}  // namespace

HRESULT createEventObject(const EventObject& fields, IUnknown** object) {
    return noThrow([&] {
        auto* event = new EventObjectImpl(fields);
        *object = static_cast<IAccessEvent*>(event);
        return S_OK;
    });
}

}  // namespace sim::detail

namespace sim {

HRESULT createEvent(const EventObject& fields, IUnknown** object) {
    return detail::createEventObject(fields, object);
}

DATE localNow() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    now.wMilliseconds = 0;
    DATE date = 0;
    ::SystemTimeToVariantTime(&now, &date);
    return date;
}

}  // namespace sim
