// The COM objects that show the site model: devices, door sets, points, point state objects, and the
// SAFEARRAYs that carry them, well-formed or malformed on demand. Each object is an immutable snapshot
// of its description in the site, so none of them takes a lock.
#include "SiteModelObjects.h"

#include "SimRuntime.h"

#include "client/ClientInterfaces.h"

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace sim::detail {
namespace {

// An object that answers IUnknown only: an array element that is no device, door set or state.
class ForeignObject final : public IUnknown, private RefCounted {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return queryInterface<IUnknown>(this, iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }
};

struct SafeArrayDestroyer {
    void operator()(SAFEARRAY* array) const { SafeArrayDestroy(array); }
};
using ArrayHolder = std::unique_ptr<SAFEARRAY, SafeArrayDestroyer>;

// Builds an array of forms.size() elements shaped as `form`; `make(i, &object)` creates the object of
// element i when its form is Object. Created objects are owned by the array from the start, so a failure
// half-way destroys what was made.
HRESULT buildArray(ArrayForm form, const std::vector<ElementForm>& forms,
                   const std::function<HRESULT(size_t, IUnknown**)>& make, SAFEARRAY** out) {
    *out = nullptr;
    if (form == ArrayForm::NullArray) {
        return S_OK;
    }
    if (form == ArrayForm::WithoutData) {
        SAFEARRAYBOUND bound{static_cast<ULONG>(forms.size()), 0};
        ArrayHolder array(SafeArrayCreate(VT_VARIANT, 1, &bound));
        if (!array) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = SafeArrayDestroyData(array.get());
        if (FAILED(hr)) {
            return hr;
        }
        *out = array.release();
        return S_OK;
    }
    const ULONG count = form == ArrayForm::Empty ? 0 : static_cast<ULONG>(forms.size());
    ArrayHolder array;
    if (form == ArrayForm::UnknownElements) {
        array.reset(SafeArrayCreateVector(VT_UNKNOWN, 0, count));
    } else if (form == ArrayForm::TwoDimensions) {
        SAFEARRAYBOUND bounds[2] = {{count, 0}, {1, 0}};
        array.reset(SafeArrayCreate(VT_VARIANT, 2, bounds));
    } else {
        array.reset(SafeArrayCreateVector(VT_VARIANT, 0, count));
    }
    if (!array) {
        return E_OUTOFMEMORY;
    }
    void* data = nullptr;
    HRESULT hr = SafeArrayAccessData(array.get(), &data);
    if (FAILED(hr)) {
        return hr;
    }
    for (ULONG i = 0; i < count && SUCCEEDED(hr); ++i) {
        IUnknown* object = nullptr;
        // No exception may leave while the array is locked: it could not be destroyed.
        if (forms[i] == ElementForm::Object) {
            hr = noThrow([&] { return make(i, &object); });
        } else if (forms[i] == ElementForm::Foreign) {
            object = new (std::nothrow) ForeignObject;
            hr = object != nullptr ? S_OK : E_OUTOFMEMORY;
        }
        if (form == ArrayForm::UnknownElements) {
            static_cast<IUnknown**>(data)[i] = object;
            continue;
        }
        VARIANT& element = static_cast<VARIANT*>(data)[i];
        switch (forms[i]) {
            case ElementForm::Object:
            case ElementForm::Foreign:
            case ElementForm::NullUnknown:
                element.vt = VT_UNKNOWN;
                element.punkVal = object;
                break;
            case ElementForm::Bstr:
                element.bstrVal = SysAllocString(L"no object");
                element.vt = VT_BSTR;
                hr = element.bstrVal != nullptr ? hr : E_OUTOFMEMORY;
                break;
            case ElementForm::Empty:
                break;
        }
    }
    SafeArrayUnaccessData(array.get());
    if (FAILED(hr)) {
        return hr;
    }
    if (form == ArrayForm::WithoutVarType) {
        array->fFeatures &= ~FADF_HAVEVARTYPE;
    }
    *out = array.release();
    return S_OK;
}

class DoorSetObject final : public IDoorSet, private RefCounted {
public:
    explicit DoorSetObject(SiteDoorSet fields) : m_fields(std::move(fields)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return queryInterface<IDoorSet>(this, iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

    HRESULT STDMETHODCALLTYPE get_DoorNumber(long* value) override {
        return number("IDoorSet::get_DoorNumber", "get_DoorNumber", value, m_fields.doorNumber);
    }
    HRESULT STDMETHODCALLTYPE get_Reader1(long* value) override {
        return number("IDoorSet::get_Reader1", "get_Reader1", value, m_fields.reader1);
    }
    HRESULT STDMETHODCALLTYPE get_Reader2(long* value) override {
        return number("IDoorSet::get_Reader2", "get_Reader2", value, m_fields.reader2);
    }
    HRESULT STDMETHODCALLTYPE get_DoorFrame(long* value) override {
        return number("IDoorSet::get_DoorFrame", "get_DoorFrame", value, m_fields.doorFrame);
    }
    HRESULT STDMETHODCALLTYPE get_Passback(long* value) override {
        return number("IDoorSet::get_Passback", "get_Passback", value, m_fields.passback);
    }
    HRESULT STDMETHODCALLTYPE get_Latch(long* value) override {
        return number("IDoorSet::get_Latch", "get_Latch", value, m_fields.latch);
    }

private:
    HRESULT number(const char* method, const char* getter, long* out, long value) {
        return objectGetter(method, m_fields.failingGetters, getter, out, [value](long* target) {
            *target = value;
            return S_OK;
        });
    }

    const SiteDoorSet m_fields;
};

// A device answers IDevice and, as every object GetByID returns, IGeneric. The placeholder slots 3 and 4
// the two interfaces share are one method, counted under the IDevice name.
class DeviceObject final : public IDevice, public IGeneric, private RefCounted {
public:
    explicit DeviceObject(SiteDevice fields) : m_fields(std::move(fields)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return queryInterface<IDevice, IGeneric>(this, iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

    HRESULT STDMETHODCALLTYPE reserved3() override { return notImplemented("IDevice::reserved3"); }
    HRESULT STDMETHODCALLTYPE reserved4() override { return notImplemented("IDevice::reserved4"); }
    HRESULT STDMETHODCALLTYPE get_ID(long* id) override {
        return objectGetter("IDevice::get_ID", m_fields.failingGetters, "get_ID", id, [this](long* out) {
            *out = m_fields.id;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override {
        return objectGetter("IDevice::get_Name", m_fields.failingGetters, "get_Name", name,
                            [this](BSTR* out) { return copyText(m_fields.name, out); });
    }
    HRESULT STDMETHODCALLTYPE reserved7() override { return notImplemented("IDevice::reserved7"); }
    HRESULT STDMETHODCALLTYPE GetDoorSets(SAFEARRAY** doorSets) override {
        return objectGetter(
            "IDevice::GetDoorSets", m_fields.failingGetters, "GetDoorSets", doorSets,
            [this](SAFEARRAY** out) { return noThrow([&] { return createDoorSetArray(out); }); });
    }
    HRESULT STDMETHODCALLTYPE reserved5() override { return notImplemented("IGeneric::reserved5"); }
    HRESULT STDMETHODCALLTYPE get_name(BSTR* name) override {
        return objectGetter("IGeneric::get_name", m_fields.failingGetters, "get_name", name,
                            [this](BSTR* out) { return copyText(m_fields.name, out); });
    }

private:
    HRESULT createDoorSetArray(SAFEARRAY** out) const {
        std::vector<ElementForm> forms;
        for (const SiteDoorSet& doorSet : m_fields.doorSets) {
            forms.push_back(doorSet.element);
        }
        auto make = [this](size_t i, IUnknown** object) {
            *object = static_cast<IDoorSet*>(new DoorSetObject(m_fields.doorSets[i]));
            return S_OK;
        };
        return buildArray(m_fields.doorSetArray, forms, make, out);
    }

    const SiteDevice m_fields;
};

// A point answers IPoint and IGeneric; the placeholder slots 3 to 5 they share count under the IPoint
// name.
class PointObject final : public IPoint, public IGeneric, private RefCounted {
public:
    explicit PointObject(SitePoint fields) : m_fields(std::move(fields)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return queryInterface<IPoint, IGeneric>(this, iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

    HRESULT STDMETHODCALLTYPE reserved3() override { return notImplemented("IPoint::reserved3"); }
    HRESULT STDMETHODCALLTYPE reserved4() override { return notImplemented("IPoint::reserved4"); }
    HRESULT STDMETHODCALLTYPE reserved5() override { return notImplemented("IPoint::reserved5"); }
    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override {
        return objectGetter("IPoint::get_Name", m_fields.failingGetters, "get_Name", name,
                            [this](BSTR* out) { return copyText(m_fields.name, out); });
    }
    HRESULT STDMETHODCALLTYPE get_name(BSTR* name) override {
        return objectGetter("IGeneric::get_name", m_fields.failingGetters, "get_name", name,
                            [this](BSTR* out) { return copyText(m_fields.name, out); });
    }

private:
    const SitePoint m_fields;
};

// The state of one point as GetRelatives hands it out: a snapshot taken at the call.
class StateObject final : public IObjectState, private RefCounted {
public:
    explicit StateObject(SitePoint fields) : m_fields(std::move(fields)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return queryInterface<IObjectState>(this, iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

    HRESULT STDMETHODCALLTYPE get_Type(long* value) override {
        return number("IEventFields::get_Type", "get_Type", value, kObjStateType);
    }
    HRESULT STDMETHODCALLTYPE get_SubType(long* value) override {
        return number("IEventFields::get_SubType", "get_SubType", value, kAccessPointStateSubType);
    }
    HRESULT STDMETHODCALLTYPE get_Timestamp(DATE* value) override {
        return date("IEventFields::get_Timestamp", "get_Timestamp", value);
    }
    HRESULT STDMETHODCALLTYPE get_ServerTime(DATE* value) override {
        return date("IEventFields::get_ServerTime", "get_ServerTime", value);
    }
    HRESULT STDMETHODCALLTYPE get_Description(BSTR* value) override {
        return objectGetter("IEventFields::get_Description", m_fields.failingGetters, "get_Description", value,
                            [this](BSTR* out) { return copyText(m_fields.description, out); });
    }
    HRESULT STDMETHODCALLTYPE get_Location(BSTR* value) override {
        return objectGetter("IEventFields::get_Location", m_fields.failingGetters, "get_Location", value,
                            [this](BSTR* out) { return copyText(m_fields.location, out); });
    }
    HRESULT STDMETHODCALLTYPE get_EventID(long* value) override {
        return number("IEventFields::get_EventID", "get_EventID", value, 0);
    }
    HRESULT STDMETHODCALLTYPE reserved10() override { return notImplemented("IEventFields::reserved10"); }
    HRESULT STDMETHODCALLTYPE get_ObjectID(long* value) override {
        return number("IObjectState::get_ObjectID", "get_ObjectID", value, m_fields.id);
    }
    HRESULT STDMETHODCALLTYPE get_ObjectType(long* value) override {
        return number("IObjectState::get_ObjectType", "get_ObjectType", value, kPointObjectType);
    }
    HRESULT STDMETHODCALLTYPE get_State(long* value) override {
        return number("IObjectState::get_State", "get_State", value, m_fields.state);
    }
    HRESULT STDMETHODCALLTYPE get_StateType(long* value) override {
        return number("IObjectState::get_StateType", "get_StateType", value, m_fields.stateType);
    }

private:
    static constexpr long kObjStateType = 11;               // eObjState
    static constexpr long kAccessPointStateSubType = 7006;  // eAccessPointState
    static constexpr long kPointObjectType = 7;             // ePoint

    HRESULT number(const char* method, const char* getter, long* out, long value) {
        return objectGetter(method, m_fields.failingGetters, getter, out, [value](long* target) {
            *target = value;
            return S_OK;
        });
    }
    HRESULT date(const char* method, const char* getter, DATE* out) {
        return objectGetter(method, m_fields.failingGetters, getter, out, [this](DATE* target) {
            *target = m_fields.serverTime;
            return S_OK;
        });
    }

    const SitePoint m_fields;
};

}  // namespace

bool isSiteMethod(std::string_view method) {
    static constexpr const char* kSiteMethods[] = {
        "IDevice::reserved3",       "IDevice::reserved4",     "IDevice::get_ID",
        "IDevice::get_Name",        "IDevice::reserved7",     "IDevice::GetDoorSets",
        "IDoorSet::get_DoorNumber", "IDoorSet::get_Reader1",  "IDoorSet::get_Reader2",
        "IDoorSet::get_DoorFrame",  "IDoorSet::get_Passback", "IDoorSet::get_Latch",
        "IPoint::reserved3",        "IPoint::reserved4",      "IPoint::reserved5",
        "IPoint::get_Name",
    };
    for (const char* known : kSiteMethods) {
        if (method == known) {
            return true;
        }
    }
    return false;
}

HRESULT createDeviceArray(const std::vector<SiteDevice>& devices, ArrayForm form, SAFEARRAY** array) {
    return noThrow([&] {
        std::vector<ElementForm> forms;
        forms.reserve(devices.size());
        for (const SiteDevice& device : devices) {
            forms.push_back(device.element);
        }
        return buildArray(
            form, forms,
            [&devices](size_t i, IUnknown** object) { return createDeviceObject(devices[i], object); },
            array);
    });
}

HRESULT createDeviceObject(const SiteDevice& device, IUnknown** object) {
    return noThrow([&] {
        auto* created = new DeviceObject(device);
        *object = static_cast<IDevice*>(created);  // hands over the reference the object starts with
        return S_OK;
    });
}

HRESULT createPointObject(const SitePoint& point, IUnknown** object) {
    return noThrow([&] {
        auto* created = new PointObject(point);
        *object = static_cast<IPoint*>(created);
        return S_OK;
    });
}

HRESULT createStateArray(const SitePoint& point, SAFEARRAY** array) {
    return noThrow([&] {
        return buildArray(
            point.relativesArray, {point.stateElement},
            [&point](size_t, IUnknown** object) {
                *object = static_cast<IObjectState*>(new StateObject(point));
                return S_OK;
            },
            array);
    });
}

}  // namespace sim::detail
