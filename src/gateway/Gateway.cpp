#include "Gateway.h"

#include <atomic>
#include <mutex>

#include "SiPassGateWay.h"

namespace gateway {
namespace {

std::atomic<SiPassGateWay*> g_Gateway{nullptr};
// Serialises only the creation of the object, never its use.
std::mutex g_CreationMutex;

}  // namespace

SiPassGateWay* obtain() {
    SiPassGateWay* gateway = g_Gateway.load(std::memory_order_acquire);
    if (gateway != nullptr) {
        return gateway;
    }
    std::lock_guard<std::mutex> lock(g_CreationMutex);
    gateway = g_Gateway.load(std::memory_order_acquire);
    if (gateway == nullptr) {
        gateway = new SiPassGateWay();
        g_Gateway.store(gateway, std::memory_order_release);
    }
    return gateway;
}

SiPassGateWay* current() {
    return g_Gateway.load(std::memory_order_acquire);
}

void clearIfCurrent(SiPassGateWay* gateway) {
    SiPassGateWay* expected = gateway;
    g_Gateway.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

}  // namespace gateway
