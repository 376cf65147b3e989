// Leak accounting for tests that touch COM: an IMallocSpy counts every COM task-memory block (BSTRs and
// SAFEARRAYs included, with OANOCACHE=1 set by the test runner) that is allocated and not freed while
// it is registered, and the simulator counts its live objects. A test ends with both balanced.
#pragma once

#include <windows.h>

#include <objidl.h>

namespace leaks {

// Registers the spy (idempotent). Blocks allocated before this call are not tracked.
void startTracking();

// COM task-memory blocks allocated since startTracking and not yet freed.
long outstandingAllocations();

// Called with each tracked block and the size it was allocated with, just before the block is freed
// (under the spy's lock: it must not allocate or free COM memory). nullptr stops the examination.
using FreeExaminer = void (*)(const void* block, size_t size);
void examineFrees(FreeExaminer examine);

}  // namespace leaks
