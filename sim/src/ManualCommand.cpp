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
        return set("IManualCommand::put_ObjectID", objectId_, objectId);
    }
    HRESULT STDMETHODCALLTYPE reserved5() override { return notImplemented("IManualCommand::reserved5"); }
    HRESULT STDMETHODCALLTYPE put_ObjectType(long objectType) override {
        return set("IManualCommand::put_ObjectType", objectType_, objectType);
    }
    HRESULT STDMETHODCALLTYPE reserved7() override { return notImplemented("IManualCommand::reserved7"); }
    HRESULT STDMETHODCALLTYPE put_Command(long command) override {
        return set("IManualCommand::put_Command", command_, command);
    }
    HRESULT STDMETHODCALLTYPE reserved9() override { return notImplemented("IManualCommand::reserved9"); }
    HRESULT STDMETHODCALLTYPE put_Text(BSTR text) override {
        const HRESULT injected = enter("IManualCommand::put_Text");
        if (FAILED(injected)) {
            return injected;
        }
        return noThrow([&] {
            std::wstring copy = fromBstr(text);
            std::lock_guard<std::mutex> lock(mutex_);
            text_.swap(copy);
            return finish(injected, S_OK);
        });
    }

    HRESULT STDMETHODCALLTYPE GetFields(long* objectId, long* objectType, long* command,
                                        BSTR* text) override {
        if (objectId == nullptr || objectType == nullptr || command == nullptr || text == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        *text = SysAllocStringLen(text_.data(), static_cast<UINT>(text_.size()));
        if (*text == nullptr) {
            return E_OUTOFMEMORY;
        }
        *objectId = objectId_;
        *objectType = objectType_;
        *command = command_;
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
        std::lock_guard<std::mutex> lock(mutex_);
        field = value;
        return finish(injected, S_OK);
    }

    std::mutex mutex_;  // guards the fields below; the object may be filled from several threads
    long objectId_ = 0;
    long objectType_ = 0;
    long command_ = 0;
    std::wstring text_;
};

}  // namespace

HRESULT createManualCommand(REFIID iid, void** object) {
    return ManualCommand::create(iid, object);
}

}  // namespace sim::detail
