#pragma once

#include "sys/Console.h"

namespace vantorellabs {

// Every client connection, stream and helper pipe costs the daemon a descriptor, and the
// soft limit a process starts with (1024 on the board) is below the hard one: raise the soft
// limit to the hard one, so that a burst of connections meets the larger bound. Prints both
// limits.
void raiseDescriptorLimit(Console& console);

}  // namespace vantorellabs
