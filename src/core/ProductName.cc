#include "core/ProductName.h"

#include "core/Identity.h"
#include "sys/ReadFile.h"

namespace vantorellabs {

std::string readDeviceName(const std::string& path, const DeviceState& state) {
  return readWholeFile(path).value_or(defaultProductName(state));
}

}  // namespace vantorellabs
