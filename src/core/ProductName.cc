#include "core/ProductName.h"

#include <fstream>
#include <iterator>

#include "core/Identity.h"

namespace vantorellabs {

std::string readDeviceName(const std::string& path, const DeviceState& state) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return defaultProductName(state);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

}  // namespace vantorellabs
