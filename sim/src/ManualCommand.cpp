// The simulated manual command (CLSID_ManualCommand): a bag of fields the gateway fills in and hands to
// IComClient::SendManualCommand, which reads them back through ISimCommandFields.
#include "ComClasses.h"
#include "SimRuntime.h"

namespace sim::detail {
namespace {

class ManualCommand final : public IManualCommand, public ISimCommandFields, private RefCounted {
public:
    static HRESULT create(REFIID iid, void** object) {
        auto* command = new (std::nothrow) ManualCommand;
        if (command == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT hr = command->QueryInterface(iid, object);
        command->releaseInternal();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        // The private interface is the simulator's own business: not counted, never failed, borrowed.
        if (object != nullptr && IsEqualIID(iid, __uuidof(ISimCommandFields))) {
            *object = static_cast<ISimCommandFields*>(this);
            return S_OK;
        }
        return queryInterface<IManualCommand>(this, iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

    HRESULT STDMETHODCALLTYPE reserved3() override { return notImplemented("IManualCommand::reserved3"); }
    HRESULT STDMETHODCALLTYPE put_ObjectID(long objectId) override {
        return set("IManualCommand::put_ObjectID", m_objectId, objectId);
    }
    HRESULT STDMETHODCALLTYPE reserved5() override { return notImplemented("IManualCommand::reserved5"); }
    HRESULT STDMETHODCALLTYPE put_ObjectType(long objectType) override {
        return set("IManualCommand::put_ObjectType", m_objectType, objectType);
    }
    HRESULT STDMETHODCALLTYPE reserved7() override { return notImplemented("IManualCommand::reserved7"); }
    HRESULT STDMETHODCALLTYPE put_Command(long command) override {
        return set("IManualCommand::put_Command", m_command, command);
    }
    HRESULT STDMETHODCALLTYPE reserved9() override { return notImplemented("IManualCommand::reserved9"); }
    HRESULT STDMETHODCALLTYPE put_Text(BSTR text) override {
        const HRESULT injected = enter("IManualCommand::put_Text");
        if (FAILED(injected)) {
            return injected;
        }
        return noThrow([&] {
            std::wstring copy = fromBstr(text);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_text.swap(copy);
            return finish(injected, S_OK);
        });
    }

    HRESULT STDMETHODCALLTYPE GetFields(long* objectId, long* objectType, long* command,
                                        BSTR* text) override {
        if (objectId == nullptr || objectType == nullptr || command == nullptr || text == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        *text = SysAllocStringLen(m_text.data(), static_cast<UINT>(m_text.size()));
        if (*text == nullptr) {
            return E_OUTOFMEMORY;
        }
        *objectId = m_objectId;
        *objectType = m_objectType;
        *command = m_command;
        return S_OK;
    }

private:
    HRESULT notImplemented(const char* method) {
        const HRESULT injected = enter(method);
        return FAILED(injected) ? injected : E_NOTIMPL;
    }
    HRESULT set(const char* method, long& field, long value) {
        const HRESULT injected = enter(method);
        if (FAILED(injected)) {
            return injected;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        field = value;
        return finish(injected, S_OK);
    }

    std::mutex m_mutex;  // guards the fields below; the object may be filled from several threads
    long m_objectId = 0;
    long m_objectType = 0;
    long m_command = 0;
    std::wstring m_text;
};

}  // namespace

HRESULT createManualCommand(REFIID iid, void** object) {
    return ManualCommand::create(iid, object);
}

}  // namespace sim::detail
