// The exported C functions: each logs where it must, pins the gateway object and forwards to one gateway
// operation, inside one boundary guard so that no exception crosses the C interface. Init and Close run
// under the lifecycle lock, which is taken outside an inner guard so that a fault inside releases it.
// Every export with a bool result runs under boundary::guardResult, which also makes the result this
// thread's last error.
#include <boost/thread/lock_guard.hpp>

#include "support/Boundary.h"
#include "gateway/ConnectionCheck.h"
#include "gateway/DeliveryQueue.h"
#include "gateway/ProcessGateway.h"
#include "support/HostOptions.h"
#include "support/LastError.h"
#include "gateway/Reconnect.h"
#include "gateway/SiPassGateWay.h"
#include "support/Statistics.h"
#include "SiPassVormekGateway.h"

namespace {

SimpleLogger& logger() {
    return *SimpleLogger::GetInstance();
}

}  // namespace

extern "C" {

bool SIPASSVORMEKGATEWAY_CALL gateway_Init(const wchar_t* user, const wchar_t* password) {
    return boundary::guardResult("gateway_Init", false, [&] {
        logger().log("SIPASSVORMEKGATEWAY_API: init");
        if (user == nullptr || password == nullptr) {
            logger().log("gateway_Init: the user name and the password must not be NULL. Init failed.");
            // A failed Init keeps no credentials, this one included.
            reconnect::cancelPending();
            reconnect::wipeCredentials();
            return lastError::refuse(GATEWAY_E_INVALID_ARGUMENT);
        }
        // Created before the checks, so that the constructor's lines come first, as they always have.
        processGateway::obtain();
        if (processGateway::refusedInsideCallback("Init") || processGateway::refusedDuringLifecycle("Init")) {
            return false;
        }
        // Serialised with Close and the re-login; the object is obtained again under the lock, so the
        // login always goes to the object that is current while it runs.
        if (!connectionCheck::lockLifecycle("Init")) {
            return false;
        }
        boost::lock_guard<OwnedMutex> lifecycle(processGateway::lifecycleMutex(), boost::adopt_lock);
        const bool loggedIn = boundary::guard("gateway_Init", false, [&] {
            // The host logs in itself: a pending automatic attempt has nothing left to do.
            reconnect::cancelPending();
            return processGateway::obtain()->Init(user, password);
        });
        if (loggedIn) {
            connectionCheck::loginSucceeded();
        }
        // Also when the login raised: no credentials outlive a failed Init.
        if (!loggedIn) {
            statistics::counters().loggedIn.store(false, std::memory_order_relaxed);
            reconnect::wipeCredentials();
        }
        return loggedIn;
    });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_Close(void) {
    return boundary::guardResult("gateway_Close", true, [] {
        logger().log("SIPASSVORMEKGATEWAY_API: close called");
        const processGateway::Pin gateway = processGateway::obtain();
        // Closing waits for the delivery in progress: inside a callback that is this thread's own.
        if (processGateway::refusedInsideCallback("gateway_Close") ||
            processGateway::refusedDuringLifecycle("gateway_Close")) {
            return false;
        }
        if (!connectionCheck::lockLifecycle("gateway_Close")) {
            return false;
        }
        boost::lock_guard<OwnedMutex> lifecycle(processGateway::lifecycleMutex(), boost::adopt_lock);
        return boundary::guard("gateway_Close", true, [&] {
            processGateway::close(gateway);
            return true;
        });
    });
}

int SIPASSVORMEKGATEWAY_CALL gateway_Ping(int value) {
    boundary::guard("gateway_Ping", [] { logger().log("SIPASSVORMEKGATEWAY_API: Ping called"); });
    // Two's-complement wrap-around, without the undefined behaviour of signed overflow.
    return static_cast<int>(static_cast<unsigned int>(value) + 1u);
}

void SIPASSVORMEKGATEWAY_CALL gateway_RegisterAlarmStateCallback(AlarmStateCallback callback) {
    boundary::guard("gateway_RegisterAlarmStateCallback",
                    [&] { processGateway::obtain()->RegisterAlarmStateCallback(callback); });
}

void SIPASSVORMEKGATEWAY_CALL gateway_RegisterAlarmAccessCallback(AlarmAccessCallback callback) {
    boundary::guard("gateway_RegisterAlarmAccessCallback",
                    [&] { processGateway::obtain()->RegisterAlarmAccessCallback(callback); });
}

void SIPASSVORMEKGATEWAY_CALL gateway_RegisterGenericEventCallback(GenericEventCallback callback) {
    boundary::guard("gateway_RegisterGenericEventCallback",
                    [&] { processGateway::obtain()->RegisterGenericEventCallback(callback); });
}

void SIPASSVORMEKGATEWAY_CALL gateway_RegisterDisconnectCallback(DisconnectCallback callback) {
    boundary::guard("gateway_RegisterDisconnectCallback",
                    [&] { processGateway::obtain()->RegisterDisconnectCallback(callback); });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_RegisterEvent(long objectType, long objectId, long state) {
    return boundary::guardResult("gateway_RegisterEvent", false, [&] {
        return processGateway::obtain()->RegisterAlarmEvent(objectType, objectId, state);
    });
}

void SIPASSVORMEKGATEWAY_CALL gateway_RegisterLogCallback(LogCallback callback) {
    SimpleLogger::GetInstance()->setLogger(callback);
}

void SIPASSVORMEKGATEWAY_CALL gateway_setDropDuration(int seconds) {
    boundary::guard("gateway_setDropDuration", [&] { processGateway::obtain()->setDropDuration(seconds); });
}

// These fail only for what they are given.
bool SIPASSVORMEKGATEWAY_CALL gateway_setReconnectPolicy(int32_t firstDelayMs, int32_t maxDelayMs) {
    return boundary::guardResult("gateway_setReconnectPolicy", false, [&] {
        return reconnect::setPolicy(firstDelayMs, maxDelayMs) || lastError::refuse(GATEWAY_E_INVALID_ARGUMENT);
    });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_GetStatistics(GatewayStatistics* statistics) {
    return boundary::guardResult("gateway_GetStatistics", false, [&] {
        return statistics::fill(statistics) || lastError::refuse(GATEWAY_E_INVALID_ARGUMENT);
    });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_setOptions(uint32_t options) {
    return boundary::guardResult("gateway_setOptions", false, [&] {
        return options::set(options) || lastError::refuse(GATEWAY_E_INVALID_ARGUMENT);
    });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_setDeliveryQueue(int32_t capacity) {
    return boundary::guardResult("gateway_setDeliveryQueue", false, [&] {
        return delivery::setCapacity(capacity) || lastError::refuse(GATEWAY_E_INVALID_ARGUMENT);
    });
}

bool SIPASSVORMEKGATEWAY_CALL gateway_setConnectionCheck(int32_t intervalMs) {
    return boundary::guardResult("gateway_setConnectionCheck", false, [&] {
        return connectionCheck::setInterval(intervalMs) || lastError::refuse(GATEWAY_E_INVALID_ARGUMENT);
    });
}

int32_t SIPASSVORMEKGATEWAY_CALL gateway_GetLastError(wchar_t* message, int32_t capacity) {
    // Read before the copy: a buffer the host cannot write to costs the text, not the code.
    const int32_t code = lastError::code();
    boundary::guard("gateway_GetLastError", [&] { lastError::copyText(message, capacity); });
    return code;
}

void SIPASSVORMEKGATEWAY_CALL gateway_RegisterConnectionStateCallback(ConnectionStateCallback callback) {
    boundary::guard("gateway_RegisterConnectionStateCallback",
                    [&] { processGateway::obtain()->RegisterConnectionStateCallback(callback); });
}

}  // extern "C"
