#include "doors/HostRecords.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace doors {
namespace {

const HostHeap* g_heap = nullptr;

}  // namespace

void setHostHeapForTesting(const HostHeap* heap) {
    g_heap = heap;
}

void* allocateHostBlock(size_t count, size_t size) {
    return g_heap != nullptr ? g_heap->allocate(count, size) : std::calloc(count, size);
}

void releaseHostBlock(void* block) {
    if (g_heap != nullptr) {
        g_heap->release(block);
    } else {
        std::free(block);
    }
}

wchar_t* copyHostText(BSTR text) {
    const size_t length = text != nullptr ? ::SysStringLen(text) : 0;
    auto* copy = static_cast<wchar_t*>(allocateHostBlock(length + 1, sizeof(wchar_t)));
    if (copy != nullptr && length > 0) {
        std::memcpy(copy, text, length * sizeof(wchar_t));
    }
    return copy;
}

void freeDefinitionTexts(const PointDefinition& definition) {
    releaseHostBlock(definition.name);
    releaseHostBlock(definition.state.location);
    releaseHostBlock(definition.state.description);
}

void freeDoorsetTexts(const Doorset* doorsets, int32_t count) {
    if (doorsets == nullptr) {
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        const Doorset& doorset = doorsets[i];
        for (const PointDefinition* point :
             {&doorset.reader1, &doorset.reader2, &doorset.doorFrame, &doorset.passback, &doorset.latch}) {
            freeDefinitionTexts(*point);
        }
    }
}

void freeDeviceArray(Device* devices, int32_t count) {
    if (devices != nullptr) {
        for (int32_t i = 0; i < count; ++i) {
            freeDoorsetTexts(devices[i].doorsets, devices[i].doorsetCount);
            releaseHostBlock(devices[i].doorsets);
            releaseHostBlock(devices[i].name);
        }
    }
    releaseHostBlock(devices);
}

bool DeviceArrayOwner::allocate(int32_t count) {
    freeDeviceArray(m_devices, m_count);
    m_count = 0;
    // One record at least: the host receives a non-null array even for a site without devices.
    m_devices = allocateRecords<Device>(std::max<size_t>(1, static_cast<size_t>(count)));
    if (m_devices == nullptr) {
        return false;
    }
    m_count = count;
    return true;
}

Device* DeviceArrayOwner::release() {
    m_count = 0;
    return std::exchange(m_devices, nullptr);
}

}  // namespace doors
