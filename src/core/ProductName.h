#pragma once

#include <string>

#include "core/DeviceState.h"

namespace vantorellabs {

// The product's user-visible name lives in one small file on the data partition, holding
// the name's bytes exactly as a client sent them. Without the file the product is called
// by its default name.

// The file's whole content, or the default name when the file cannot be opened. An empty
// file gives an empty name.
std::string readDeviceName(const std::string& path, const DeviceState& state);

// Replaces the file's content with `name` so that a power cut or a concurrent reader sees
// either the old name or the new one, never a part: the name goes to a new file in the
// same directory, is flushed to disk and renamed over the old one. On any failure the
// new file is removed, the old name stays, and false is returned.
bool writeDeviceName(const std::string& path, const std::string& name);

}  // namespace vantorellabs
