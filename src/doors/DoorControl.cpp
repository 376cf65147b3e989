// Door commands: one manual command object per call, filled in and handed to the client.
#include <string>

#include "com/CComBSTR.h"
#include "doors/DoorServices.h"
#include "support/FailureText.h"
#include "gateway/SiPassGateWay.h"

bool SiPassGateWay::controlDoor(int32_t objectType, int32_t objectId, int32_t command) {
    using doors::logger;
    const doors::ClientGuard guarded("gateway_controlDoor");
    try {
        // Created on the calling thread, which must have joined COM (the thread that created the gateway
        // object has); the command object is released on every path by its owner. The creation runs the
        // client's class factory, so it is guarded like a call of the client.
        ClientRef<IManualCommand> manualCommand;
        HRESULT hr = guarded([&] {
            return ::CoCreateInstance(CLSID_ManualCommand, nullptr, kClientClassContext,
                                      IID_PPV_ARGS(manualCommand.put()));
        });
        if (FAILED(hr) || !manualCommand) {
            logger().errLog("CoCreateInstance CLSID_ManualCommand failed.");
            return lastError::refuse(FAILED(hr) ? hr : GATEWAY_E_MALFORMED);
        }
        logger().dbgLog("CoCreateInstance CLSID_ManualCommand succeeded.");

        // The text is always empty but never a null BSTR. Without memory for it nothing is sent.
        BSTR emptyText = ::SysAllocString(L"");
        if (emptyText == nullptr) {
            logger().errLog("SysAllocString for the ManualCommand text failed.");
            return lastError::refuse(GATEWAY_E_OUT_OF_MEMORY);
        }
        CComBSTR text = CComBSTR::attach(emptyText);

        // The setters' results are not checked: the send reports the outcome.
        guarded([&] { return manualCommand->put_ObjectID(objectId); });
        guarded([&] { return manualCommand->put_ObjectType(objectType); });
        guarded([&] { return manualCommand->put_Command(command); });
        guarded([&] { return manualCommand->put_Text(text); });

        const ClientRef<IComClient> client = guarded.client(*this);
        if (!client) {
            logger().errLog(
                "COMClient is NULL. Call init first and check if init returns true before sending a door "
                "command.");
            return lastError::refuse(GATEWAY_E_NOT_LOGGED_IN);
        }
        hr = guarded([&] { return client->SendManualCommand(manualCommand.get()); });
        const std::string values = "ObjectID=" + std::to_string(objectId) +
                                   " ObjectType=" + std::to_string(objectType) +
                                   " command=" + std::to_string(command);
        if (FAILED(hr)) {
            logger().errLog("Send ManualCommand failed: " + values + " HRESULT=" + hrText(hr));
            return lastError::refuse(hr);
        }
        logger().log("Send ManualCommand succeeded: " + values);
        return true;
    } catch (const doors::ClientRaised&) {
        // Logged and noted where the client raised.
        return false;
    }
}
