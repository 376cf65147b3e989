// Creation of the simulated event objects (EventObject.cpp).
#pragma once

#include "SimEvents.h"

#include "client/ClientInterfaces.h"

namespace sim::detail {

// A new event object with one reference, owned by the caller.
HRESULT createEventObject(const EventObject& fields, IUnknown** object);

}  // namespace sim::detail
