// Self-test exports with which a host checks its calling code: integers, a callback, an array and a
// narrow string. They write a fixed text to standard output and touch neither the gateway nor COM.
#include <atomic>
#include <iostream>

#include "SiPassVormekGateway.h"

namespace {

std::atomic<TestCallback> g_TestCallback{nullptr};

}  // namespace

extern "C" {

int SIPASSVORMEKGATEWAY_CALL testCalculateSum(int a, int b) {
    std::cout << "testCalculateSum called";
    return static_cast<int>(static_cast<unsigned int>(a) + static_cast<unsigned int>(b));
}

void SIPASSVORMEKGATEWAY_CALL testFireCallback(void) {
    std::cout << "testFireCallback called";
    TestCallback callback = g_TestCallback.load();
    if (callback != nullptr) {
        callback(22);
    }
}

void SIPASSVORMEKGATEWAY_CALL testRegisterCallback(TestCallback callback) {
    std::cout << "testRegisterCallback called";
    g_TestCallback.store(callback);
}

int SIPASSVORMEKGATEWAY_CALL testSetIntArray(const int* values, int count) {
    std::cout << "testSetIntArray called" << std::endl;
    unsigned int sum = 0;
    // A null array holds no values, whatever count says.
    for (int i = 0; values != nullptr && i < count; ++i) {
        sum += static_cast<unsigned int>(values[i]);
    }
    return static_cast<int>(sum);
}

int SIPASSVORMEKGATEWAY_CALL testCountChars(const char* text) {
    std::cout << "countChars called" << std::endl;
    // A null pointer counts as the empty string: writing it to the stream would crash.
    if (text == nullptr) {
        text = "";
    }
    std::cout << "Parameter: " << text << std::endl;
    int length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

}  // extern "C"
