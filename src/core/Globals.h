#pragma once

#include "core/DeviceState.h"
#include "link/ControllerLink.h"

namespace vantorellabs {

// The process-wide objects, built before main in a fixed order.
DeviceState& deviceState();
ControllerLink& controllerLink();

}  // namespace vantorellabs
