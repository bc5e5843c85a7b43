#pragma once

#include <string>

#include "core/DeviceState.h"

namespace vantorellabs {

// The product's user-visible name lives in one small file on the data partition, holding
// the name's bytes exactly as a client sent them (written whole by FileSystem::replaceFile).
// Without the file the product is called by its default name.

// The file's whole content, or the default name when the file cannot be opened. An empty
// file gives an empty name.
std::string readDeviceName(const std::string& path, const DeviceState& state);

}  // namespace vantorellabs
