// Memory of the door and point records handed to the host. Every text and array in them is one
// zero-filled block of the C runtime's heap that no other record shares; the host gives it back through
// the cleanup exports, which free it with free(). The gateway keeps no pointer to a record it handed out.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "SiPassVormekGateway.h"

namespace doors {

// count * size zero-filled bytes, or null when the heap cannot provide them (never throws).
void* allocateHostBlock(size_t count, size_t size);
// Gives back a block of allocateHostBlock; null is ignored.
void releaseHostBlock(void* block);

template <class Record>
Record* allocateRecords(size_t count) {
    return static_cast<Record*>(allocateHostBlock(count, sizeof(Record)));
}

// A host text copy of a BSTR: n + 1 zero-filled wide characters holding the BSTR's n characters
// (embedded NULs included), so a null or empty BSTR gives an empty text. Null when out of memory.
wchar_t* copyHostText(BSTR text);

// Frees what one definition owns: its name and the two texts of its state (not the record itself).
void freeDefinitionTexts(const PointDefinition& definition);
// Frees the fifteen texts of each of count door sets (not the array itself).
void freeDoorsetTexts(const Doorset* doorsets, int32_t count);
// Frees everything count devices own, then the array itself.
void freeDeviceArray(Device* devices, int32_t count);

struct FreeDeleter {
    void operator()(void* block) const { releaseHostBlock(block); }
};
// A host text that is freed unless it is released into a record.
using OwnedHostText = std::unique_ptr<wchar_t, FreeDeleter>;

// A device array under construction: frees everything it holds unless it is released to the host.
class DeviceArrayOwner {
public:
    DeviceArrayOwner() = default;
    DeviceArrayOwner(const DeviceArrayOwner&) = delete;
    DeviceArrayOwner& operator=(const DeviceArrayOwner&) = delete;
    ~DeviceArrayOwner() { freeDeviceArray(m_devices, m_count); }

    // Allocates count zero-filled devices; an empty site still gets a non-null block. False when out of
    // memory.
    bool allocate(int32_t count);
    Device& operator[](int32_t index) { return m_devices[index]; }
    int32_t count() const { return m_count; }
    // Hands the array and everything in it over; the owner is empty afterwards.
    Device* release();

private:
    Device* m_devices = nullptr;
    int32_t m_count = 0;
};

// Replaces calloc and free for every host block, so that unit tests can make an allocation fail and
// count what is given back; null restores calloc and free. Not synchronised: tests set it while no door
// operation runs.
struct HostHeap {
    void* (*allocate)(size_t count, size_t size);
    void (*release)(void* block);
};
void setHostHeapForTesting(const HostHeap* heap);

}  // namespace doors
