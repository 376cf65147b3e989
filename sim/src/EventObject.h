// Creation of the simulated event objects and delivery of OnEvent arrays to the advised sinks.
#pragma once

#include "SimControl.h"

#include "ClientInterfaces.h"

namespace sim::detail {

// A new event object with one reference, owned by the caller.
HRESULT createEventObject(const EventObject& fields, IUnknown** object);

}  // namespace sim::detail
