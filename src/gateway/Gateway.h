// The process-wide gateway pointer: null after loading and after each gateway_Close.
#pragma once

class SiPassGateWay;

namespace gateway {

// The gateway object, created on first use. The host makes its first object-creating call before it
// calls from several threads; creation is still safe if two threads race.
SiPassGateWay* obtain();

// The current object or null; creates nothing.
SiPassGateWay* current();

// Cleared by the gateway object's destructor.
void clearIfCurrent(SiPassGateWay* gateway);

}  // namespace gateway
