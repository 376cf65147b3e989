// A named object of the simulated site, as IComClient::GetByID hands it out. Immutable once created, so
// it needs no lock.
#include "ComClasses.h"
#include "SimRuntime.h"

#include <utility>

namespace sim::detail {
namespace {

class NamedObject final : public IGeneric, private RefCounted {
public:
    explicit NamedObject(std::wstring name) : m_name(std::move(name)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return queryInterface<IGeneric>(this, iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

    HRESULT STDMETHODCALLTYPE reserved3() override { return notImplemented("IGeneric::reserved3"); }
    HRESULT STDMETHODCALLTYPE reserved4() override { return notImplemented("IGeneric::reserved4"); }
    HRESULT STDMETHODCALLTYPE reserved5() override { return notImplemented("IGeneric::reserved5"); }
    HRESULT STDMETHODCALLTYPE get_name(BSTR* name) override {
        const HRESULT injected = enter("IGeneric::get_name");
        if (FAILED(injected)) {
            return failWith(injected, name);
        }
        if (name == nullptr) {
            return E_POINTER;
        }
        *name = SysAllocStringLen(m_name.data(), static_cast<UINT>(m_name.size()));
        return finish(injected, *name == nullptr ? E_OUTOFMEMORY : S_OK);
    }

private:
    HRESULT notImplemented(const char* method) {
        const HRESULT injected = enter(method);
        return FAILED(injected) ? injected : E_NOTIMPL;
    }

    const std::wstring m_name;
};

}  // namespace

HRESULT createNamedObject(const std::wstring& name, IUnknown** object) {
    auto* created = new (std::nothrow) NamedObject(name);
    if (created == nullptr) {
        return E_OUTOFMEMORY;
    }
    *object = static_cast<IGeneric*>(created);  // hands over the reference the object starts with
    return S_OK;
}

}  // namespace sim::detail
