// Class factories of the two creatable classes, their in-process registration for tests, and the lookup
// DllGetClassObject answers from.
//
// The factories are static objects: their reference count does not decide their lifetime, it only keeps
// the module loaded (g_factoryRefs) while anyone holds one. Their IUnknown methods go by the names
// "IClassFactory::QueryInterface(...)", "IClassFactory::AddRef" and "IClassFactory::Release", so that a
// fault a test injects into the client library's objects does not break COM's creation of them.
#include "ComClasses.h"
#include "SimRuntime.h"

namespace sim::detail {
namespace {

class ClassFactory final : public IClassFactory {
public:
    using Create = HRESULT (*)(REFIID, void**);

    explicit ClassFactory(Create create) : m_create(create) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        const HRESULT injected = enterQueryInterface(iid, "IClassFactory");
        if (FAILED(injected)) {
            return failWith(injected, object);
        }
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        HRESULT hr = E_NOINTERFACE;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            retain();
            *object = static_cast<IClassFactory*>(this);
            hr = S_OK;
        }
        return finish(injected, hr);
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        enter("IClassFactory::AddRef");
        return retain();
    }
    ULONG STDMETHODCALLTYPE Release() override {
        enter("IClassFactory::Release");
        --g_factoryRefs;
        return --m_refs;
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        const HRESULT injected = enter("IClassFactory::CreateInstance");
        if (FAILED(injected)) {
            return failWith(injected, object);
        }
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return finish(injected, noThrow([&] { return m_create(iid, object); }));
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        const HRESULT injected = enter("IClassFactory::LockServer");
        if (FAILED(injected)) {
            return injected;
        }
        if (lock) {
            ++g_serverLocks;
            return finish(injected, S_OK);
        }
        // An unlock without a lock must not let the count go negative and the module unload early.
        long locks = g_serverLocks.load();
        do {
            if (locks <= 0) {
                return E_UNEXPECTED;
            }
        } while (!g_serverLocks.compare_exchange_weak(locks, locks - 1));
        return finish(injected, S_OK);
    }

private:
    ULONG retain() {
        ++g_factoryRefs;
        return ++m_refs;
    }

    const Create m_create;
    std::atomic<ULONG> m_refs{0};
};

ClassFactory g_clientFactory(&createComClient);
ClassFactory g_commandFactory(&createManualCommand);

// Guarded by g_registrationMutex.
std::mutex g_registrationMutex;
bool g_registered = false;
DWORD g_clientRegistration = 0;
DWORD g_commandRegistration = 0;

}  // namespace

HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (IsEqualCLSID(clsid, CLSID_ComClient)) {
        return g_clientFactory.QueryInterface(iid, object);
    }
    if (IsEqualCLSID(clsid, CLSID_ManualCommand)) {
        return g_commandFactory.QueryInterface(iid, object);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace sim::detail

namespace sim {

HRESULT registerClassObjects() {
    using namespace detail;
    std::lock_guard<std::mutex> lock(g_registrationMutex);
    if (g_registered) {
        return S_FALSE;
    }
    DWORD client = 0;
    HRESULT hr = CoRegisterClassObject(CLSID_ComClient, static_cast<IClassFactory*>(&g_clientFactory),
                                       CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &client);
    if (FAILED(hr)) {
        return hr;
    }
    DWORD command = 0;
    hr = CoRegisterClassObject(CLSID_ManualCommand, static_cast<IClassFactory*>(&g_commandFactory),
                               CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &command);
    if (FAILED(hr)) {
        CoRevokeClassObject(client);
        return hr;
    }
    g_clientRegistration = client;
    g_commandRegistration = command;
    g_registered = true;
    return S_OK;
}

void revokeClassObjects() {
    using namespace detail;
    std::lock_guard<std::mutex> lock(g_registrationMutex);
    if (!g_registered) {
        return;
    }
    CoRevokeClassObject(g_clientRegistration);
    CoRevokeClassObject(g_commandRegistration);
    g_registered = false;
}

}  // namespace sim
